// Puts a Host on its root's socket "<root>/var/run/simhost.sock". One session per client
// connection; a client that sends garbage or goes away is dropped, the host carries on.
#pragma once
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Host.h"

namespace simhost {

class Session;

struct ClientInfo {
  int pid = 0;
  std::string program;
};

// What one client may hold of the host. A frame counts from its first byte; a client that
// stops reading has its replies and events queued up to kMaxQueuedMessages, then is dropped.
inline constexpr size_t kMaxSessions = 64;
inline constexpr size_t kMaxQueuedMessages = 4096;
inline constexpr double kFrameRealLimit = 10.0;

class Server {
 public:
  explicit Server(Host& host, double frameRealLimit = kFrameRealLimit);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the socket (replacing a stale one) and starts accepting.
  bool Start(std::string& o_error);
  // Closes every session and waits for their threads. Loads still blocked in a request end
  // only when the host shuts down, so call Host::Shutdown first when stopping for good.
  void Stop();

  Host& host() { return m_host; }
  double frameRealLimit() const { return m_frameRealLimit; }
  std::vector<ClientInfo> Clients();
  // Runs `work` on a thread the server joins when it stops (requests that may block).
  void RunDetached(std::function<void()> work);

 private:
  void AcceptLoop();
  void ReapLocked();

  Host& m_host;
  const double m_frameRealLimit;
  bool m_refusing = false;  // logged once per run of refused connections
  std::string m_path;
  int m_listenFd = -1;
  int m_wakePipe[2] = {-1, -1};
  std::thread m_acceptThread;
  std::mutex m_mutex;
  std::list<std::shared_ptr<Session>> m_sessions;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Worker> m_workers;
  bool m_stopping = false;
};

}  // namespace simhost
