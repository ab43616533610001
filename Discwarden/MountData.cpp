#include "MountData.h"

#include <cstring>

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

// ================================================================ device file names

static const char k_deviceFileSeparator = 0x01;
static const size_t k_deviceFileIdLen = 24;

// Reads at most i_len hexadecimal digits and stops at the first other character.
static UInt64 ParseHexField(const char* i_textP, size_t i_len) {
  UInt64 value = 0;
  for (size_t i = 0; i < i_len; ++i) {
    char c = i_textP[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else break;
    value = (value << 4) | digit;
  }
  return value;
}

bool GetDeviceInfoFromName(const char* i_fileNameP, UInt64* o_changerGUIDP, UInt16* o_storageElemP,
                           UInt16* o_deviceP) {
  *o_changerGUIDP = 0;
  *o_storageElemP = 0;
  *o_deviceP = 0;
  const char* separatorP = strrchr(i_fileNameP, k_deviceFileSeparator);
  if (separatorP == nullptr) {
    LogMessage("%s: %s does not appear to be a valid device file name string.\n", __func__, i_fileNameP);
    return false;
  }
  const char* idP = separatorP + 1;
  if (strlen(idP) < k_deviceFileIdLen) {
    LogMessage("%s: file name string is not long enough.\n", __func__);
    return false;
  }
  *o_changerGUIDP = ParseHexField(idP, 16);
  *o_storageElemP = static_cast<UInt16>(ParseHexField(idP + 16, 4));
  *o_deviceP = static_cast<UInt16>(ParseHexField(idP + 20, 4));
  return true;
}

bool ValidateDeviceFileName(const char* i_fileNameP) {
  const char* separatorP = strrchr(i_fileNameP, k_deviceFileSeparator);
  return separatorP != nullptr && strlen(separatorP) >= k_deviceFileIdLen;
}
