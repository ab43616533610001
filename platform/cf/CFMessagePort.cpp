#include "platform/CFMessagePort.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
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
#include <vector>

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
// A client has this long, in real time, to send its whole request once connected; meanwhile
// others are served. A reply it does not read holds the serving thread for kReplyRealLimit.
constexpr double kRequestRealLimit = 10.0;
constexpr double kReplyRealLimit = 0.5;
// Connections still sending their request; beyond this the oldest is dropped.
constexpr size_t kMaxPendingConnections = 32;
// A request body grows by what has arrived, never by what its header claims.
constexpr size_t kReadChunk = 64u << 10;

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
    if (m_pollFd >= 0) ::close(m_pollFd);
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
    for (Pending& p : m_pending) ::close(p.fd);
    m_pending.clear();
  }

  // Called when a connection waits or a pending one has news: takes what every client has sent
  // so far without waiting for any, then answers each request that is complete.
  void ServeOne() {
    std::vector<Pending> complete;
    {
      std::lock_guard lock(m_mutex);
      if (!*m_alive || m_listenFd < 0) return;
      AcceptLocked();
      auto now = std::chrono::steady_clock::now();
      for (auto it = m_pending.begin(); it != m_pending.end();) {
        Progress progress = ReadSome(*it);
        if (progress == Progress::waiting && now < it->expires) {
          ++it;
          continue;
        }
        if (progress == Progress::complete) {
          complete.push_back(std::move(*it));
        } else {
          // Gone, malformed or too slow. A connection that closes at once is someone checking
          // that the port is there.
          ::close(it->fd);
        }
        it = m_pending.erase(it);
      }
    }
    for (Pending& p : complete) {
      Fd guard(p.fd);
      Answer(p);
    }
  }

  struct Pending {
    int fd = -1;
    std::chrono::steady_clock::time_point expires;
    RequestHeader header{};
    size_t headerBytes = 0;
    std::vector<UInt8> body;
  };
  enum class Progress { waiting, complete, dropped };

  void AcceptLocked() {
    for (;;) {
      int conn = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (conn < 0) return;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = conn;
      if (::epoll_ctl(m_pollFd, EPOLL_CTL_ADD, conn, &ev) != 0) {
        ::close(conn);
        continue;
      }
      if (m_pending.size() >= kMaxPendingConnections) {
        ::close(m_pending.front().fd);
        m_pending.erase(m_pending.begin());
      }
      auto expires = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(kRequestRealLimit));
      Pending p;
      p.fd = conn;
      p.expires = expires;
      m_pending.push_back(std::move(p));
    }
  }

  // Reads what has arrived; the header is checked before any of the body is kept.
  static Progress ReadSome(Pending& p) {
    for (;;) {
      UInt8 chunk[kReadChunk];
      size_t want;
      UInt8* into;
      if (p.headerBytes < sizeof p.header) {
        want = sizeof p.header - p.headerBytes;
        into = reinterpret_cast<UInt8*>(&p.header) + p.headerBytes;
      } else {
        if (p.header.magic != kRequestMagic || p.header.length > kMaxPayload) return Progress::dropped;
        if (p.body.size() == p.header.length) return Progress::complete;
        want = std::min(sizeof chunk, p.header.length - p.body.size());
        into = chunk;
      }
      ssize_t n = ::recv(p.fd, into, want, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return Progress::waiting;
      if (n <= 0) return Progress::dropped;
      if (into == chunk)
        p.body.insert(p.body.end(), chunk, chunk + n);
      else
        p.headerBytes += static_cast<size_t>(n);
    }
  }

  void Answer(const Pending& p) {
    const RequestHeader& req = p.header;
    CFRef<CFDataRef> data;
    if (req.flags & kHasData) data.reset(CFDataCreate(nullptr, p.body.data(), static_cast<CFIndex>(p.body.size())));
    if (!*m_alive) return;
    CFRef<CFDataRef> reply(m_callout ? m_callout(this, req.msgid, data.get(), m_context.info) : nullptr);
    if (!(req.flags & kWantsReply)) return;
    ReplyHeader rep{kReplyMagic, reply ? kHasData : 0u,
                    reply ? static_cast<uint32_t>(CFDataGetLength(reply.get())) : 0u};
    Deadline limit = Deadline::Real(kReplyRealLimit);
    if (WriteAll(p.fd, &rep, sizeof rep, limit) != Io::ok || rep.length == 0) return;
    (void)WriteAll(p.fd, CFDataGetBytePtr(reply.get()), rep.length, limit);  // a client that stops reading loses its reply
  }

  CFRef<CFStringRef> m_name;
  bool m_isRemote = false;
  std::string m_hostPath;
  CFMessagePortCallBack m_callout = nullptr;
  CFMessagePortContext m_context{};
  std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
  std::mutex m_mutex;  // guards m_listenFd and m_pending against Invalidate on another thread
  int m_listenFd = -1;
  // Readable when a connection waits or a pending one has sent something: what the run loop watches.
  int m_pollFd = -1;
  std::vector<Pending> m_pending;
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

  Fd pollFd(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd.get();
  if (pollFd.get() < 0 || ::epoll_ctl(pollFd.get(), EPOLL_CTL_ADD, fd.get(), &ev) != 0) {
    ::unlink(path.c_str());
    return nullptr;
  }

  auto* port = new __CFMessagePort();
  port->m_name = CFRef<CFStringRef>(CFStringCreateCopy(nullptr, name));
  port->m_hostPath = path;
  port->m_callout = callout;
  port->m_listenFd = fd.release();
  port->m_pollFd = pollFd.release();
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
  // The reply grows by what arrives, not by what its header claims.
  while (io == Io::ok && bytes.size() < rep.length) {
    size_t had = bytes.size();
    bytes.resize(had + std::min<size_t>(kReadChunk, rep.length - had));
    io = ReadAll(fd.get(), bytes.data() + had, bytes.size() - had, replyBy);
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
  int fd = local->m_pollFd;
  CFRef<CFMessagePortRef> held = CFRef<CFMessagePortRef>::Retain(local);
  auto alive = [flag = local->m_alive] { return flag->load(); };
  return platform::CreateLinkedFdSource(fd, [held] { held.get()->ServeOne(); }, order, std::move(alive));
}
