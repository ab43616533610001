// Runs the host's delayed actions (robot moves, settling, late services) on the system clock, one
// at a time and in time order; actions due at the same moment run in the order they were added.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace simhost {

class Scheduler {
 public:
  Scheduler();
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // `simTime` is on the platform clock.
  void At(double simTime, std::function<void()> action);
  // Counted from Now(): an action that schedules the next step times it from its own moment.
  void After(double simSeconds, std::function<void()> action);
  // The time an action is due while it runs (on the scheduler's thread), else the clock's time.
  // Actions that run late, when a test moves a manual clock a long way at once, still act at
  // their own moment.
  double Now() const;
  // Drops every action not yet run and ends the thread (the destructor does it too).
  void Stop();
  // Waits until nothing is due at or before the current time (tests use it after advancing a
  // manual clock).
  void Drain();

 private:
  void Run();

  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::condition_variable m_idleCv;
  std::multimap<std::pair<double, uint64_t>, std::function<void()>> m_actions;
  uint64_t m_seq = 0;
  bool m_stop = false;
  bool m_running = false;  // an action is executing
  double m_runningDue = 0;  // its due time
  std::atomic<std::thread::id> m_threadId{};
  std::thread m_thread;
};

}  // namespace simhost
