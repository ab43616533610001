#include "Install.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CFUtil.h"
#include "platform/PlistCodec.h"

namespace simhost {

namespace fs = std::filesystem;

const std::vector<InstallItem>& InstallTable() {
  static const std::vector<InstallItem> table = {
      // Staged as a whole bundle: its Info.plist and resources come along (see InitRoot).
      {"Discwarden.bundle/Contents/MacOS/Discwarden", kDaemonPath, "", ""},
      {"TavrinChangerFileSystemUtil",
       "/System/Library/Filesystems/TavrinChangerFileSystem.fs/Contents/Resources/TavrinChangerFileSystemUtil",
       "TavrinChangerFileSystemUtil/Info.plist", ""},
      {"TavrinChangerBlankDiskUtil",
       "/System/Library/Filesystems/TavrinChangerBlankDisk.fs/Contents/Resources/TavrinChangerBlankDiskUtil",
       "TavrinChangerBlankDiskUtil/Info.plist", ""},
      {"exitstub", "/System/Library/Filesystems/TavrinChangerBlankDisk.fs/Contents/Resources/exitstub", "", ""},
      {"mount_TavrinChangerFileSystem", "/sbin/mount_TavrinChangerFileSystem", "", ""},
      {"cnidverify", "/usr/sbin/cnidverify", "", ""},
      {"fixchangernames", "/usr/sbin/fixchangernames", "", ""},
      {"changerscan", "/usr/sbin/changerscan", "", ""},
      // The host's own stand-ins for the machine's programs.
      {"mount", "/sbin/mount", "", ""},
      {"umount", "/sbin/umount", "", ""},
      {"newfs_hfs", "/sbin/newfs_hfs", "", ""},
      {"newfs", "/sbin/newfs", "", ""},
      {"newfs_msdos", "/sbin/newfs_msdos", "", ""},
      {"kextload", "/sbin/kextload", "", ""},
  };
  return table;
}

namespace {

bool WriteFile(const fs::path& path, const std::string& bytes, std::string& o_error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) {
    o_error = "cannot write " + path.string();
    return false;
  }
  return true;
}

std::string GroupFile() {
  // "admin" holds the user running the system, so that its files can be given to the group.
  std::string user = "root";
  if (passwd* pw = ::getpwuid(::getuid())) user = pw->pw_name;
  std::string members = user == "root" ? "root" : "root," + user;
  return "wheel:*:0:root\n"
         "daemon:*:1:root\n"
         "staff:*:20:root\n"
         "admin:*:80:" + members + "\n"
         "nobody:*:-2:\n";
}

}  // namespace

bool InitRoot(const std::string& root, const std::string& stageDir, const std::string& sourceDir,
              const std::string& productVersion, std::vector<std::string>& o_installed, std::string& o_error) {
  o_installed.clear();
  o_error.clear();
  std::error_code ec;
  fs::path r(root);
  for (const char* dir : {"Library/StartupItems", "Volumes", "dev", "etc", "tmp", "bin", "sbin",
                          "usr/sbin", "var/run/ports", "var/log", "var/db/simhost/changers",
                          "System/Library/CoreServices", "System/Library/Filesystems", "System/Library/Extensions"}) {
    fs::create_directories(r / dir, ec);
    if (ec) {
      o_error = "cannot create " + (r / dir).string() + ": " + ec.message();
      return false;
    }
  }
  auto version = cf::Dict();
  cf::Set(version.get(), "ProductName", "Mac OS X");
  cf::Set(version.get(), "ProductVersion", productVersion);
  if (!WriteFile(r / "System/Library/CoreServices/SystemVersion.plist", platform::plist::EncodeXML(version.get()),
                 o_error))
    return false;
  if (!fs::exists(r / "etc/group") && !WriteFile(r / "etc/group", GroupFile(), o_error)) return false;
  if (!fs::exists(r / "var/log/system.log") && !WriteFile(r / "var/log/system.log", "", o_error)) return false;
  if (!fs::exists(r / "bin/cp")) fs::create_symlink("/bin/cp", r / "bin/cp", ec);

  for (const InstallItem& item : InstallTable()) {
    fs::path built = fs::path(stageDir) / item.stageName;
    if (!fs::is_regular_file(built)) continue;
    fs::path target = r / fs::path(item.macPath).relative_path();
    fs::create_directories(target.parent_path(), ec);
    // A copy, not a link: a program finds its bundle from its own path, which must be in the root.
    fs::copy_file(built, target, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      o_error = "cannot install " + target.string() + ": " + ec.message();
      return false;
    }
    fs::path contents = target.parent_path().parent_path();
    if (*item.infoPlistSource && fs::exists(fs::path(sourceDir) / item.infoPlistSource))
      fs::copy_file(fs::path(sourceDir) / item.infoPlistSource, contents / "Info.plist",
                    fs::copy_options::overwrite_existing, ec);
    if (*item.resourcesSource && fs::is_directory(fs::path(sourceDir) / item.resourcesSource)) {
      fs::create_directories(contents / "Resources", ec);
      fs::copy(fs::path(sourceDir) / item.resourcesSource, contents / "Resources",
               fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    }
    // A program staged inside a bundle brings the bundle's Info.plist and Resources along.
    fs::path stagedContents = built.parent_path().parent_path();
    if (stagedContents.filename() == "Contents") {
      if (fs::is_regular_file(stagedContents / "Info.plist"))
        fs::copy_file(stagedContents / "Info.plist", contents / "Info.plist", fs::copy_options::overwrite_existing, ec);
      if (fs::is_directory(stagedContents / "Resources")) {
        fs::create_directories(contents / "Resources", ec);
        fs::copy(stagedContents / "Resources", contents / "Resources",
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
      }
    }
    o_installed.push_back(std::string(item.stageName) + " -> " + item.macPath);
  }
  return true;
}

}  // namespace simhost
