#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

namespace platform {
namespace {

// Lock-free so that a child between fork and exec can still map paths. A reset (tests only)
// keeps the old prefix alive: another thread may still be reading it.
std::atomic<const std::string*> g_prefix{nullptr};

const std::string* NewPrefixFromEnvironment() {
  const char* env = std::getenv("SHELVONX_SYSROOT");
  auto* root = new std::string(env ? env : "");
  while (!root->empty() && root->back() == '/') root->pop_back();
  return root;
}

}  // namespace

const std::string& SysRootHostPrefix() {
  const std::string* p = g_prefix.load(std::memory_order_acquire);
  if (p) return *p;
  const std::string* fresh = NewPrefixFromEnvironment();
  if (g_prefix.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *p;
}

void ResetSysRoot() {
  static platform::Mutex retiredMutex;
  static std::vector<std::unique_ptr<const std::string>> retired GUARDED_BY(retiredMutex);
  const std::string* old = g_prefix.exchange(NewPrefixFromEnvironment(), std::memory_order_acq_rel);
  platform::MutexLock lock(retiredMutex);
  if (old) retired.emplace_back(old);
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
