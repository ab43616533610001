#include "ChangerThread.h"

#include <mutex>

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "ChangerNotifications.h"
#include "LogMessage.h"
#include "MountData.h"
#include "platform/BSD.h"

std::atomic<int> g_changerThreadCount{0};

// Sleeps in short steps so that an unplugged changer leaves within a fraction of a second
// (its GUID stays taken until the record is gone, so a quick replug would be refused).
static void SleepUnlessTerminated(ChangerData* i_changerDataP, unsigned i_seconds) {
  for (unsigned step = 0; step < i_seconds * 4 && !i_changerDataP->m_shouldTerminate; ++step) bsd::usleep(250000);
}

// One step of the state table: the step's own work, then the next state or the pause before
// the state is tried again.
static void RunChangerState(ChangerData* i_changerDataP) {
  switch (i_changerDataP->m_changerState.load()) {
    case changerStateInitializing:
      i_changerDataP->m_changerState = changerStatePrecachingChangerInfo;
      break;
    case changerStatePrecachingChangerInfo:
      if (PrecacheChangerInfo(i_changerDataP)) i_changerDataP->m_changerState = changerStateLookingForServices;
      else SleepUnlessTerminated(i_changerDataP, 5);
      break;
    case changerStateLookingForServices:
      if (LookForChangerServices(i_changerDataP)) i_changerDataP->m_changerState = changerStateInitializingChanger;
      else SleepUnlessTerminated(i_changerDataP, 5);
      break;
    case changerStateInitializingChanger:
      if (InitializeChanger(i_changerDataP)) i_changerDataP->m_changerState = changerStateFindingDataFiles;
      else SleepUnlessTerminated(i_changerDataP, 5);
      break;
    case changerStateFindingDataFiles:
      if (LocateChangerInfoFiles(i_changerDataP)) i_changerDataP->m_changerState = changerStateSettingChangerInfo;
      else SleepUnlessTerminated(i_changerDataP, 10);
      break;
    case changerStateSettingChangerInfo:
      if (SetChangerInfo(i_changerDataP)) i_changerDataP->m_changerState = changerStateBuildingDiscInfoArray;
      else SleepUnlessTerminated(i_changerDataP, 10);
      break;
    case changerStateBuildingDiscInfoArray:
      // Each of these logs its own failure; the idle passes repair what they leave undone.
      (void)BuildMediaInfoArray(i_changerDataP);
      (void)BuildChangedStorageElemList(i_changerDataP);
      (void)RemoveOldMediaInfoFiles(i_changerDataP);
      (void)RemoveOldDeviceFiles(i_changerDataP);
      i_changerDataP->m_changerState = changerStateMountingFileSystem;
      break;
    case changerStateMountingFileSystem:
      // The changer volume is mounted here (unless on 10.4 or the changer's option says not to)
      // once the changer-volume module exists; until then the changer goes straight to idle.
      i_changerDataP->m_changerState = changerStateIdle;
      break;
    case changerStateIdle:
      (void)HandleIdleChanger(i_changerDataP);  // logged; the next idle pass tries again
      SleepUnlessTerminated(i_changerDataP, 1);
      break;
  }
}

void* RunChangerThread(void* i_argP) {
  ChangerData* changerDataP = static_cast<ChangerData*>(i_argP);
  LogMessage("%s: starting changer thread.\n", __func__);
  changerDataP->m_changerState = changerStateInitializing;
  while (!changerDataP->m_shouldTerminate) RunChangerState(changerDataP);

  UInt64 changerGUID = changerDataP->m_changerGUID;
  if (!RemoveAllMountDataForChanger(changerGUID))
    LogMessage("%s: unable to remove all mount data for changer %016llX.\n", __func__,
               static_cast<unsigned long long>(changerGUID));
  bool isRemoved = RemoveChangerDataFromList(changerDataP);
  if (!isRemoved) LogMessage("%s: unable to remove the changer from the changer list.\n", __func__);
  LogMessage("%s: changer thread ended.\n", __func__);
  // A record still listed may be found by other threads at any time: it is left allocated.
  if (isRemoved) DisposeChangerData(changerDataP);
  --g_changerThreadCount;
  return nullptr;
}

// ================================================================ idle passes

bool HandleIdleChanger(ChangerData* i_changerDataP) {
  if (!HandleChangedStorageElems(i_changerDataP)) {
    LogMessage("%s: unable to handle changed storage elements.\n", __func__);
    return false;
  }
  if (!HandlePassiveProbingChanger(i_changerDataP)) {
    LogMessage("%s: unable to handle passive probing of changer.\n", __func__);
    return false;
  }
  // Active probing and the hand-over of completed mounts follow here once discs can be loaded
  // (the disc-load module); until then changed slots wait in the active probe array.
  return true;
}

[[nodiscard]] static bool IsPendingMediaListEmpty(const char* i_functionP, bool* o_isEmptyP) {
  *o_isEmptyP = false;
  ScopedRWLock lock(g_listRWLock, i_functionP, "%s: unable to unlock list r/w lock (err = %d).\n");
  if (!lock.ReadLock("%s: unable to read lock list r/w lock (err = %d).\n")) return false;
  *o_isEmptyP = g_pendingMediaListP == nullptr;
  return true;
}

bool HandleChangedStorageElems(ChangerData* i_changerDataP) {
  // A build cut short (at start or since) is redone and its slots scanned, whether or not the
  // changer has reported a change: otherwise the slots past the gap would never be scanned.
  if (!HasWholeMediaInfoArray(i_changerDataP)) {
    if (!BuildMediaInfoArray(i_changerDataP)) {
      LogMessage("%s: unable to rebuild the media info array.\n", __func__);
      return false;
    }
    i_changerDataP->m_shouldCheckForChangedStorageElems = true;
  }
  if (!i_changerDataP->m_shouldCheckForChangedStorageElems) return true;
  if (CFArrayGetCount(i_changerDataP->m_storageElemsToActiveProbeArr) != 0 ||
      CFArrayGetCount(i_changerDataP->m_storageElemsToPassiveProbeArr) != 0)
    return true;
  // Probing waits while any disc of any changer is on its way into a drive.
  bool isPendingListEmpty = false;
  if (!IsPendingMediaListEmpty(__func__, &isPendingListEmpty)) return false;
  if (!isPendingListEmpty) return true;
  i_changerDataP->m_shouldCheckForChangedStorageElems = false;
  if (!BuildChangedStorageElemList(i_changerDataP)) {
    LogMessage("%s: unable to build storage elements to probe array.\n", __func__);
    return false;
  }
  if (!RemoveOldMediaInfoFiles(i_changerDataP)) {
    LogMessage("%s: unable to remove old media info files.\n", __func__);
    return false;
  }
  if (!CountEmptyStorageElements(i_changerDataP)) {
    LogMessage("%s: unable to count empty storage elements.\n", __func__);
    return false;
  }
  return true;
}

// The saved item info of the slot, retained, or null.
static CFDictionaryRef CopySavedMediaInfo(ChangerData* i_changerDataP, UInt16 i_storageElem) {
  platform::MutexLock lock(g_mediaInfoArrMutex);
  CFArrayRef mediaInfoArr = i_changerDataP->m_mediaInfoArr;
  if (mediaInfoArr == nullptr || i_storageElem >= CFArrayGetCount(mediaInfoArr)) return nullptr;
  CFTypeRef itemInfoRef = CFArrayGetValueAtIndex(mediaInfoArr, i_storageElem);
  if (itemInfoRef != nullptr) CFRetain(itemInfoRef);
  return static_cast<CFDictionaryRef>(itemInfoRef);
}

[[nodiscard]] static bool ArrayContainsNumber(CFArrayRef i_arrayRef, CFNumberRef i_numberRef) {
  return i_arrayRef != nullptr &&
         CFArrayContainsValue(i_arrayRef, CFRangeMake(0, CFArrayGetCount(i_arrayRef)), i_numberRef);
}

bool BuildChangedStorageElemList(ChangerData* i_changerDataP) {
  bool shouldForceActiveProbe = i_changerDataP->m_shouldForceActiveProbe.exchange(false);
  CFRef<CFTypeRef> storageElemInfoRef(
      CopyDriverProperty(i_changerDataP->m_changerRoboticsService, CFSTR(k_storageElemInfoProp)));
  if (!storageElemInfoRef || CFGetTypeID(storageElemInfoRef.get()) != CFArrayGetTypeID()) {
    LogMessage("%s: unable to get storage element info property from the changer.\n", __func__);
    return false;
  }
  CFArrayRef storageElemInfoArr = static_cast<CFArrayRef>(storageElemInfoRef.get());
  for (UInt16 storageElem = 0; storageElem < i_changerDataP->m_changerStorageElemCount; ++storageElem) {
    CFTypeRef driverInfoRef =
        storageElem < CFArrayGetCount(storageElemInfoArr) ? CFArrayGetValueAtIndex(storageElemInfoArr, storageElem)
                                                          : nullptr;
    if (driverInfoRef == nullptr) {
      LogMessage("%s: unable to get the changer media info dict at index %d.\n", __func__, storageElem);
      return false;
    }
    CFRef<CFDictionaryRef> savedInfoRef(CopySavedMediaInfo(i_changerDataP, storageElem));
    if (!savedInfoRef) {
      LogMessage("%s: unable to get the saved media info dict at index %d.\n", __func__, storageElem);
      return false;
    }
    if (CFEqual(driverInfoRef, savedInfoRef.get())) continue;
    CFRef<CFNumberRef> storageElemRef(CreateStorageElemNumber(storageElem));
    if (!storageElemRef) {
      LogMessage("%s: unable to convert storage element %d to a CFNumber.\n", __func__, storageElem);
      return false;
    }
    if (ArrayContainsNumber(i_changerDataP->m_storageElemsToActiveProbeArr, storageElemRef.get()) ||
        ArrayContainsNumber(i_changerDataP->m_storageElemsToPassiveProbeArr, storageElemRef.get()) ||
        ArrayContainsNumber(i_changerDataP->m_maintenanceMountStorageElemArr, storageElemRef.get()))
      continue;
    if (i_changerDataP->m_doPassiveMediaProbes && !shouldForceActiveProbe)
      CFArrayAppendValue(i_changerDataP->m_storageElemsToPassiveProbeArr, storageElemRef.get());
    else
      CFArrayAppendValue(i_changerDataP->m_storageElemsToActiveProbeArr, storageElemRef.get());
  }
  return true;
}

bool CheckForEmptyStorageElem(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isStorageElemEmptyP) {
  *o_isStorageElemEmptyP = false;
  CFRef<CFTypeRef> storageElemInfoRef(
      CopyDriverProperty(i_changerDataP->m_changerRoboticsService, CFSTR(k_storageElemInfoProp)));
  if (!storageElemInfoRef || CFGetTypeID(storageElemInfoRef.get()) != CFArrayGetTypeID()) {
    LogMessage("%s: unable to get storage element info property from the changer.\n", __func__);
    return false;
  }
  CFArrayRef storageElemInfoArr = static_cast<CFArrayRef>(storageElemInfoRef.get());
  CFTypeRef driverInfoRef = i_storageElem < CFArrayGetCount(storageElemInfoArr)
                                ? CFArrayGetValueAtIndex(storageElemInfoArr, i_storageElem)
                                : nullptr;
  if (driverInfoRef == nullptr || CFGetTypeID(driverInfoRef) != CFDictionaryGetTypeID()) {
    LogMessage("%s: unable to get the changer media info dict for storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  CFTypeRef mediaInRef =
      CFDictionaryGetValue(static_cast<CFDictionaryRef>(driverInfoRef), CFSTR(k_mediaInStorageElemProp));
  *o_isStorageElemEmptyP = mediaInRef != nullptr && CFGetTypeID(mediaInRef) == CFBooleanGetTypeID() &&
                           !CFBooleanGetValue(static_cast<CFBooleanRef>(mediaInRef));
  return true;
}

bool HandlePassiveProbingChanger(ChangerData* i_changerDataP) {
  CFMutableArrayRef passiveProbeArr = i_changerDataP->m_storageElemsToPassiveProbeArr;
  while (CFArrayGetCount(passiveProbeArr) > 0) {
    CFRef<CFTypeRef> storageElemRef(CFRef<CFTypeRef>::Retain(CFArrayGetValueAtIndex(passiveProbeArr, 0)));
    if (!storageElemRef) {
      LogMessage("%s: unable to get item at index 0 of the passive probe array.\n", __func__);
      return false;
    }
    // Taken out before it is read, so that an entry that cannot be read does not stop every pass.
    CFArrayRemoveValueAtIndex(passiveProbeArr, 0);
    SInt16 storageElemValue = 0;
    if (CFGetTypeID(storageElemRef.get()) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(storageElemRef.get()), kCFNumberSInt16Type, &storageElemValue)) {
      LogMessage("%s: unable to convert storage element number to an integer.\n", __func__);
      return false;
    }
    UInt16 storageElem = static_cast<UInt16>(storageElemValue);

    bool isStorageElemEmpty = false;
    if (!CheckForEmptyStorageElem(i_changerDataP, storageElem, &isStorageElemEmpty)) {
      LogMessage("%s: unable to check for an empty storage element.\n", __func__);
      isStorageElemEmpty = false;
    }
    if (isStorageElemEmpty) {
      if (!UpdateMountInfoArr(i_changerDataP, storageElem)) {
        LogMessage("%s: unable to update the mount info array.\n", __func__);
        return false;
      }
      continue;
    }
    bool isMounted = false;
    if (!CheckForMountedMedia(i_changerDataP, storageElem, &isMounted))
      LogMessage("%s: unable to probe mounted media.\n", __func__);
    if (isMounted) continue;
    bool isPending = false;
    if (!CheckForPendingMedia(i_changerDataP, storageElem, &isPending)) {
      LogMessage("%s: unable to probe pending media.\n", __func__);
      return false;
    }
    if (isPending) continue;

    // The disc is recorded without being loaded: a completed attempt that mounted nothing.
    MountData* mountDataP = nullptr;
    if (!CreateMountData(i_changerDataP, storageElem, k_probeMountFlag, &mountDataP)) {
      LogMessage("%s: unable to allocate mount data for storage elem %d.\n", __func__, storageElem);
      return false;
    }
    mountDataP->m_attemptComplete = true;
    mountDataP->m_isMounted = false;
    if (!AddMountDataToGlobalWaitForMountList(mountDataP)) {
      LogMessage("%s: unable to add mount data to the mount list.\n", __func__);
      DisposeMountData(mountDataP);
      return false;
    }
  }
  return true;
}

bool ShouldSpawnProbeMount(ChangerData* i_changerDataP) {
  if (CFArrayGetCount(i_changerDataP->m_storageElemsToActiveProbeArr) == 0) return false;
  UInt16 probeMountCount = i_changerDataP->m_pendingProbeMountCount;
  UInt16 requestMountCount = i_changerDataP->m_pendingMountCount;
  return probeMountCount == 0 ||
         static_cast<UInt32>(probeMountCount) + requestMountCount < i_changerDataP->m_changerDataTransferElemCount;
}
