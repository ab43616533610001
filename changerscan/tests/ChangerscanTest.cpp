// changerscan run as a process against a host on a temporary root: its exit status says
// whether a changer is connected.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "HostFixture.h"
#include "platform/BSD.h"

namespace {

class ChangerscanTest : public simhost::test::ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    std::filesystem::create_directories(m_root + "/usr/sbin");
    std::filesystem::copy_file(std::string(SHELVONX_STAGE_DIR) + "/changerscan", m_root + "/usr/sbin/changerscan");
  }

  // The texts changerscan wrote to the system log, without their time and process prefix.
  std::vector<std::string> ToolLogTexts() const {
    std::ifstream in(m_root + "/var/log/system.log");
    std::vector<std::string> texts;
    for (std::string line; std::getline(in, line);) {
      size_t tool = line.find(" changerscan[");
      size_t text = line.find("]: ", tool);
      if (tool != std::string::npos && text != std::string::npos) texts.push_back(line.substr(text + 3));
    }
    return texts;
  }
};

TEST_F(ChangerscanTest, ExitStatusSaysWhetherAChangerIsConnected) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int status;
    std::vector<std::string> logTexts;
  } cases[] = {
      {"no changer", [] {}, 0, {}},
      {"one changer", [this] { AddExample("small-changer.plist"); }, 1, {}},
      {"master port refused",
       [this] {
         std::string error;
         ASSERT_TRUE(m_host->SetHostKnob("master-port-fails", kCFBooleanTrue, error)) << error;
       },
       0,
       {"AreChangersConnected: unable to get the IOKit master port."}},
      {"no host serving the root", [this] { m_server.reset(); }, 0,
       {"AreChangersConnected: unable to get the IOKit master port."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    c.arrange();
    bsd::ProgramResult result = bsd::RunProgram("/usr/sbin/changerscan", {"changerscan", "-v", "ignored"});
    ASSERT_EQ(result.startError, 0);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(ToolLogTexts(), c.logTexts);
  }
}

}  // namespace
