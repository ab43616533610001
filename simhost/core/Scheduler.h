// Runs the host's delayed actions (robot moves, settling, late services) on the system clock, one
// at a time and in time order; actions due at the same moment run in the order they were added.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "platform/ThreadAnnotations.h"

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

  platform::Mutex m_mutex;
  std::condition_variable m_cv;      // an action was added, or Stop
  std::condition_variable m_idleCv;  // nothing is due now
  std::multimap<std::pair<double, uint64_t>, std::function<void()>> m_actions GUARDED_BY(m_mutex);
  uint64_t m_seq GUARDED_BY(m_mutex) = 0;
  bool m_stop GUARDED_BY(m_mutex) = false;
  bool m_running GUARDED_BY(m_mutex) = false;  // an action is executing
  // Its due time: written under m_mutex by the scheduler's thread, read by that thread alone.
  double m_runningDue = 0;
  std::atomic<std::thread::id> m_threadId{};
  std::thread m_thread;
};

}  // namespace simhost
