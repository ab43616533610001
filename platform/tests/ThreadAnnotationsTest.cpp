#include "platform/ThreadAnnotations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

namespace {

// Constant-initialised, as the daemon's list lock is: usable before any constructor has run.
constinit platform::RWLock g_lock;
int g_guarded GUARDED_BY(g_lock) = 0;

TEST(ThreadAnnotationsConcurrency, ReadersShareTheLockAndAWriterWaitsForThem) {
  std::atomic<bool> secondRead{false}, written{false};
  std::thread writer;
  {
    platform::ReadLock first(g_lock);
    ASSERT_TRUE(first.Ok());
    std::thread reader([&] {
      platform::ReadLock second(g_lock);
      secondRead = second.Ok() && g_guarded == 0;
    });
    reader.join();
    EXPECT_TRUE(secondRead) << "a second reader must not wait for the first";
    writer = std::thread([&] {
      platform::WriteLock lock(g_lock);
      if (!lock.Ok()) return;
      g_guarded = 1;
      written = true;
    });
    EXPECT_FALSE(written) << "a writer got in while a reader held the lock";
    EXPECT_EQ(0, g_guarded);
  }
  writer.join();
  EXPECT_TRUE(written);
  platform::ReadLock after(g_lock);
  ASSERT_TRUE(after.Ok());
  EXPECT_EQ(1, g_guarded);
}

struct Flag {
  platform::Mutex mutex;
  std::condition_variable cv;
  bool ready GUARDED_BY(mutex) = false;
};

TEST(ThreadAnnotationsConcurrency, MutexLockLendsItsLockToAConditionVariable) {
  Flag flag;
  std::thread setter([&] {
    platform::MutexLock lock(flag.mutex);
    flag.ready = true;
    flag.cv.notify_all();
  });
  {
    platform::MutexLock lock(flag.mutex);
    flag.cv.wait(lock.Native(), [&] {
      flag.mutex.AssertHeld();
      return flag.ready;
    });
    EXPECT_TRUE(flag.ready);
  }
  setter.join();
  if (flag.mutex.TryLock())
    flag.mutex.Unlock();
  else
    ADD_FAILURE() << "the guard left the mutex held";
}

}  // namespace
