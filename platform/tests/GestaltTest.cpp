#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Gestalt.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace {

namespace fs = std::filesystem;

class GestaltRoot : public platform_test::TempRootTest {
 protected:
  GestaltRoot() : TempRootTest("gestalttest") {}
  // The file's content, or no file at all when `content` is null.
  void PutSystemVersion(const char* content) {
    std::string path = m_root + "/System/Library/CoreServices/SystemVersion.plist";
    fs::remove(path);
    if (!content) return;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << content;
  }
  static std::string VersionPlist(const std::string& productVersionValue) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>ProductName</key>\n\t<string>Mac OS X</string>\n"
           "\t<key>ProductVersion</key>\n\t" + productVersionValue + "\n</dict>\n</plist>\n";
  }
};

TEST_F(GestaltRoot, SystemVersionIsTheBCDOfProductVersion) {
  struct Case {
    std::string file;  // "" for no file
    OSErr err;
    SInt32 response;
  } cases[] = {
      {VersionPlist("<string>10.2.4</string>"), 0, 0x1024},
      {VersionPlist("<string>10.2.5</string>"), 0, 0x1025},
      {VersionPlist("<string>10.3.9</string>"), 0, 0x1039},
      {VersionPlist("<string>10.4</string>"), 0, 0x1040},
      {VersionPlist("<string>10.4.0</string>"), 0, 0x1040},
      {VersionPlist("<string>10.4.11</string>"), 0, 0x1049},
      {VersionPlist("<string>10.5.0</string>"), 0, 0x1050},
      {VersionPlist("<string>10.12.3</string>"), 0, 0x1093},
      {"", gestaltUnknownErr, 0},
      {"not a property list", gestaltUnknownErr, 0},
      {VersionPlist("<string>10</string>"), gestaltUnknownErr, 0},
      {VersionPlist("<string>10.4.x</string>"), gestaltUnknownErr, 0},
      {VersionPlist("<string>10.4.1.2</string>"), gestaltUnknownErr, 0},
      {VersionPlist("<string>10..4</string>"), gestaltUnknownErr, 0},
      {VersionPlist("<string>-10.4</string>"), gestaltUnknownErr, 0},
      {VersionPlist("<integer>1039</integer>"), gestaltUnknownErr, 0},
  };
  for (const auto& c : cases) {
    PutSystemVersion(c.file.empty() ? nullptr : c.file.c_str());
    SInt32 response = 0x7777;
    EXPECT_EQ(Gestalt(gestaltSystemVersion, &response), c.err) << c.file;
    EXPECT_EQ(response, c.response) << c.file;
  }
}

TEST_F(GestaltRoot, OtherSelectorsAndNoResponse) {
  PutSystemVersion(VersionPlist("<string>10.3.9</string>").c_str());
  SInt32 response = 0x7777;
  EXPECT_EQ(Gestalt(0x6D616368 /* 'mach' */, &response), gestaltUndefSelectorErr);
  EXPECT_EQ(response, 0);
  EXPECT_EQ(Gestalt(gestaltSystemVersion, nullptr), -50);
  EXPECT_EQ(Gestalt(gestaltSystemVersion, &response), 0);
  EXPECT_EQ(response, 0x1039);
}

}  // namespace
