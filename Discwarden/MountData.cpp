#include "MountData.h"

#include "LogMessage.h"

pthread_rwlock_t g_listRWLock = PTHREAD_RWLOCK_INITIALIZER;

bool StartMountLists() {
  int err = pthread_rwlock_init(&g_listRWLock, nullptr);
  if (err != 0) {
    LogMessage("%s: unable to allocate read-write lock for wait for mount list.\n", __func__);
    return false;
  }
  return true;
}

ScopedRWLock::ScopedRWLock(const char* i_functionP, const char* i_unlockFailFormatP)
    : m_functionP(i_functionP), m_unlockFailFormatP(i_unlockFailFormatP), m_heldLockP(nullptr) {}

ScopedRWLock::~ScopedRWLock() { Unlock(); }

static bool TakeLock(ScopedRWLock& io_scope, pthread_rwlock_t* i_lockP, bool i_forWriting,
                     const char* i_lockFailFormatP) {
  if (io_scope.m_heldLockP != nullptr) return false;
  int err = i_forWriting ? pthread_rwlock_wrlock(i_lockP) : pthread_rwlock_rdlock(i_lockP);
  if (err != 0) {
    LogMessage(i_lockFailFormatP, io_scope.m_functionP, err);
    return false;
  }
  io_scope.m_heldLockP = i_lockP;
  return true;
}

bool ScopedRWLock::ReadLock(pthread_rwlock_t* i_lockP, const char* i_lockFailFormatP) {
  return TakeLock(*this, i_lockP, false, i_lockFailFormatP);
}

bool ScopedRWLock::WriteLock(pthread_rwlock_t* i_lockP, const char* i_lockFailFormatP) {
  return TakeLock(*this, i_lockP, true, i_lockFailFormatP);
}

bool ScopedRWLock::Unlock() {
  if (m_heldLockP == nullptr) return true;
  int err = pthread_rwlock_unlock(m_heldLockP);
  m_heldLockP = nullptr;
  if (err != 0) {
    LogMessage(m_unlockFailFormatP, m_functionP, err);
    return false;
  }
  return true;
}
