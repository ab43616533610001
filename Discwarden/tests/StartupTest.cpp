// The system check with its user alerts, run in this process with the daemon's bundle installed
// in a temporary root and a host recording the alerts.
#include <gtest/gtest.h>

#include <filesystem>

#include "HostFixture.h"
#include "LogMessage.h"
#include "Startup.h"
#include "StoreFixture.h"
#include "platform/CFBundle.h"
#include "platform/Log.h"

namespace discwarden::test {
namespace {

constexpr const char* k_iconPath = "/Library/StartupItems/Discwarden/Discwarden.bundle/Contents/Resources/d40.icns";
constexpr const char* k_minimumText = "Shelvon X requires Mac OS X 10.2.5 or later.\n";
constexpr const char* k_maximumText = "This version of Shelvon X is not compatible with Mac OS X 10.5 or later.\n";

class StartupTest : public simhost::test::ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    InstallDaemonBundle(m_root);
    platform::SetMainBundleExecutable(k_daemonPath);
  }
  void TearDown() override {
    platform::SetMainBundleExecutable("");
    ClientFixture::TearDown();
  }
  void SetProductVersion(const std::string& i_version) {
    WriteFile(m_root + "/System/Library/CoreServices/SystemVersion.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
              "\t<key>ProductVersion</key>\n\t<string>" + i_version + "</string>\n</dict>\n</plist>\n");
  }
  std::vector<std::string> AlertMessages() const {
    std::vector<std::string> messages;
    for (const simhost::Alert& alert : m_host->Alerts()) messages.push_back(alert.message);
    return messages;
  }
};

TEST_F(StartupTest, SystemVersionDecidesCompatibilityAndTiger) {
  struct Case {
    SInt32 version;
    bool compatible;
    bool tiger;
    const char* alert;
  } cases[] = {
      {0x1024, false, false, k_minimumText}, {0x1025, true, false, nullptr}, {0x103F, true, false, nullptr},
      {0x1040, true, true, nullptr},         {0x104F, true, true, nullptr},  {0x1050, false, false, k_maximumText},
      {0x1000, false, false, k_minimumText}, {0x1100, false, false, k_maximumText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.version);
    size_t alertsBefore = m_host->Alerts().size();
    platform::log::Capture capture;
    g_runningOnTiger = !c.tiger;
    EXPECT_EQ(AssertSystemCompatibility(c.version), c.compatible);
    if (c.compatible) {
      EXPECT_EQ(g_runningOnTiger, c.tiger);
    }
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{});
    std::vector<simhost::Alert> alerts = m_host->Alerts();
    ASSERT_EQ(alerts.size(), alertsBefore + (c.alert ? 1 : 0));
    if (c.alert) {
      const simhost::Alert& alert = alerts.back();
      EXPECT_EQ(alert.header, "Brennix Shelvon X");
      EXPECT_EQ(alert.message, c.alert);
      EXPECT_EQ(alert.defaultButton, "OK");
      EXPECT_EQ(alert.iconURL, k_iconPath);
      EXPECT_EQ(alert.level, 2);
    }
  }
  g_runningOnTiger = false;
}

TEST_F(StartupTest, VersionIsReadFromTheSystem) {
  struct Case {
    const char* productVersion;  // null: no SystemVersion.plist
    bool compatible;
    bool tiger;
    std::vector<std::string> lines;
    std::vector<std::string> alerts;
  } cases[] = {
      {"10.3.9", true, false, {}, {}},
      {"10.4.11", true, true, {}, {}},
      {"10.2.4", false, false, {}, {k_minimumText}},
      {"10.5", false, false, {}, {k_maximumText}},
      {nullptr, false, false, {"AssertSystemCompatibility: unable to get system version with Gestalt (-5550).\n"}, {}},
      {"ten", false, false, {"AssertSystemCompatibility: unable to get system version with Gestalt (-5550).\n"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.productVersion ? c.productVersion : "none");
    std::filesystem::remove(m_root + "/System/Library/CoreServices/SystemVersion.plist");
    if (c.productVersion) SetProductVersion(c.productVersion);
    size_t alertsBefore = m_host->Alerts().size();
    platform::log::Capture capture;
    g_runningOnTiger = false;
    EXPECT_EQ(AssertSystemCompatibility(), c.compatible);
    EXPECT_EQ(g_runningOnTiger, c.tiger);
    EXPECT_EQ(capture.Lines(), c.lines);
    std::vector<std::string> messages = AlertMessages();
    EXPECT_EQ(std::vector<std::string>(messages.begin() + static_cast<long>(alertsBefore), messages.end()), c.alerts);
  }
  g_runningOnTiger = false;
}

TEST_F(StartupTest, AnAlertThatCannotBeShownIsOnlyLogged) {
  struct Case {
    const char* name;
    bool removeIcon;
    bool hostRefuses;
    SInt32 version;
    std::vector<std::string> lines;
  } cases[] = {
      {"no icon, too old", true, false, 0x1024,
       {"NotifyUserOfFailure: unable to create a CFURL for the icon file.\n",
        "AssertSystemCompatibility: unable to notify user that the minimum system requirement test failed.\n"}},
      {"no icon, too new", true, false, 0x1050,
       {"NotifyUserOfFailure: unable to create a CFURL for the icon file.\n",
        "AssertSystemCompatibility: unable to notify user that the maximum system requirement test failed.\n"}},
      {"alert refused", false, true, 0x1050,
       {"NotifyUserOfFailure: unable to display the notification alert\n",
        "AssertSystemCompatibility: unable to notify user that the maximum system requirement test failed.\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.removeIcon) std::filesystem::remove(m_root + k_iconPath);
    std::string error;
    if (c.hostRefuses) {
      ASSERT_TRUE(m_host->SetHostKnob("alerts-fail", kCFBooleanTrue, error)) << error;
    }
    platform::log::Capture capture;
    EXPECT_FALSE(AssertSystemCompatibility(c.version));
    EXPECT_EQ(capture.Lines(), c.lines);
    EXPECT_EQ(m_host->Alerts().size(), 0u);
  }
}

TEST_F(StartupTest, BundleCarriesItsResources) {
  std::string resources = m_root + std::string(k_daemonBundlePath) + "/Contents/Resources/";
  std::string icon = ReadFile(resources + "d40.icns");
  ASSERT_GE(icon.size(), 8u);
  EXPECT_EQ(icon.substr(0, 4), "icns");
  EXPECT_EQ(static_cast<size_t>(static_cast<unsigned char>(icon[4]) << 24 | static_cast<unsigned char>(icon[5]) << 16 |
                                static_cast<unsigned char>(icon[6]) << 8 | static_cast<unsigned char>(icon[7])),
            icon.size());
  std::string fork = ReadFile(resources + "CD.rsrc");
  ASSERT_GT(fork.size(), 256u);
  EXPECT_NE(fork.find(icon), std::string::npos);
  std::string store = ReadFile(resources + "Default.DS_Store");
  ASSERT_GE(store.size(), 8u);
  EXPECT_EQ(store.substr(0, 8), std::string("\0\0\0\1Bud1", 8));
  EXPECT_NE(store.find("DSDB"), std::string::npos);
}

}  // namespace
}  // namespace discwarden::test
