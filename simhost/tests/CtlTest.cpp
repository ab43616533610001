// simhostctl's texts and exit statuses against a host on its socket.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Ctl.h"
#include "HostFixture.h"
#include "Install.h"
#include "platform/Clock.h"

namespace simhost::test {
namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

class CtlTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    ChangerSpec spec = LoadExample("small-changer.plist");
    std::string error;
    ASSERT_TRUE(m_host->AddChanger(std::move(spec), error)) << error;
  }
  Result Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", m_root});
    std::ostringstream out, err;
    int status = RunCtl(args, out, err);
    return {status, out.str(), err.str()};
  }
  std::string Usage() {
    std::ostringstream out, err;
    RunCtl({"--root", m_root}, out, err);
    return err.str().substr(err.str().find('\n') + 1);
  }
};

TEST_F(CtlTest, ShowsTheChangerItsSlotsDrivesAndTree) {
  EXPECT_EQ(Ctl({"changers"}).out,
            "GUID              STATE      SLOTS  LOADED  DRIVES  MEDIA OBJECT\n"
            "00A0B1C2D3E4F501  plugged    4      3       2       -\n");
  EXPECT_EQ(Ctl({"tree"}).out,
            "IORegistryEntry\n"
            "  TavrinChangerRoboticsDevice  GUID=00A0B1C2D3E4F501  Current Data Transfer Element Configuration=(-1,-1)"
            "  Loaded Storage Element Count=3\n"
            "    TavrinChangerDVDBlockSwitch  GUID=00A0B1C2D3E4F501  Current Mounted Storage Elements=()\n"
            "    TavrinChangerPeripheralDeviceType05  GUID=00A0B1C2D3E4F501  DVD Features=0x8\n"
            "    TavrinChangerPeripheralDeviceType05  GUID=00A0B1C2D3E4F501  DVD Features=0x0\n");

  Changer& changer = *m_host->FindChanger(0x00A0B1C2D3E4F501);
  ServiceId blockSwitch = m_host->registry().Children(m_host->registry().Children(1).at(0)).at(0);
  ASSERT_EQ(m_host->registry().RequestSetProperty(blockSwitch, "Storage Element Mount Request", cf::Int16(1).get()), 0);
  ASSERT_TRUE(RunUntil([&] { return changer.StorageElementForDisk("disk2", nullptr) == 1; }));
  EXPECT_EQ(Ctl({"slots"}).out,
            "changer 00A0B1C2D3E4F501\n"
            "SLOT  MEDIA     DRIVE  DISK     CONTENT\n"
            "   0  DVD-ROM   -      -        hfs \"Photos\"\n"
            "   1  DVD-RAM   0      disk2    s1 hfs \"Alpha\", s2 msdos \"Beta\"\n"
            "   2  empty\n"
            "   3  DVD-R     -      -        blank\n");
  EXPECT_EQ(Ctl({"drives"}).out,
            "changer 00A0B1C2D3E4F501\n"
            "DRIVE  FEATURES  SLOT  DISK\n"
            "    0  0x8       1     disk2\n"
            "    1  0x0       -     -\n");
  EXPECT_EQ(Ctl({"--json", "drives"}).out,
            "[{\"GUID\":\"00A0B1C2D3E4F501\",\"Drives\":[{\"Drive\":0,\"DVD Features\":8,\"Storage Element\":1,"
            "\"Published\":true,\"BSD Name\":\"disk2\"},{\"Drive\":1,\"DVD Features\":0,\"Storage Element\":-1,"
            "\"Published\":true}]}]\n");
}

TEST_F(CtlTest, ActionsReportWhatTheyDid) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"insert", "--type", "CD-R", "--fs", "cd9660", "--name", "Music"}, "inserted a disc into storage element 2\n"},
      {{"remove", "--slot", "2"}, "removed the disc of storage element 2\n"},
      {{"set", "--slot", "3", "never-online", "true"}, "never-online = true\n"},
      {{"set", "alerts-fail", "yes"}, "alerts-fail = yes\n"},
      {{"message", "0xE0034001"}, "sent message 0xE0034001\n"},
      {{"--json", "set", "refuse-reset", "true"}, "{}\n"},
      {{"unplug"}, "unplugged\n"},
      {{"replug", "--after", "2"}, "plugged in again after 2 seconds\n"},
  };
  for (const Case& c : cases) {
    Result r = Ctl(c.args);
    EXPECT_EQ(r.status, 0) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  EXPECT_TRUE(m_host->HostKnob("alerts-fail"));
  ASSERT_TRUE(RunUntil([&] { return m_host->FindChanger(0x00A0B1C2D3E4F501)->IsPlugged(); }));
}

TEST_F(CtlTest, BadArgumentsGiveAClearErrorAndStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"frobnicate"}, 64, "simhostctl: unknown command \"frobnicate\"\n" + Usage()},
      {{"--bogus", "status"}, 64, "simhostctl: unknown option --bogus\n" + Usage()},
      {{"slots", "extra"}, 64, "simhostctl: slots takes no arguments\n" + Usage()},
      {{"message", "loud"}, 64, "simhostctl: the message type is a 32-bit number (0xE0034001)\n" + Usage()},
      {{"set", "no-such-knob", "1"}, 1, "simhostctl: unknown knob \"no-such-knob\"\n"},
      {{"set", "--slot", "1", "refuse-reset", "true"}, 1,
       "simhostctl: knob \"refuse-reset\" applies to a whole changer, not to a slot\n"},
      {{"remove", "--slot", "2"}, 1, "simhostctl: storage element 2 is empty\n"},
      {{"insert", "--slot", "0"}, 1, "simhostctl: storage element 0 already holds a disc\n"},
      {{"insert", "--fs", "ntfs", "--name", "X"}, 1,
       "simhostctl: partition 0: unknown \"File System\" \"ntfs\" (hfs, cd9660, udf, msdos)\n"},
      {{"--changer", "FFFF", "unplug"}, 1, "simhostctl: no changer with GUID 000000000000FFFF\n"},
      {{"--changer", "xyz", "slots"}, 1, "simhostctl: \"xyz\" is not a GUID (up to 16 hexadecimal digits)\n"},
      {{"load-end"}, 1, "simhostctl: no load in progress on changer 00A0B1C2D3E4F501\n"},
      {{"replug"}, 1, "simhostctl: changer 00A0B1C2D3E4F501 is plugged in\n"},
      {{"eject", "disk9"}, 1, "simhostctl: cannot eject disk9 (0xE00002C0)\n"},
      {{"add-changer", "/nonexistent/changer.plist"}, 1, "simhostctl: /nonexistent/changer.plist: cannot be read\n"},
      {{"add-changer", Example("small-changer.plist")}, 1,
       "simhostctl: a changer with GUID 00A0B1C2D3E4F501 is already attached\n"},
  };
  for (const Case& c : cases) {
    Result r = Ctl(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
    EXPECT_EQ(r.out, "") << c.args[0];
  }
  m_server->Stop();
  platform::hostlink::Disconnect();
  Result r = Ctl({"status"});
  EXPECT_EQ(r.status, 69);
  EXPECT_EQ(r.err, "simhostctl: no host is serving " + m_root + " (start it with `simhostd run " + m_root + "`)\n");
}

// Numbers out of range are refused before anything changes: no slot wrapped onto another, no
// kept description replaced, no clock file that no process could read.
TEST_F(CtlTest, RefusalsChangeNothing) {
  std::string clockFile = m_root + "/var/run/clock";
  std::string kept = m_root + kAtStartDir + std::string("/00A0B1C2D3E4F501.plist");
  std::filesystem::create_directories(std::filesystem::path(kept).parent_path());
  std::ofstream(kept) << "kept before";
  std::ofstream(clockFile) << "0 100.000000 1.000000\n";
  auto contents = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"remove", "--slot", "4294967296"}, 64, "simhostctl: --slot takes a storage element number (0 to 32767)\n" + Usage()},
      {{"remove", "--slot", "-1"}, 64, "simhostctl: --slot takes a storage element number (0 to 32767)\n" + Usage()},
      {{"remove", "--slot", "32768"}, 64, "simhostctl: --slot takes a storage element number (0 to 32767)\n" + Usage()},
      {{"remove", "--slot", "4"}, 1, "simhostctl: changer 00A0B1C2D3E4F501 has no storage element 4\n"},
      {{"add-changer", "--at-start", Example("small-changer.plist")}, 1,
       "simhostctl: a changer with GUID 00A0B1C2D3E4F501 is already attached\n"},
      {{"clock", "--rate", "0.0000001"}, 64, "simhostctl: --rate takes a number from 0.001 to 1000000\n" + Usage()},
      {{"clock", "--rate", "1e300"}, 64, "simhostctl: --rate takes a number from 0.001 to 1000000\n" + Usage()},
      {{"clock", "--advance", "1e300"}, 64,
       "simhostctl: --advance takes a number of seconds up to 1000000000000\n" + Usage()},
  };
  for (const Case& c : cases) {
    Result r = Ctl(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[2];
    EXPECT_EQ(r.err, c.err) << c.args[2];
    EXPECT_EQ(r.out, "") << c.args[2];
  }
  EXPECT_EQ(contents(kept), "kept before");
  EXPECT_EQ(contents(clockFile), "0 100.000000 1.000000\n");
  EXPECT_EQ(Ctl({"slots"}).out.find("   0  empty"), std::string::npos) << "slot 0 keeps its disc";

  // The host checks as well, whoever sends the request.
  for (const char* command : {"remove", "clock"}) {
    auto request = cf::Dict();
    cf::Set(request.get(), "op", "control");
    cf::Set(request.get(), "command", command);
    cf::Set(request.get(), "slot", int64_t{4294967296});
    cf::Set(request.get(), "advance", cf::Double(1e300).get());
    CFRef<CFDictionaryRef> reply = platform::hostlink::Call(request.get());
    ASSERT_TRUE(reply) << command;
    EXPECT_NE(platform::hostlink::ReplyStatus(reply.get(), 0), 0) << command;
    EXPECT_EQ(cf::GetString(reply.get(), "error").value_or(""),
              std::string(command) == "remove" ? "changer 00A0B1C2D3E4F501 has no storage element -1"
                                               : "the clock cannot go beyond 1000000000000 seconds");
  }
  EXPECT_EQ(Ctl({"slots"}).out.find("   0  empty"), std::string::npos);
  platform::clock::Published clock;
  EXPECT_FALSE(platform::clock::WriteClockFile(clockFile, {0, 1e300, 1}));
  EXPECT_FALSE(platform::clock::WriteClockFile(clockFile, {0, 0, 1e-7}));
  EXPECT_EQ(contents(clockFile), "0 100.000000 1.000000\n");
  EXPECT_TRUE(platform::clock::ReadClockFile(clockFile, clock));
  std::ofstream(clockFile) << "0 100.000000 0.000000\n";
  EXPECT_FALSE(platform::clock::ReadClockFile(clockFile, clock));
}

}  // namespace
}  // namespace simhost::test
