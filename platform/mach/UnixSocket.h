// Unix-domain sockets named under the root's "/var/run/ports", the transport of message ports
// and Mach ports. Shared by the cf/ and mach/ sources only.
#pragma once
#include <sys/socket.h>

#include <string>

namespace platform::sock {

// Host path of the ports directory, created on first use; "" when it cannot be made.
std::string PortsDirectory();

// bind(2) / connect(2) to a socket path of any length (a long one is reached through the
// directory's /proc/self/fd entry). Return 0 or -1 with errno set, as the system calls do.
int BindPath(int fd, const std::string& hostPath);
int ConnectPath(int fd, const std::string& hostPath);

// True when a socket of `type` listens at `hostPath`.
[[nodiscard]] bool IsListening(const std::string& hostPath, int type);

// Removes the socket file at `hostPath` when it is still the one with that inode (another
// process may have replaced a stale file meanwhile).
void UnlinkIfSame(const std::string& hostPath, ino_t inode);
ino_t InodeOf(const std::string& hostPath);

// Real seconds to wait in one slice before `simDeadline` (infinite when negative), capped so
// that clock changes are followed.
double SliceUntil(double simDeadline);

}  // namespace platform::sock
