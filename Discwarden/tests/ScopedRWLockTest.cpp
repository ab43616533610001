#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "MountData.h"
#include "platform/Log.h"

namespace {

const char* const k_lockText = "%s: unable to read lock list r/w lock (err = %d).\n";
const char* const k_unlockText = "%s: unable to unlock list r/w lock (err = %d).\n";

TEST(ScopedRWLock, HoldsForTheScopeAndSharesReading) {
  ASSERT_TRUE(StartMountLists());
  {
    ScopedRWLock first("First", k_unlockText);
    ScopedRWLock second("Second", k_unlockText);
    ASSERT_TRUE(first.ReadLock(&g_listRWLock, k_lockText));
    ASSERT_TRUE(second.ReadLock(&g_listRWLock, k_lockText));
    EXPECT_EQ(pthread_rwlock_trywrlock(&g_listRWLock), EBUSY);
  }
  ASSERT_EQ(pthread_rwlock_trywrlock(&g_listRWLock), 0);
  ASSERT_EQ(pthread_rwlock_unlock(&g_listRWLock), 0);
}

TEST(ScopedRWLock, LockFailureIsLoggedWithTheCallersTextAndHoldsNothing) {
  platform::log::Capture capture;
  ScopedRWLock writer("Writer", k_unlockText);
  ASSERT_TRUE(writer.WriteLock(&g_listRWLock, "%s: unable to get write lock (err = %d).\n"));
  {
    // The lock is not recursive: this thread already writes.
    ScopedRWLock reader("CheckForMountedMedia", k_unlockText);
    EXPECT_FALSE(reader.ReadLock(&g_listRWLock, k_lockText));
    EXPECT_EQ(reader.m_heldLockP, nullptr);
  }
  EXPECT_TRUE(writer.Unlock());
  EXPECT_EQ(capture.Lines(),
            std::vector<std::string>{"CheckForMountedMedia: unable to read lock list r/w lock (err = " +
                                     std::to_string(EDEADLK) + ").\n"});
  ASSERT_EQ(pthread_rwlock_trywrlock(&g_listRWLock), 0);
  ASSERT_EQ(pthread_rwlock_unlock(&g_listRWLock), 0);
}

}  // namespace
