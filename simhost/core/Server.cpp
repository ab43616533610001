#include "Server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "CFUtil.h"
#include "Control.h"
#include "platform/Clock.h"
#include "platform/HostLink.h"
#include "platform/PlistCodec.h"

namespace simhost {

namespace hl = platform::hostlink;

class Session : public Subscriber, public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, int fd) : m_server(server), m_fd(fd) {}
  ~Session() override {
    Close();
    Join();
    ::close(m_fd);
  }

  // The server holds the session until both threads have ended.
  void Start() {
    m_writer = std::thread([this] { WriteLoop(); });
    m_reader = std::thread([this] { ReadLoop(); });
  }
  void Close() { ::shutdown(m_fd, SHUT_RDWR); }
  void Join() {
    for (std::thread* t : {&m_reader, &m_writer})
      if (t->joinable() && t->get_id() != std::this_thread::get_id()) t->join();
  }
  bool Finished() {
    std::lock_guard lock(m_mutex);
    return m_finished;
  }
  ClientInfo Info() {
    std::lock_guard lock(m_mutex);
    return m_info;
  }

  void ServiceMatched(uint64_t cookie, ServiceId service) override {
    std::lock_guard lock(m_mutex);
    auto it = m_iterators.find(cookie);
    if (it == m_iterators.end()) return;
    it->second.items.push_back(service);
    if (!it->second.armed) return;
    // Armed once drained; one event until the client drains it again.
    it->second.armed = false;
    auto event = cf::Dict();
    cf::Set(event.get(), "event", "iokit");
    cf::Set(event.get(), "notification", static_cast<int64_t>(cookie));
    EnqueueLocked(event.get());
  }

  void InterestMessage(uint64_t cookie, ServiceId service, uint32_t type, uint64_t argument) override {
    std::lock_guard lock(m_mutex);
    if (!m_interests.count(cookie)) return;
    auto event = cf::Dict();
    cf::Set(event.get(), "event", "iokit");
    cf::Set(event.get(), "notification", static_cast<int64_t>(cookie));
    cf::Set(event.get(), "service", static_cast<int64_t>(service));
    cf::Set(event.get(), "type", static_cast<int64_t>(type));
    cf::Set(event.get(), "argument", static_cast<int64_t>(argument));
    EnqueueLocked(event.get());
  }

 private:
  struct Iterator {
    std::vector<ServiceId> items;
    size_t pos = 0;
    bool notification = false;
    uint64_t registryId = 0;
    bool armed = false;
  };

  Host& host() { return m_server.host(); }
  Registry& reg() { return m_server.host().registry(); }

  void EnqueueLocked(CFDictionaryRef message) {
    if (m_closed) return;
    if (m_queue.size() >= kMaxQueuedMessages) {
      host().Log("dropping a client that does not read its replies (" + std::to_string(m_queue.size()) +
                 " messages queued)");
      m_closed = true;
      m_queue.clear();
      ::shutdown(m_fd, SHUT_RDWR);
      m_cv.notify_all();
      return;
    }
    m_queue.push_back(CFRef<CFDictionaryRef>(CFDictionaryCreateCopy(nullptr, message)));
    m_cv.notify_all();
  }
  void Enqueue(CFDictionaryRef message) {
    std::lock_guard lock(m_mutex);
    EnqueueLocked(message);
  }

  void WriteLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_cv.wait(lock, [&] { return m_closed || !m_queue.empty(); });
      if (m_queue.empty()) return;
      CFRef<CFDictionaryRef> message = std::move(m_queue.front());
      m_queue.pop_front();
      lock.unlock();
      bool ok = hl::SendMessage(m_fd, message.get());
      lock.lock();
      if (!ok) {
        // The client is gone or not reading: drop it.
        ::shutdown(m_fd, SHUT_RDWR);
        m_queue.clear();
      }
    }
  }

  enum class Frame { ok, closed, timedOut, tooLarge };

  // Reads what arrives and no more: a frame's body grows with its bytes, never by its claimed
  // length, and a frame begun must be finished within the server's limit. An idle client may
  // wait as long as it likes between frames.
  Frame ReadFrame(std::string& o_payload) {
    o_payload.clear();
    unsigned char head[4];
    size_t have = 0;
    std::chrono::steady_clock::time_point deadline{};
    uint32_t length = 0;
    for (;;) {
      size_t want = have < 4 ? 4 - have : length - o_payload.size();
      if (have == 4 && want == 0) return Frame::ok;
      int timeout = -1;
      if (have > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Frame::timedOut;
        timeout = static_cast<int>(std::min<long long>(left.count(), 1000));
      }
      pollfd p{m_fd, POLLIN, 0};
      int ready = ::poll(&p, 1, timeout);
      if (ready < 0 && errno != EINTR) return Frame::closed;
      if (ready <= 0) continue;
      char chunk[64 << 10];
      char* into = have < 4 ? reinterpret_cast<char*>(head) + have : chunk;
      ssize_t n = ::recv(m_fd, into, std::min(want, sizeof chunk), MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return Frame::closed;
      if (have == 0)
        deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(m_server.frameRealLimit()));
      if (have < 4) {
        have += static_cast<size_t>(n);
        if (have == 4) {
          length = uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
          if (length > hl::kMaxFrame) return Frame::tooLarge;
        }
      } else {
        o_payload.append(chunk, static_cast<size_t>(n));
      }
    }
  }

  CFRef<CFDictionaryRef> ReadRequest() {
    std::string payload;
    switch (ReadFrame(payload)) {
      case Frame::ok: break;
      case Frame::closed: return {};
      case Frame::timedOut: host().Log("dropping a client that left a frame unfinished"); return {};
      case Frame::tooLarge: host().Log("dropping a client that sent a frame over 16 MiB"); return {};
    }
    std::string error;
    CFRef<CFPropertyListRef> p(platform::plist::Decode(payload.data(), payload.size(), kCFPropertyListImmutable, &error));
    if (!p || CFGetTypeID(p.get()) != CFDictionaryGetTypeID()) {
      host().Log("dropping a client that sent " + (p ? std::string("a message that is not a dictionary") : error));
      return {};
    }
    return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(p.release()));
  }

  void ReadLoop() {
    for (;;) {
      CFRef<CFDictionaryRef> request = ReadRequest();
      if (!request) break;
      auto id = cf::GetInt(request.get(), "id");
      auto op = cf::GetString(request.get(), "op");
      if (!id || !op) {
        host().Log("dropping a client that sent a message without \"id\" and \"op\"");
        break;
      }
      if (*op == "setProperty") {
        // May block for as long as a load takes: answered from a thread of its own.
        auto self = shared_from_this();
        m_server.RunDetached([self, request, id = *id] {
          CFRef<CFMutableDictionaryRef> reply = self->SetProperty(request.get());
          cf::Set(reply.get(), "id", id);
          self->Enqueue(reply.get());
        });
        continue;
      }
      CFRef<CFMutableDictionaryRef> reply = Handle(*op, request.get());
      cf::Set(reply.get(), "id", *id);
      Enqueue(reply.get());
    }
    ::shutdown(m_fd, SHUT_RDWR);
    reg().RemoveSubscriber(this);
    std::vector<ServiceId> loads;
    {
      std::lock_guard lock(m_mutex);
      loads.assign(m_loads.begin(), m_loads.end());
    }
    for (ServiceId robotics : loads)
      if (Changer* c = host().ChangerForRobotics(robotics)) c->AbortLoad();
    std::lock_guard lock(m_mutex);
    m_iterators.clear();
    m_interests.clear();
    m_closed = true;
    m_finished = true;
    m_cv.notify_all();
  }

  static CFRef<CFMutableDictionaryRef> Reply(int kr) {
    auto reply = cf::Dict();
    cf::Set(reply.get(), "kr", static_cast<int64_t>(kr));
    return reply;
  }

  // A live (not necessarily published) service named by the request's "service".
  bool ServiceArg(CFDictionaryRef request, ServiceId& o_service) {
    auto s = cf::GetInt(request, "service");
    o_service = s && *s > 0 ? static_cast<ServiceId>(*s) : 0;
    return o_service && reg().Exists(o_service);
  }

  // Iterators and notifications are named by the client ("handle"), so that its events can
  // never overtake the reply that creates them. 0 when the name is missing or taken.
  uint64_t ClaimHandleLocked(CFDictionaryRef request) {
    auto h = cf::GetInt(request, "handle");
    if (!h || *h <= 0) return 0;
    auto id = static_cast<uint64_t>(*h);
    return m_iterators.count(id) || m_interests.count(id) ? 0 : id;
  }

  CFRef<CFMutableDictionaryRef> NewIterator(CFDictionaryRef request, std::vector<ServiceId> items) {
    std::lock_guard lock(m_mutex);
    uint64_t id = ClaimHandleLocked(request);
    if (!id) return Reply(kSimBadArgument);
    Iterator it;
    it.items = std::move(items);
    m_iterators.emplace(id, std::move(it));
    return Reply(kSimSuccess);
  }

  CFRef<CFMutableDictionaryRef> Handle(const std::string& op, CFDictionaryRef request) {
    if (op == "hello") {
      std::lock_guard lock(m_mutex);
      m_info.pid = static_cast<int>(cf::GetInt(request, "pid").value_or(0));
      m_info.program = cf::GetString(request, "program").value_or("");
      return Reply(kSimSuccess);
    }
    if (op == "masterPort") return Reply(host().HostKnob("master-port-fails") ? kSimNotResponding : kSimSuccess);
    if (op == "getMatching") {
      CFDictionaryRef matching = cf::GetDict(request, "matching");
      if (!matching) return Reply(kSimBadArgument);
      return NewIterator(request, reg().Match(matching));
    }
    if (op == "addNotification") return AddNotification(request);
    if (op == "addInterest") return AddInterest(request);
    if (op == "iteratorNext" || op == "iteratorReset" || op == "iteratorIsValid") return IteratorOp(op, request);
    if (op == "release") return Release(request);
    if (op == "ejectDisk") {
      auto bsd = cf::GetString(request, "bsd");
      return Reply(bsd ? host().EjectDisk(*bsd) : kSimBadArgument);
    }
    if (op == "userNotification") return UserNotification(request);
    if (op == "control") return HandleControl(m_server, request);
    return ServiceOp(op, request);
  }

  CFRef<CFMutableDictionaryRef> ServiceOp(const std::string& op, CFDictionaryRef request) {
    ServiceId service = 0;
    if (!ServiceArg(request, service)) return Reply(kSimBadArgument);
    if (op == "getClass") {
      auto chain = cf::Array();
      for (const auto& c : reg().ClassChain(service)) cf::Append(chain.get(), cf::Str(c).get());
      auto reply = Reply(kSimSuccess);
      cf::Set(reply.get(), "classes", chain.get());
      return reply;
    }
    if (op == "copyProperty" || op == "searchProperty") {
      auto key = cf::GetString(request, "key");
      if (!key) return Reply(kSimBadArgument);
      CFRef<CFTypeRef> value;
      std::string direction = cf::GetString(request, "direction").value_or("self");
      if (op == "copyProperty" || direction == "self") {
        value = reg().CopyValue(service, *key);
      } else if (direction == "parents") {
        value = reg().Search(service, *key, true);
      } else {
        value = reg().CopyValue(service, *key);
        for (ServiceId d : reg().Descendants(service)) {
          if (value) break;
          value = reg().CopyValue(d, *key);
        }
      }
      auto reply = Reply(kSimSuccess);
      if (value) cf::Set(reply.get(), "value", value.get());
      return reply;
    }
    if (op == "copyProperties") {
      auto reply = Reply(kSimSuccess);
      cf::Set(reply.get(), "properties", reg().CopyProperties(service).get());
      return reply;
    }
    if (op == "parent") {
      ServiceId parent = reg().Parent(service);
      auto reply = Reply(parent ? kSimSuccess : kSimNoDevice);
      cf::Set(reply.get(), "parent", static_cast<int64_t>(parent));
      return reply;
    }
    if (op == "createIterator") {
      if (host().HostKnob("registry-iterator-fails")) return Reply(kSimNoMemory);
      bool parents = cf::GetBool(request, "parents").value_or(false);
      bool recursive = cf::GetBool(request, "recursive").value_or(false);
      std::vector<ServiceId> items;
      if (parents && recursive) {
        items = reg().Ancestors(service);
      } else if (parents) {
        if (ServiceId p = reg().Parent(service)) items.push_back(p);
      } else {
        items = recursive ? reg().Descendants(service) : reg().Children(service);
      }
      return NewIterator(request, std::move(items));
    }
    if (op == "matchPropertyTable") {
      CFDictionaryRef table = cf::GetDict(request, "table");
      if (!table) return Reply(kSimBadArgument);
      auto reply = Reply(kSimSuccess);
      cf::SetBool(reply.get(), "matches", reg().MatchPropertyTable(service, table));
      return reply;
    }
    auto reply = Reply(kSimUnsupported);
    cf::Set(reply.get(), "error", "unknown request \"" + op + "\"");
    return reply;
  }

  CFRef<CFMutableDictionaryRef> SetProperty(CFDictionaryRef request) {
    ServiceId service = 0;
    auto key = cf::GetString(request, "key");
    CFTypeRef value = cf::Get(request, "value");
    if (!ServiceArg(request, service) || !key || !value) return Reply(kSimBadArgument);
    bool load = *key == "Media Load Request";
    if (load) {
      std::lock_guard lock(m_mutex);
      m_loads.insert(service);
    }
    int kr = reg().RequestSetProperty(service, *key, value);
    if (load) {
      std::lock_guard lock(m_mutex);
      m_loads.erase(service);
    }
    return Reply(kr);
  }

  CFRef<CFMutableDictionaryRef> AddNotification(CFDictionaryRef request) {
    CFDictionaryRef matching = cf::GetDict(request, "matching");
    auto type = cf::GetString(request, "type");
    if (!matching || !type) return Reply(kSimBadArgument);
    NotificationKind kind;
    if (*type == "IOServicePublish" || *type == "IOServiceFirstPublish" || *type == "IOServiceMatched" ||
        *type == "IOServiceFirstMatch")
      kind = NotificationKind::publish;
    else if (*type == "IOServiceTerminate")
      kind = NotificationKind::terminate;
    else
      return Reply(kSimUnsupported);
    uint64_t id;
    {
      std::lock_guard lock(m_mutex);
      id = ClaimHandleLocked(request);
      if (!id) return Reply(kSimBadArgument);
      Iterator it;
      it.notification = true;
      m_iterators.emplace(id, std::move(it));
    }
    std::vector<ServiceId> existing;
    uint64_t registryId = reg().AddNotification(kind, matching, this, id, existing);
    {
      std::lock_guard lock(m_mutex);
      Iterator& it = m_iterators.at(id);
      it.registryId = registryId;
      // Services published meanwhile are already queued; the ones present come first.
      it.items.insert(it.items.begin(), existing.begin(), existing.end());
    }
    return Reply(kSimSuccess);
  }

  CFRef<CFMutableDictionaryRef> AddInterest(CFDictionaryRef request) {
    ServiceId service = 0;
    if (!ServiceArg(request, service)) return Reply(kSimBadArgument);
    if (cf::GetString(request, "type").value_or("") != "IOGeneralInterest") return Reply(kSimUnsupported);
    uint64_t id;
    {
      std::lock_guard lock(m_mutex);
      id = ClaimHandleLocked(request);
      if (!id) return Reply(kSimBadArgument);
      m_interests[id] = 0;
    }
    uint64_t registryId = reg().AddInterest(service, this, id);
    std::lock_guard lock(m_mutex);
    if (!registryId) {
      m_interests.erase(id);
      return Reply(kSimBadArgument);
    }
    m_interests[id] = registryId;
    return Reply(kSimSuccess);
  }

  CFRef<CFMutableDictionaryRef> IteratorOp(const std::string& op, CFDictionaryRef request) {
    uint64_t id = static_cast<uint64_t>(cf::GetInt(request, "iterator").value_or(0));
    bool invalid = host().HostKnob("iterators-invalid");
    std::lock_guard lock(m_mutex);
    auto it = m_iterators.find(id);
    if (it == m_iterators.end()) return Reply(kSimBadArgument);
    Iterator& iter = it->second;
    auto reply = Reply(kSimSuccess);
    if (op == "iteratorIsValid") {
      cf::SetBool(reply.get(), "valid", !invalid);
    } else if (op == "iteratorReset") {
      if (!iter.notification) iter.pos = 0;
    } else {
      ServiceId next = 0;
      if (iter.pos < iter.items.size()) {
        next = iter.items[iter.pos++];
      } else if (iter.notification) {
        iter.items.clear();
        iter.pos = 0;
        iter.armed = true;
      }
      cf::Set(reply.get(), "service", static_cast<int64_t>(next));
    }
    return reply;
  }

  CFRef<CFMutableDictionaryRef> Release(CFDictionaryRef request) {
    if (auto iterator = cf::GetInt(request, "iterator")) {
      uint64_t registryId = 0;
      {
        std::lock_guard lock(m_mutex);
        auto it = m_iterators.find(static_cast<uint64_t>(*iterator));
        if (it == m_iterators.end()) return Reply(kSimBadArgument);
        registryId = it->second.notification ? it->second.registryId : 0;
        m_iterators.erase(it);
      }
      if (registryId) reg().RemoveNotification(registryId);
      return Reply(kSimSuccess);
    }
    if (auto notification = cf::GetInt(request, "notification")) {
      uint64_t registryId;
      {
        std::lock_guard lock(m_mutex);
        auto it = m_interests.find(static_cast<uint64_t>(*notification));
        if (it == m_interests.end()) return Reply(kSimBadArgument);
        registryId = it->second;
      }
      int kr = reg().RemoveInterest(registryId);
      if (kr == kSimSuccess) {
        std::lock_guard lock(m_mutex);
        m_interests.erase(static_cast<uint64_t>(*notification));
      }
      return Reply(kr);
    }
    return Reply(kSimBadArgument);
  }

  CFRef<CFMutableDictionaryRef> UserNotification(CFDictionaryRef request) {
    Alert alert;
    alert.time = platform::clock::Now();
    alert.pid = Info().pid;
    alert.header = cf::GetString(request, "header").value_or("");
    alert.message = cf::GetString(request, "message").value_or("");
    alert.defaultButton = cf::GetString(request, "defaultButton").value_or("");
    alert.iconURL = cf::GetString(request, "iconURL").value_or("");
    alert.level = static_cast<int>(cf::GetInt(request, "level").value_or(0));
    return Reply(host().RecordAlert(std::move(alert)) ? kSimSuccess : kSimError);
  }

  Server& m_server;
  const int m_fd;
  std::thread m_reader;
  std::thread m_writer;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<CFRef<CFDictionaryRef>> m_queue;
  bool m_closed = false;
  bool m_finished = false;
  ClientInfo m_info;
  std::map<uint64_t, Iterator> m_iterators;
  std::map<uint64_t, uint64_t> m_interests;  // client id -> registry id (0 while being added)
  std::multiset<ServiceId> m_loads;          // robotics services with a load request in progress
};

Server::Server(Host& host, double frameRealLimit) : m_host(host), m_frameRealLimit(frameRealLimit) {}

Server::~Server() { Stop(); }

bool Server::Start(std::string& o_error) {
  m_path = m_host.Root() + "/var/run/simhost.sock";
  ::mkdir((m_host.Root() + "/var").c_str(), 0755);
  ::mkdir((m_host.Root() + "/var/run").c_str(), 0755);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (m_path.size() >= sizeof addr.sun_path) {
    o_error = "socket path too long: " + m_path;
    return false;
  }
  std::memcpy(addr.sun_path, m_path.c_str(), m_path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    o_error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  // A live host answers on the socket; only a stale one may be replaced.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ::close(fd);
    o_error = "a host is already serving " + m_host.Root();
    return false;
  }
  ::unlink(m_path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
    o_error = "cannot listen on " + m_path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (::pipe2(m_wakePipe, O_CLOEXEC) != 0) {
    o_error = std::string("pipe: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  m_listenFd = fd;
  m_acceptThread = std::thread([this] { AcceptLoop(); });
  return true;
}

void Server::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    int n = ::poll(fds, 2, 200);
    {
      std::lock_guard lock(m_mutex);
      if (m_stopping) return;
      ReapLocked();
    }
    if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
    int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    std::lock_guard lock(m_mutex);
    if (m_stopping) {
      ::close(client);
      return;
    }
    ReapLocked();
    if (m_sessions.size() >= kMaxSessions) {
      if (!m_refusing) m_host.Log("refusing clients: " + std::to_string(kMaxSessions) + " are connected");
      m_refusing = true;
      ::close(client);
      continue;
    }
    m_refusing = false;
    auto session = std::make_shared<Session>(*this, client);
    m_sessions.push_back(session);
    session->Start();
  }
}

void Server::ReapLocked() {
  for (auto it = m_sessions.begin(); it != m_sessions.end();) {
    if ((*it)->Finished()) {
      (*it)->Join();
      it = m_sessions.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = m_workers.begin(); it != m_workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = m_workers.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::RunDetached(std::function<void()> work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(m_mutex);
  if (m_stopping) return;
  m_workers.push_back(Worker{std::thread([work = std::move(work), done] {
                               work();
                               done->store(true);
                             }),
                             done});
}

std::vector<ClientInfo> Server::Clients() {
  std::lock_guard lock(m_mutex);
  std::vector<ClientInfo> out;
  for (const auto& s : m_sessions)
    if (!s->Finished()) out.push_back(s->Info());
  return out;
}

void Server::Stop() {
  {
    std::lock_guard lock(m_mutex);
    if (m_listenFd < 0 || m_stopping) return;
    m_stopping = true;
  }
  char byte = 0;
  ssize_t ignored = ::write(m_wakePipe[1], &byte, 1);
  (void)ignored;
  if (m_acceptThread.joinable()) m_acceptThread.join();
  std::list<std::shared_ptr<Session>> sessions;
  std::list<Worker> workers;
  {
    std::lock_guard lock(m_mutex);
    sessions.swap(m_sessions);
    workers.swap(m_workers);
  }
  // Closed sessions abort the loads they asked for, which lets their workers return.
  for (auto& s : sessions) s->Close();
  for (auto& s : sessions) s->Join();
  for (auto& w : workers) w.thread.join();
  sessions.clear();
  ::close(m_listenFd);
  ::close(m_wakePipe[0]);
  ::close(m_wakePipe[1]);
  ::unlink(m_path.c_str());
  m_listenFd = -1;
}

}  // namespace simhost
