// ChangerData: one record per changer and the changer registry `g_changerListP`, guarded by
// `g_listRWLock` (MountData.h); the per-changer options that clients change; the pacing of
// changer-volume mounts (`g_allowChangerFSMountAt`).
#pragma once
#include <pthread.h>

#include <atomic>
#include <ctime>

#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"
#include "platform/IOKit.h"
#include "Locks.h"

struct MountData;
struct CNIDTable;

enum EChangerState : UInt32 {
  changerStateInitializing = 0,
  changerStatePrecachingChangerInfo = 1,
  changerStateLookingForServices = 2,
  changerStateInitializingChanger = 4,
  changerStateFindingDataFiles = 5,
  changerStateSettingChangerInfo = 6,
  changerStateBuildingDiscInfoArray = 7,
  changerStateMountingFileSystem = 8,
  changerStateIdle = 9,
};

// Flags, options, counts and name strings that one thread writes while others read them without
// the list lock are atomic words. A replaced name is retired, not freed, until the record is
// freed, so a reader that loaded the old pointer may go on using it (ReplaceChangerString).
typedef std::atomic<UInt32> ChangerFlag;
typedef std::atomic<char*> ChangerString;

struct ChangerData {
  io_object_t m_changerNotification;
  std::atomic<EChangerState> m_changerState;
  std::atomic<UInt16> m_pendingMountCount;
  std::atomic<UInt16> m_pendingProbeMountCount;
  io_service_t m_changerRoboticsService;
  io_service_t m_changerBlockSwitchService;
  pthread_t m_changerThread;
  ChangerFlag m_shouldTerminate;
  ChangerFlag m_shouldCheckForChangedStorageElems;
  FSRef m_changerDir;
  FSRef m_changerMediaDir;
  FSRef m_changerDevicesDir;
  ChangerFlag m_isChangerWriter;
  ChangerString m_changerTypeP;
  ChangerString m_changerNameP;
  ChangerString m_newChangerNameP;
  ChangerFlag m_dontAutoMountFileSystem;
  ChangerFlag m_doPassiveMediaProbes;
  ChangerFlag m_shouldForceActiveProbe;
  ChangerString m_changerMountPathP;
  ChangerString m_deviceIdP;
  CFMutableArrayRef m_mediaInfoArr GUARDED_BY(g_mediaInfoArrMutex);
  CFMutableArrayRef m_storageElemsToActiveProbeArr;
  CFMutableArrayRef m_storageElemsToPassiveProbeArr;
  CFMutableArrayRef m_maintenanceMountStorageElemArr;
  MountData* m_completedMountDataP;
  UInt64 m_changerGUID;
  UInt16 m_changerStorageElemCount;
  UInt16 m_changerDataTransferElemCount;
  std::atomic<UInt16> m_changerEmptyStorageElemCount;
  CNIDTable* m_CNIDTableP;
  // The registry's links.
  ChangerData* m_nextP GUARDED_BY(g_listRWLock);
  ChangerData* m_prevP GUARDED_BY(g_listRWLock);
};

extern ChangerData* g_changerListP GUARDED_BY(g_listRWLock);
extern std::atomic<time_t> g_allowChangerFSMountAt;

// ---- Life of a record

// The record retains the robotics service; the caller keeps its own reference.
[[nodiscard]] bool CreateNewChangerData(io_service_t i_changerRoboticsService, ChangerData** o_changerDataP);
[[nodiscard]] bool GetGUIDFromService(io_service_t i_changerService, UInt64* o_GUIDP);
[[nodiscard]] bool AddChangerDataToList(ChangerData* i_changerDataP);
[[nodiscard]] bool RemoveChangerDataFromList(ChangerData* i_changerDataP);
// Frees an unlisted record with everything it owns: strings (retired ones included), arrays,
// its service references. The notification object and the thread are not touched.
void DisposeChangerData(ChangerData* i_changerDataP);
// Puts a copy of the text (or null) in the field; the old text is retired with the record.
[[nodiscard]] bool ReplaceChangerString(ChangerData* i_changerDataP, ChangerString& io_fieldP, const char* i_textP);

// ---- Lookups. GetChangerData is for callers that hold g_listRWLock; the others lock.

[[nodiscard]] bool GetChangerData(UInt64 i_changerGUID, ChangerData** o_changerDataP) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool GetChangerDataForGUID(UInt64 i_changerGUID, ChangerData** o_changerDataP);
[[nodiscard]] bool GetChangerDataForMountPath(const char* i_changerMountPathP, ChangerData** o_changerDataP);
[[nodiscard]] bool GetChangerDataForDeviceId(const char* i_changerDeviceIdP, ChangerData** o_changerDataP);
[[nodiscard]] bool GetChangerGUIDList(UInt32 i_guidListMaxCount, UInt64* o_guidListP, UInt32* o_guidListCountP);
// True when a listed record has the GUID and its changer is gone (its thread is ending).
[[nodiscard]] bool ChangerGUIDIsLeaving(UInt64 i_changerGUID);
[[nodiscard]] bool AssertAllChangersUnmounted();

// ---- Maintenance mounts

[[nodiscard]] bool ChangerHasMaintenanceMounts(ChangerData* i_changerDataP, bool* o_changerHasMaintenanceMountsP);
[[nodiscard]] bool MaintenanceMountsArePresent(bool* o_changerHasMaintenanceMountsP);

// ---- Options changed by clients (saved to the changer's "Info.plist")

[[nodiscard]] bool RenameChanger(UInt64 i_changerGUID, const char* i_newChangerNameP);
[[nodiscard]] bool SetChangerOptions(UInt64 i_changerGUID, bool i_dontAutoMountFileSystem, bool i_doPassiveMediaProbes);
[[nodiscard]] bool MarkChangerAsUnmounted(UInt64 i_changerGUID);

// ---- Pacing of changer-volume mounts

[[nodiscard]] bool ResetChangerMountTimer();
[[nodiscard]] bool DelayBetweenFSMounts();
