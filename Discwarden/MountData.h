// MountData: the disc and partition records, the mount lists, and `g_listRWLock`, the one
// process-wide readers-writer lock that guards them together with the changer registry and the
// CNID path, move and delete operations. The lock is not recursive.
#pragma once
#include <pthread.h>

#include <ctime>

#include "ChangerData.h"
#include "LogMessage.h"
#include "platform/CFBase.h"
#include "Locks.h"


// Run once at start-up, before any changer is discovered.
[[nodiscard]] bool StartMountLists();

// Holds a readers-writer lock for one scope and logs failures with the caller's texts, which
// take the caller's name and the lock's error number ("%s: ... (err = %d).\n"). An unlock that
// fails is logged only. Nothing is held until ReadLock or WriteLock succeeds (they return false
// when the lock was not taken), so a caller that already holds the lock simply does not take it.
struct SCOPED_CAPABILITY ScopedRWLock {
  ScopedRWLock(platform::RWLock& i_lock, const char* i_functionP, LockFailText i_unlockFailText) EXCLUDES(i_lock);
  ~ScopedRWLock() RELEASE();
  ScopedRWLock(const ScopedRWLock&) = delete;
  ScopedRWLock& operator=(const ScopedRWLock&) = delete;

  [[nodiscard]] bool ReadLock(LockFailText i_lockFailText) TRY_ACQUIRE_SHARED(true);
  [[nodiscard]] bool WriteLock(LockFailText i_lockFailText) TRY_ACQUIRE(true);
  // Early release; false when the unlock failed.
  bool Unlock() RELEASE();

  platform::RWLock& m_lock;
  const char* m_functionP;
  LockFailText m_unlockFailText;
  bool m_isHeld;
};

// ---- Device file names: volume name, the byte 0x01, then 24 hexadecimal digits (GUID 16,
// storage element 4, device 4) after the last separator.

[[nodiscard]] bool GetDeviceInfoFromName(const char* i_fileNameP, UInt64* o_changerGUIDP, UInt16* o_storageElemP,
                           UInt16* o_deviceP);
[[nodiscard]] bool ValidateDeviceFileName(const char* i_fileNameP);

// ---- Records

enum : UInt16 {
  k_probeMountFlag = 0x0001,
  k_allowDiskArbMountFlag = 0x0002,
  k_formatMountFlag = 0x0004,
  k_desktopMountFlag = 0x0008,
};

enum : UInt16 {
  k_unnumberedDevice = 0xFFFF,
  k_firstUnidentifiedDevice = 0x8000,
};

enum EDeviceFinishedState : UInt32 {
  deviceFinishedStateNotFinished = 0,
  deviceFinishedStateFinishInProgress = 1,
  deviceFinishedStateIsFinished = 2,
};

// Who guards a record: while a MountData (with its DeviceData chain) is in a mount list, in a
// changer's completed-mount slot or in the pending eject slot, every field is guarded by
// g_listRWLock; a thread that has taken the record out owns it alone until it hands it on. The
// compiler cannot follow that hand-over, so the fields carry this comment instead of annotations.
struct DeviceData {
  UInt16 m_device;
  char* m_deviceIdP;
  char* m_deviceNameP;
  char* m_deviceMountPointNameP;
  char* m_deviceFullMountPointP;
  bool m_writable;
  bool m_isWholeDisk;
  bool m_mountSucceeded;
  bool m_overlayMountSucceeded;
  bool m_isIdentifiedDevice;
  bool m_deviceFormatInProgress;
  EDeviceFinishedState m_finishedState;
  DeviceData* m_nextP;
  DeviceData* m_prevP;
};

struct MountData {
  ChangerData* m_changerDataP;
  UInt16 m_storageElem;
  pthread_t m_mountThread;
  bool m_attemptComplete;
  bool m_isMounted;
  bool m_isTimedOut;
  bool m_diskArbIsUnmounting;
  bool m_unmountedByDiskArb;
  bool m_remountedByDiskArb;
  bool m_hasAnIdentifiedDevice;
  bool m_disallowMount;
  bool m_isNormalMount;
  bool m_isFormatMount;
  bool m_mountOnDesktop;
  bool m_remountOnDesktop;
  UInt16 m_formatDevice;
  bool m_appendDiscNum;
  char* m_formatDiscNameP;
  bool m_ejectComplete;
  bool m_unloadMedia;
  char* m_wholeDeviceIdP;
  char* m_mediaTypeP;
  char* m_SH9PrimaryVolTagP;
  char* m_primaryVolTagP;
  char* m_alternateVolTagP;
  UInt16 m_primaryVolSeq;
  UInt16 m_alternateVolSeq;
  DeviceData* m_firstDeviceP;
  DeviceData* m_lastDeviceP;
  UInt16 m_deviceCount;
  UInt16 m_unidentifiedDeviceCount;
  time_t m_mountRequestFinishTime;
  time_t m_lastMountTime;
  time_t m_lastAccessTime;
  time_t m_diskArbEjectRequestTime;
  time_t m_ejectStartTime;
  UInt32 m_diskArbDetectedMediaCount;
  UInt32 m_ioKitDetectedMediaCount;
};

// A list is a pointer to its first node (null when empty); new nodes go to the tail. A node
// does not own its record. Nodes and their links: g_listRWLock.
struct MountList {
  MountData* m_mountDataP;
  MountList* m_prevP;
  MountList* m_nextP;
};

// The places a record can be in, one at a time (besides a changer's m_completedMountDataP).
extern MountList* g_pendingMediaListP GUARDED_BY(g_listRWLock);
extern MountList* g_mountedMediaListP GUARDED_BY(g_listRWLock);
extern MountList* g_ejectListP GUARDED_BY(g_listRWLock);
extern MountData* g_pendingEjectDataP GUARDED_BY(g_listRWLock);
// The global unmount timer of the eject manager.
extern time_t g_lastAccessTime;

[[nodiscard]] bool CreateMountData(ChangerData* i_changerDataP, UInt16 i_storageElem, UInt16 i_mountFlags,
                     MountData** o_mountDataP);
// The record must be in no list and no slot.
bool DisposeMountData(MountData* i_mountDataP);
[[nodiscard]] bool AddDeviceToMountData(const char* i_deviceIdP, const char* i_deviceNameP, bool i_writable, bool i_isWholeDisk,
                          bool i_isIdentifiedDevice, MountData* i_mountDataP);
[[nodiscard]] bool MarkMountDataAsUnmountable(MountData* i_mountDataP);
[[nodiscard]] bool SaveDeviceMountPointName(DeviceData* i_deviceDataP, const char* i_deviceMountPointNameP);

// ---- List primitives: the caller holds g_listRWLock (for writing when it changes anything).

[[nodiscard]] bool FindChangerAndStorageElemInList(MountList* i_listP, ChangerData* i_changerDataP, UInt16 i_storageElem,
                                     MountList** o_nodeP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool FindMountNodeInList(MountList* i_listP, UInt64 i_changerGUID, UInt16 i_storageElem, MountList** o_nodeP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool FindDeviceInList(MountList* i_listP, UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device,
                      DeviceData** o_deviceDataP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool FindDeviceInListByBSDName(MountList* i_listP, const char* i_deviceIdP, MountData** o_mountDataP,
                               DeviceData** o_deviceDataP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool IterateForAMountForChanger(UInt64 i_changerGUID, MountList* i_listP, MountData** o_mountDataP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool CheckForDesktopMountedDevices(MountList* i_nodeP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool AddMountDataToList(MountList** io_listP, MountData* i_mountDataP) REQUIRES(g_listRWLock);
[[nodiscard]] bool RemoveMountDataFromList(MountList** io_listP, MountData* i_mountDataP) REQUIRES(g_listRWLock);
[[nodiscard]] bool MoveMountDataFromEjectToMountedList(UInt64 i_changerGUID, UInt16 i_storageElem) REQUIRES(g_listRWLock);
[[nodiscard]] bool MoveMountDataFromMountedToEjectList(UInt64 i_changerGUID, UInt16 i_storageElem) REQUIRES(g_listRWLock);
[[nodiscard]] bool RemoveAllMountDataForChangerFromList(UInt64 i_changerGUID, MountList** io_listP) REQUIRES(g_listRWLock);

// ---- Operations that take g_listRWLock themselves

[[nodiscard]] bool CheckForMountedMedia(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isMountedP);
[[nodiscard]] bool CheckForPendingMedia(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isPendingP);
[[nodiscard]] bool AddMountDataToEjectList(MountData* i_mountDataP);
[[nodiscard]] bool AddMountDataToGlobalWaitForMountList(MountData* i_mountDataP);
[[nodiscard]] bool IncrementIOKitDetectedMediaCount(UInt64 i_changerGUID, UInt16 i_storageElem);
[[nodiscard]] bool AssignDeviceNumbers(MountData* i_mountDataP);
[[nodiscard]] bool RemoveAllMountDataForChanger(UInt64 i_changerGUID);

// ---- Driver request

[[nodiscard]] bool DisableRemountsForMedia(MountData* i_mountDataP);
