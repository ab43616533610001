#include "MountData.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "LogMessage.h"
#include "platform/BSD.h"
#include "platform/IOKit.h"

platform::RWLock g_listRWLock;

MountList* g_pendingMediaListP GUARDED_BY(g_listRWLock) = nullptr;
MountList* g_mountedMediaListP GUARDED_BY(g_listRWLock) = nullptr;
MountList* g_ejectListP GUARDED_BY(g_listRWLock) = nullptr;
MountData* g_pendingEjectDataP GUARDED_BY(g_listRWLock) = nullptr;
time_t g_lastAccessTime = 0;

// Runs before any changer is discovered, so before any other thread uses the lists.
bool StartMountLists() NO_THREAD_SAFETY_ANALYSIS {
  g_pendingMediaListP = nullptr;
  g_mountedMediaListP = nullptr;
  // g_listRWLock is initialised statically: initialising it again is undefined.
  return true;
}

ScopedRWLock::ScopedRWLock(platform::RWLock& i_lock, const char* i_functionP, LockFailText i_unlockFailText)
    : m_lock(i_lock), m_functionP(i_functionP), m_unlockFailText(i_unlockFailText), m_isHeld(false) {}

ScopedRWLock::~ScopedRWLock() { (void)Unlock(); }  // a failed unlock is logged there; nothing else to do at scope end

[[nodiscard]] static bool TakeLock(ScopedRWLock& io_scope, bool i_forWriting, LockFailText i_lockFailText) {
  if (io_scope.m_isHeld) return false;
  int err = i_forWriting ? io_scope.m_lock.WriteLock() : io_scope.m_lock.ReadLock();
  if (err != 0) {
    LogMessage(i_lockFailText, io_scope.m_functionP, err);
    return false;
  }
  io_scope.m_isHeld = true;
  return true;
}

// The analysis cannot follow the lock through TakeLock's reference to the scope.
bool ScopedRWLock::ReadLock(LockFailText i_lockFailText) NO_THREAD_SAFETY_ANALYSIS {
  return TakeLock(*this, false, i_lockFailText);
}

bool ScopedRWLock::WriteLock(LockFailText i_lockFailText) NO_THREAD_SAFETY_ANALYSIS {
  return TakeLock(*this, true, i_lockFailText);
}

// Releases only what this scope took, which the analysis cannot tell from a flag.
bool ScopedRWLock::Unlock() NO_THREAD_SAFETY_ANALYSIS {
  if (!m_isHeld) return true;
  int err = m_lock.Unlock();
  m_isHeld = false;
  if (err != 0) {
    LogMessage(m_unlockFailText, m_functionP, err);
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

// ================================================================ records

static char* CopyString(const char* i_textP) { return strdup(i_textP != nullptr ? i_textP : ""); }

bool CreateMountData(ChangerData* i_changerDataP, UInt16 i_storageElem, UInt16 i_mountFlags,
                     MountData** o_mountDataP) {
  *o_mountDataP = nullptr;
  MountData* mountDataP = new (std::nothrow) MountData{};
  if (mountDataP == nullptr) {
    LogMessage("%s: unable to allocate the mount data structure.\n", __func__);
    return false;
  }
  mountDataP->m_changerDataP = i_changerDataP;
  mountDataP->m_storageElem = i_storageElem;
  mountDataP->m_isNormalMount = (i_mountFlags & k_probeMountFlag) == 0;
  mountDataP->m_disallowMount = (i_mountFlags & k_allowDiskArbMountFlag) == 0;
  mountDataP->m_isFormatMount = (i_mountFlags & k_formatMountFlag) != 0;
  mountDataP->m_mountOnDesktop = (i_mountFlags & k_desktopMountFlag) != 0;
  if (mountDataP->m_isNormalMount) ++i_changerDataP->m_pendingMountCount;
  else ++i_changerDataP->m_pendingProbeMountCount;
  *o_mountDataP = mountDataP;
  return true;
}

static void DisposeDeviceData(DeviceData* i_deviceDataP) {
  free(i_deviceDataP->m_deviceIdP);
  free(i_deviceDataP->m_deviceNameP);
  free(i_deviceDataP->m_deviceMountPointNameP);
  free(i_deviceDataP->m_deviceFullMountPointP);
  delete i_deviceDataP;
}

bool DisposeMountData(MountData* i_mountDataP) {
  if (i_mountDataP == nullptr) {
    LogMessage("%s: no mount data to dispose of.\n", __func__);
    return false;
  }
  if (i_mountDataP->m_changerDataP != nullptr) {
    if (i_mountDataP->m_isNormalMount) --i_mountDataP->m_changerDataP->m_pendingMountCount;
    else --i_mountDataP->m_changerDataP->m_pendingProbeMountCount;
  }
  DeviceData* deviceDataP = i_mountDataP->m_firstDeviceP;
  while (deviceDataP != nullptr) {
    DeviceData* nextP = deviceDataP->m_nextP;
    DisposeDeviceData(deviceDataP);
    deviceDataP = nextP;
  }
  free(i_mountDataP->m_formatDiscNameP);
  free(i_mountDataP->m_wholeDeviceIdP);
  free(i_mountDataP->m_mediaTypeP);
  free(i_mountDataP->m_SH9PrimaryVolTagP);
  free(i_mountDataP->m_primaryVolTagP);
  free(i_mountDataP->m_alternateVolTagP);
  delete i_mountDataP;
  return true;
}

bool AddDeviceToMountData(const char* i_deviceIdP, const char* i_deviceNameP, bool i_writable, bool i_isWholeDisk,
                          bool i_isIdentifiedDevice, MountData* i_mountDataP) {
  DeviceData* deviceDataP = new (std::nothrow) DeviceData{};
  if (deviceDataP == nullptr) {
    LogMessage("%s: unable to allocate memory for device data.\n", __func__);
    return false;
  }
  deviceDataP->m_deviceIdP = CopyString(i_deviceIdP);
  if (deviceDataP->m_deviceIdP == nullptr) {
    LogMessage("%s: unable to allocate memory for deviceId string.\n", __func__);
    DisposeDeviceData(deviceDataP);
    return false;
  }
  deviceDataP->m_deviceNameP = CopyString(i_deviceNameP);
  if (deviceDataP->m_deviceNameP == nullptr) {
    LogMessage("%s: unable to allocate memory for deviceName string.\n", __func__);
    DisposeDeviceData(deviceDataP);
    return false;
  }
  deviceDataP->m_writable = i_writable;
  deviceDataP->m_isWholeDisk = i_isWholeDisk;
  deviceDataP->m_isIdentifiedDevice = i_isIdentifiedDevice;
  if (i_isIdentifiedDevice) {
    deviceDataP->m_device = k_unnumberedDevice;
    ++i_mountDataP->m_deviceCount;
  } else {
    deviceDataP->m_device = static_cast<UInt16>(k_firstUnidentifiedDevice + i_mountDataP->m_unidentifiedDeviceCount);
    ++i_mountDataP->m_unidentifiedDeviceCount;
  }
  deviceDataP->m_prevP = i_mountDataP->m_lastDeviceP;
  if (i_mountDataP->m_lastDeviceP != nullptr) i_mountDataP->m_lastDeviceP->m_nextP = deviceDataP;
  else i_mountDataP->m_firstDeviceP = deviceDataP;
  i_mountDataP->m_lastDeviceP = deviceDataP;
  i_mountDataP->m_lastMountTime = bsd::time(nullptr);
  return true;
}

bool MarkMountDataAsUnmountable(MountData* i_mountDataP) {
  if (!AddDeviceToMountData("", "<< UNIDENTIFIED DISC >>", false, true, false, i_mountDataP)) {
    LogMessage("%s: unable to add a device entry to the mount data.\n", __func__);
    return false;
  }
  char* mediaTypeP = strdup("UNKNOWN");
  if (mediaTypeP == nullptr) {
    LogMessage("%s: unable to allocate memory for the media type string.\n", __func__);
    return false;
  }
  free(i_mountDataP->m_mediaTypeP);
  i_mountDataP->m_mediaTypeP = mediaTypeP;
  return true;
}

bool SaveDeviceMountPointName(DeviceData* i_deviceDataP, const char* i_deviceMountPointNameP) {
  char* nameP = i_deviceMountPointNameP != nullptr ? strdup(i_deviceMountPointNameP) : nullptr;
  if (nameP == nullptr) {
    LogMessage("%s: unable to allocat enew device mount point name.\n", __func__);
    return false;
  }
  free(i_deviceDataP->m_deviceMountPointNameP);
  i_deviceDataP->m_deviceMountPointNameP = nameP;
  return true;
}

// ================================================================ list primitives

bool FindChangerAndStorageElemInList(MountList* i_listP, ChangerData* i_changerDataP, UInt16 i_storageElem,
                                     MountList** o_nodeP) {
  if (o_nodeP != nullptr) *o_nodeP = nullptr;
  for (MountList* nodeP = i_listP; nodeP != nullptr; nodeP = nodeP->m_nextP) {
    if (nodeP->m_mountDataP->m_changerDataP == i_changerDataP && nodeP->m_mountDataP->m_storageElem == i_storageElem) {
      if (o_nodeP != nullptr) *o_nodeP = nodeP;
      return true;
    }
  }
  return false;
}

bool FindMountNodeInList(MountList* i_listP, UInt64 i_changerGUID, UInt16 i_storageElem, MountList** o_nodeP) {
  *o_nodeP = nullptr;
  for (MountList* nodeP = i_listP; nodeP != nullptr; nodeP = nodeP->m_nextP) {
    const MountData* mountDataP = nodeP->m_mountDataP;
    if (mountDataP->m_changerDataP->m_changerGUID == i_changerGUID && mountDataP->m_storageElem == i_storageElem) {
      *o_nodeP = nodeP;
      return true;
    }
  }
  return false;
}

bool FindDeviceInList(MountList* i_listP, UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device,
                      DeviceData** o_deviceDataP) {
  *o_deviceDataP = nullptr;
  MountList* nodeP = nullptr;
  if (!FindMountNodeInList(i_listP, i_changerGUID, i_storageElem, &nodeP)) return false;
  for (DeviceData* deviceDataP = nodeP->m_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
       deviceDataP = deviceDataP->m_nextP) {
    if (deviceDataP->m_device == i_device) {
      *o_deviceDataP = deviceDataP;
      return true;
    }
  }
  return false;
}

bool FindDeviceInListByBSDName(MountList* i_listP, const char* i_deviceIdP, MountData** o_mountDataP,
                               DeviceData** o_deviceDataP) {
  *o_mountDataP = nullptr;
  *o_deviceDataP = nullptr;
  if (i_deviceIdP == nullptr) return true;
  for (MountList* nodeP = i_listP; nodeP != nullptr; nodeP = nodeP->m_nextP) {
    for (DeviceData* deviceDataP = nodeP->m_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
         deviceDataP = deviceDataP->m_nextP) {
      if (strcmp(deviceDataP->m_deviceIdP, i_deviceIdP) == 0) {
        *o_mountDataP = nodeP->m_mountDataP;
        *o_deviceDataP = deviceDataP;
        return true;
      }
    }
  }
  return true;
}

bool IterateForAMountForChanger(UInt64 i_changerGUID, MountList* i_listP, MountData** o_mountDataP) {
  *o_mountDataP = nullptr;
  for (MountList* nodeP = i_listP; nodeP != nullptr; nodeP = nodeP->m_nextP) {
    if (nodeP->m_mountDataP->m_changerDataP->m_changerGUID == i_changerGUID) {
      *o_mountDataP = nodeP->m_mountDataP;
      break;
    }
  }
  return true;
}

bool CheckForDesktopMountedDevices(MountList* i_nodeP) { return i_nodeP->m_mountDataP->m_mountOnDesktop; }

bool AddMountDataToList(MountList** io_listP, MountData* i_mountDataP) {
  MountList* foundP = nullptr;
  if (FindMountNodeInList(*io_listP, i_mountDataP->m_changerDataP->m_changerGUID, i_mountDataP->m_storageElem,
                          &foundP)) {
    LogMessage("%s: mount data is already contained in the mount list.\n", __func__);
    return false;
  }
  MountList* nodeP = new (std::nothrow) MountList{};
  if (nodeP == nullptr) {
    LogMessage("%s: unable to allocate new mount list node node.\n", __func__);
    return false;
  }
  nodeP->m_mountDataP = i_mountDataP;
  MountList* tailP = *io_listP;
  while (tailP != nullptr && tailP->m_nextP != nullptr) tailP = tailP->m_nextP;
  nodeP->m_prevP = tailP;
  if (tailP != nullptr) tailP->m_nextP = nodeP;
  else *io_listP = nodeP;
  return true;
}

bool RemoveMountDataFromList(MountList** io_listP, MountData* i_mountDataP) {
  MountList* nodeP = nullptr;
  if (!FindMountNodeInList(*io_listP, i_mountDataP->m_changerDataP->m_changerGUID, i_mountDataP->m_storageElem,
                           &nodeP)) {
    LogMessage("%s: mount data is not in the mount list.\n", __func__);
    return false;
  }
  if (nodeP->m_prevP != nullptr) nodeP->m_prevP->m_nextP = nodeP->m_nextP;
  else *io_listP = nodeP->m_nextP;
  if (nodeP->m_nextP != nullptr) nodeP->m_nextP->m_prevP = nodeP->m_prevP;
  delete nodeP;
  return true;
}

// Moves a record between two lists; a record the target refuses stays where it was in the
// source list, so that it is never left in no place at all.
[[nodiscard]] static bool MoveMountDataBetweenLists(const char* i_functionP, MountList** io_fromListP,
                                                    MountList** io_toListP, UInt64 i_changerGUID,
                                                    UInt16 i_storageElem, LogText<"s"> i_findFailText,
                                                    LogText<"s"> i_removeFailText, LogText<"s"> i_addFailText)
    REQUIRES(g_listRWLock) {
  MountList* nodeP = nullptr;
  if (!FindMountNodeInList(*io_fromListP, i_changerGUID, i_storageElem, &nodeP)) {
    LogMessage(i_findFailText, i_functionP);
    return false;
  }
  MountData* mountDataP = nodeP->m_mountDataP;
  // Added first: putting a record back can fail for want of memory, taking a node out cannot.
  if (!AddMountDataToList(io_toListP, mountDataP)) {
    LogMessage(i_addFailText, i_functionP);
    return false;
  }
  if (!RemoveMountDataFromList(io_fromListP, mountDataP)) {
    LogMessage(i_removeFailText, i_functionP);
    (void)RemoveMountDataFromList(io_toListP, mountDataP);  // the node just added: always there
    return false;
  }
  return true;
}

bool MoveMountDataFromEjectToMountedList(UInt64 i_changerGUID, UInt16 i_storageElem) {
  return MoveMountDataBetweenLists(__func__, &g_ejectListP, &g_mountedMediaListP, i_changerGUID, i_storageElem,
                                   "%s: unable to find mount data on eject list.\n",
                                   "%s: unable to remove mount data from the eject list.\n",
                                   "%s: unable to add mount data to the mounted media list.\n");
}

bool MoveMountDataFromMountedToEjectList(UInt64 i_changerGUID, UInt16 i_storageElem) {
  return MoveMountDataBetweenLists(__func__, &g_mountedMediaListP, &g_ejectListP, i_changerGUID, i_storageElem,
                                   "%s: unable to find mount data on mounted media list.\n",
                                   "%s: unable to remove mount data from the mounted media list.\n",
                                   "%s: unable to add mount data to the eject list.\n");
}

bool RemoveAllMountDataForChangerFromList(UInt64 i_changerGUID, MountList** io_listP) {
  for (;;) {
    MountData* mountDataP = nullptr;
    if (!IterateForAMountForChanger(i_changerGUID, *io_listP, &mountDataP)) {
      LogMessage("%s: unable to iterate for a mount for changer %016llX.\n", __func__,
                 static_cast<unsigned long long>(i_changerGUID));
      return false;
    }
    if (mountDataP == nullptr) return true;
    if (!RemoveMountDataFromList(io_listP, mountDataP)) {
      LogMessage("%s: unable to remove the mount data from the list.\n", __func__);
      return false;
    }
    if (!DisposeMountData(mountDataP)) {
      LogMessage("%s: unable to dispose of the mount data.\n", __func__);
      return false;
    }
  }
}

// ================================================================ operations that lock

static constexpr LockFailText k_unlockListText = "%s: unable to unlock list r/w lock (err = %d).\n";

[[nodiscard]] static bool CheckForMediaInList(const char* i_functionP, MountList* const* i_listPP, ChangerData* i_changerDataP,
                                UInt16 i_storageElem, bool* o_isInListP) {
  *o_isInListP = false;
  ScopedRWLock lock(g_listRWLock, i_functionP, k_unlockListText);
  if (!lock.ReadLock("%s: unable to read lock list r/w lock (err = %d).\n")) return false;
  *o_isInListP = FindChangerAndStorageElemInList(*i_listPP, i_changerDataP, i_storageElem, nullptr);
  return true;
}

bool CheckForMountedMedia(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isMountedP) {
  return CheckForMediaInList(__func__, &g_mountedMediaListP, i_changerDataP, i_storageElem, o_isMountedP);
}

bool CheckForPendingMedia(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isPendingP) {
  return CheckForMediaInList(__func__, &g_pendingMediaListP, i_changerDataP, i_storageElem, o_isPendingP);
}

bool AddMountDataToEjectList(MountData* i_mountDataP) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockListText);
  if (!lock.WriteLock("%s: unable to get write lock for the list r/w lock (err = %d).\n"))
    return false;
  if (!AddMountDataToList(&g_ejectListP, i_mountDataP)) {
    LogMessage("%s: unable to add mount data to the eject list.\n", __func__);
    return false;
  }
  return true;
}

bool AddMountDataToGlobalWaitForMountList(MountData* i_mountDataP) {
  ScopedRWLock lock(g_listRWLock, __func__, "%s: unable to unlock wait-for-mount r/w lock (err = %d).\n");
  if (!lock.WriteLock("%s: unable to get write lock for wait-for-mount r/w lock (err = %d).\n"))
    return false;
  if (!AddMountDataToList(&g_pendingMediaListP, i_mountDataP)) {
    LogMessage("%s: unable to add mount data to the wait-for-mount list.\n", __func__);
    return false;
  }
  return true;
}

bool IncrementIOKitDetectedMediaCount(UInt64 i_changerGUID, UInt16 i_storageElem) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockListText);
  if (!lock.WriteLock("%s: unable to get write lock on list r/w lock (err = %d).\n")) return false;
  MountList* nodeP = nullptr;
  if (!FindMountNodeInList(g_pendingMediaListP, i_changerGUID, i_storageElem, &nodeP)) {
    LogMessage("%s: unable to search for changer %llX/storage elem %d in pending media list.\n", __func__,
               static_cast<unsigned long long>(i_changerGUID), i_storageElem);
    return false;
  }
  ++nodeP->m_mountDataP->m_ioKitDetectedMediaCount;
  return true;
}

bool AssignDeviceNumbers(MountData* i_mountDataP) {
  ScopedRWLock lock(g_listRWLock, __func__, "%s: unable to unlock global list lock (err = %d).\n");
  if (!lock.WriteLock("%s: unable to get write lock for global list lock (err = %d).\n"))
    return false;
  UInt16 deviceNumber = 0;
  for (;;) {
    // Byte order of the BSD names: disk3s1, disk3s10, disk3s2.
    DeviceData* chosenP = nullptr;
    for (DeviceData* deviceDataP = i_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
         deviceDataP = deviceDataP->m_nextP) {
      if (deviceDataP->m_device != k_unnumberedDevice) continue;
      if (chosenP == nullptr || strcmp(deviceDataP->m_deviceIdP, chosenP->m_deviceIdP) < 0) chosenP = deviceDataP;
    }
    if (chosenP == nullptr) break;
    if (deviceNumber == i_mountDataP->m_deviceCount) {
      LogMessage("%s: we have exhaused all of the devices, but haven't exited yet!\n", __func__);
      return true;
    }
    chosenP->m_device = deviceNumber++;
  }
  if (deviceNumber != i_mountDataP->m_deviceCount) {
    LogMessage("%s: number of identified devices doesn't match our device count!\n", __func__);
    return false;
  }
  return true;
}

bool RemoveAllMountDataForChanger(UInt64 i_changerGUID) {
  ScopedRWLock lock(g_listRWLock, __func__, k_unlockListText);
  if (!lock.WriteLock("%s: unable to get write lock for global list lock (err = %d).\n"))
    return false;
  const struct {
    MountList** m_listPP;
    LogText<"s llX"> m_failText;
  } k_lists[] = {
      {&g_mountedMediaListP, "%s: unable to remove all mount data for changer %016llX from mounted media list.\n"},
      {&g_pendingMediaListP, "%s: unable to remove all mount data for changer %016llX from pending media list.\n"},
      {&g_ejectListP, "%s: unable to remove all mount data for changer %016llX from eject list.\n"},
  };
  for (const auto& list : k_lists) {
    if (!RemoveAllMountDataForChangerFromList(i_changerGUID, list.m_listPP)) {
      LogMessage(list.m_failText, __func__, static_cast<unsigned long long>(i_changerGUID));
      return false;
    }
  }
  if (g_pendingEjectDataP != nullptr && g_pendingEjectDataP->m_changerDataP->m_changerGUID == i_changerGUID) {
    if (!DisposeMountData(g_pendingEjectDataP)) LogMessage("%s: unable to dispose of pending eject mount data.\n", __func__);
    g_pendingEjectDataP = nullptr;
  }
  return true;
}

// ================================================================ driver request

bool DisableRemountsForMedia(MountData* i_mountDataP) {
  SInt16 storageElem = static_cast<SInt16>(i_mountDataP->m_storageElem);
  CFRef<CFNumberRef> storageElemRef(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt16Type, &storageElem));
  if (!storageElemRef) {
    LogMessage("%s: unable to create CFNumberRef for the storage element of the media to disable remounts for.\n",
               __func__);
    return false;
  }
  kern_return_t result = IORegistryEntrySetCFProperty(i_mountDataP->m_changerDataP->m_changerBlockSwitchService,
                                                      CFSTR("Add Disabled Mount Storage Element Request"),
                                                      storageElemRef.get());
  if (result != 0) {
    LogMessage("%s: unable to add storage element %d to the disabled mount list.\n", __func__,
               i_mountDataP->m_storageElem);
    return false;
  }
  return true;
}
