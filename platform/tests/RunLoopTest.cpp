#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/CoreFoundation.h"
#include "platform/Log.h"
#include "platform/RunLoopSources.h"

namespace {

namespace clk = platform::clock;

class RunLoopTest : public ::testing::Test {
 protected:
  void TearDown() override { clk::UseRootClock(); }
};

// Tests with several threads; they also run under ThreadSanitizer.
using RunLoopConcurrency = RunLoopTest;

// Records which timer fired and when (simulated seconds since the test's origin).
struct FireLog {
  std::mutex mutex;
  std::vector<std::string> names;
  std::vector<double> times;
  double origin = 0;
};

struct TimerInfo {
  std::string name;
  FireLog* log;
};

void RecordFire(CFRunLoopTimerRef, void* info) {
  auto* t = static_cast<TimerInfo*>(info);
  std::lock_guard lock(t->log->mutex);
  t->log->names.push_back(t->name);
  t->log->times.push_back(CFAbsoluteTimeGetCurrent() - t->log->origin);
}

CFRef<CFRunLoopTimerRef> MakeTimer(TimerInfo& info, double at, double interval, CFIndex order) {
  CFRunLoopTimerContext ctx{0, &info, nullptr, nullptr, nullptr};
  return CFRef(CFRunLoopTimerCreate(nullptr, info.log->origin + at, interval, 0, order, RecordFire, &ctx));
}

struct TimerCase {
  const char* name;
  double at;
  double interval;
  CFIndex order;
};

// Five timers, one repeating; "r" and "d" share the date 3.0 and their order decides.
const TimerCase kTimers[] = {
    {"d", 3.0, 0, 1}, {"b", 1.0, 0, 0}, {"r", 1.5, 1.5, 0}, {"a", 0.5, 0, 0}, {"c", 2.0, 0, 0},
};
const std::vector<std::string> kExpectedOrder = {"a", "b", "r", "c", "r", "d"};

// The timers of kTimers, on this thread's loop in the default mode; `o_infos` keeps their contexts.
std::vector<CFRef<CFRunLoopTimerRef>> AddTimers(FireLog& log, std::vector<TimerInfo>& o_infos) {
  o_infos.clear();
  o_infos.reserve(std::size(kTimers));
  std::vector<CFRef<CFRunLoopTimerRef>> timers;
  for (const TimerCase& c : kTimers) {
    o_infos.push_back({c.name, &log});
    timers.push_back(MakeTimer(o_infos.back(), c.at, c.interval, c.order));
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timers.back().get(), kCFRunLoopDefaultMode);
  }
  return timers;
}

TEST_F(RunLoopTest, TimersFireInDateOrderUnderAScaledClock) {
  clk::UseScaled(50);
  FireLog log;
  log.origin = CFAbsoluteTimeGetCurrent();
  std::vector<TimerInfo> infos;
  std::vector<CFRef<CFRunLoopTimerRef>> timers = AddTimers(log, infos);
  auto realStart = std::chrono::steady_clock::now();
  EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 3.5, false));
  double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();

  EXPECT_EQ(kExpectedOrder, log.names);
  const double expectedTimes[] = {0.5, 1.0, 1.5, 2.0, 3.0, 3.0};
  for (size_t i = 0; i < log.times.size() && i < std::size(expectedTimes); ++i)
    EXPECT_GE(log.times[i], expectedTimes[i]) << log.names[i];
  // 3.5 simulated seconds at 50x are 70 ms.
  EXPECT_LT(realSeconds, 1.0);
  EXPECT_GE(realSeconds, 0.06);
  // One-shot timers are spent; the repeating one waits for 4.5.
  EXPECT_FALSE(CFRunLoopTimerIsValid(timers[0].get()));
  EXPECT_TRUE(CFRunLoopTimerIsValid(timers[2].get()));
  EXPECT_DOUBLE_EQ(log.origin + 4.5, CFRunLoopTimerGetNextFireDate(timers[2].get()));
  for (auto& t : timers) CFRunLoopTimerInvalidate(t.get());
}

TEST_F(RunLoopTest, TimersFollowAManualClock) {
  clk::UseManual(1.0e9);
  FireLog log;
  log.origin = CFAbsoluteTimeGetCurrent();
  std::vector<TimerInfo> infos;
  std::vector<CFRef<CFRunLoopTimerRef>> timers = AddTimers(log, infos);
  // Each step advances the clock (in steps a double holds exactly), then gives the loop one pass.
  struct Step {
    double advance;
    std::vector<std::string> firedSoFar;
  } steps[] = {
      {0.25, {}},
      {0.25, {"a"}},
      {0.75, {"a", "b"}},
      {0.25, {"a", "b", "r"}},
      // 1.5 -> 5.0 in one jump: "r" fires once for the dates it missed, then waits for 6.0.
      {3.5, {"a", "b", "r", "c", "r", "d"}},
      {0.75, {"a", "b", "r", "c", "r", "d"}},
      {0.25, {"a", "b", "r", "c", "r", "d", "r"}},
  };
  for (const Step& step : steps) {
    clk::Advance(step.advance);
    EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false));
    EXPECT_EQ(step.firedSoFar, log.names) << "after advancing " << step.advance;
  }
  EXPECT_EQ((std::vector<double>{0.5, 1.25, 1.5, 5.0, 5.0, 5.0, 6.0}), log.times);
  EXPECT_EQ(log.origin + 7.5, CFRunLoopTimerGetNextFireDate(timers[2].get()));
  for (auto& t : timers) CFRunLoopTimerInvalidate(t.get());
}

TEST_F(RunLoopConcurrency, RunInModeTimesOutOnlyWhenTheManualClockGetsThere) {
  clk::UseManual(1.0e9);
  std::atomic<SInt32> result{0};
  std::thread loopThread([&] {
    CFRef<CFRunLoopSourceRef> keepAlive(platform::CreateCallbackSource([] {}));
    CFRunLoopAddSource(CFRunLoopGetCurrent(), keepAlive.get(), kCFRunLoopDefaultMode);
    result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false);
  });
  // The loop takes its deadline from the clock as it starts: let it do so first.
  EXPECT_TRUE(clk::AwaitManualPolls(1));
  clk::Advance(9.75);
  EXPECT_TRUE(clk::AwaitManualPolls(2));
  EXPECT_EQ(0, result.load());
  clk::Advance(0.25);
  loopThread.join();
  EXPECT_EQ(kCFRunLoopRunTimedOut, result.load());
}

// With no descriptor left for its wake-up eventfd, a new loop says so and still performs a signal.
TEST_F(RunLoopTest, LoopWithoutAWakeDescriptorIsLoggedAndStillRuns) {
  platform::log::Capture capture;
  SInt32 result = 0;
  int performed = 0;
  bool limited = false;
  // UBSan checks an object's type by reading files: it learns the loop's type here, while it can.
  CFRunLoopGetCurrent();
  std::thread loopThread([&] {
    // No descriptor can be made while the loop is created, and only then (sanitizers need some).
    int lowestFree = ::dup(0);
    rlimit saved{};
    if (lowestFree < 0 || ::getrlimit(RLIMIT_NOFILE, &saved) != 0) return;
    ::close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    if (::setrlimit(RLIMIT_NOFILE, &none) != 0) return;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    limited = ::setrlimit(RLIMIT_NOFILE, &saved) == 0;
    CFRef<CFRunLoopSourceRef> source(platform::CreateCallbackSource([&] { ++performed; }));
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);
    platform::SignalSource(source.get());
    result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1, true);
  });
  loopThread.join();
  ASSERT_TRUE(limited);
  EXPECT_EQ(kCFRunLoopRunHandledSource, result);
  EXPECT_EQ(1, performed);
  EXPECT_TRUE(capture.Contains("__CFRunLoop: eventfd failed: Too many open files"))
      << ::testing::PrintToString(capture.Lines());
}

// Where a timer was added, where the loop runs, and whether it fires.
TEST_F(RunLoopTest, ModesDecideWhichTimersFire) {
  const CFStringRef modal = CFSTR("ModalPanelMode");
  struct Case {
    const char* what;
    CFStringRef timerMode;
    CFStringRef runMode;
    bool modalIsCommon;
    bool fires;
  } cases[] = {
      {"default timer, default run", kCFRunLoopDefaultMode, kCFRunLoopDefaultMode, false, true},
      {"default timer, modal run", kCFRunLoopDefaultMode, modal, false, false},
      {"default timer, modal run, modal common", kCFRunLoopDefaultMode, modal, true, false},
      {"modal timer, modal run", modal, modal, false, true},
      {"modal timer, default run", modal, kCFRunLoopDefaultMode, false, false},
      {"common timer, default run", kCFRunLoopCommonModes, kCFRunLoopDefaultMode, false, true},
      {"common timer, modal run", kCFRunLoopCommonModes, modal, false, false},
      {"common timer, modal run, modal common", kCFRunLoopCommonModes, modal, true, true},
  };
  clk::UseManual(1.0e9);
  for (const Case& c : cases) {
    std::thread([&] {
      CFRunLoopRef rl = CFRunLoopGetCurrent();
      if (c.modalIsCommon) CFRunLoopAddCommonMode(rl, modal);
      FireLog log;
      log.origin = CFAbsoluteTimeGetCurrent();
      TimerInfo info{"t", &log};
      CFRef<CFRunLoopTimerRef> timer = MakeTimer(info, 1, 0, 0);
      CFRunLoopAddTimer(rl, timer.get(), c.timerMode);
      // Something to run in every mode, so that no run finishes for want of items.
      CFRef<CFRunLoopSourceRef> keep(platform::CreateCallbackSource([] {}));
      CFRunLoopAddSource(rl, keep.get(), kCFRunLoopDefaultMode);
      CFRunLoopAddSource(rl, keep.get(), modal);
      clk::Advance(2);
      EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(c.runMode, 0, false)) << c.what;
      EXPECT_EQ(c.fires ? 1u : 0u, log.names.size()) << c.what;
      EXPECT_EQ(!c.fires, CFRunLoopTimerIsValid(timer.get())) << c.what;
      CFRunLoopTimerInvalidate(timer.get());
    }).join();
  }
}

TEST_F(RunLoopTest, RunWithNothingToRunFinishes) {
  std::thread([] {
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
    CFRef<CFRunLoopSourceRef> s(platform::CreateCallbackSource([] {}));
    CFRunLoopAddSource(CFRunLoopGetCurrent(), s.get(), kCFRunLoopDefaultMode);
    EXPECT_TRUE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), s.get(), kCFRunLoopDefaultMode));
    CFRunLoopSourceInvalidate(s.get());
    EXPECT_FALSE(CFRunLoopContainsSource(CFRunLoopGetCurrent(), s.get(), kCFRunLoopDefaultMode));
    EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, false));
  }).join();
}

TEST_F(RunLoopTest, FdSourceCallsWhileReadableUntilInvalidated) {
  clk::UseScaled(50);
  int fds[2];
  ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
  std::string received;
  std::thread::id callbackThread;
  CFRef<CFRunLoopSourceRef> source(platform::CreateFdSource(fds[0], [&] {
    char buf[2];  // small reads: a longer write needs several calls
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) received.append(buf, static_cast<size_t>(n));
    callbackThread = std::this_thread::get_id();
  }));
  ASSERT_TRUE(source);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);

  ASSERT_EQ(5, ::write(fds[1], "hello", 5));
  EXPECT_EQ(kCFRunLoopRunHandledSource, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true));
  EXPECT_EQ("he", received);
  EXPECT_EQ(kCFRunLoopRunTimedOut, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.5, false));
  EXPECT_EQ("hello", received);
  EXPECT_EQ(std::this_thread::get_id(), callbackThread);

  CFRunLoopSourceInvalidate(source.get());
  ASSERT_EQ(3, ::write(fds[1], "abc", 3));
  EXPECT_EQ(kCFRunLoopRunFinished, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.5, false));
  EXPECT_EQ("hello", received);
  // The fd still belongs to the caller.
  char buf[4];
  EXPECT_EQ(3, ::read(fds[0], buf, sizeof buf));
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(RunLoopConcurrency, SignalledSourceRunsOnTheLoopThread) {
  clk::UseScaled(50);
  std::atomic<CFRunLoopRef> loop{nullptr};
  std::atomic<int> performed{0};
  std::thread::id performThread;
  CFRef<CFRunLoopSourceRef> source(platform::CreateCallbackSource([&] {
    performThread = std::this_thread::get_id();
    ++performed;
    CFRunLoopStop(CFRunLoopGetCurrent());
  }));
  std::thread::id loopThreadId;
  std::thread loopThread([&] {
    loopThreadId = std::this_thread::get_id();
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);
    loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
    CFRunLoopRun();
  });
  while (!loop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(CFRunLoopGetCurrent(), loop.load());
  platform::SignalSource(source.get());
  loopThread.join();
  if (loop) CFRelease(loop);
  EXPECT_EQ(1, performed.load());
  EXPECT_EQ(loopThreadId, performThread);
}

TEST_F(RunLoopConcurrency, StopFromAnotherThreadEndsTheRun) {
  clk::UseScaled(50);
  std::atomic<CFRunLoopRef> loop{nullptr};
  std::atomic<int> passes{0};
  CFRef<CFRunLoopSourceRef> source(platform::CreateCallbackSource([&] { ++passes; }));
  std::thread loopThread([&] {
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);
    loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
    CFRunLoopRun();
  });
  while (!loop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The loop is running once it has performed a signal.
  platform::SignalSource(source.get());
  while (passes == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  CFRunLoopStop(loop);
  loopThread.join();
  if (loop) CFRelease(loop);
  EXPECT_EQ(1, passes.load());
}

TEST_F(RunLoopTest, StopBeforeRunEndsTheNextRun) {
  std::thread([] {
    CFRef<CFRunLoopSourceRef> s(platform::CreateCallbackSource([] {}));
    CFRunLoopAddSource(CFRunLoopGetCurrent(), s.get(), kCFRunLoopDefaultMode);
    CFRunLoopStop(CFRunLoopGetCurrent());
    EXPECT_EQ(kCFRunLoopRunStopped, CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, false));
    CFRunLoopSourceInvalidate(s.get());
  }).join();
}

TEST_F(RunLoopConcurrency, MainLoopIsTheMainThreadsLoop) {
  CFRunLoopRef mainLoop = CFRunLoopGetCurrent();
  EXPECT_EQ(mainLoop, CFRunLoopGetMain());
  std::thread([&] {
    EXPECT_EQ(mainLoop, CFRunLoopGetMain());
    EXPECT_NE(mainLoop, CFRunLoopGetCurrent());
    EXPECT_EQ(CFRunLoopGetCurrent(), CFRunLoopGetCurrent());
  }).join();
}

TEST_F(RunLoopTest, AbsoluteTimeIsTheClockSince2001) {
  clk::UseManual(978307200.0 + 1000.0);
  EXPECT_DOUBLE_EQ(1000.0, CFAbsoluteTimeGetCurrent());
}

}  // namespace
