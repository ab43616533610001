#include "platform/CFMessagePort.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "RunLoopInternal.h"
#include "mach/UnixSocket.h"
#include "platform/CFRef.h"
#include "platform/Clock.h"
#include "platform/SysRoot.h"

namespace {

constexpr uint32_t kRequestMagic = 0x43464d51;  // "CFMQ"
constexpr uint32_t kReplyMagic = 0x43464d52;    // "CFMR"
constexpr uint32_t kHasData = 1;
constexpr uint32_t kWantsReply = 2;
constexpr uint32_t kMaxPayload = 64u << 20;
// How long the serving thread waits for a client that connected but is slow to write or read.
constexpr double kServeRealLimit = 10.0;

struct RequestHeader {
  uint32_t magic;
  int32_t msgid;
  uint32_t flags;
  uint32_t length;
};
struct ReplyHeader {
  uint32_t magic;
  uint32_t flags;
  uint32_t length;
};

// A wait limit, on the platform clock (requests) or in real time (the server's guard).
class Deadline {
 public:
  static Deadline Sim(double seconds) {
    Deadline d;
    d.m_sim = platform::clock::Now() + std::max(seconds, 0.0);
    return d;
  }
  static Deadline Real(double seconds) {
    Deadline d;
    d.m_isReal = true;
    d.m_real = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(seconds));
    return d;
  }
  bool Expired() const {
    return m_isReal ? std::chrono::steady_clock::now() >= m_real : platform::clock::Now() >= m_sim;
  }
  // Waits until `fd` has `events` or a slice of the remaining time has passed.
  void Wait(int fd, short events) const {
    double real = m_isReal ? 0.05 : platform::sock::SliceUntil(m_sim);
    pollfd p{fd, events, 0};
    timespec ts{static_cast<time_t>(real), static_cast<long>((real - std::floor(real)) * 1e9)};
    ::ppoll(&p, 1, &ts, nullptr);
  }

 private:
  bool m_isReal = false;
  double m_sim = 0;
  std::chrono::steady_clock::time_point m_real;
};

enum class Io { ok, timedOut, closed, failed };

Io WriteAll(int fd, const void* data, size_t size, const Deadline& deadline) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (deadline.Expired()) return Io::timedOut;
      deadline.Wait(fd, POLLOUT);
      continue;
    }
    return n < 0 && (errno == EPIPE || errno == ECONNRESET) ? Io::closed : Io::failed;
  }
  return Io::ok;
}

Io ReadAll(int fd, void* data, size_t size, const Deadline& deadline) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return Io::closed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (deadline.Expired()) return Io::timedOut;
      deadline.Wait(fd, POLLIN);
      continue;
    }
    return errno == ECONNRESET ? Io::closed : Io::failed;
  }
  return Io::ok;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  int release() { return std::exchange(m_fd, -1); }

 private:
  int m_fd;
};

// Socket files of this process's live local ports, removed when the process exits normally.
struct OwnSockets {
  std::mutex mutex;
  std::map<std::string, ino_t> paths;
};
OwnSockets& Own() {
  static OwnSockets* own = [] {
    auto* o = new OwnSockets;
    std::atexit([] {
      OwnSockets& s = Own();
      std::lock_guard lock(s.mutex);
      for (const auto& [path, inode] : s.paths) platform::sock::UnlinkIfSame(path, inode);
    });
    return o;
  }();
  return *own;
}

bool ValidPortName(const std::string& name) {
  return !name.empty() && name.size() < 200 && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

struct __CFMessagePort : __CFObject {
  __CFMessagePort() : __CFObject(kTypeIDMessagePort) {}
  ~__CFMessagePort() override {
    Invalidate();
    if (m_listenFd >= 0) ::close(m_listenFd);
    if (m_context.release && m_context.info) m_context.release(m_context.info);
  }
  std::string Describe() const override { return "<CFMessagePort " + CFStringUTF8(m_name.get()) + ">"; }

  void Invalidate() {
    std::lock_guard lock(m_mutex);
    if (!m_alive->exchange(false) || m_isRemote) return;
    if (m_owner == ::getpid()) {
      platform::sock::UnlinkIfSame(m_hostPath, m_inode);
      std::lock_guard ownLock(Own().mutex);
      Own().paths.erase(m_hostPath);
    }
    // Closing refuses the connections still waiting; their senders learn the port is gone.
    ::close(m_listenFd);
    m_listenFd = -1;
  }

  // Serves the next waiting connection, if any.
  void ServeOne() {
    int conn;
    {
      std::lock_guard lock(m_mutex);
      if (!*m_alive || m_listenFd < 0) return;
      conn = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    }
    if (conn < 0) return;
    Fd guard(conn);
    Deadline limit = Deadline::Real(kServeRealLimit);
    RequestHeader req{};
    // A connection that closes at once is someone checking that the port is there.
    if (ReadAll(conn, &req, sizeof req, limit) != Io::ok) return;
    if (req.magic != kRequestMagic || req.length > kMaxPayload) return;
    std::vector<UInt8> bytes(req.length);
    if (ReadAll(conn, bytes.data(), bytes.size(), limit) != Io::ok) return;
    CFRef<CFDataRef> data;
    if (req.flags & kHasData) data.reset(CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())));
    if (!*m_alive) return;
    CFRef<CFDataRef> reply(m_callout ? m_callout(this, req.msgid, data.get(), m_context.info) : nullptr);
    if (!(req.flags & kWantsReply)) return;
    ReplyHeader rep{kReplyMagic, reply ? kHasData : 0u,
                    reply ? static_cast<uint32_t>(CFDataGetLength(reply.get())) : 0u};
    if (WriteAll(conn, &rep, sizeof rep, limit) != Io::ok || rep.length == 0) return;
    WriteAll(conn, CFDataGetBytePtr(reply.get()), rep.length, limit);
  }

  CFRef<CFStringRef> m_name;
  bool m_isRemote = false;
  std::string m_hostPath;
  CFMessagePortCallBack m_callout = nullptr;
  CFMessagePortContext m_context{};
  std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
  std::mutex m_mutex;  // guards m_listenFd against Invalidate on another thread
  int m_listenFd = -1;
  ino_t m_inode = 0;
  pid_t m_owner = 0;
};

CFTypeID CFMessagePortGetTypeID() { return kTypeIDMessagePort; }

CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef, CFStringRef name, CFMessagePortCallBack callout,
                                          CFMessagePortContext* context, Boolean* shouldFreeInfo) {
  if (shouldFreeInfo) *shouldFreeInfo = true;
  if (!name || !ValidPortName(CFStringUTF8(name))) return nullptr;
  std::string dir = platform::sock::PortsDirectory();
  if (dir.empty()) return nullptr;
  std::string path = dir + "/" + CFStringUTF8(name);

  // Checking for a live port and taking the name is one step for all processes of the root.
  Fd dirLock(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirLock.get() < 0 || ::flock(dirLock.get(), LOCK_EX) != 0) return nullptr;
  if (platform::sock::IsListening(path, SOCK_STREAM)) return nullptr;
  ::unlink(path.c_str());
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 || platform::sock::BindPath(fd.get(), path) != 0) return nullptr;
  ::chmod(path.c_str(), 0666);
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    ::unlink(path.c_str());
    return nullptr;
  }

  auto* port = new __CFMessagePort();
  port->m_name = CFRef<CFStringRef>(CFStringCreateCopy(nullptr, name));
  port->m_hostPath = path;
  port->m_callout = callout;
  port->m_listenFd = fd.release();
  port->m_inode = platform::sock::InodeOf(path);
  port->m_owner = ::getpid();
  if (context) {
    port->m_context = *context;
    if (context->retain && context->info) port->m_context.info = const_cast<void*>(context->retain(context->info));
  }
  {
    std::lock_guard lock(Own().mutex);
    Own().paths[path] = port->m_inode;
  }
  if (shouldFreeInfo) *shouldFreeInfo = false;
  return port;
}

CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef, CFStringRef name) {
  if (!name || !ValidPortName(CFStringUTF8(name))) return nullptr;
  std::string dir = platform::sock::PortsDirectory();
  if (dir.empty()) return nullptr;
  std::string path = dir + "/" + CFStringUTF8(name);
  if (!platform::sock::IsListening(path, SOCK_STREAM)) return nullptr;
  auto* port = new __CFMessagePort();
  port->m_name = CFRef<CFStringRef>(CFStringCreateCopy(nullptr, name));
  port->m_isRemote = true;
  port->m_hostPath = path;
  return port;
}

Boolean CFMessagePortIsRemote(CFMessagePortRef port) { return port && port->m_isRemote; }
CFStringRef CFMessagePortGetName(CFMessagePortRef port) { return port ? port->m_name.get() : nullptr; }
Boolean CFMessagePortIsValid(CFMessagePortRef port) { return port && *port->m_alive; }

void CFMessagePortInvalidate(CFMessagePortRef port) {
  if (port) port->Invalidate();
}

SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data, CFTimeInterval sendTimeout,
                                CFTimeInterval rcvTimeout, CFStringRef replyMode, CFDataRef* returnData) {
  if (returnData) *returnData = nullptr;
  if (!remote || !remote->m_isRemote || !*remote->m_alive) return kCFMessagePortIsInvalid;
  bool wantsReply = replyMode && returnData;
  Deadline sendBy = Deadline::Sim(sendTimeout);

  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return kCFMessagePortTransportError;
  for (;;) {
    if (platform::sock::ConnectPath(fd.get(), remote->m_hostPath) == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      // The server's queue of waiting requests is full.
      if (sendBy.Expired()) return kCFMessagePortSendTimeout;
      platform::clock::SleepFor(0.01);
      continue;
    }
    if (errno == ENOENT || errno == ECONNREFUSED) {
      remote->Invalidate();
      return kCFMessagePortIsInvalid;
    }
    return kCFMessagePortTransportError;
  }

  CFIndex length = data ? CFDataGetLength(data) : 0;
  if (static_cast<uint64_t>(length) > kMaxPayload) return kCFMessagePortTransportError;
  RequestHeader req{kRequestMagic, msgid, (data ? kHasData : 0u) | (wantsReply ? kWantsReply : 0u),
                    static_cast<uint32_t>(length)};
  for (auto [p, n] : {std::pair<const void*, size_t>{&req, sizeof req},
                      std::pair<const void*, size_t>{data ? CFDataGetBytePtr(data) : nullptr, length}}) {
    if (n == 0) continue;
    switch (WriteAll(fd.get(), p, n, sendBy)) {
      case Io::ok: break;
      case Io::timedOut: return kCFMessagePortSendTimeout;
      case Io::closed: remote->Invalidate(); return kCFMessagePortBecameInvalidError;
      case Io::failed: return kCFMessagePortTransportError;
    }
  }
  if (!wantsReply) return kCFMessagePortSuccess;

  Deadline replyBy = Deadline::Sim(rcvTimeout);
  ReplyHeader rep{};
  std::vector<UInt8> bytes;
  Io io = ReadAll(fd.get(), &rep, sizeof rep, replyBy);
  if (io == Io::ok && (rep.magic != kReplyMagic || rep.length > kMaxPayload)) return kCFMessagePortTransportError;
  if (io == Io::ok) {
    bytes.resize(rep.length);
    io = ReadAll(fd.get(), bytes.data(), bytes.size(), replyBy);
  }
  switch (io) {
    case Io::ok: break;
    case Io::timedOut: return kCFMessagePortReceiveTimeout;
    // The server closed without answering: its port was invalidated or its process ended.
    case Io::closed: remote->Invalidate(); return kCFMessagePortBecameInvalidError;
    case Io::failed: return kCFMessagePortTransportError;
  }
  if (rep.flags & kHasData)
    *returnData = CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size()));
  return kCFMessagePortSuccess;
}

CFRunLoopSourceRef CFMessagePortCreateRunLoopSource(CFAllocatorRef, CFMessagePortRef local, CFIndex order) {
  if (!local || local->m_isRemote || !*local->m_alive) return nullptr;
  int fd;
  {
    std::lock_guard lock(local->m_mutex);
    fd = local->m_listenFd;
  }
  CFRef<CFMessagePortRef> held = CFRef<CFMessagePortRef>::Retain(local);
  auto alive = [flag = local->m_alive] { return flag->load(); };
  return platform::CreateLinkedFdSource(fd, [held] { held.get()->ServeOne(); }, order, std::move(alive));
}
