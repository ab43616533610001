// Runs the host's delayed actions (robot moves, settling, late services) on the system clock, one
// at a time and in time order; actions due at the same moment run in the order they were added.
#pragma once
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
  void After(double simSeconds, std::function<void()> action);
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
  std::thread m_thread;
};

}  // namespace simhost
