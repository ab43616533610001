// The system root: every absolute Mac path lives under $SHELVONX_SYSROOT ("/" when unset).
#pragma once
#include <string>

namespace platform {

// Host directory of the system root, without a trailing slash ("" when the root is "/").
const std::string& SysRootHostPrefix();
// Re-reads SHELVONX_SYSROOT (tests that change it in-process call this).
void ResetSysRoot();

// "/Library/Changers" -> "<root>/Library/Changers". Relative paths are left as they are.
std::string MacToHost(const std::string& macPath);
// "<root>/Volumes/A" -> "/Volumes/A". A host path outside the root is returned unchanged.
std::string HostToMac(const std::string& hostPath);

}  // namespace platform
