#include "platform/CFRunLoop.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RunLoopInternal.h"
#include "platform/CFRef.h"
#include "platform/Clock.h"
#include "platform/Log.h"
#include "platform/RunLoopSources.h"
#include "platform/ThreadAnnotations.h"

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  return platform::clock::Now() - kCFAbsoluteTimeIntervalSince1970;
}

namespace {

constexpr double kMaxRealWait = 0.05;  // so rate changes and manual clocks are followed

const std::string kDefaultModeName = "kCFRunLoopDefaultMode";
const std::string kCommonModesName = "kCFRunLoopCommonModes";

}  // namespace

// ---------------------------------------------------------------- objects

struct __CFRunLoop;

// Loops that hold an item, so that signals and date changes wake them. A loop leaves the list
// when it drops the item or dies.
class LoopList {
 public:
  void Add(__CFRunLoop* rl) {
    platform::MutexLock lock(m_mutex);
    m_loops.push_back(rl);
  }
  void Remove(__CFRunLoop* rl) {
    platform::MutexLock lock(m_mutex);
    auto it = std::find(m_loops.begin(), m_loops.end(), rl);
    if (it != m_loops.end()) m_loops.erase(it);
  }
  void WakeAll();

 private:
  platform::Mutex m_mutex;
  std::vector<__CFRunLoop*> m_loops GUARDED_BY(m_mutex);  // one entry per (loop, mode) membership
};

struct __CFRunLoopSource : __CFObject {
  __CFRunLoopSource() : __CFObject(kTypeIDRunLoopSource) {}
  std::string Describe() const override { return "<CFRunLoopSource>"; }

  CFIndex m_order = 0;
  bool IsLive() const { return m_valid && (!m_alive || m_alive()); }

  std::atomic<bool> m_valid{true};
  std::function<bool()> m_alive;  // the owning port's validity, if any
  int m_fd = -1;  // fd sources only
  std::function<void()> m_onReadable;
  std::function<void()> m_perform;  // signalled sources only
  std::atomic<bool> m_signalled{false};
  LoopList m_loops;
};

struct __CFRunLoopTimer : __CFObject {
  __CFRunLoopTimer() : __CFObject(kTypeIDRunLoopTimer) {}
  ~__CFRunLoopTimer() override {
    if (m_context.release && m_context.info) m_context.release(m_context.info);
  }
  std::string Describe() const override { return "<CFRunLoopTimer>"; }

  CFAbsoluteTime NextFire() {
    platform::MutexLock lock(m_mutex);
    return m_nextFire;
  }

  platform::Mutex m_mutex;
  CFAbsoluteTime m_nextFire GUARDED_BY(m_mutex) = 0;
  CFTimeInterval m_interval = 0;
  CFIndex m_order = 0;
  CFRunLoopTimerCallBack m_callout = nullptr;
  CFRunLoopTimerContext m_context{};
  bool IsLive() const { return m_valid; }
  std::atomic<bool> m_valid{true};
  LoopList m_loops;
};

struct __CFRunLoop : __CFObject {
  __CFRunLoop() : __CFObject(kTypeIDRunLoop), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Without its wake fd the loop still runs, but only notices a signal or a new timer at its
    // next slice (kMaxRealWait): slower, never stuck.
    if (m_wakeFd < 0)
      platform::log::Write(LOG_ERR, std::string(__func__) + ": eventfd failed: " + std::strerror(errno));
    platform::MutexLock lock(m_mutex);
    m_commonModes.insert(kDefaultModeName);
  }
  // The last reference is gone: no other thread can reach the loop, so no lock is needed.
  ~__CFRunLoop() override NO_THREAD_SAFETY_ANALYSIS {
    for (auto& [name, items] : m_modes) {
      for (CFRunLoopSourceRef s : items.sources) {
        s->m_loops.Remove(this);
        CFRelease(s);
      }
      for (CFRunLoopTimerRef t : items.timers) {
        t->m_loops.Remove(this);
        CFRelease(t);
      }
    }
    if (m_wakeFd >= 0) ::close(m_wakeFd);
  }
  std::string Describe() const override { return "<CFRunLoop>"; }

  void Wake() {
    uint64_t one = 1;
    ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    (void)ignored;
  }
  void DrainWake() {
    uint64_t value;
    ssize_t ignored = ::read(m_wakeFd, &value, sizeof value);
    (void)ignored;
  }

  struct ModeItems {
    std::vector<CFRunLoopSourceRef> sources;  // each retained once
    std::vector<CFRunLoopTimerRef> timers;    // each retained once
  };

  // Guards the loop's modes and what they hold; taken before a LoopList's or a timer's mutex.
  platform::Mutex m_mutex;
  std::map<std::string, ModeItems> m_modes GUARDED_BY(m_mutex);  // kCommonModesName holds the common items
  std::set<std::string> m_commonModes GUARDED_BY(m_mutex);
  std::vector<std::string> m_runningModes GUARDED_BY(m_mutex);  // innermost last
  const int m_wakeFd;
  std::atomic<bool> m_stopRequested{false};
  std::atomic<bool> m_waiting{false};
};

void LoopList::WakeAll() {
  platform::MutexLock lock(m_mutex);
  for (__CFRunLoop* rl : m_loops) rl->Wake();
}

namespace {

const std::string& ModeName(CFStringRef mode) { return CFStringUTF8(mode); }

// ---------------------------------------------------------------- per-thread loops

pid_t CurrentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Immortal: any thread may hold it until the process ends.
std::atomic<__CFRunLoop*> g_mainLoop{nullptr};

struct ThreadLoop {
  __CFRunLoop* loop = nullptr;
  ~ThreadLoop() {
    if (loop) CFRelease(loop);  // the main loop ignores this
  }
};
thread_local ThreadLoop t_loop;

__CFRunLoop* MainLoopObject() {
  __CFRunLoop* loop = g_mainLoop.load();
  if (loop) return loop;
  auto* fresh = new __CFRunLoop();
  fresh->MarkImmortal();
  if (g_mainLoop.compare_exchange_strong(loop, fresh)) return fresh;
  delete fresh;
  return loop;
}

// A forked child starts with no loops of its own; what it copied belongs to the parent.
void ForgetLoopsInChild() {
  g_mainLoop = nullptr;
  t_loop.loop = nullptr;
}
[[maybe_unused]] const bool g_atforkInstalled = [] {
  ::pthread_atfork(nullptr, nullptr, ForgetLoopsInChild);
  return true;
}();

// ---------------------------------------------------------------- mode items

template <class T>
bool ContainsItem(const std::vector<T>& v, T item) {
  return std::find(v.begin(), v.end(), item) != v.end();
}

// Items of `mode` (common items included when the mode is common), retained for the caller.
struct Snapshot {
  std::vector<CFRef<CFRunLoopSourceRef>> sources;
  std::vector<CFRef<CFRunLoopTimerRef>> timers;
};

// Drops invalidated items; returns what to release once the lock is gone.
void PurgeLocked(__CFRunLoop* rl, std::vector<CFTypeRef>& o_release) REQUIRES(rl->m_mutex) {
  for (auto& [name, items] : rl->m_modes) {
    std::erase_if(items.sources, [&](CFRunLoopSourceRef s) {
      if (s->IsLive()) return false;
      s->m_loops.Remove(rl);
      o_release.push_back(s);
      return true;
    });
    std::erase_if(items.timers, [&](CFRunLoopTimerRef t) {
      if (t->IsLive()) return false;
      t->m_loops.Remove(rl);
      o_release.push_back(t);
      return true;
    });
  }
}

Snapshot TakeSnapshot(__CFRunLoop* rl, const std::string& mode) {
  std::vector<CFTypeRef> release;
  Snapshot snap;
  {
    platform::MutexLock lock(rl->m_mutex);
    PurgeLocked(rl, release);
    auto collect = [&](const std::string& name) {
      rl->m_mutex.AssertHeld();
      auto it = rl->m_modes.find(name);
      if (it == rl->m_modes.end()) return;
      for (CFRunLoopSourceRef s : it->second.sources) snap.sources.push_back(CFRef<CFRunLoopSourceRef>::Retain(s));
      for (CFRunLoopTimerRef t : it->second.timers) snap.timers.push_back(CFRef<CFRunLoopTimerRef>::Retain(t));
    };
    collect(mode);
    if (rl->m_commonModes.count(mode)) collect(kCommonModesName);
  }
  for (CFTypeRef cf : release) CFRelease(cf);
  std::stable_sort(snap.sources.begin(), snap.sources.end(),
                   [](const auto& a, const auto& b) { return a.get()->m_order < b.get()->m_order; });
  return snap;
}

template <class T>
void AddItem(CFRunLoopRef rl, T item, CFStringRef mode, std::vector<T> __CFRunLoop::ModeItems::*member) {
  if (!rl || !item || !mode || !item->IsLive()) return;
  {
    platform::MutexLock lock(rl->m_mutex);
    auto& list = rl->m_modes[ModeName(mode)].*member;
    if (ContainsItem(list, item)) return;
    CFRetain(item);
    list.push_back(item);
    item->m_loops.Add(rl);
  }
  rl->Wake();
}

template <class T>
void RemoveItem(CFRunLoopRef rl, T item, CFStringRef mode, std::vector<T> __CFRunLoop::ModeItems::*member) {
  if (!rl || !item || !mode) return;
  {
    platform::MutexLock lock(rl->m_mutex);
    auto it = rl->m_modes.find(ModeName(mode));
    if (it == rl->m_modes.end()) return;
    auto& list = it->second.*member;
    auto pos = std::find(list.begin(), list.end(), item);
    if (pos == list.end()) return;
    list.erase(pos);
    item->m_loops.Remove(rl);
  }
  CFRelease(item);
  rl->Wake();
}

template <class T>
bool ContainsItemInMode(CFRunLoopRef rl, T item, CFStringRef mode, std::vector<T> __CFRunLoop::ModeItems::*member) {
  if (!rl || !item || !mode || !item->IsLive()) return false;
  platform::MutexLock lock(rl->m_mutex);
  const std::string& name = ModeName(mode);
  auto has = [&](const std::string& m) {
    rl->m_mutex.AssertHeld();
    auto it = rl->m_modes.find(m);
    return it != rl->m_modes.end() && ContainsItem(it->second.*member, item);
  };
  if (has(name)) return true;
  return name != kCommonModesName && rl->m_commonModes.count(name) && has(kCommonModesName);
}

// ---------------------------------------------------------------- running

// Fires every timer that is due, earliest date first; returns the earliest date still pending.
// Fires the timers due by now, or by `limit` when that is earlier.
double FireDueTimers(const Snapshot& snap, CFAbsoluteTime limit = std::numeric_limits<double>::infinity()) {
  for (;;) {
    CFRunLoopTimerRef due = nullptr;
    CFAbsoluteTime dueDate = 0;
    CFAbsoluteTime now = std::min(CFAbsoluteTimeGetCurrent(), limit);
    for (const auto& t : snap.timers) {
      if (!t.get()->IsLive()) continue;
      CFAbsoluteTime next = t.get()->NextFire();
      if (next > now) continue;
      if (!due || next < dueDate || (next == dueDate && t.get()->m_order < due->m_order)) {
        due = t.get();
        dueDate = next;
      }
    }
    if (!due) break;
    bool repeats = due->m_interval > 0;
    {
      platform::MutexLock lock(due->m_mutex);
      if (repeats) {
        double missed = std::floor((now - due->m_nextFire) / due->m_interval);
        due->m_nextFire += (missed + 1) * due->m_interval;
      }
    }
    if (!repeats) due->m_valid = false;
    if (due->m_callout) due->m_callout(due, due->m_context.info);
  }
  double earliest = std::numeric_limits<double>::infinity();
  for (const auto& t : snap.timers)
    if (t.get()->IsLive()) earliest = std::min(earliest, t.get()->NextFire());
  return earliest;
}

bool HasLiveItems(const Snapshot& snap) {
  for (const auto& s : snap.sources)
    if (s.get()->IsLive()) return true;
  for (const auto& t : snap.timers)
    if (t.get()->IsLive()) return true;
  return false;
}

SInt32 RunLoopInMode(__CFRunLoop* rl, const std::string& mode, double seconds, bool returnAfterSourceHandled) {
  double deadline = platform::clock::Now() + std::max(seconds, 0.0);
  {
    platform::MutexLock lock(rl->m_mutex);
    rl->m_runningModes.push_back(mode);
  }
  SInt32 result = kCFRunLoopRunTimedOut;
  for (;;) {
    Snapshot snap = TakeSnapshot(rl, mode);
    if (!HasLiveItems(snap)) {
      result = kCFRunLoopRunFinished;
      break;
    }
    if (rl->m_stopRequested.exchange(false)) {
      result = kCFRunLoopRunStopped;
      break;
    }
    double nextTimer = FireDueTimers(snap) + kCFAbsoluteTimeIntervalSince1970;

    bool handled = false;
    for (const auto& s : snap.sources) {
      __CFRunLoopSource* src = s.get();
      if (!src->m_perform || !src->IsLive() || !src->m_signalled.exchange(false)) continue;
      src->m_perform();
      handled = true;
      if (returnAfterSourceHandled) break;
    }
    if (handled && returnAfterSourceHandled) {
      result = kCFRunLoopRunHandledSource;
      break;
    }
    if (rl->m_stopRequested.exchange(false)) {
      result = kCFRunLoopRunStopped;
      break;
    }

    std::vector<pollfd> fds{{rl->m_wakeFd, POLLIN, 0}};
    std::vector<__CFRunLoopSource*> fdSources;
    bool signalPending = false;
    for (const auto& s : snap.sources) {
      __CFRunLoopSource* src = s.get();
      if (!src->IsLive()) continue;
      if (src->m_perform && src->m_signalled) signalPending = true;
      if (src->m_fd >= 0) {
        fds.push_back({src->m_fd, POLLIN, 0});
        fdSources.push_back(src);
      }
    }
    double wakeAt = std::min(deadline, nextTimer);
    double now = platform::clock::Now();
    double real = wakeAt <= now || signalPending ? 0 : platform::clock::RealDuration(wakeAt - now);
    real = std::clamp(real, 0.0, kMaxRealWait);
    timespec ts{static_cast<time_t>(real), static_cast<long>((real - std::floor(real)) * 1e9)};
    rl->m_waiting = true;
    int ready = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
    rl->m_waiting = false;
    if (ready > 0 && (fds[0].revents & POLLIN)) rl->DrainWake();
    for (size_t i = 0; ready > 0 && i < fdSources.size(); ++i) {
      short ev = fds[i + 1].revents;
      if (!(ev & (POLLIN | POLLHUP | POLLERR)) || (ev & POLLNVAL)) continue;
      __CFRunLoopSource* src = fdSources[i];
      if (!src->IsLive()) continue;
      src->m_onReadable();
      handled = true;
      if (returnAfterSourceHandled) break;
    }
    if (handled && returnAfterSourceHandled) {
      result = kCFRunLoopRunHandledSource;
      break;
    }
    // Checked after one full pass, so that a zero time-out still looks at every source once.
    if (platform::clock::Now() >= deadline) {
      // A thread that woke late still owes the timers that fell due within its run.
      FireDueTimers(TakeSnapshot(rl, mode), deadline - kCFAbsoluteTimeIntervalSince1970);
      result = kCFRunLoopRunTimedOut;
      break;
    }
  }
  {
    platform::MutexLock lock(rl->m_mutex);
    rl->m_runningModes.pop_back();
  }
  return result;
}

}  // namespace

// ---------------------------------------------------------------- CFRunLoop

CFTypeID CFRunLoopGetTypeID() { return kTypeIDRunLoop; }

CFRunLoopRef CFRunLoopGetCurrent() {
  if (!t_loop.loop) t_loop.loop = CurrentTid() == ::getpid() ? MainLoopObject() : new __CFRunLoop();
  return t_loop.loop;
}

CFRunLoopRef CFRunLoopGetMain() { return MainLoopObject(); }

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl) {
  if (!rl) return nullptr;
  platform::MutexLock lock(rl->m_mutex);
  if (rl->m_runningModes.empty()) return nullptr;
  return CFStringFromUTF8(rl->m_runningModes.back());
}

void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFStringRef mode) {
  if (!rl || !mode) return;
  {
    platform::MutexLock lock(rl->m_mutex);
    rl->m_commonModes.insert(ModeName(mode));
  }
  rl->Wake();
}

void CFRunLoopRun() {
  SInt32 result;
  do {
    result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
  } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

SInt32 CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
  if (!mode || ModeName(mode) == kCommonModesName) return kCFRunLoopRunFinished;
  return RunLoopInMode(CFRunLoopGetCurrent(), ModeName(mode), seconds, returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef rl) {
  if (!rl) return;
  rl->m_stopRequested = true;
  rl->Wake();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
  if (rl) rl->Wake();
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) { return rl && rl->m_waiting; }

// ---------------------------------------------------------------- sources

CFTypeID CFRunLoopSourceGetTypeID() { return kTypeIDRunLoopSource; }

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
  AddItem(rl, source, mode, &__CFRunLoop::ModeItems::sources);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
  RemoveItem(rl, source, mode, &__CFRunLoop::ModeItems::sources);
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
  return ContainsItemInMode(rl, source, mode, &__CFRunLoop::ModeItems::sources);
}

CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source) { return source ? source->m_order : 0; }

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
  if (!source || !source->m_valid.exchange(false)) return;
  // Loops drop the source on their next pass; waking them makes that pass happen now.
  source->m_loops.WakeAll();
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source) { return source && source->IsLive(); }

namespace platform {

CFRunLoopSourceRef CreateFdSource(int fd, std::function<void()> onReadable, CFIndex order) {
  if (fd < 0 || !onReadable) return nullptr;
  auto* s = new __CFRunLoopSource();
  s->m_fd = fd;
  s->m_onReadable = std::move(onReadable);
  s->m_order = order;
  return s;
}

CFRunLoopSourceRef CreateLinkedFdSource(int fd, std::function<void()> onReadable, CFIndex order,
                                        std::function<bool()> alive) {
  CFRunLoopSourceRef s = CreateFdSource(fd, std::move(onReadable), order);
  if (s) s->m_alive = std::move(alive);
  return s;
}

CFRunLoopSourceRef CreateCallbackSource(std::function<void()> perform, CFIndex order) {
  if (!perform) return nullptr;
  auto* s = new __CFRunLoopSource();
  s->m_perform = std::move(perform);
  s->m_order = order;
  return s;
}

void SignalSource(CFRunLoopSourceRef source) {
  if (!source || !source->m_perform || !source->IsLive()) return;
  source->m_signalled = true;
  source->m_loops.WakeAll();
}

}  // namespace platform

// ---------------------------------------------------------------- timers

CFTypeID CFRunLoopTimerGetTypeID() { return kTypeIDRunLoopTimer; }

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags, CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context) {
  if (!callout || std::isnan(fireDate) || std::isnan(interval)) return nullptr;
  auto* t = new __CFRunLoopTimer();
  {
    platform::MutexLock lock(t->m_mutex);
    t->m_nextFire = fireDate;
  }
  t->m_interval = interval > 0 ? interval : 0;
  t->m_order = order;
  t->m_callout = callout;
  if (context) {
    t->m_context = *context;
    if (context->retain && context->info) t->m_context.info = const_cast<void*>(context->retain(context->info));
  }
  return t;
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
  AddItem(rl, timer, mode, &__CFRunLoop::ModeItems::timers);
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
  RemoveItem(rl, timer, mode, &__CFRunLoop::ModeItems::timers);
}

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
  return ContainsItemInMode(rl, timer, mode, &__CFRunLoop::ModeItems::timers);
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
  if (!timer || !timer->m_valid.exchange(false)) return;
  timer->m_loops.WakeAll();
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer) { return timer && timer->IsLive(); }

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer) { return timer ? timer->NextFire() : 0; }

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate) {
  if (!timer || std::isnan(fireDate)) return;
  {
    platform::MutexLock lock(timer->m_mutex);
    timer->m_nextFire = fireDate;
  }
  timer->m_loops.WakeAll();
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer) { return timer ? timer->m_interval : 0; }
Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer) { return timer && timer->m_interval > 0; }
CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer) { return timer ? timer->m_order : 0; }
