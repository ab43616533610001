#include "platform/HostLink.h"

#include <errno.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Log.h"
#include "platform/PlistCodec.h"
#include "platform/SysRoot.h"

namespace platform::hostlink {

bool WriteFrame(int fd, const std::string& payload) {
  if (payload.size() > kMaxFrame) return false;
  uint32_t n = static_cast<uint32_t>(payload.size());
  std::string frame(4, '\0');
  frame[0] = static_cast<char>(n >> 24);
  frame[1] = static_cast<char>(n >> 16);
  frame[2] = static_cast<char>(n >> 8);
  frame[3] = static_cast<char>(n);
  frame += payload;
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t w = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

namespace {

bool ReadAll(int fd, char* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::recv(fd, buf + done, n - done, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

bool ReadFrame(int fd, std::string& o_payload) {
  o_payload.clear();
  unsigned char head[4];
  if (!ReadAll(fd, reinterpret_cast<char*>(head), 4)) return false;
  uint32_t n = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
  if (n > kMaxFrame) return false;
  o_payload.resize(n);
  return n == 0 || ReadAll(fd, o_payload.data(), n);
}

bool SendMessage(int fd, CFDictionaryRef message) {
  std::string bytes = plist::EncodeBinary(message);
  return !bytes.empty() && WriteFrame(fd, bytes);
}

CFRef<CFDictionaryRef> ReceiveMessage(int fd, std::string* o_error) {
  std::string payload;
  if (!ReadFrame(fd, payload)) {
    if (o_error) *o_error = "connection closed or frame too large";
    return {};
  }
  std::string error;
  CFRef<CFPropertyListRef> p(plist::Decode(payload.data(), payload.size(), kCFPropertyListImmutable, &error));
  if (!p || CFGetTypeID(p.get()) != CFDictionaryGetTypeID()) {
    if (o_error) *o_error = p ? "message is not a dictionary" : "undecodable message: " + error;
    return {};
  }
  return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(p.release()));
}

std::string SocketPath() { return MacToHost("/var/run/simhost.sock"); }

int ReplyStatus(CFDictionaryRef reply, int fallback) {
  if (!reply) return fallback;
  CFTypeRef v = CFDictionaryGetValue(reply, CFSTR("kr"));
  int32_t kr = fallback;
  if (!v || CFGetTypeID(v) != CFNumberGetTypeID() || !CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt32Type, &kr))
    return fallback;
  return kr;
}

namespace {

int64_t IdOf(CFDictionaryRef message) {
  CFTypeRef v = CFDictionaryGetValue(message, CFSTR("id"));
  int64_t id = 0;
  if (!v || CFGetTypeID(v) != CFNumberGetTypeID() || !CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt64Type, &id))
    return 0;
  return id;
}

// Told when the host closes a connection this process did not close itself. Its own lock: a
// reader thread that calls it may be joined by a thread that holds g_mutex.
std::mutex g_goneMutex;
std::function<void()> g_goneHandler;

void TellHostGone() {
  std::function<void()> handler;
  {
    std::lock_guard lock(g_goneMutex);
    handler = g_goneHandler;
  }
  if (handler) handler();
}

// One connection. Replaced (never freed while its reader may run) when the root changes or a
// test disconnects.
class Link {
 public:
  ~Link() { Close(); }

  bool Connect(const std::string& path) {
    m_path = path;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      ::close(fd);
      return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return false;
    }
    m_fd = fd;
    m_reader = std::thread([this] { ReadLoop(); });
    return true;
  }

  const std::string& Path() const { return m_path; }
  bool Alive() {
    std::lock_guard lock(m_mutex);
    return m_fd >= 0 && !m_dead;
  }

  CFRef<CFDictionaryRef> Call(CFDictionaryRef request) {
    int64_t id;
    {
      std::lock_guard lock(m_mutex);
      if (m_dead) return {};
      id = m_nextId++;
      m_pending[id] = Pending{};
    }
    CFRef<CFMutableDictionaryRef> message(CFDictionaryCreateMutableCopy(nullptr, 0, request));
    CFRef<CFNumberRef> idNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &id));
    CFDictionarySetValue(message.get(), CFSTR("id"), idNumber.get());
    bool sent;
    {
      std::lock_guard lock(m_writeMutex);
      sent = SendMessage(m_fd, message.get());
    }
    std::unique_lock lock(m_mutex);
    if (!sent) {
      m_pending.erase(id);
      return {};
    }
    m_cv.wait(lock, [&] { return m_pending[id].done || m_dead; });
    CFRef<CFDictionaryRef> reply = std::move(m_pending[id].reply);
    m_pending.erase(id);
    return reply;
  }

  void SetHandler(const std::string& name, std::function<void(CFDictionaryRef)> handler) {
    std::lock_guard lock(m_mutex);
    m_handlers[name] = std::move(handler);
  }
  void CopyHandlers(const Link& other) {
    std::scoped_lock lock(m_mutex, other.m_mutex);
    m_handlers = other.m_handlers;
  }

  void Close() {
    m_closing = true;
    if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
    if (m_reader.joinable()) m_reader.join();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  struct Pending {
    bool done = false;
    CFRef<CFDictionaryRef> reply;
  };

  void ReadLoop() {
    for (;;) {
      CFRef<CFDictionaryRef> message = ReceiveMessage(m_fd, nullptr);
      if (!message) break;
      if (int64_t id = IdOf(message.get())) {
        std::lock_guard lock(m_mutex);
        auto it = m_pending.find(id);
        if (it != m_pending.end()) {
          it->second.done = true;
          it->second.reply = std::move(message);
          m_cv.notify_all();
        }
        continue;
      }
      CFTypeRef name = CFDictionaryGetValue(message.get(), CFSTR("event"));
      if (!name || CFGetTypeID(name) != CFStringGetTypeID()) continue;
      const char* text = CFStringGetCStringPtr(static_cast<CFStringRef>(name), kCFStringEncodingUTF8);
      std::function<void(CFDictionaryRef)> handler;
      {
        std::lock_guard lock(m_mutex);
        auto it = text ? m_handlers.find(text) : m_handlers.end();
        if (it != m_handlers.end()) handler = it->second;
      }
      if (handler) handler(message.get());
    }
    {
      std::lock_guard lock(m_mutex);
      m_dead = true;
      m_cv.notify_all();
    }
    if (!m_closing) TellHostGone();
  }

  std::string m_path;
  int m_fd = -1;
  std::thread m_reader;
  mutable std::mutex m_mutex;
  std::mutex m_writeMutex;
  std::condition_variable m_cv;
  std::map<int64_t, Pending> m_pending;
  std::map<std::string, std::function<void(CFDictionaryRef)>> m_handlers;
  int64_t m_nextId = 1;
  bool m_dead = false;
  std::atomic<bool> m_closing{false};
};

std::mutex g_mutex;
Link* g_link = nullptr;       // the current connection; stays null until one succeeds
Link* g_handlers = nullptr;   // holds the handlers while no connection exists
// Links that were replaced; kept because a caller may still be returning from one.
std::vector<Link*>* g_retired = nullptr;

void Retire(Link* link) {
  if (!g_retired) g_retired = new std::vector<Link*>;
  g_retired->push_back(link);
}

void LockBeforeFork() { g_mutex.lock(); }
void UnlockInParent() { g_mutex.unlock(); }
void ForgetInChild() {
  // The child has no reader thread: it starts without a connection (the parent's is abandoned).
  g_link = nullptr;
  g_mutex.unlock();
}

Link& HandlerHolder() {
  if (!g_handlers) g_handlers = new Link;
  return *g_handlers;
}

// Caller holds g_mutex.
Link* CurrentLinkLocked() {
  static bool registered = [] {
    ::pthread_atfork(LockBeforeFork, UnlockInParent, ForgetInChild);
    return true;
  }();
  (void)registered;
  std::string path = SocketPath();
  if (g_link && g_link->Path() == path) return g_link;
  if (g_link) {
    // Another root (a test started another host): a new link for it. The old one is closed
    // and kept, since a caller may still be inside it.
    g_link->Close();
    Retire(g_link);
    g_link = nullptr;
  }
  auto* link = new Link;
  link->CopyHandlers(HandlerHolder());
  if (!link->Connect(path)) {
    delete link;
    return nullptr;
  }
  g_link = link;
  // The host keeps a list of its clients.
  CFRef<CFMutableDictionaryRef> hello(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  int pid = ::getpid();
  CFRef<CFNumberRef> pidNumber(CFNumberCreate(nullptr, kCFNumberIntType, &pid));
  CFRef<CFStringRef> program(CFStringCreateWithCString(nullptr, program_invocation_short_name, kCFStringEncodingUTF8));
  CFDictionarySetValue(hello.get(), CFSTR("op"), CFSTR("hello"));
  CFDictionarySetValue(hello.get(), CFSTR("pid"), pidNumber.get());
  if (program) CFDictionarySetValue(hello.get(), CFSTR("program"), program.get());
  // Without it the host cannot tell this process among its clients: worth a line, not a failure.
  CFRef<CFDictionaryRef> welcome = link->Call(hello.get());
  if (ReplyStatus(welcome.get(), -1) != 0)
    platform::log::Write(LOG_ERR, std::string(__func__) + ": the host did not accept the hello");
  return g_link;
}

}  // namespace

CFRef<CFDictionaryRef> Call(CFDictionaryRef request) {
  Link* link;
  {
    std::lock_guard lock(g_mutex);
    link = CurrentLinkLocked();
  }
  return link ? link->Call(request) : CFRef<CFDictionaryRef>();
}

bool Available() {
  std::lock_guard lock(g_mutex);
  Link* link = CurrentLinkLocked();
  return link && link->Alive();
}

void SetEventHandler(const std::string& name, std::function<void(CFDictionaryRef)> handler) {
  std::lock_guard lock(g_mutex);
  HandlerHolder().SetHandler(name, handler);
  if (g_link) g_link->SetHandler(name, handler);
}

void SetHostGoneHandler(std::function<void()> handler) {
  std::lock_guard lock(g_goneMutex);
  g_goneHandler = std::move(handler);
}

void Disconnect() {
  std::lock_guard lock(g_mutex);
  if (g_link) {
    g_link->Close();
    Retire(g_link);
  }
  g_link = nullptr;
}

}  // namespace platform::hostlink
