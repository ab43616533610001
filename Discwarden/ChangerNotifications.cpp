#include "ChangerNotifications.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "ChangerThread.h"
#include "LogMessage.h"
#include "MountData.h"
#include "Startup.h"
#include "platform/IOObjectRef.h"

pthread_t g_changerNotificationsThread;
std::atomic<IONotificationPortRef> g_changerNotificationPort{nullptr};
std::atomic<io_iterator_t> g_addedIterator{0};
std::atomic<io_iterator_t> g_mediaAddedIterator{0};

// What StopChangerNotifications needs to end the thread. A thread that ends on its own (a
// failed set-up, its port destroyed on the signal path) detaches itself; one asked to stop is
// joined by whoever asked.
enum ENotificationsThreadState : int {
  notificationsThreadNotStarted,
  notificationsThreadRunning,
  notificationsThreadStopRequested,
  notificationsThreadDetached,
};
static std::atomic<int> g_notificationsThreadState{notificationsThreadNotStarted};
static std::atomic<bool> g_notificationsThreadDone{false};
static std::atomic<CFRunLoopRef> g_notificationsRunLoop{nullptr};

// ================================================================ the notification thread

bool StartChangerNotifications() {
  g_notificationsThreadDone = false;
  g_notificationsRunLoop = nullptr;
  g_notificationsThreadState = notificationsThreadRunning;
  int err = pthread_create(&g_changerNotificationsThread, nullptr, StartChangerNotificationsLoop, nullptr);
  if (err != 0) {
    g_notificationsThreadState = notificationsThreadNotStarted;
    LogMessage("%s: unable to start changer notifications thread (err = %d).\n", __func__, err);
    return false;
  }
  return true;
}

// Registers a publish notification for the class and handles what is already published, which
// also arms the notification.
[[nodiscard]] static bool AddPublishNotification(const char* i_functionP, const char* i_classNameP,
                                   IOServiceMatchingCallback i_callback, std::atomic<io_iterator_t>& o_iterator,
                                   LogText<"s"> i_matchingFailText, LogText<"s x"> i_addFailText) {
  CFMutableDictionaryRef matchingRef = IOServiceMatching(i_classNameP);
  if (matchingRef == nullptr) {
    LogMessage(i_matchingFailText, i_functionP);
    return false;
  }
  io_iterator_t iterator = 0;
  kern_return_t kr = IOServiceAddMatchingNotification(g_changerNotificationPort, kIOPublishNotification, matchingRef,
                                                      i_callback, nullptr, &iterator);
  if (kr != KERN_SUCCESS) {
    LogMessage(i_addFailText, i_functionP, kr);
    return false;
  }
  o_iterator = iterator;
  i_callback(nullptr, iterator);
  return true;
}

static void ReleaseReturningChangers();

static void* EndNotificationsThread() {
  ReleaseReturningChangers();
  int running = notificationsThreadRunning;
  if (g_notificationsThreadState.compare_exchange_strong(running, notificationsThreadDetached))
    pthread_detach(pthread_self());
  g_notificationsThreadDone = true;
  return nullptr;
}

void* StartChangerNotificationsLoop(void* /*i_argP*/) {
  IONotificationPortRef portRef = IONotificationPortCreate(kIOMasterPortDefault);
  if (portRef == nullptr) {
    LogMessage("%s: unable able to create an IONotificationPort.\n", __func__);
    return EndNotificationsThread();
  }
  g_changerNotificationPort = portRef;
  CFRunLoopSourceRef sourceRef = IONotificationPortGetRunLoopSource(portRef);
  if (sourceRef == nullptr) {
    LogMessage("%s: unable to get the CFRunLoopSource.\n", __func__);
    return EndNotificationsThread();
  }
  CFRunLoopRef runLoopRef = CFRunLoopGetCurrent();
  if (runLoopRef == nullptr) {
    LogMessage("%s: unable to get the run loop for the current thread.\n", __func__);
    return EndNotificationsThread();
  }
  // Retained for StopChangerNotifications, which may still stop it as this thread ends.
  CFRetain(runLoopRef);
  g_notificationsRunLoop = runLoopRef;
  CFRunLoopAddSource(runLoopRef, sourceRef, kCFRunLoopDefaultMode);

  if (!AddPublishNotification(__func__, k_changerRoboticsClass, NewChangersAdded, g_addedIterator,
                              "%s: unable to generate matching dictionary for TavrinChangerRoboticsDevice.\n",
                              "%s: unable to add matching notifications (err = %x).\n"))
    return EndNotificationsThread();
  if (!AddPublishNotification(__func__, k_mediaBSDClientClass, NewMediaAdded, g_mediaAddedIterator,
                              "%s: unable to generate matching dictionary for IOMediaBSDClient.\n",
                              "%s: unable to add media matching notifications (err = %x).\n"))
    return EndNotificationsThread();

  CFRunLoopRun();
  return EndNotificationsThread();
}

// Robotics services published while their GUID's old record is still leaving (a changer
// unplugged and plugged in again within a moment). Retained; only the notification thread
// touches them, and a timer on its run loop retries them until the old record has gone.
static std::vector<io_service_t> g_returningChangers;
static CFRunLoopTimerRef g_returningChangersTimer = nullptr;
static constexpr CFTimeInterval k_returningChangerRetryInterval = 1.0;

static void RetryReturningChangers(CFRunLoopTimerRef i_timerRef, void* i_infoP);

// A new record and thread for the service, its interest notification registered. Failures
// are logged as the publish pass's own.
static void AddNewChanger(io_service_t i_service) {
  ChangerData* changerDataP = nullptr;
  if (!CreateNewChangerData(i_service, &changerDataP)) {
    LogMessage("%s: unable to allocate changer data.\n", "NewChangersAdded");
    return;
  }
  if (!CreateChangerThread(changerDataP)) {
    LogMessage("%s: unable to run changer thread.\n", "NewChangersAdded");
    // Without a thread nobody would ever remove the record, and its GUID would stay taken.
    if (RemoveChangerDataFromList(changerDataP)) DisposeChangerData(changerDataP);
    return;
  }
  io_object_t notification = 0;
  kern_return_t kr = IOServiceAddInterestNotification(g_changerNotificationPort, i_service, kIOGeneralInterest,
                                                      ChangerNotification, changerDataP, &notification);
  if (kr != KERN_SUCCESS) {
    LogMessage("%s: unable to add interest notification for new changer (err = %d).\n", "NewChangersAdded", kr);
    // Mostly a changer unplugged while it was being set up. Nothing could ever tell its thread
    // that it went, and its GUID would stay taken: the thread ends now and takes the record.
    changerDataP->m_shouldTerminate = true;
    return;
  }
  changerDataP->m_changerNotification = notification;
}

// True when the service's GUID belongs to a record that is leaving. Quiet: an unreadable GUID
// is reported by the record's creation.
[[nodiscard]] static bool IsReturningChanger(io_service_t i_service, UInt64* o_changerGUIDP) {
  *o_changerGUIDP = 0;
  CFRef<CFTypeRef> GUIDRef(CopyDriverProperty(i_service, CFSTR(k_GUIDProp)));
  return GUIDRef && GetDriverUInt64(GUIDRef.get(), o_changerGUIDP) && ChangerGUIDIsLeaving(*o_changerGUIDP);
}

static void KeepReturningChanger(io_service_t i_service) {
  IOObjectRetain(i_service);
  g_returningChangers.push_back(i_service);
  if (g_returningChangersTimer != nullptr) return;
  g_returningChangersTimer =
      CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + k_returningChangerRetryInterval,
                           k_returningChangerRetryInterval, 0, 0, RetryReturningChangers, nullptr);
  if (g_returningChangersTimer == nullptr) {
    LogMessage("%s: unable to create the timer for returning changers.\n", __func__);
    return;
  }
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), g_returningChangersTimer, kCFRunLoopDefaultMode);
}

static void ReleaseReturningChangers() {
  if (g_returningChangersTimer != nullptr) {
    CFRunLoopTimerInvalidate(g_returningChangersTimer);
    CFRelease(g_returningChangersTimer);
    g_returningChangersTimer = nullptr;
  }
  for (io_service_t service : g_returningChangers) IOObjectRelease(service);
  g_returningChangers.clear();
}

static void RetryReturningChangers(CFRunLoopTimerRef /*i_timerRef*/, void* /*i_infoP*/) {
  std::vector<io_service_t> services;
  services.swap(g_returningChangers);
  for (io_service_t service : services) {
    UInt64 changerGUID = 0;
    if (IsReturningChanger(service, &changerGUID)) {
      g_returningChangers.push_back(service);
      continue;
    }
    AddNewChanger(service);
    IOObjectRelease(service);
  }
  if (g_returningChangers.empty() && g_returningChangersTimer != nullptr) {
    CFRunLoopTimerInvalidate(g_returningChangersTimer);
    CFRelease(g_returningChangersTimer);
    g_returningChangersTimer = nullptr;
  }
}

void NewChangersAdded(void* /*i_refCon*/, io_iterator_t i_changerIterator) {
  if (!IOIteratorIsValid(i_changerIterator)) {
    LogMessage("%s: iterator of changers is invalid.\n", __func__);
    return;
  }
  // A changer that cannot be set up is passed over and the pass goes on: the notification is
  // armed again only once the iterator is drained, so stopping here would hide every changer
  // published later.
  for (io_service_t service; (service = IOIteratorNext(i_changerIterator)) != 0;) {
    IOObjectRef serviceRef(service);
    // Refused now, a changer plugged in again before its old thread has ended would never come
    // back: no second publish follows.
    UInt64 changerGUID = 0;
    if (IsReturningChanger(service, &changerGUID)) {
      LogMessage("%s: changer %016llX is still leaving; it is added once its thread has ended.\n", __func__,
                 static_cast<unsigned long long>(changerGUID));
      KeepReturningChanger(service);
      continue;
    }
    AddNewChanger(service);
  }
}

void ChangerNotification(void* i_refCon, io_service_t /*changerService*/, natural_t i_messageType,
                         void* /*i_messageArgument*/) {
  ChangerData* changerDataP = static_cast<ChangerData*>(i_refCon);
  switch (i_messageType) {
    case k_changerTerminatedMessage:
      if (IOObjectRelease(changerDataP->m_changerNotification) != KERN_SUCCESS) {
        LogMessage("%s: unable to release changer notification object.\n", __func__);
        break;
      }
      changerDataP->m_changerNotification = 0;
      // From here on the changer thread may free the record at any moment.
      changerDataP->m_shouldTerminate = true;
      break;
    case k_storageElemsChangedMessage:
      changerDataP->m_shouldCheckForChangedStorageElems = true;
      break;
    default:
      break;
  }
}

void NewMediaAdded(void* /*i_refCon*/, io_iterator_t i_mediaIterator) {
  if (!IOIteratorIsValid(i_mediaIterator)) {
    LogMessage("%s: iterator of media is invalid.\n", __func__);
    return;
  }
  for (io_object_t media; (media = IOIteratorNext(i_mediaIterator)) != 0;) {
    IOObjectRef mediaRef(media);
    CFRef<CFTypeRef> storageElemRef(SearchParentsForProp(media, CFSTR(k_storageElemAddressProp)));
    if (!storageElemRef) continue;  // not a changer's disc
    UInt16 storageElem = 0;
    if (!GetDriverUInt16(storageElemRef.get(), &storageElem)) {
      LogMessage("%s: unable to get the storage element property as a UInt16.\n", __func__);
      continue;
    }
    CFRef<CFTypeRef> BSDNameRef(SearchParentsForProp(media, CFSTR(k_BSDNameProp)));
    if (!BSDNameRef) {
      LogMessage("%s: unable to find BSD name for media in storage elem %d.\n", __func__, storageElem);
      continue;
    }
    char* BSDNameP = CFGetTypeID(BSDNameRef.get()) == CFStringGetTypeID()
                         ? AllocCStringFromCFString(static_cast<CFStringRef>(BSDNameRef.get()), kCFStringEncodingUTF8)
                         : nullptr;
    if (BSDNameP == nullptr) {
      LogMessage("%s: unable to allocate a string for the BSD name for media in storage elem %d.\n", __func__,
                 storageElem);
      continue;
    }
    free(BSDNameP);
    CFRef<CFTypeRef> GUIDRef(SearchParentsForProp(media, CFSTR(k_GUIDProp)));
    if (!GUIDRef) {
      LogMessage("%s: unable to find changer GUID for media in storage elem %d.\n", __func__, storageElem);
      continue;
    }
    UInt64 changerGUID = 0;
    if (!GetDriverUInt64(GUIDRef.get(), &changerGUID)) {
      LogMessage("%s: unable to get the changer GUID property as a UInt64 for media in storage elem %d.\n", __func__,
                 storageElem);
      continue;
    }
    if (!IncrementIOKitDetectedMediaCount(changerGUID, storageElem))
      LogMessage("%s: unable to increment the count of IOKit detected media for changer %llX/storage element %d.\n",
                 __func__, static_cast<unsigned long long>(changerGUID), storageElem);
  }
}

CFTypeRef SearchParentsForProp(io_registry_entry_t i_service, CFStringRef i_propNameRef) {
  CFTypeRef valueRef = CopyDriverProperty(i_service, i_propNameRef);
  if (valueRef != nullptr) return valueRef;
  io_iterator_t iterator = 0;
  kern_return_t kr = IORegistryEntryCreateIterator(i_service, kIOServicePlane,
                                                   kIORegistryIterateRecursively | kIORegistryIterateParents, &iterator);
  if (kr != KERN_SUCCESS) {
    LogMessage("%s: unable to create an iterator (err = %x).\n", __func__, kr);
    return nullptr;
  }
  IOObjectRef iteratorRef(iterator);
  for (io_registry_entry_t parent; (parent = IOIteratorNext(iterator)) != 0;) {
    IOObjectRef parentRef(parent);
    valueRef = CopyDriverProperty(parent, i_propNameRef);
    if (valueRef != nullptr) return valueRef;
  }
  return nullptr;
}

void TearDownChangerNotifications() {
  if (IONotificationPortRef portRef = g_changerNotificationPort.exchange(nullptr)) IONotificationPortDestroy(portRef);
  if (io_iterator_t iterator = g_addedIterator.exchange(0)) IOObjectRelease(iterator);
  if (io_iterator_t iterator = g_mediaAddedIterator.exchange(0)) IOObjectRelease(iterator);
}

void CleanupChangerNotifications() {
  TearDownChangerNotifications();
  ExitDaemon();
}

void StopChangerNotifications() {
  int running = notificationsThreadRunning;
  if (!g_notificationsThreadState.compare_exchange_strong(running, notificationsThreadStopRequested)) {
    // Never started, or it ended and detached itself: only the tear-down is left.
    if (running == notificationsThreadDetached) {
      if (CFRunLoopRef runLoopRef = g_notificationsRunLoop.exchange(nullptr)) CFRelease(runLoopRef);
      TearDownChangerNotifications();
    }
    g_notificationsThreadState = notificationsThreadNotStarted;
    return;
  }
  // A stop sent before the loop runs ends its first run at once.
  while (!g_notificationsThreadDone) {
    if (CFRunLoopRef runLoopRef = g_notificationsRunLoop) CFRunLoopStop(runLoopRef);
    usleep(1000);
  }
  pthread_join(g_changerNotificationsThread, nullptr);
  if (CFRunLoopRef runLoopRef = g_notificationsRunLoop.exchange(nullptr)) CFRelease(runLoopRef);
  TearDownChangerNotifications();
  g_notificationsThreadState = notificationsThreadNotStarted;
}

bool CreateChangerThread(ChangerData* i_changerDataP) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  // Nobody joins a changer thread: it frees its own record and ends.
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  ++g_changerThreadCount;
  pthread_t thread;
  int err = pthread_create(&thread, &attributes, RunChangerThread, i_changerDataP);
  pthread_attr_destroy(&attributes);
  if (err != 0) {
    --g_changerThreadCount;
    LogMessage("%s: unable to start changer thread (err = %d).\n", __func__, err);
    return false;
  }
  i_changerDataP->m_changerThread = thread;
  return true;
}

// ================================================================ initialisation steps

bool PrecacheChangerInfo(ChangerData* i_changerDataP) {
  CFRef<CFTypeRef> assignmentsRef(
      CopyDriverProperty(i_changerDataP->m_changerRoboticsService, CFSTR(k_elementAddressAssignmentsProp)));
  if (!assignmentsRef || CFGetTypeID(assignmentsRef.get()) != CFDictionaryGetTypeID()) {
    LogMessage("%s: unable to get element address assignment dictionary.\n", __func__);
    return false;
  }
  CFDictionaryRef assignmentsDictRef = static_cast<CFDictionaryRef>(assignmentsRef.get());
  CFTypeRef countRef = CFDictionaryGetValue(assignmentsDictRef, CFSTR(k_numberOfStorageElemsProp));
  if (countRef == nullptr) {
    LogMessage("%s: unable to get count of storage elements.\n", __func__);
    return false;
  }
  UInt16 storageElemCount = 0;
  if (!GetDriverUInt16(countRef, &storageElemCount)) {
    LogMessage("%s: unable to get value in storage element count number.\n", __func__);
    return false;
  }
  i_changerDataP->m_changerStorageElemCount = storageElemCount;
  countRef = CFDictionaryGetValue(assignmentsDictRef, CFSTR(k_numberOfDataTransferElemsProp));
  if (countRef == nullptr) {
    LogMessage("%s: unable to get count of data transfer elements.\n", __func__);
    return false;
  }
  UInt16 dataTransferElemCount = 0;
  if (!GetDriverUInt16(countRef, &dataTransferElemCount)) {
    LogMessage("%s: unable to get value in data transfer element count number.\n", __func__);
    return false;
  }
  i_changerDataP->m_changerDataTransferElemCount = dataTransferElemCount;
  return true;
}

bool LookForServicesByClassAndGUID(const char* i_classNameP, UInt64 i_guid, io_iterator_t* o_serviceIteratorP) {
  *o_serviceIteratorP = 0;
  CFRef<CFMutableDictionaryRef> matchingRef(IOServiceMatching(i_classNameP));
  if (!matchingRef) {
    LogMessage("%s: unable to generate matching dictionary for class %s.\n", __func__, i_classNameP);
    return false;
  }
  SInt64 guid = static_cast<SInt64>(i_guid);
  CFRef<CFNumberRef> GUIDRef(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &guid));
  if (!GUIDRef) {
    LogMessage("%s: unable to build GUID property.\n", __func__);
    return false;
  }
  CFDictionarySetValue(matchingRef.get(), CFSTR(k_GUIDProp), GUIDRef.get());
  mach_port_t masterPort = MACH_PORT_NULL;
  if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS || masterPort == MACH_PORT_NULL) {
    LogMessage("%s: unable to get IOKit master port.\n", __func__);
    return false;
  }
  io_iterator_t iterator = 0;
  kern_return_t kr = IOServiceGetMatchingServices(masterPort, matchingRef.release(), &iterator);
  if (kr != KERN_SUCCESS || iterator == 0) {
    if (iterator != 0) IOObjectRelease(iterator);
    return false;
  }
  *o_serviceIteratorP = iterator;
  return true;
}

bool LookForChangerBlockSwitchService(ChangerData* i_changerDataP) {
  io_iterator_t iterator = 0;
  if (!LookForServicesByClassAndGUID(k_changerBlockSwitchClass, i_changerDataP->m_changerGUID, &iterator))
    return false;
  IOObjectRef iteratorRef(iterator);
  IOObjectRef blockSwitchRef(IOIteratorNext(iterator));
  if (!blockSwitchRef) return false;
  IOObjectRef secondRef(IOIteratorNext(iterator));
  if (secondRef) {
    LogMessage("%s: two block switch services with identical GUIDs were found!\n", __func__);
    return false;
  }
  // A retry finds the same service again; the record keeps the one it has, so that other
  // threads reading the field never see it change.
  if (i_changerDataP->m_changerBlockSwitchService == 0)
    i_changerDataP->m_changerBlockSwitchService = blockSwitchRef.release();
  return true;
}

bool CheckForWriterDataTransferElem(io_service_t i_dataTransferElemService, bool* o_isWriterP) {
  *o_isWriterP = false;
  CFRef<CFTypeRef> featuresRef(CopyDriverProperty(i_dataTransferElemService, CFSTR(k_DVDFeaturesProp)));
  if (!featuresRef) {
    LogMessage("%s: unable to get DVD Features IOKit property from the data transfer element.\n", __func__);
    return false;
  }
  UInt32 features = 0;
  if (!GetDriverUInt32(featuresRef.get(), &features)) {
    LogMessage("%s: unable to get the DVD features as a UInt32.\n", __func__);
    return false;
  }
  *o_isWriterP = (features & k_writerDVDFeature) != 0;
  return true;
}

bool LookForChangerDataTransferElemServices(ChangerData* i_changerDataP) {
  i_changerDataP->m_isChangerWriter = false;
  io_iterator_t iterator = 0;
  if (!LookForServicesByClassAndGUID(k_changerDataTransferElemClass, i_changerDataP->m_changerGUID, &iterator))
    return false;
  IOObjectRef iteratorRef(iterator);
  UInt32 dataTransferElemCount = 0;
  for (io_service_t service; (service = IOIteratorNext(iterator)) != 0;) {
    IOObjectRef serviceRef(service);
    bool isWriter = false;
    if (!CheckForWriterDataTransferElem(service, &isWriter)) {
      LogMessage("%s: unable to check if data transfer element is a writer.\n", __func__);
      return false;
    }
    if (isWriter) i_changerDataP->m_isChangerWriter = true;
    ++dataTransferElemCount;
  }
  // Fewer drives than the changer reports: the driver has not published them all yet.
  return dataTransferElemCount == i_changerDataP->m_changerDataTransferElemCount;
}

bool LookForChangerServices(ChangerData* i_changerDataP) {
  return LookForChangerBlockSwitchService(i_changerDataP) && LookForChangerDataTransferElemServices(i_changerDataP);
}

bool LookForChangerBSDService(ChangerData* i_changerDataP) {
  io_iterator_t iterator = 0;
  if (!LookForServicesByClassAndGUID(k_changerMediaClass, i_changerDataP->m_changerGUID, &iterator)) return false;
  IOObjectRef iteratorRef(iterator);
  IOObjectRef mediaRef(IOIteratorNext(iterator));
  if (!mediaRef) return false;
  IOObjectRef secondRef(IOIteratorNext(iterator));
  if (secondRef) {
    LogMessage("%s: two TavrinChangerMedia services with identical GUIDs were found!\n", __func__);
    return false;
  }
  CFRef<CFTypeRef> BSDNameRef(CopyDriverProperty(mediaRef.get(), CFSTR(k_BSDNameProp)));
  if (!BSDNameRef || CFGetTypeID(BSDNameRef.get()) != CFStringGetTypeID()) {
    LogMessage("%s: unable to get BSD name property from robotics service.\n", __func__);
    return false;
  }
  char* BSDNameP = AllocCStringFromCFString(static_cast<CFStringRef>(BSDNameRef.get()), kCFStringEncodingASCII);
  if (BSDNameP == nullptr || !ReplaceChangerString(i_changerDataP, i_changerDataP->m_deviceIdP, BSDNameP)) {
    LogMessage("%s: unable to get an ASCII-encoding string for the changer's BSD name.\n", __func__);
    free(BSDNameP);
    return false;
  }
  free(BSDNameP);
  return true;
}

bool DetermineChangerType(ChangerData* i_changerDataP) {
  bool hasOneDrive = i_changerDataP->m_changerDataTransferElemCount == 1;
  const char* changerTypeP = i_changerDataP->m_isChangerWriter
                                 ? (hasOneDrive ? k_singleWriterChangerType : k_multipleWriterChangerType)
                                 : (hasOneDrive ? k_singleReaderChangerType : k_multipleReaderChangerType);
  // Retried while the record is listed: the old text stays readable until the record is freed,
  // and a retry that finds the same model keeps the text it has rather than retire one more.
  const char* currentP = i_changerDataP->m_changerTypeP;
  if (currentP != nullptr && strcmp(currentP, changerTypeP) == 0) return true;
  if (!ReplaceChangerString(i_changerDataP, i_changerDataP->m_changerTypeP, changerTypeP)) {
    LogMessage("%s: unable to allocate the changer type string.\n", __func__);
    return false;
  }
  return true;
}

bool InitializeChanger(ChangerData* i_changerDataP) {
  if (!DetermineChangerType(i_changerDataP)) {
    LogMessage("%s: unable to determine changer type.\n", __func__);
    return false;
  }
  SInt32 dontMountMedia = k_dontMountMedia;
  CFRef<CFNumberRef> dontMountMediaRef(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &dontMountMedia));
  if (!dontMountMediaRef) {
    LogMessage("%s: unable to create a CFNumberRef for dontMountMedia value.\n", __func__);
    return false;
  }
  kern_return_t kr = SetDriverRequest(i_changerDataP->m_changerBlockSwitchService,
                                      CFSTR(k_storageElemMountRequestProp), dontMountMediaRef.get());
  if (kr != KERN_SUCCESS) {
    LogMessage("%s: unable to do one-time initialization (err = %X).\n", __func__, kr);
    return false;
  }
  return true;
}

bool SetChangerInfo(ChangerData* i_changerDataP) {
  if (i_changerDataP->m_changerNameP.load() != nullptr) return true;
  if (!ReplaceChangerString(i_changerDataP, i_changerDataP->m_changerNameP, i_changerDataP->m_changerTypeP)) {
    LogMessage("%s: unable to allocate changer name.\n", __func__);
    return true;
  }
  if (!SavePersistantChangerInfo(i_changerDataP)) LogMessage("%s: unable to save persistant changer info.\n", __func__);
  return true;
}

// ================================================================ direct requests

bool ForceEjectDisc(ChangerData* i_changerDataP, UInt16 i_storageElem) {
  CFRef<CFNumberRef> storageElemRef(CreateStorageElemNumber(i_storageElem));
  if (!storageElemRef) {
    LogMessage("%s: unable to create a CFNumber for the storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  kern_return_t kr = SetDriverRequest(i_changerDataP->m_changerBlockSwitchService,
                                      CFSTR(k_storageElemForceEjectRequestProp), storageElemRef.get());
  if (kr != KERN_SUCCESS) {
    LogMessage("%s: unable to force media ejection from storage element %d (err = %X).\n", __func__, i_storageElem,
               kr);
    return false;
  }
  return true;
}
