#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/CoreFoundation.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace {

namespace fs = std::filesystem;

std::string Text(CFStringRef s) { return s ? CFStringGetCStringPtr(s, kCFStringEncodingUTF8) : "(null)"; }
std::string PathOf(CFURLRef url) {
  if (!url) return "(null)";
  CFRef<CFURLRef> absolute(CFURLCopyAbsoluteURL(url));
  CFRef<CFStringRef> path(CFURLCopyFileSystemPath(absolute.get(), kCFURLPOSIXPathStyle));
  return Text(path.get());
}
CFRef<CFURLRef> DirURL(const char* mac) {
  CFRef<CFStringRef> s(CFStringCreateWithCString(nullptr, mac, kCFStringEncodingUTF8));
  return CFRef(CFURLCreateWithFileSystemPath(nullptr, s.get(), kCFURLPOSIXPathStyle, true));
}
CFRef<CFStringRef> Str(const char* s) { return CFRef(CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8)); }

const char* const kFSInfo =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
    "\t<key>CFBundleIdentifier</key>\n\t<string>com.example.filesystems.cd9660</string>\n"
    "\t<key>FSMediaTypes</key>\n\t<dict>\n\t\t<key>CD_ROM_Mode_1</key>\n\t\t<dict>\n"
    "\t\t\t<key>FSProbeExecutable</key>\n\t\t\t<string>cd9660.util</string>\n"
    "\t\t\t<key>FSProbeOrder</key>\n\t\t\t<integer>2000</integer>\n\t\t</dict>\n\t</dict>\n"
    "</dict>\n</plist>\n";

class BundleRoot : public platform_test::TempRootTest {
 protected:
  BundleRoot() : TempRootTest("bundletest") {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
    Put("/System/Library/Filesystems/cd9660.fs/Contents/Info.plist", kFSInfo);
    Put("/System/Library/Filesystems/cd9660.fs/Contents/Resources/cd9660.util", "#!/bin/sh\n");
    Put("/System/Library/Filesystems/cd9660.fs/Contents/Resources/Icons/d40.icns", "icon");
    Put("/System/Library/Filesystems/cd9660.fs/Contents/Resources/English.lproj/Strings.txt", "s");
    Put("/System/Library/Filesystems/broken.fs/Contents/Info.plist", "<plist><dict><key>x</key>");
    fs::create_directories(m_root + "/System/Library/Filesystems/bare.fs");
  }
  void TearDown() override {
    platform::SetMainBundleExecutable("");
    TempRootTest::TearDown();
  }
  void Put(const std::string& mac, const std::string& content) {
    fs::create_directories(fs::path(m_root + mac).parent_path());
    std::ofstream(m_root + mac) << content;
  }
};

TEST_F(BundleRoot, ResourcesAreFoundRelativeToTheBundle) {
  CFRef<CFBundleRef> b(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/cd9660.fs").get()));
  ASSERT_TRUE(b);
  CFRef<CFURLRef> bundleURL(CFBundleCopyBundleURL(b.get()));
  EXPECT_EQ(PathOf(bundleURL.get()), "/System/Library/Filesystems/cd9660.fs");
  CFRef<CFURLRef> res(CFBundleCopyResourcesDirectoryURL(b.get()));
  CFRef<CFStringRef> relative(CFURLCopyPath(res.get()));
  EXPECT_EQ(Text(relative.get()), "Contents/Resources/");
  EXPECT_EQ(PathOf(res.get()), "/System/Library/Filesystems/cd9660.fs/Contents/Resources");

  struct Case {
    const char* name;
    const char* type;
    const char* subdir;
    const char* path;
  } cases[] = {
      {"cd9660", "util", nullptr, "/System/Library/Filesystems/cd9660.fs/Contents/Resources/cd9660.util"},
      {"cd9660.util", nullptr, nullptr, "/System/Library/Filesystems/cd9660.fs/Contents/Resources/cd9660.util"},
      {"d40", "icns", "Icons", "/System/Library/Filesystems/cd9660.fs/Contents/Resources/Icons/d40.icns"},
      {"Strings", "txt", nullptr, "/System/Library/Filesystems/cd9660.fs/Contents/Resources/English.lproj/Strings.txt"},
      {"d40", "icns", nullptr, "(null)"},
      {"CD", "rsrc", nullptr, "(null)"},
      {"../Info", "plist", nullptr, "(null)"},
  };
  for (const auto& c : cases) {
    CFRef<CFURLRef> url(CFBundleCopyResourceURL(b.get(), Str(c.name).get(), c.type ? Str(c.type).get() : nullptr,
                                                c.subdir ? Str(c.subdir).get() : nullptr));
    EXPECT_EQ(PathOf(url.get()), c.path) << c.name;
  }
  // A flat bundle keeps its resources in itself.
  CFRef<CFBundleRef> bare(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/bare.fs").get()));
  CFRef<CFURLRef> bareRes(CFBundleCopyResourcesDirectoryURL(bare.get()));
  CFRef<CFStringRef> bareRelative(CFURLCopyPath(bareRes.get()));
  EXPECT_EQ(Text(bareRelative.get()), "./");
  EXPECT_EQ(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/none.fs").get()), nullptr);
}

TEST_F(BundleRoot, InfoDictionariesAndIdentifiers) {
  long before = CFLiveObjectCount();
  {
    CFRef<CFDictionaryRef> info(CFBundleCopyInfoDictionaryInDirectory(DirURL("/System/Library/Filesystems/cd9660.fs").get()));
    ASSERT_TRUE(info);
    auto types = static_cast<CFDictionaryRef>(CFDictionaryGetValue(info.get(), CFSTR("FSMediaTypes")));
    auto mode1 = static_cast<CFDictionaryRef>(CFDictionaryGetValue(types, CFSTR("CD_ROM_Mode_1")));
    EXPECT_EQ(Text(static_cast<CFStringRef>(CFDictionaryGetValue(mode1, CFSTR("FSProbeExecutable")))), "cd9660.util");
    struct Case {
      const char* dir;
      bool hasInfo;
    } cases[] = {{"/System/Library/Filesystems/broken.fs", false},
                 {"/System/Library/Filesystems/bare.fs", false},
                 {"/System/Library/Filesystems/none.fs", false}};
    for (const auto& c : cases)
      EXPECT_EQ(CFBundleCopyInfoDictionaryInDirectory(DirURL(c.dir).get()), nullptr) << c.dir;

    CFRef<CFBundleRef> b(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/cd9660.fs").get()));
    EXPECT_EQ(Text(CFBundleGetIdentifier(b.get())), "com.example.filesystems.cd9660");
    EXPECT_TRUE(CFEqual(CFBundleGetInfoDictionary(b.get()), info.get()));
    EXPECT_TRUE(CFEqual(CFBundleGetValueForInfoDictionaryKey(b.get(), CFSTR("FSMediaTypes")), types));
    // One object per directory while it lives; found by identifier only while it lives.
    CFRef<CFBundleRef> again(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/cd9660.fs/").get()));
    EXPECT_EQ(again.get(), b.get());
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.example.filesystems.cd9660")), b.get());
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.example.other")), nullptr);
    CFRef<CFBundleRef> broken(CFBundleCreate(nullptr, DirURL("/System/Library/Filesystems/broken.fs").get()));
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(broken.get())), 0);
    EXPECT_EQ(CFBundleGetIdentifier(broken.get()), nullptr);
    again.reset();
    b.reset();
  }
  EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.example.filesystems.cd9660")), nullptr);
  EXPECT_EQ(CFLiveObjectCount(), before);
}

TEST_F(BundleRoot, MainBundleComesFromTheExecutablePath) {
  Put("/Library/Discwarden/Discwarden.bundle/Contents/Info.plist",
      "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.discwarden</string>"
      "<key>CFBundleExecutable</key><string>Discwarden</string></dict></plist>");
  Put("/Library/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden", "");
  Put("/Library/Discwarden/Discwarden.bundle/Contents/Resources/d40.icns", "icon");
  Put("/usr/sbin/changerscan", "");
  struct Case {
    const char* executable;
    const char* bundle;
    const char* icon;
  } cases[] = {
      {"/Library/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden", "/Library/Discwarden/Discwarden.bundle",
       "/Library/Discwarden/Discwarden.bundle/Contents/Resources/d40.icns"},
      {"/usr/sbin/changerscan", "/usr/sbin", "(null)"},
  };
  for (const auto& c : cases) {
    platform::SetMainBundleExecutable(c.executable);
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    CFRef<CFURLRef> url(CFBundleCopyBundleURL(main));
    EXPECT_EQ(PathOf(url.get()), c.bundle);
    CFRef<CFURLRef> icon(CFBundleCopyResourceURL(main, CFSTR("d40"), CFSTR("icns"), nullptr));
    EXPECT_EQ(PathOf(icon.get()), c.icon);
    CFRef<CFURLRef> exe(CFBundleCopyExecutableURL(main));
    EXPECT_EQ(PathOf(exe.get()), c.executable);
  }
  platform::SetMainBundleExecutable("/Library/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden");
  EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("com.example.discwarden")), CFBundleGetMainBundle());

  // The running program, with the root just above its directory: the path comes back in Mac form.
  platform::SetMainBundleExecutable("");
  fs::path exe = fs::read_symlink("/proc/self/exe");
  ::setenv("SHELVONX_SYSROOT", exe.parent_path().parent_path().c_str(), 1);
  platform::ResetSysRoot();
  CFRef<CFURLRef> running(CFBundleCopyBundleURL(CFBundleGetMainBundle()));
  EXPECT_EQ(PathOf(running.get()), "/" + exe.parent_path().filename().string());
  CFRef<CFURLRef> runningExe(CFBundleCopyExecutableURL(CFBundleGetMainBundle()));
  EXPECT_EQ(PathOf(runningExe.get()), "/" + exe.parent_path().filename().string() + "/" + exe.filename().string());
}

}  // namespace
