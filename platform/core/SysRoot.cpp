#include "platform/SysRoot.h"

#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex g_rootMutex;
std::string g_prefix;
bool g_loaded = false;

std::string NormalisedRoot() {
  const char* env = std::getenv("SHELVONX_SYSROOT");
  std::string root = env ? env : "";
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

}  // namespace

const std::string& SysRootHostPrefix() {
  std::lock_guard lock(g_rootMutex);
  if (!g_loaded) {
    g_prefix = NormalisedRoot();
    g_loaded = true;
  }
  return g_prefix;
}

void ResetSysRoot() {
  std::lock_guard lock(g_rootMutex);
  g_prefix = NormalisedRoot();
  g_loaded = true;
}

std::string MacToHost(const std::string& macPath) {
  const std::string& prefix = SysRootHostPrefix();
  if (prefix.empty() || macPath.empty() || macPath[0] != '/') return macPath;
  // Already mapped (a path handed back in by code that got it from the host side).
  if (macPath.compare(0, prefix.size(), prefix) == 0 &&
      (macPath.size() == prefix.size() || macPath[prefix.size()] == '/'))
    return macPath;
  return prefix + macPath;
}

std::string HostToMac(const std::string& hostPath) {
  const std::string& prefix = SysRootHostPrefix();
  if (prefix.empty()) return hostPath;
  if (hostPath.compare(0, prefix.size(), prefix) != 0) return hostPath;
  if (hostPath.size() == prefix.size()) return "/";
  if (hostPath[prefix.size()] != '/') return hostPath;
  return hostPath.substr(prefix.size());
}

}  // namespace platform
