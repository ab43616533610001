// The simulated system's clock. Every process of one system root follows "<root>/var/run/clock"
// (origin and rate), so a scenario can run faster than real time with every interval in
// proportion. In-process tests may switch to a manual clock and advance it by hand.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace platform::clock {

// Simulated seconds since the Unix epoch.
double Now();
// Real seconds that pass while `simSeconds` pass on the clock (at the current rate).
double RealDuration(double simSeconds);

void SleepFor(double simSeconds);
void SleepUntil(double simDeadline);

// Waits on `cv` until `pred` holds or the simulated deadline passes; returns pred().
template <class Pred>
[[nodiscard]] bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, double simDeadline,
               Pred pred) {
  while (!pred()) {
    double remaining = simDeadline - Now();
    if (remaining <= 0) return pred();
    double real = RealDuration(remaining);
    // Short slices keep waiters in step with a manual clock or a rate change.
    if (real > 0.05) real = 0.05;
    if (real < 0.0005) real = 0.0005;
    cv.wait_for(lock, std::chrono::duration<double>(real));
  }
  return true;
}

// The clock file: "<realOriginNs> <simOrigin> <rate>\n". Writing it (the host does) makes every
// process of the root follow the new origin and rate within a fraction of a second.
struct Published {
  long long realOriginNs = 0;
  double simOrigin = 0;
  double rate = 1;
};
// What a clock file can carry: its six decimals keep three digits of the slowest rate, and
// no time beyond kMaxSimSeconds (some 30 000 years) is ever needed.
inline constexpr double kMinRate = 0.001;
inline constexpr double kMaxRate = 1e6;
inline constexpr double kMaxSimSeconds = 1e12;
// False, writing nothing, for a rate or time outside those bounds.
[[nodiscard]] bool WriteClockFile(const std::string& hostPath, const Published& clock);
[[nodiscard]] bool ReadClockFile(const std::string& hostPath, Published& o_clock);
// Publishes a clock for the current root that continues from Now() at `rate`.
[[nodiscard]] bool PublishRate(double rate);

// In-process control (tests). Manual: time stands still until Advance.
void UseManual(double simStart);
void Advance(double simSeconds);
// In-process scaled clock that ignores the clock file.
void UseScaled(double rate);
// Back to following the root's clock file (the default).
void UseRootClock();
// Test hand-shake for the manual clock: every waiter (SleepUntil, WaitUntil, run loops, Mach
// receives) asks RealDuration how long to block once it has taken its deadline, so this returns
// once `count` such polls have happened after the call; false after `realTimeoutSeconds`.
// After an Advance, two polls by one waiter prove it has seen the new time and kept waiting.
[[nodiscard]] bool AwaitManualPolls(int count, double realTimeoutSeconds = 10);

}  // namespace platform::clock
