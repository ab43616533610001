#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "HostFixture.h"
#include "Install.h"

namespace simhost::test {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(InitRoot, LaysOutTheRootAndInstallsWhatIsBuilt) {
  std::string root = MakeTempRoot();
  std::string stage = MakeTempRoot();
  std::string source = MakeTempRoot();
  for (const char* name : {"changerscan", "unrelated"}) std::ofstream(fs::path(stage) / name) << name;
  fs::path stagedBundle = fs::path(stage) / "Discwarden.bundle/Contents";
  fs::create_directories(stagedBundle / "MacOS");
  fs::create_directories(stagedBundle / "Resources");
  std::ofstream(stagedBundle / "MacOS/Discwarden") << "Discwarden";
  std::ofstream(stagedBundle / "Info.plist") << "info";
  std::ofstream(stagedBundle / "Resources/d40.icns") << "icon";

  std::vector<std::string> installed;
  std::string error;
  ASSERT_TRUE(InitRoot(root, stage, source, "10.4.2", installed, error)) << error;
  EXPECT_EQ(installed, (std::vector<std::string>{
                           "Discwarden.bundle/Contents/MacOS/Discwarden -> "
                           "/Library/StartupItems/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden",
                           "changerscan -> /usr/sbin/changerscan"}));
  fs::path bundle = fs::path(root) / "Library/StartupItems/Discwarden/Discwarden.bundle/Contents";
  EXPECT_EQ(Read(bundle / "MacOS/Discwarden"), "Discwarden");
  EXPECT_EQ(Read(bundle / "Info.plist"), "info");
  EXPECT_EQ(Read(bundle / "Resources/d40.icns"), "icon");
  for (const char* dir : {"Volumes", "dev", "var/run/ports", "System/Library/Filesystems", "System/Library/Extensions",
                          "sbin", "Library/StartupItems"})
    EXPECT_TRUE(fs::is_directory(fs::path(root) / dir)) << dir;
  // The daemon makes the store itself, with the group and mode its folders need.
  EXPECT_FALSE(fs::exists(fs::path(root) / "Library/Changers"));
  EXPECT_NE(Read(fs::path(root) / "System/Library/CoreServices/SystemVersion.plist").find("<string>10.4.2</string>"),
            std::string::npos);
  EXPECT_NE(Read(fs::path(root) / "etc/group").find("\nadmin:*:80:root"), std::string::npos);
  EXPECT_EQ(fs::read_symlink(fs::path(root) / "bin/cp"), "/bin/cp");

  // Again over an existing root: programs refreshed, the store left alone.
  fs::create_directories(fs::path(root) / "Library/Changers");
  std::ofstream(fs::path(root) / "Library/Changers/keep") << "kept";
  std::ofstream(stagedBundle / "MacOS/Discwarden") << "newer";
  ASSERT_TRUE(InitRoot(root, stage, source, "10.4.2", installed, error)) << error;
  EXPECT_EQ(Read(bundle / "MacOS/Discwarden"), "newer");
  EXPECT_EQ(Read(fs::path(root) / "Library/Changers/keep"), "kept");
  for (const auto& dir : {root, stage, source}) fs::remove_all(dir);
}

// simhostd refuses a rate its clock file could not carry, before it writes anything.
TEST(SimhostdRun, RefusesARateOutOfRange) {
  std::string root = MakeTempRoot();
  fs::create_directories(root + "/var/run");
  for (const char* rate : {"1e300", "0.0000001", "0", "-1", "nan", "inf"}) {
    std::string out = root + "/stderr";
    std::string command = std::string("'") + SHELVONX_STAGE_DIR + "/simhostd' run '" + root + "' --rate " + rate +
                          " >'" + out + "' 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << rate;
    EXPECT_EQ(WEXITSTATUS(status), 64) << rate;
    EXPECT_EQ(Read(out), "simhostd: --rate takes a number from 0.001 to 1000000\n") << rate;
    EXPECT_FALSE(fs::exists(root + "/var/run/clock")) << rate;
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace simhost::test
