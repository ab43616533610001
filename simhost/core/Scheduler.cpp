#include "Scheduler.h"

#include "platform/Clock.h"

namespace simhost {

Scheduler::Scheduler() : m_thread([this] { Run(); }) {}

Scheduler::~Scheduler() { Stop(); }

void Scheduler::At(double simTime, std::function<void()> action) {
  platform::MutexLock lock(m_mutex);
  if (m_stop) return;
  m_actions.emplace(std::make_pair(simTime, m_seq++), std::move(action));
  m_cv.notify_all();
}

void Scheduler::After(double simSeconds, std::function<void()> action) { At(Now() + simSeconds, std::move(action)); }

double Scheduler::Now() const {
  // Only the scheduler's own thread writes m_runningDue, and only while it runs an action.
  if (std::this_thread::get_id() == m_threadId.load()) return m_runningDue;
  return platform::clock::Now();
}

void Scheduler::Stop() {
  {
    platform::MutexLock lock(m_mutex);
    m_stop = true;
    m_actions.clear();
    m_cv.notify_all();
    m_idleCv.notify_all();
  }
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void Scheduler::Drain() {
  platform::MutexLock lock(m_mutex);
  auto idle = [&] {
    m_mutex.AssertHeld();
    return m_stop || (!m_running && (m_actions.empty() || m_actions.begin()->first.first > platform::clock::Now()));
  };
  // Short waits: the clock may move without anyone notifying.
  while (!idle()) m_idleCv.wait_for(lock.Native(), std::chrono::milliseconds(5));
}

void Scheduler::Run() {
  m_threadId = std::this_thread::get_id();
  platform::MutexLock lock(m_mutex);
  while (!m_stop) {
    if (m_actions.empty()) {
      m_idleCv.notify_all();
      m_cv.wait(lock.Native(), [&] {
        m_mutex.AssertHeld();
        return m_stop || !m_actions.empty();
      });
      continue;
    }
    double due = m_actions.begin()->first.first;
    if (platform::clock::Now() < due) {
      m_idleCv.notify_all();
      // Whatever woke it, the loop looks at the queue again.
      (void)platform::clock::WaitUntil(m_cv, lock.Native(), due, [&] {
        m_mutex.AssertHeld();
        return m_stop || m_actions.empty() || m_actions.begin()->first.first < due;
      });
      continue;
    }
    auto node = m_actions.extract(m_actions.begin());
    m_running = true;
    m_runningDue = due;
    lock.Unlock();
    node.mapped()();
    lock.Lock();
    m_running = false;
  }
  m_idleCv.notify_all();
}

}  // namespace simhost
