// The daemon run as a process from its bundle in a temporary root, against a host served from
// this process: its start failures and its end on a termination signal, seen through its exit
// status, the system log, the recorded alerts and the changer store.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>

#include "HostFixture.h"
#include "StoreFixture.h"
#include "platform/BSD.h"
#include "platform/Clock.h"

namespace discwarden::test {
namespace {

constexpr const char* k_banner = "Discwarden started (1.0.6 rc 1).";

class DaemonProcessTest : public simhost::test::ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    InstallDaemonBundle(m_root);
    WriteFile(m_root + "/etc/group", "wheel:*:0:root\nadmin:*:80:root\n");
    // The daemon follows the root's clock file.
    ASSERT_TRUE(platform::clock::PublishRate(50));
  }
  void SetProductVersion(const std::string& i_version) {
    WriteFile(m_root + "/System/Library/CoreServices/SystemVersion.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "\t<key>ProductVersion</key>\n\t<string>" + i_version + "</string>\n</dict>\n</plist>\n");
  }
  // What the daemon wrote to the system log, without the time and process prefix.
  std::vector<std::string> DaemonLogTexts() const {
    std::ifstream in(m_root + "/var/log/system.log");
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
      size_t program = line.find(" Discwarden[");
      size_t text = line.find("]: ", program);
      if (program != std::string::npos && text != std::string::npos) texts.push_back(line.substr(text + 3));
    }
    return texts;
  }
  bool WaitUntil(const std::function<bool()>& i_done, double i_realSeconds = 20) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(i_realSeconds);
    while (!i_done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
};

TEST_F(DaemonProcessTest, AFailedStartEndsWithStatusZeroAndOneLineFromMain) {
  struct Case {
    const char* name;
    const char* productVersion;  // null: none
    bool removeIcon;
    bool hostRefusesAlerts;
    std::vector<std::string> lines;
    std::vector<std::string> alerts;
  } cases[] = {
      {"too old", "10.2.4", false, false, {k_banner, "main: Discwarden is not compatible with this system."},
       {"Shelvon X requires Mac OS X 10.2.5 or later.\n"}},
      {"too new", "10.5.1", false, false, {k_banner, "main: Discwarden is not compatible with this system."},
       {"This version of Shelvon X is not compatible with Mac OS X 10.5 or later.\n"}},
      {"version unknown", nullptr, false, false,
       {k_banner, "AssertSystemCompatibility: unable to get system version with Gestalt (-5550).",
        "main: Discwarden is not compatible with this system."},
       {}},
      {"too old, no icon", "10.2.4", true, false,
       {k_banner, "NotifyUserOfFailure: unable to create a CFURL for the icon file.",
        "AssertSystemCompatibility: unable to notify user that the minimum system requirement test failed.",
        "main: Discwarden is not compatible with this system."},
       {}},
      {"too new, alert refused", "10.6", false, true,
       {k_banner, "NotifyUserOfFailure: unable to display the notification alert",
        "AssertSystemCompatibility: unable to notify user that the maximum system requirement test failed.",
        "main: Discwarden is not compatible with this system."},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.productVersion) SetProductVersion(c.productVersion);
    if (c.removeIcon)
      std::filesystem::remove(m_root + std::string(k_daemonBundlePath) + "/Contents/Resources/d40.icns");
    std::string error;
    if (c.hostRefusesAlerts) {
      ASSERT_TRUE(m_host->SetHostKnob("alerts-fail", kCFBooleanTrue, error)) << error;
    }

    bsd::ProgramResult result = bsd::RunProgram(k_daemonPath, {"Discwarden", "--ignored"});
    ASSERT_EQ(result.startError, 0);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(DaemonLogTexts(), c.lines);
    std::vector<std::string> alerts;
    for (const simhost::Alert& alert : m_host->Alerts()) alerts.push_back(alert.message);
    EXPECT_EQ(alerts, c.alerts);
  }
}

TEST_F(DaemonProcessTest, TerminationSignalsAndAHostGoneEndTheDaemonWithStatusZeroLeavingChangersAsTheyAre) {
  struct Case {
    int signalNumber;  // 0: the host goes away instead
    const char* name;
    const char* endLine;  // logged once; null: none
  } cases[] = {{SIGINT, "SIGINT", nullptr},
               {SIGTERM, "SIGTERM", nullptr},
               {SIGHUP, "SIGHUP", nullptr},
               {0, "host gone", "EndWithHostGone: the host has gone away; Discwarden ends."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    SetProductVersion("10.3.9");
    AddExample("small-changer.plist");
    std::string changerDir = m_root + "/Library/Changers/00A0B1C2D3E4F501";

    pid_t pid = bsd::StartProgram(k_daemonPath, {"Discwarden"});
    ASSERT_GT(pid, 0);
    // The changer's thread has named it in its info file.
    ASSERT_TRUE(WaitUntil([&] {
      return ReadFile(changerDir + "/Info.plist").find("<string>Brennix E40</string>") != std::string::npos;
    }));
    if (c.signalNumber != 0) {
      ASSERT_EQ(::kill(pid, c.signalNumber), 0);
    } else {
      m_server->Stop();
    }
    // Bounded: a daemon that does not end fails the case instead of hanging the suite.
    bool ended = WaitUntil([&] {
      siginfo_t info{};
      return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
    });
    if (!ended) ::kill(pid, SIGKILL);
    bsd::ProgramResult result = bsd::WaitForProgram(pid);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.status, 0);

    std::vector<std::string> lines = DaemonLogTexts();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], k_banner);
    EXPECT_EQ(lines[1], "RunChangerThread: starting changer thread.");
    // Nothing is torn down but the notifications: the changer thread did not end.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "RunChangerThread: changer thread ended."), 0);
    // Other threads may still log what the vanished host refused them before the process ends.
    if (c.endLine != nullptr) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), c.endLine), 1) << c.endLine;
    }
    EXPECT_TRUE(std::filesystem::exists(changerDir + "/Root/.Trashes"));
  }
}

}  // namespace
}  // namespace discwarden::test
