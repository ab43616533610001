#include "platform/Clock.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

namespace platform::clock {
namespace {

enum class Mode { root, manual, scaled };

struct State {
  Mutex mutex;
  Mode mode GUARDED_BY(mutex) = Mode::root;
  Published current GUARDED_BY(mutex);  // origin and rate in force
  double manualNow GUARDED_BY(mutex) = 0;
  long long lastCheckNs GUARDED_BY(mutex) = -1;  // real time of the last look at the clock file
  struct timespec fileMtime GUARDED_BY(mutex) {};
  // Each publication is a new file: two within one timestamp tick differ here.
  ino_t fileIno GUARDED_BY(mutex) = 0;
  unsigned long long manualPolls GUARDED_BY(mutex) = 0;  // RealDuration calls on the manual clock
  std::condition_variable polled;                         // signalled on each of them
};

State& S() {
  static State s;
  return s;
}

long long RealNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ClockFileHostPath() { return MacToHost("/var/run/clock"); }

void RefreshFromFileLocked(State& s) REQUIRES(s.mutex) {
  long long now = RealNowNs();
  if (s.lastCheckNs >= 0 && now - s.lastCheckNs < 20'000'000) return;
  s.lastCheckNs = now;
  struct stat st {};
  std::string path = ClockFileHostPath();
  if (::stat(path.c_str(), &st) != 0) {
    s.current = Published{0, 0, 1};
    return;
  }
  if (st.st_ino == s.fileIno && st.st_mtim.tv_sec == s.fileMtime.tv_sec &&
      st.st_mtim.tv_nsec == s.fileMtime.tv_nsec)
    return;
  Published p;
  if (ReadClockFile(path, p)) {
    s.current = p;
    s.fileMtime = st.st_mtim;
    s.fileIno = st.st_ino;
  }
}

double ScaledNow(const Published& p) {
  double realSec = static_cast<double>(RealNowNs() - p.realOriginNs) / 1e9;
  return p.simOrigin + realSec * p.rate;
}

}  // namespace

namespace {

bool Publishable(const Published& p) {
  return p.rate >= kMinRate && p.rate <= kMaxRate && std::fabs(p.simOrigin) <= kMaxSimSeconds;
}

}  // namespace

bool ReadClockFile(const std::string& hostPath, Published& o_clock) {
  o_clock = Published{};
  std::ifstream in(hostPath);
  if (!in) return false;
  Published p;
  if (!(in >> p.realOriginNs >> p.simOrigin >> p.rate) || !Publishable(p)) return false;
  o_clock = p;
  return true;
}

bool WriteClockFile(const std::string& hostPath, const Published& clock) {
  if (!Publishable(clock)) return false;
  // Written beside and renamed so that a reader never sees half a file.
  std::string tmp = hostPath + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    if (!out) return false;
    char line[128];
    std::snprintf(line, sizeof line, "%lld %.6f %.6f\n", clock.realOriginNs, clock.simOrigin,
                  clock.rate);
    out << line;
    if (!out.flush()) return false;
  }
  return std::rename(tmp.c_str(), hostPath.c_str()) == 0;
}

bool PublishRate(double rate) {
  Published p{RealNowNs(), Now(), rate};
  if (!WriteClockFile(ClockFileHostPath(), p)) return false;
  State& s = S();
  MutexLock lock(s.mutex);
  s.lastCheckNs = -1;
  return true;
}

double Now() {
  State& s = S();
  MutexLock lock(s.mutex);
  switch (s.mode) {
    case Mode::manual:
      return s.manualNow;
    case Mode::scaled:
      return ScaledNow(s.current);
    case Mode::root:
      RefreshFromFileLocked(s);
      return s.current.realOriginNs == 0 ? static_cast<double>(RealNowNs()) / 1e9
                                         : ScaledNow(s.current);
  }
  return 0;
}

double RealDuration(double simSeconds) {
  State& s = S();
  MutexLock lock(s.mutex);
  if (s.mode == Mode::manual) {
    ++s.manualPolls;
    s.polled.notify_all();
    return 0.002;  // poll while someone advances the clock
  }
  if (s.mode == Mode::root) RefreshFromFileLocked(s);
  return simSeconds / s.current.rate;
}

void SleepUntil(double simDeadline) {
  for (;;) {
    double remaining = simDeadline - Now();
    if (remaining <= 0) return;
    double real = RealDuration(remaining);
    if (real > 0.05) real = 0.05;
    if (real < 0.0005) real = 0.0005;
    std::this_thread::sleep_for(std::chrono::duration<double>(real));
  }
}

void SleepFor(double simSeconds) { SleepUntil(Now() + simSeconds); }

void UseManual(double simStart) {
  State& s = S();
  MutexLock lock(s.mutex);
  s.mode = Mode::manual;
  s.manualNow = simStart;
}

void Advance(double simSeconds) {
  State& s = S();
  MutexLock lock(s.mutex);
  s.manualNow += simSeconds;
}

void UseScaled(double rate) {
  State& s = S();
  MutexLock lock(s.mutex);
  s.mode = Mode::scaled;
  s.current = Published{RealNowNs(), static_cast<double>(RealNowNs()) / 1e9, rate};
}

void UseRootClock() {
  State& s = S();
  MutexLock lock(s.mutex);
  s.mode = Mode::root;
  s.lastCheckNs = -1;
  s.fileMtime = {};
  s.fileIno = 0;
  s.current = Published{0, 0, 1};
}

bool AwaitManualPolls(int count, double realTimeoutSeconds) {
  State& s = S();
  MutexLock lock(s.mutex);
  const unsigned long long target = s.manualPolls + static_cast<unsigned long long>(std::max(count, 0));
  return s.polled.wait_for(lock.Native(), std::chrono::duration<double>(realTimeoutSeconds), [&] {
    s.mutex.AssertHeld();
    return s.manualPolls >= target;
  });
}

}  // namespace platform::clock
