// MountData: the disc and partition records, the mount lists, and `g_listRWLock`, the one
// process-wide readers-writer lock that guards them together with the changer registry and the
// CNID path, move and delete operations. The lock is not recursive.
#pragma once
#include <pthread.h>

#include "platform/CFBase.h"

extern pthread_rwlock_t g_listRWLock;

// Run once at start-up, before any changer is discovered.
bool StartMountLists();

// Holds a readers-writer lock for one scope and logs failures with the caller's texts, which
// take the caller's name and the lock's error number ("%s: ... (err = %d).\n"). An unlock that
// fails is logged only. Nothing is held until ReadLock or WriteLock succeeds, so a caller that
// already holds the lock simply does not take it.
struct ScopedRWLock {
  ScopedRWLock(const char* i_functionP, const char* i_unlockFailFormatP);
  ~ScopedRWLock();
  ScopedRWLock(const ScopedRWLock&) = delete;
  ScopedRWLock& operator=(const ScopedRWLock&) = delete;

  bool ReadLock(pthread_rwlock_t* i_lockP, const char* i_lockFailFormatP);
  bool WriteLock(pthread_rwlock_t* i_lockP, const char* i_lockFailFormatP);
  // Early release; false when the unlock failed.
  bool Unlock();

  const char* m_functionP;
  const char* m_unlockFailFormatP;
  pthread_rwlock_t* m_heldLockP;
};

// ---- Device file names: volume name, the byte 0x01, then 24 hexadecimal digits (GUID 16,
// storage element 4, device 4) after the last separator.

bool GetDeviceInfoFromName(const char* i_fileNameP, UInt64* o_changerGUIDP, UInt16* o_storageElemP,
                           UInt16* o_deviceP);
bool ValidateDeviceFileName(const char* i_fileNameP);
