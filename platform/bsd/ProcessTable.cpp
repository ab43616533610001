// The process table of one system root, read from /proc. A process belongs to the root its
// environment names in SHELVONX_SYSROOT (none: the real root), as the host starts every process
// of a simulated system with it; so parallel systems never find each other's daemon.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/BSD.h"
#include "platform/SysRoot.h"

namespace bsd {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string NormalisedRoot(std::string root) {
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}

// The root named by the process's environment; false when it cannot be read (another user's
// process, or one that is gone).
bool ProcessRoot(pid_t pid, std::string& o_root) {
  o_root.clear();
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (!in) return false;
  static const std::string key = "SHELVONX_SYSROOT=";
  std::string var;
  while (std::getline(in, var, '\0')) {
    if (var.compare(0, key.size(), key) == 0) {
      o_root = NormalisedRoot(var.substr(key.size()));
      return true;
    }
  }
  return true;
}

// The Mac command name: the executable's file name cut at MAXCOMLEN. Linux keeps only 15
// characters in "comm", so the full name comes from the executable when it agrees with comm.
std::string CommandName(pid_t pid) {
  std::string base = "/proc/" + std::to_string(pid);
  std::string comm = ReadFile(base + "/comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  char exe[4096];
  ssize_t n = ::readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
  if (n > 0) {
    std::string path(exe, static_cast<size_t>(n));
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
      path.resize(path.size() - deleted.size());
    std::string file = path.substr(path.rfind('/') + 1);
    if (!comm.empty() && file.compare(0, comm.size(), comm) == 0) comm = file;
  }
  if (comm.size() > MAXCOMLEN) comm.resize(MAXCOMLEN);
  return comm;
}

std::vector<kinfo_proc> ProcessesOfThisRoot() {
  std::vector<kinfo_proc> table;
  const std::string myRoot = NormalisedRoot(platform::SysRootHostPrefix());
  const pid_t self = ::getpid();
  DIR* dir = ::opendir("/proc");
  if (!dir) return table;
  while (struct dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end || pid <= 0) continue;
    std::string root;
    // This process may have changed its own environment since it started; its root is the
    // one it uses now.
    if (pid != self && (!ProcessRoot(static_cast<pid_t>(pid), root) || root != myRoot)) continue;
    std::string comm = CommandName(static_cast<pid_t>(pid));
    if (comm.empty()) continue;  // gone meanwhile
    kinfo_proc entry{};
    entry.kp_proc.p_pid = static_cast<pid_t>(pid);
    std::memcpy(entry.kp_proc.p_comm, comm.c_str(), comm.size());
    table.push_back(entry);
  }
  ::closedir(dir);
  std::sort(table.begin(), table.end(),
            [](const kinfo_proc& a, const kinfo_proc& b) { return a.kp_proc.p_pid < b.kp_proc.p_pid; });
  return table;
}

}  // namespace

int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t newlen) {
  if (!name || !oldlenp) {
    errno = EINVAL;
    return -1;
  }
  if (namelen < 3 || namelen > 4 || name[0] != CTL_KERN || name[1] != KERN_PROC || name[2] != KERN_PROC_ALL) {
    errno = ENOENT;
    return -1;
  }
  if (newp || newlen) {
    errno = EPERM;
    return -1;
  }
  std::vector<kinfo_proc> table = ProcessesOfThisRoot();
  size_t needed = table.size() * sizeof(kinfo_proc);
  if (!oldp) {
    *oldlenp = needed;
    return 0;
  }
  size_t fits = std::min(table.size(), *oldlenp / sizeof(kinfo_proc));
  std::memcpy(oldp, table.data(), fits * sizeof(kinfo_proc));
  *oldlenp = fits * sizeof(kinfo_proc);
  if (fits < table.size()) {
    errno = ENOMEM;
    return -1;
  }
  return 0;
}

}  // namespace bsd
