#include "ChangerData.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "CNIDTables.h"
#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "MountData.h"
#include "platform/BSD.h"

ChangerData* g_changerListP GUARDED_BY(g_listRWLock) = nullptr;
std::atomic<time_t> g_allowChangerFSMountAt{0};

static constexpr LockFailText k_readLockFailText = "%s: unable to read lock list r/w lock (err = %d).\n";
static constexpr LockFailText k_writeLockFailText = "%s: unable to get write lock for list r/w lock (err = %d).\n";
static constexpr LockFailText k_unlockFailText = "%s: unable to unlock list r/w lock (err = %d).\n";

// Names replaced while other threads may still read the old text; freed with their record.
static platform::Mutex g_retiredStringsMutex;
static std::vector<std::pair<ChangerData*, char*>> g_retiredStrings GUARDED_BY(g_retiredStringsMutex);

// ================================================================ life of a record

bool GetGUIDFromService(io_service_t i_changerService, UInt64* o_GUIDP) {
  *o_GUIDP = 0;
  CFRef<CFTypeRef> guidRef(IORegistryEntryCreateCFProperty(i_changerService, CFSTR("GUID"), kCFAllocatorDefault, 0));
  if (!guidRef) {
    LogMessage("%s: unable top get GUID property from service.\n", __func__);
    return false;
  }
  SInt64 guid = 0;
  if (CFGetTypeID(guidRef.get()) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(guidRef.get()), kCFNumberSInt64Type, &guid)) {
    LogMessage("%s: unable to get value of changer GUID number.\n", __func__);
    return false;
  }
  *o_GUIDP = static_cast<UInt64>(guid);
  return true;
}

bool CreateNewChangerData(io_service_t i_changerRoboticsService, ChangerData** o_changerDataP) {
  *o_changerDataP = nullptr;
  ChangerData* changerDataP = new (std::nothrow) ChangerData{};
  if (changerDataP == nullptr) {
    LogMessage("%s: unable to allocate ChangerData structure.\n", __func__);
    return false;
  }
  IOObjectRetain(i_changerRoboticsService);
  changerDataP->m_changerRoboticsService = i_changerRoboticsService;
  changerDataP->m_storageElemsToActiveProbeArr = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
  if (changerDataP->m_storageElemsToActiveProbeArr == nullptr) {
    LogMessage("%s: unable to create empty array of storage elements to active probe.\n", __func__);
    DisposeChangerData(changerDataP);
    return false;
  }
  changerDataP->m_storageElemsToPassiveProbeArr =
      CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
  if (changerDataP->m_storageElemsToPassiveProbeArr == nullptr) {
    LogMessage("%s: unable to create empty array of storage elements to passive probe.\n", __func__);
    DisposeChangerData(changerDataP);
    return false;
  }
  if (!GetGUIDFromService(i_changerRoboticsService, &changerDataP->m_changerGUID)) {
    LogMessage("%s: unable to get changer GUID from robotics service.\n", __func__);
    DisposeChangerData(changerDataP);
    return false;
  }
  if (!AddChangerDataToList(changerDataP)) {
    LogMessage("%s: unable to add changer to the global list of changers.\n", __func__);
    DisposeChangerData(changerDataP);
    return false;
  }
  *o_changerDataP = changerDataP;
  return true;
}

bool AddChangerDataToList(ChangerData* i_changerDataP) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.WriteLock(k_writeLockFailText)) return false;
  ChangerData* listedP = nullptr;
  if (GetChangerData(i_changerDataP->m_changerGUID, &listedP)) {
    LogMessage("%s: changer is already in the list!", __func__);
    return false;
  }
  i_changerDataP->m_prevP = nullptr;
  i_changerDataP->m_nextP = g_changerListP;
  if (g_changerListP != nullptr) g_changerListP->m_prevP = i_changerDataP;
  g_changerListP = i_changerDataP;
  return true;
}

bool RemoveChangerDataFromList(ChangerData* i_changerDataP) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.WriteLock(k_writeLockFailText)) return false;
  ChangerData* listedP = nullptr;
  if (!GetChangerData(i_changerDataP->m_changerGUID, &listedP)) {
    LogMessage("%s: changer is not in the list!", __func__);
    return false;
  }
  DisposeCNIDTable(listedP);
  if (listedP->m_prevP != nullptr) listedP->m_prevP->m_nextP = listedP->m_nextP;
  else g_changerListP = listedP->m_nextP;
  if (listedP->m_nextP != nullptr) listedP->m_nextP->m_prevP = listedP->m_prevP;
  listedP->m_nextP = nullptr;
  listedP->m_prevP = nullptr;
  return true;
}

static void ReleaseArray(CFMutableArrayRef& io_arrayRef) {
  if (io_arrayRef != nullptr) CFRelease(io_arrayRef);
  io_arrayRef = nullptr;
}

void DisposeChangerData(ChangerData* i_changerDataP) {
  if (i_changerDataP == nullptr) return;
  {
    platform::MutexLock lock(g_retiredStringsMutex);
    std::erase_if(g_retiredStrings, [i_changerDataP](const std::pair<ChangerData*, char*>& i_entry) {
      if (i_entry.first != i_changerDataP) return false;
      free(i_entry.second);
      return true;
    });
  }
  // Set up by the store but never listed, or listed and removed (which disposed of it already).
  DisposeCNIDTable(i_changerDataP);
  free(i_changerDataP->m_changerTypeP.load());
  free(i_changerDataP->m_changerNameP.load());
  free(i_changerDataP->m_newChangerNameP.load());
  free(i_changerDataP->m_changerMountPathP.load());
  free(i_changerDataP->m_deviceIdP.load());
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    ReleaseArray(i_changerDataP->m_mediaInfoArr);
  }
  ReleaseArray(i_changerDataP->m_storageElemsToActiveProbeArr);
  ReleaseArray(i_changerDataP->m_storageElemsToPassiveProbeArr);
  ReleaseArray(i_changerDataP->m_maintenanceMountStorageElemArr);
  if (i_changerDataP->m_changerRoboticsService != 0) IOObjectRelease(i_changerDataP->m_changerRoboticsService);
  if (i_changerDataP->m_changerBlockSwitchService != 0) IOObjectRelease(i_changerDataP->m_changerBlockSwitchService);
  delete i_changerDataP;
}

bool ReplaceChangerString(ChangerData* i_changerDataP, ChangerString& io_fieldP, const char* i_textP) {
  char* copyP = nullptr;
  if (i_textP != nullptr) {
    copyP = strdup(i_textP);
    if (copyP == nullptr) return false;
  }
  char* oldP = io_fieldP.exchange(copyP);
  if (oldP != nullptr) {
    platform::MutexLock lock(g_retiredStringsMutex);
    g_retiredStrings.emplace_back(i_changerDataP, oldP);
  }
  return true;
}

// ================================================================ lookups

bool GetChangerData(UInt64 i_changerGUID, ChangerData** o_changerDataP) {
  *o_changerDataP = nullptr;
  for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP) {
    if (changerDataP->m_changerGUID == i_changerGUID) {
      *o_changerDataP = changerDataP;
      return true;
    }
  }
  return false;
}

bool GetChangerDataForGUID(UInt64 i_changerGUID, ChangerData** o_changerDataP) {
  *o_changerDataP = nullptr;
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  return GetChangerData(i_changerGUID, o_changerDataP);
}

bool ChangerGUIDIsLeaving(UInt64 i_changerGUID) {
  // The flag is read under the lock: a leaving record may be freed as soon as it is released.
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  ChangerData* changerDataP = nullptr;
  return GetChangerData(i_changerGUID, &changerDataP) && changerDataP->m_shouldTerminate;
}

// The first listed record whose string field equals the text byte for byte.
[[nodiscard]] static bool FindChangerByString(const char* i_functionP, ChangerString ChangerData::*i_fieldP, const char* i_textP,
                                ChangerData** o_changerDataP) {
  *o_changerDataP = nullptr;
  if (i_textP == nullptr) return false;
  ScopedRWLock lock(g_listRWLock, i_functionP, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP) {
    const char* valueP = (changerDataP->*i_fieldP).load();
    if (valueP != nullptr && strcmp(valueP, i_textP) == 0) {
      *o_changerDataP = changerDataP;
      return true;
    }
  }
  return false;
}

bool GetChangerDataForMountPath(const char* i_changerMountPathP, ChangerData** o_changerDataP) {
  return FindChangerByString(__func__, &ChangerData::m_changerMountPathP, i_changerMountPathP, o_changerDataP);
}

bool GetChangerDataForDeviceId(const char* i_changerDeviceIdP, ChangerData** o_changerDataP) {
  return FindChangerByString(__func__, &ChangerData::m_deviceIdP, i_changerDeviceIdP, o_changerDataP);
}

bool GetChangerGUIDList(UInt32 i_guidListMaxCount, UInt64* o_guidListP, UInt32* o_guidListCountP) {
  *o_guidListCountP = 0;
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  UInt32 count = 0;
  for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr && count < i_guidListMaxCount;
       changerDataP = changerDataP->m_nextP) {
    if (changerDataP->m_changerState == changerStateIdle) o_guidListP[count++] = changerDataP->m_changerGUID;
  }
  *o_guidListCountP = count;
  return true;
}

bool AssertAllChangersUnmounted() {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP)
    if (changerDataP->m_changerMountPathP.load() != nullptr) return false;
  return true;
}

// ================================================================ maintenance mounts

bool ChangerHasMaintenanceMounts(ChangerData* i_changerDataP, bool* o_changerHasMaintenanceMountsP) {
  *o_changerHasMaintenanceMountsP = false;
  CFArrayRef maintenanceArr = i_changerDataP->m_maintenanceMountStorageElemArr;
  if (maintenanceArr == nullptr) return true;
  CFRef<CFTypeRef> mountedRef(IORegistryEntryCreateCFProperty(
      i_changerDataP->m_changerBlockSwitchService, CFSTR("Current Mounted Storage Elements"), kCFAllocatorDefault, 0));
  if (!mountedRef || CFGetTypeID(mountedRef.get()) != CFArrayGetTypeID()) {
    LogMessage("%s: unable to read in list of mounted media from changer robotics device.\n", __func__);
    return false;
  }
  CFArrayRef mountedArr = static_cast<CFArrayRef>(mountedRef.get());
  CFIndex maintenanceCount = CFArrayGetCount(maintenanceArr);
  for (CFIndex i = 0; i < maintenanceCount; ++i) {
    const void* storageElemRef = CFArrayGetValueAtIndex(maintenanceArr, i);
    if (storageElemRef == nullptr) {
      LogMessage("%s: unable to get storage element number at index %d.\n", __func__, static_cast<int>(i));
      return false;
    }
    if (CFArrayContainsValue(mountedArr, CFRangeMake(0, CFArrayGetCount(mountedArr)), storageElemRef)) {
      *o_changerHasMaintenanceMountsP = true;
      return true;
    }
  }
  return true;
}

bool MaintenanceMountsArePresent(bool* o_changerHasMaintenanceMountsP) {
  *o_changerHasMaintenanceMountsP = false;
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP) {
    bool hasMaintenanceMounts = false;
    if (!ChangerHasMaintenanceMounts(changerDataP, &hasMaintenanceMounts)) {
      LogMessage("%s: unable to determine if changer %016llX has maintenance mounts.\n", __func__,
                 static_cast<unsigned long long>(changerDataP->m_changerGUID));
      return false;
    }
    if (hasMaintenanceMounts) {
      *o_changerHasMaintenanceMountsP = true;
      return true;
    }
  }
  return true;
}

// ================================================================ options changed by clients

// The read lock is held while the record is used, so that its changer thread cannot remove and
// free it meanwhile; saving the info file takes no list lock.

// Finds a listed changer under the caller's lock; a miss is logged with the caller's name and text.
[[nodiscard]] static bool GetLockedChangerData(const char* i_functionP, LogText<"s llX"> i_missingText, UInt64 i_changerGUID,
                                 ChangerData** o_changerDataP) REQUIRES_SHARED(g_listRWLock) {
  if (GetChangerData(i_changerGUID, o_changerDataP)) return true;
  LogMessage(i_missingText, i_functionP, static_cast<unsigned long long>(i_changerGUID));
  return false;
}

bool RenameChanger(UInt64 i_changerGUID, const char* i_newChangerNameP) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  ChangerData* changerDataP = nullptr;
  if (!GetLockedChangerData(__func__, "%s: unable to get changer data for GUID %016llX.\n", i_changerGUID,
                            &changerDataP))
    return false;
  if (i_newChangerNameP == nullptr || !ReplaceChangerString(changerDataP, changerDataP->m_newChangerNameP,
                                                            i_newChangerNameP)) {
    LogMessage("%s: unable to allocate storage for the new changer name.\n", __func__);
    return false;
  }
  if (!SavePersistantChangerInfo(changerDataP)) {
    LogMessage("%s: unable to save persistant changer info.\n", __func__);
    return false;
  }
  return true;
}

bool SetChangerOptions(UInt64 i_changerGUID, bool i_dontAutoMountFileSystem, bool i_doPassiveMediaProbes) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.ReadLock(k_readLockFailText)) return false;
  ChangerData* changerDataP = nullptr;
  if (!GetLockedChangerData(__func__, "%s: unable to get changer data for GUID %016llX.\n", i_changerGUID,
                            &changerDataP))
    return false;
  changerDataP->m_dontAutoMountFileSystem = i_dontAutoMountFileSystem;
  changerDataP->m_doPassiveMediaProbes = i_doPassiveMediaProbes;
  if (!SavePersistantChangerInfo(changerDataP)) {
    LogMessage("%s: unable to save persistant changer info.\n", __func__);
    return false;
  }
  return true;
}

bool MarkChangerAsUnmounted(UInt64 i_changerGUID) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockFailText);
  if (!lock.WriteLock(k_writeLockFailText)) return false;
  ChangerData* changerDataP = nullptr;
  if (!GetLockedChangerData(__func__, "%s: unable to get changer data for GUID %016llx.\n", i_changerGUID,
                            &changerDataP))
    return false;
  (void)ReplaceChangerString(changerDataP, changerDataP->m_changerMountPathP, nullptr);  // clearing cannot fail
  return true;
}

// ================================================================ pacing of changer-volume mounts

bool ResetChangerMountTimer() {
  g_allowChangerFSMountAt = bsd::time(nullptr) + 2;
  return true;
}

bool DelayBetweenFSMounts() {
  while (bsd::time(nullptr) <= g_allowChangerFSMountAt) bsd::sleep(1);
  g_allowChangerFSMountAt = bsd::time(nullptr) + 30;
  return true;
}
