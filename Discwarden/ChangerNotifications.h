// ChangerNotifications: discovery of changers and their initialisation steps. One thread owns
// the IOKit notification port (`g_changerNotificationPort`) and runs every callback: published
// robotics services become records with a changer thread, interest messages set a record's
// terminate and re-scan flags, new disc media objects are counted for their pending mount. The
// initialisation steps below run on each changer's own thread (ChangerThread.h).
#pragma once
#include <pthread.h>

#include <atomic>

#include "ChangerData.h"
#include "platform/CoreFoundation.h"
#include "platform/IOKit.h"

// Model names, by writer capability and whether the changer has exactly one drive.
#define k_singleReaderChangerType "Brennix D40S"
#define k_multipleReaderChangerType "Brennix D40"
#define k_singleWriterChangerType "Brennix E40S"
#define k_multipleWriterChangerType "Brennix E40"

extern pthread_t g_changerNotificationsThread;
extern std::atomic<IONotificationPortRef> g_changerNotificationPort;
extern std::atomic<io_iterator_t> g_addedIterator;
extern std::atomic<io_iterator_t> g_mediaAddedIterator;

// ---- The notification thread

[[nodiscard]] bool StartChangerNotifications();
void* StartChangerNotificationsLoop(void* i_argP);
void NewChangersAdded(void* i_refCon, io_iterator_t i_changerIterator);
void ChangerNotification(void* i_refCon, io_service_t changerService, natural_t i_messageType,
                         void* i_messageArgument);
void NewMediaAdded(void* i_refCon, io_iterator_t i_mediaIterator);
// The property of the service, else of its nearest ancestor in the service plane that has it;
// a new reference, or null.
CFTypeRef SearchParentsForProp(io_registry_entry_t i_service, CFStringRef i_propNameRef);
// The signal path: tears the notifications down and ends the process with status 0, leaving
// the changer threads as they are.
[[noreturn]] void CleanupChangerNotifications();
// Destroys the port and releases both iterators; no callback of this module runs afterwards.
void TearDownChangerNotifications();
// Ends the notification thread, waits for it, then tears the notifications down.
void StopChangerNotifications();
[[nodiscard]] bool CreateChangerThread(ChangerData* i_changerDataP);

// ---- Initialisation steps (the changer thread repeats a failing one)

[[nodiscard]] bool PrecacheChangerInfo(ChangerData* i_changerDataP);
[[nodiscard]] bool LookForServicesByClassAndGUID(const char* i_classNameP, UInt64 i_guid, io_iterator_t* o_serviceIteratorP);
[[nodiscard]] bool LookForChangerBlockSwitchService(ChangerData* i_changerDataP);
[[nodiscard]] bool CheckForWriterDataTransferElem(io_service_t i_dataTransferElemService, bool* o_isWriterP);
[[nodiscard]] bool LookForChangerDataTransferElemServices(ChangerData* i_changerDataP);
[[nodiscard]] bool LookForChangerServices(ChangerData* i_changerDataP);
[[nodiscard]] bool LookForChangerBSDService(ChangerData* i_changerDataP);
[[nodiscard]] bool DetermineChangerType(ChangerData* i_changerDataP);
[[nodiscard]] bool InitializeChanger(ChangerData* i_changerDataP);
[[nodiscard]] bool SetChangerInfo(ChangerData* i_changerDataP);

// ---- Direct requests

[[nodiscard]] bool ForceEjectDisc(ChangerData* i_changerDataP, UInt16 i_storageElem);
