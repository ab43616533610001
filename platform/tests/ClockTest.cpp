#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "PipeLines.h"
#include "platform/Clock.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace {

namespace clk = platform::clock;

class ClockTest : public platform_test::TempRootTest {
 protected:
  ClockTest() : TempRootTest("clocktest") {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
    std::filesystem::create_directories(m_root + "/var/run");
    clk::UseRootClock();
  }
  void TearDown() override {
    clk::UseRootClock();
    TempRootTest::TearDown();
  }
};

// Tests with several threads; they also run under ThreadSanitizer.
using ClockConcurrency = ClockTest;

using platform_test::ReadLine;
using platform_test::WriteLine;

// One clock reading with the real time it was taken at. A reading that a loaded machine
// preempted is taken again, so that a rate measured between two readings stays exact.
struct Reading {
  double sim;
  std::chrono::steady_clock::time_point real;
};
Reading TakeReading() {
  Reading reading{};
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto before = std::chrono::steady_clock::now();
    reading.sim = clk::Now();
    auto after = std::chrono::steady_clock::now();
    reading.real = before + (after - before) / 2;
    if (after - before < std::chrono::milliseconds(2)) break;
  }
  return reading;
}

// Simulated seconds per real second, measured over 100 ms of real time.
long MeasuredRate() {
  Reading start = TakeReading();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Reading end = TakeReading();
  double real = std::chrono::duration<double>(end.real - start.real).count();
  return std::lround((end.sim - start.sim) / real);
}

TEST_F(ClockTest, SecondProcessFollowsThePublishedRate) {
  ASSERT_TRUE(clk::PublishRate(50));
  int toChild[2], fromChild[2];
  ASSERT_EQ(0, ::pipe(toChild));
  ASSERT_EQ(0, ::pipe(fromChild));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string report = "rate " + std::to_string(MeasuredRate());
    double before = clk::Now();
    WriteLine(fromChild[1], report);
    ReadLine(toChild[0]);  // the parent has published a new rate
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double after = clk::Now();
    report = "rate " + std::to_string(MeasuredRate()) + (after >= before ? " forward" : " backward");
    WriteLine(fromChild[1], report);
    ::_exit(0);
  }
  // A loaded machine may preempt a measurement; the rate must still be unmistakable.
  auto rateIn = [](const std::string& line) { return std::stol(line.substr(5)); };
  std::string first = ReadLine(fromChild[0]);
  ASSERT_EQ(first.rfind("rate ", 0), 0u) << first;
  EXPECT_NEAR(50, rateIn(first), 3) << first;
  ASSERT_TRUE(clk::PublishRate(100));
  WriteLine(toChild[1], "go");
  std::string second = ReadLine(fromChild[0]);
  ASSERT_EQ(second.rfind("rate ", 0), 0u) << second;
  EXPECT_NEAR(100, rateIn(second), 5) << second;
  EXPECT_NE(second.find(" forward"), std::string::npos) << second;
  int status = -1;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);

  // This process follows the file too.
  EXPECT_NEAR(100, MeasuredRate(), 5);
  EXPECT_DOUBLE_EQ(0.05, clk::RealDuration(5));
}

// Two publications within one file-timestamp tick: the second must not be taken for the first.
TEST_F(ClockTest, RateChangeWithinOneTimestampTickIsFollowed) {
  std::string path = m_root + "/var/run/clock";
  ASSERT_TRUE(clk::PublishRate(50));
  EXPECT_DOUBLE_EQ(0.02, clk::RealDuration(1));
  struct stat first {};
  ASSERT_EQ(0, ::stat(path.c_str(), &first));
  ASSERT_TRUE(clk::PublishRate(100));
  timespec times[2] = {first.st_atim, first.st_mtim};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
  EXPECT_DOUBLE_EQ(0.01, clk::RealDuration(1));
}

TEST_F(ClockTest, ClockFileFormat) {
  struct Case {
    const char* content;  // nullptr: no file
    bool readable;
    double rate;  // as read; a failed read leaves the cleared default, 1
  } cases[] = {
      {"1700000000000000000 12.5 20\n", true, 20},
      {"1700000000000000000 12.5 0.5", true, 0.5},
      {"1700000000000000000 12.5 0\n", false, 1},
      {"1700000000000000000 12.5 -3\n", false, 1},
      {"1700000000000000000 12.5\n", false, 1},
      {"fast\n", false, 1},
      {nullptr, false, 1},
  };
  std::string path = m_root + "/var/run/testclock";
  for (const Case& c : cases) {
    std::filesystem::remove(path);
    if (c.content) std::ofstream(path) << c.content;
    clk::Published p{1, 2, 3};
    EXPECT_EQ(c.readable, clk::ReadClockFile(path, p)) << (c.content ? c.content : "(no file)");
    EXPECT_EQ(c.rate, p.rate) << (c.content ? c.content : "(no file)");
  }
  clk::Published written{1700000000123456789, 42.25, 75};
  ASSERT_TRUE(clk::WriteClockFile(path, written));
  clk::Published read;
  ASSERT_TRUE(clk::ReadClockFile(path, read));
  EXPECT_EQ(written.realOriginNs, read.realOriginNs);
  EXPECT_EQ(written.simOrigin, read.simOrigin);
  EXPECT_EQ(written.rate, read.rate);
}

TEST_F(ClockConcurrency, ManualClockWakesSleepersWhenAdvanced) {
  clk::UseManual(1000);
  EXPECT_FALSE(clk::AwaitManualPolls(1, 0.01)) << "nobody waits yet";
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    clk::SleepUntil(1010);
    woke = true;
  });
  EXPECT_TRUE(clk::AwaitManualPolls(1));
  clk::Advance(9.5);
  EXPECT_TRUE(clk::AwaitManualPolls(2));
  EXPECT_FALSE(woke);
  clk::Advance(0.5);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(1010, clk::Now());

  std::mutex m;
  std::condition_variable cv;
  std::unique_lock lock(m);
  std::thread advancer([] {
    EXPECT_TRUE(clk::AwaitManualPolls(1));
    clk::Advance(30);
  });
  EXPECT_FALSE(clk::WaitUntil(cv, lock, 1030, [] { return false; }));
  EXPECT_GE(clk::Now(), 1030);
  advancer.join();
}

}  // namespace
