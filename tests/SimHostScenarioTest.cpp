// simhostd as a process: the demo commands, a client process that is killed mid-request, and two
// roots served side by side.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Scenario.h"
#include "platform/BSD.h"
#include "platform/CFMessagePort.h"
#include "platform/Clock.h"
#include "platform/HostLink.h"
#include "platform/IOKit.h"
#include "platform/IOObjectRef.h"
#include "platform/SysRoot.h"

namespace {

using scenario::Root;

const std::string kExamples = scenario::kSource + "/simhost/examples";

// Makes this process a client of `root`.
void UseRoot(const Root& root) {
  ::setenv("SHELVONX_SYSROOT", root.Path().c_str(), 1);
  platform::ResetSysRoot();
  platform::clock::UseRootClock();
  platform::hostlink::Disconnect();
}

size_t CountRobotics() {
  io_iterator_t it = 0;
  if (IOServiceGetMatchingServices(0, IOServiceMatching("TavrinChangerRoboticsDevice"), &it) != kIOReturnSuccess)
    return 999;
  size_t n = 0;
  while (io_object_t o = IOIteratorNext(it)) {
    ++n;
    IOObjectRelease(o);
  }
  IOObjectRelease(it);
  return n;
}

// The processes of the current root's process table, only those named i_nameP unless it is
// null (this process must use the root).
std::vector<pid_t> ProcessesNamed(const char* i_nameP) {
  int mib[] = {bsd::CTL_KERN, bsd::KERN_PROC, bsd::KERN_PROC_ALL};
  size_t size = 0;
  bsd::sysctl(mib, 3, nullptr, &size, nullptr, 0);
  std::vector<bsd::kinfo_proc> table(size / sizeof(bsd::kinfo_proc) + 4);
  size = table.size() * sizeof(bsd::kinfo_proc);
  bsd::sysctl(mib, 3, table.data(), &size, nullptr, 0);
  table.resize(size / sizeof(bsd::kinfo_proc));
  std::vector<pid_t> pids;
  for (const auto& p : table)
    if (i_nameP == nullptr || std::string(p.kp_proc.p_comm) == i_nameP) pids.push_back(p.kp_proc.p_pid);
  return pids;
}

TEST(SimHostScenario, DemoCommandsShowTheChanger) {
  Root root;
  scenario::Output added = root.Ctl({"add-changer", kExamples + "/demo-changer.plist", "--at-start"});
  EXPECT_EQ(added.status, 0);
  EXPECT_EQ(added.out, "changer 0050C2D0E1F20A01 will be plugged in at every start of " + root.Path() + "\n");
  ASSERT_TRUE(root.Start(50));
  EXPECT_EQ(root.Ctl({"changers"}).out,
            "GUID              STATE      SLOTS  LOADED  DRIVES  MEDIA OBJECT\n"
            "0050C2D0E1F20A01  plugged    40     33      2       -\n");
  EXPECT_EQ(root.Ctl({"drives"}).out,
            "changer 0050C2D0E1F20A01\n"
            "DRIVE  FEATURES  SLOT  DISK\n"
            "    0  0x8       -     -\n"
            "    1  0x0       -     -\n");
  std::string slots = root.Ctl({"slots"}).out;
  EXPECT_NE(slots.find("   7  DVD-RAM   -      -        s1 hfs \"Alpha\", s2 msdos \"Beta\"\n"), std::string::npos) << slots;
  EXPECT_NE(slots.find("  13  DVD-R     -      -        hfs \"Archive 1999\"  tag \"Archive 1999                ##0A\" 17/3\n"),
            std::string::npos)
      << slots;
  EXPECT_NE(slots.find("  39  empty\n"), std::string::npos);

  // A mount through the host's own control path shows in every view.
  UseRoot(root);
  IOObjectRef blockSwitch(IOServiceGetMatchingService(0, IOServiceMatching("TavrinChangerDVDBlockSwitch")));
  ASSERT_TRUE(blockSwitch);
  int16_t se = 8;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt16Type, &se));
  ASSERT_EQ(IORegistryEntrySetCFProperty(blockSwitch.get(), CFSTR("Storage Element Mount Request"), n.get()),
            kIOReturnSuccess);
  ASSERT_TRUE(scenario::WaitFor([&] { return root.Ctl({"drives"}).out.find("8     disk2") != std::string::npos; }));
  std::string tree = root.Ctl({"tree"}).out;
  for (const char* name : {"BSD Name=disk2s1", "BSD Name=disk2s2", "BSD Name=disk2s10"})
    EXPECT_NE(tree.find(name), std::string::npos) << name;
  EXPECT_TRUE(std::filesystem::exists(root.Path() + "/dev/rdisk2s10"));
  platform::hostlink::Disconnect();
  EXPECT_EQ(root.Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(root.Path() + "/var/run/simhost.sock"));
}

TEST(SimHostScenario, HostSurvivesAClientKilledInTheMiddleOfALoad) {
  Root root;
  ASSERT_EQ(root.Ctl({"add-changer", kExamples + "/small-changer.plist", "--at-start"}).status, 0);
  ASSERT_TRUE(root.Start(50));
  UseRoot(root);
  // The child is forked while this process has no link thread, so it starts clean.
  pid_t child = ::fork();
  if (child == 0) {
    io_service_t robotics = IOServiceGetMatchingService(0, IOServiceMatching("TavrinChangerRoboticsDevice"));
    int16_t count = 5000;
    CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt16Type, &count));
    // Killed mid-call: the load it starts is what the parent watches.
    (void)IORegistryEntrySetCFProperty(robotics, CFSTR("Media Load Request"), n.get());
    _exit(0);
  }
  auto loading = [&] { return root.Ctl({"--json", "changers"}).out.find("\"Load In Progress\":true") != std::string::npos; };
  ASSERT_TRUE(scenario::WaitFor(loading));
  std::string status = root.Ctl({"status"}).out;
  EXPECT_NE(status.find("clients:  "), std::string::npos);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(scenario::WaitFor([&] { return !loading(); })) << "the load of a client that died is over";
  EXPECT_EQ(root.Ctl({"status"}).status, 0);
  EXPECT_EQ(::kill(root.HostPid(), 0), 0) << "the host is still running";
  EXPECT_EQ(CountRobotics(), 1u);
  platform::hostlink::Disconnect();
}

TEST(SimHostScenario, TwoRootsDoNotSeeEachOther) {
  Root a, b;
  ASSERT_EQ(a.Ctl({"add-changer", kExamples + "/small-changer.plist", "--at-start"}).status, 0);
  ASSERT_TRUE(a.Start(50));
  ASSERT_TRUE(b.Start(50));

  UseRoot(a);
  EXPECT_EQ(CountRobotics(), 1u);
  CFRef<CFMessagePortRef> port(CFMessagePortCreateLocal(nullptr, CFSTR("scenario-port"), nullptr, nullptr, nullptr));
  ASSERT_TRUE(port);
  std::vector<pid_t> inA = ProcessesNamed(nullptr);
  EXPECT_NE(std::find(inA.begin(), inA.end(), a.HostPid()), inA.end());
  EXPECT_EQ(std::find(inA.begin(), inA.end(), b.HostPid()), inA.end());

  UseRoot(b);
  EXPECT_EQ(CountRobotics(), 0u) << "root B has no changer";
  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("scenario-port")));
  EXPECT_FALSE(remote) << "a port of root A is not in root B";
  std::vector<pid_t> inB = ProcessesNamed(nullptr);
  EXPECT_NE(std::find(inB.begin(), inB.end(), b.HostPid()), inB.end());
  EXPECT_EQ(std::find(inB.begin(), inB.end(), a.HostPid()), inB.end());
  EXPECT_EQ(b.Ctl({"changers"}).out, "GUID              STATE      SLOTS  LOADED  DRIVES  MEDIA OBJECT\n");

  UseRoot(a);
  CFRef<CFMessagePortRef> local(CFMessagePortCreateRemote(nullptr, CFSTR("scenario-port")));
  EXPECT_TRUE(local);
  if (local) CFMessagePortInvalidate(local.get());
  CFMessagePortInvalidate(port.get());
  platform::hostlink::Disconnect();
}

// The texts `program` wrote to the root's system log, without time and process.
std::vector<std::string> LogTexts(const Root& root, const std::string& program) {
  std::ifstream in(root.Path() + "/var/log/system.log");
  std::vector<std::string> texts;
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(" " + program + "[");
    size_t text = line.find("]: ", at);
    if (at != std::string::npos && text != std::string::npos) texts.push_back(line.substr(text + 3));
  }
  return texts;
}

bool Logged(const Root& root, const std::string& program, const std::string& text) {
  std::vector<std::string> texts = LogTexts(root, program);
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::vector<pid_t> Daemons() { return ProcessesNamed("Discwarden"); }

TEST(SimHostScenario, TheDaemonLivesWithItsHostAndACrashedRunIsClearedAtTheNextStart) {
  Root root;
  ASSERT_EQ(root.Ctl({"add-changer", kExamples + "/small-changer.plist", "--at-start"}).status, 0);
  UseRoot(root);
  const std::string info = root.Path() + "/Library/Changers/00A0B1C2D3E4F501/Info.plist";
  auto storeWritten = [&] {
    std::ifstream in(info);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("<string>Brennix E40</string>") != std::string::npos;
  };

  // Started by the host: its banner, its store.
  ASSERT_TRUE(root.Start(50));
  ASSERT_TRUE(scenario::WaitFor(storeWritten));
  EXPECT_EQ(LogTexts(root, "Discwarden").at(0), "Discwarden started (1.0.6 rc 1).");
  ASSERT_EQ(Daemons().size(), 1u);
  // Stopped with it.
  EXPECT_EQ(root.Stop(), 0);
  EXPECT_TRUE(scenario::WaitFor([] { return Daemons().empty(); }));

  // A host killed outright: its daemon ends on its own.
  std::filesystem::remove(info);
  ASSERT_TRUE(root.Start(50));
  ASSERT_TRUE(scenario::WaitFor(storeWritten));
  ASSERT_EQ(Daemons().size(), 1u);
  ASSERT_EQ(::kill(root.HostPid(), SIGKILL), 0);
  ::waitpid(root.HostPid(), nullptr, 0);
  EXPECT_TRUE(scenario::WaitFor([] { return Daemons().empty(); }));
  EXPECT_TRUE(Logged(root, "Discwarden", "EndWithHostGone: the host has gone away; Discwarden ends."));

  // What a killed run may leave: disc nodes, and a daemon of the root that did not end.
  for (const char* node : {"/dev/disk7", "/dev/rdisk7s2"}) std::ofstream(root.Path() + node) << "stale";
  std::ofstream(root.Path() + "/dev/console") << "not a disc";
  std::filesystem::create_directories(root.Path() + "/tmp/stale");
  std::filesystem::copy_file("/bin/sleep", root.Path() + "/tmp/stale/Discwarden");
  pid_t stale = bsd::StartProgram("/tmp/stale/Discwarden", {"Discwarden", "300"});
  ASSERT_GT(stale, 0);
  ASSERT_TRUE(scenario::WaitFor([&] { return Daemons() == std::vector<pid_t>{stale}; }));

  ASSERT_TRUE(root.Start(50));
  EXPECT_TRUE(scenario::WaitFor([&] { return ::waitpid(stale, nullptr, WNOHANG) == stale; }));
  EXPECT_FALSE(std::filesystem::exists(root.Path() + "/dev/disk7"));
  EXPECT_FALSE(std::filesystem::exists(root.Path() + "/dev/rdisk7s2"));
  EXPECT_TRUE(std::filesystem::exists(root.Path() + "/dev/console"));
  EXPECT_TRUE(Logged(root, "simhostd", "removed /dev/disk7 left by an earlier run"));
  EXPECT_TRUE(Logged(root, "simhostd", "Discwarden [" + std::to_string(stale) +
                                           "] of an earlier run is still running: ending it"));
  // One daemon: the one this start began.
  EXPECT_TRUE(scenario::WaitFor([&] { return Daemons().size() == 1 && Daemons()[0] != stale; }));
  EXPECT_EQ(root.Stop(), 0);
  platform::hostlink::Disconnect();
}

}  // namespace
