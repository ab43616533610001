#include "mach/UnixSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/Clock.h"
#include "platform/SysRoot.h"

namespace platform::sock {
namespace {

bool MakeDirs(const std::string& path) {
  if (path.empty()) return true;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
  return true;
}

int WithAddress(const std::string& hostPath, const std::function<int(const sockaddr*, socklen_t)>& op) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (hostPath.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, hostPath.c_str(), hostPath.size() + 1);
    return op(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  }
  size_t slash = hostPath.find_last_of('/');
  if (slash == std::string::npos) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int dirFd = ::open(hostPath.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return -1;
  std::string viaProc = "/proc/self/fd/" + std::to_string(dirFd) + hostPath.substr(slash);
  int rc = -1;
  if (viaProc.size() < sizeof addr.sun_path) {
    std::memcpy(addr.sun_path, viaProc.c_str(), viaProc.size() + 1);
    rc = op(reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } else {
    errno = ENAMETOOLONG;
  }
  int saved = errno;
  ::close(dirFd);
  errno = saved;
  return rc;
}

}  // namespace

std::string PortsDirectory() {
  std::string dir = MacToHost("/var/run/ports");
  if (!MakeDirs(dir)) return "";
  // Every user's processes name their ports here.
  ::chmod(dir.c_str(), 01777);
  return dir;
}

int BindPath(int fd, const std::string& hostPath) {
  return WithAddress(hostPath, [fd](const sockaddr* a, socklen_t n) { return ::bind(fd, a, n); });
}

int ConnectPath(int fd, const std::string& hostPath) {
  return WithAddress(hostPath, [fd](const sockaddr* a, socklen_t n) { return ::connect(fd, a, n); });
}

bool IsListening(const std::string& hostPath, int type) {
  int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc = ConnectPath(fd, hostPath);
  // A full backlog still means someone listens.
  bool listening = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return listening;
}

ino_t InodeOf(const std::string& hostPath) {
  struct stat st {};
  return ::lstat(hostPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

void UnlinkIfSame(const std::string& hostPath, ino_t inode) {
  if (inode != 0 && InodeOf(hostPath) == inode) ::unlink(hostPath.c_str());
}

double SliceUntil(double simDeadline) {
  constexpr double kMaxSlice = 0.05;
  if (simDeadline < 0) return kMaxSlice;
  double remaining = simDeadline - clock::Now();
  if (remaining <= 0) return 0;
  return std::clamp(clock::RealDuration(remaining), 0.0005, kMaxSlice);
}

}  // namespace platform::sock
