// Laying out a system root and installing the built programs at their Mac places.
#pragma once
#include <string>
#include <vector>

namespace simhost {

struct InstallItem {
  const char* stageName;        // file in the stage directory
  const char* macPath;          // where it goes in the root
  const char* infoPlistSource;  // bundle Info.plist, relative to the source tree ("" for none)
  const char* resourcesSource;  // directory copied into the bundle's Resources ("" for none)
};

// Every program of the system with its place; those not built yet are skipped.
const std::vector<InstallItem>& InstallTable();

// Mac path of the daemon, which `simhostd run` starts as the boot process would.
inline constexpr const char* kDaemonPath = "/Library/StartupItems/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden";

// Where `add-changer --at-start` keeps descriptions that `simhostd run` plugs in at every start.
inline constexpr const char* kAtStartDir = "/var/db/simhost/changers";

// Creates the root's tree (existing files are kept), "SystemVersion.plist" with
// `productVersion`, "etc/group", and copies every built program of the table
// from `stageDir`. o_installed lists "NAME -> MAC PATH" for each program installed.
[[nodiscard]] bool InitRoot(const std::string& root, const std::string& stageDir, const std::string& sourceDir,
              const std::string& productVersion, std::vector<std::string>& o_installed, std::string& o_error);

}  // namespace simhost
