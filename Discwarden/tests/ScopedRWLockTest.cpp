#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "MountData.h"
#include "platform/Log.h"

namespace {

constexpr LockFailText k_lockText = "%s: unable to read lock list r/w lock (err = %d).\n";
constexpr LockFailText k_unlockText = "%s: unable to unlock list r/w lock (err = %d).\n";

TEST(ScopedRWLock, HoldsForTheScopeAndSharesReading) {
  ASSERT_TRUE(StartMountLists());
  {
    ScopedRWLock first(g_listRWLock, "First", k_unlockText);
    ScopedRWLock second(g_listRWLock, "Second", k_unlockText);
    ASSERT_TRUE(first.ReadLock(k_lockText));
    ASSERT_TRUE(second.ReadLock(k_lockText));
    EXPECT_EQ(g_listRWLock.TryWriteLock(), EBUSY);
  }
  ASSERT_EQ(g_listRWLock.TryWriteLock(), 0);
  ASSERT_EQ(g_listRWLock.Unlock(), 0);
}

TEST(ScopedRWLock, LockFailureIsLoggedWithTheCallersTextAndHoldsNothing) {
  platform::log::Capture capture;
  ScopedRWLock writer(g_listRWLock, "Writer", k_unlockText);
  ASSERT_TRUE(writer.WriteLock("%s: unable to get write lock (err = %d).\n"));
  {
    // The lock is not recursive: this thread already writes.
    ScopedRWLock reader(g_listRWLock, "CheckForMountedMedia", k_unlockText);
    EXPECT_FALSE(reader.ReadLock(k_lockText));
    EXPECT_FALSE(reader.m_isHeld);
  }
  EXPECT_TRUE(writer.Unlock());
  EXPECT_EQ(capture.Lines(),
            std::vector<std::string>{"CheckForMountedMedia: unable to read lock list r/w lock (err = " +
                                     std::to_string(EDEADLK) + ").\n"});
  ASSERT_EQ(g_listRWLock.TryWriteLock(), 0);
  ASSERT_EQ(g_listRWLock.Unlock(), 0);
}

}  // namespace
