#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/BSD.h"
#include "platform/SysRoot.h"

namespace bsd {
namespace {

std::string Host(const char* path) { return platform::MacToHost(path ? path : ""); }

}  // namespace

int open(const char* path, int flags, mode_t mode) { return ::open(Host(path).c_str(), flags, mode); }

FILE* fopen(const char* path, const char* mode) { return std::fopen(Host(path).c_str(), mode); }

DIR* opendir(const char* path) { return ::opendir(Host(path).c_str()); }

int scandir(const char* path, struct dirent*** o_list, int (*filter)(const struct dirent*),
            int (*compare)(const struct dirent**, const struct dirent**)) {
  return ::scandir(Host(path).c_str(), o_list, filter, compare);
}

int stat(const char* path, struct stat* o_st) { return ::stat(Host(path).c_str(), o_st); }

int lstat(const char* path, struct stat* o_st) { return ::lstat(Host(path).c_str(), o_st); }

int mkdir(const char* path, mode_t mode) { return ::mkdir(Host(path).c_str(), mode); }

int rmdir(const char* path) { return ::rmdir(Host(path).c_str()); }

int unlink(const char* path) { return ::unlink(Host(path).c_str()); }

int remove(const char* path) { return std::remove(Host(path).c_str()); }

int rename(const char* from, const char* to) { return std::rename(Host(from).c_str(), Host(to).c_str()); }

int chmod(const char* path, mode_t mode) { return ::chmod(Host(path).c_str(), mode); }

int chown(const char* path, uid_t owner, gid_t group) { return ::chown(Host(path).c_str(), owner, group); }

int access(const char* path, int mode) { return ::access(Host(path).c_str(), mode); }

mode_t umask(mode_t mask) { return ::umask(mask); }

char* realpath(const char* path, char* resolved) {
  if (!path) {
    errno = EINVAL;
    return nullptr;
  }
  char* host = ::realpath(Host(path).c_str(), nullptr);
  if (!host) return nullptr;
  std::string mac = platform::HostToMac(host);
  std::free(host);
  if (mac.size() + 1 > kMacPathMax) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  if (!resolved) {
    resolved = static_cast<char*>(std::malloc(mac.size() + 1));
    if (!resolved) {
      errno = ENOMEM;
      return nullptr;
    }
  }
  std::memcpy(resolved, mac.c_str(), mac.size() + 1);
  return resolved;
}

}  // namespace bsd
