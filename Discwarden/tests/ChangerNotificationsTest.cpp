// Discovery of changers against the simulated host: records, threads, model names, the retried
// initialisation steps with their messages, unplugging, interest messages and new media.
#include <gtest/gtest.h>

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "DiscoveryFixture.h"
#include "platform/IOObjectRef.h"

namespace discwarden::test {
namespace {

using ChangerNotificationsTest = DiscoveryFixture;

TEST_F(ChangerNotificationsTest, ChangersPresentAndPluggedLaterGetTheirModelName) {
  struct Case {
    UInt64 guid;
    std::vector<int32_t> dvdFeatures;
    bool plugBeforeStart;
    const char* modelName;
  } cases[] = {
      {0xA1, {0x8}, true, "Brennix E40S"},
      {0xA2, {0x0, 0x0}, true, "Brennix D40"},
      {0xA3, {0x0}, true, "Brennix D40S"},
      {0xA4, {0x0, 0x8}, false, "Brennix E40"},
      {0xA5, {}, false, "Brennix D40"},
      {0xA6, {0x17}, false, "Brennix D40S"},
      {0xA7, {0x0, 0x0, 0x18}, false, "Brennix E40"},
  };
  for (const Case& c : cases)
    if (c.plugBeforeStart) Plug(ChangerWith(c.guid, 4, c.dvdFeatures));
  StartDiscovery();
  for (const Case& c : cases)
    if (!c.plugBeforeStart) Plug(ChangerWith(c.guid, 4, c.dvdFeatures));

  for (const Case& c : cases) {
    SCOPED_TRACE(c.modelName);
    ASSERT_TRUE(WaitForState(c.guid, changerStateIdle));
    ChangerData* changerDataP = Record(c.guid);
    EXPECT_STREQ(changerDataP->m_changerTypeP, c.modelName);
    EXPECT_STREQ(changerDataP->m_changerNameP.load(), c.modelName);
    EXPECT_EQ(changerDataP->m_changerStorageElemCount, 4);
    EXPECT_EQ(changerDataP->m_changerDataTransferElemCount, c.dvdFeatures.size());
    EXPECT_NE(changerDataP->m_changerBlockSwitchService, 0u);
    EXPECT_NE(ReadFile(ChangerDir(c.guid) + "/Info.plist").find("<string>" + std::string(c.modelName) + "</string>"),
              std::string::npos);
  }
  EXPECT_EQ(g_changerThreadCount, 7);
  EXPECT_EQ(CountOf("RunChangerThread: starting changer thread.\n"), 7u);
  UInt64 idleGUIDs[8];
  UInt32 idleCount = 0;
  ASSERT_TRUE(GetChangerGUIDList(8, idleGUIDs, &idleCount));
  EXPECT_EQ(idleCount, 7u);
}

TEST_F(ChangerNotificationsTest, FewerDrivesThanCountedKeepTheChangerLookingForServices) {
  simhost::ChangerSpec spec = ChangerWith(0xB1, 4, {0x0, 0x8});
  SetKnob(spec.knobs, "drive-delay", simhost::cf::Double(40).get());
  Plug(std::move(spec));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xB1, changerStateLookingForServices));
  double stuckUntil = platform::clock::Now() + 30;
  EXPECT_FALSE(WaitUntil([] { return StateOf(0xB1) != static_cast<int>(changerStateLookingForServices); }, 30));
  EXPECT_GE(platform::clock::Now(), stuckUntil);
  ASSERT_TRUE(WaitForState(0xB1, changerStateIdle, 120));
  EXPECT_STREQ(Record(0xB1)->m_changerTypeP, "Brennix E40");
  // Waiting for drives is not a failure: nothing is logged for it.
  EXPECT_EQ(LinesFrom({"LookForChangerServices", "LookForChangerDataTransferElemServices",
                       "LookForChangerBlockSwitchService", "LookForServicesByClassAndGUID"}),
            std::vector<std::string>{});
}

TEST_F(ChangerNotificationsTest, BadDriverPropertiesTakeTheFailurePathOnEveryRetry) {
  struct Case {
    const char* name;
    const char* knob;
    const char* properties;
    int stuckState;  // -1: no record
    std::vector<std::string> lines;  // one attempt's lines, repeated on every retry
  } cases[] = {
      {"GUID as a string", "mistype-properties", "GUID", -1,
       {"GetGUIDFromService: unable to get value of changer GUID number.\n",
        "CreateNewChangerData: unable to get changer GUID from robotics service.\n",
        "NewChangersAdded: unable to allocate changer data.\n"}},
      {"GUID missing", "omit-properties", "GUID", -1,
       {"GetGUIDFromService: unable top get GUID property from service.\n",
        "CreateNewChangerData: unable to get changer GUID from robotics service.\n",
        "NewChangersAdded: unable to allocate changer data.\n"}},
      {"counts not a dictionary", "mistype-properties", "Element Address Assignments",
       changerStatePrecachingChangerInfo, {"PrecacheChangerInfo: unable to get element address assignment dictionary.\n"}},
      {"slot count absent", "omit-properties", "Number Of Storage Elements", changerStatePrecachingChangerInfo,
       {"PrecacheChangerInfo: unable to get count of storage elements.\n"}},
      {"drive count absent", "omit-properties", "Number Of Data Transfer Elements", changerStatePrecachingChangerInfo,
       {"PrecacheChangerInfo: unable to get count of data transfer elements.\n"}},
      {"DVD Features not a number", "mistype-properties", "DVD Features", changerStateLookingForServices,
       {"CheckForWriterDataTransferElem: unable to get the DVD features as a UInt32.\n",
        "LookForChangerDataTransferElemServices: unable to check if data transfer element is a writer.\n"}},
      {"DVD Features missing", "omit-properties", "DVD Features", changerStateLookingForServices,
       {"CheckForWriterDataTransferElem: unable to get DVD Features IOKit property from the data transfer element.\n",
        "LookForChangerDataTransferElemServices: unable to check if data transfer element is a writer.\n"}},
      {"two block switches", "duplicate-block-switch", nullptr, changerStateLookingForServices,
       {"LookForChangerBlockSwitchService: two block switch services with identical GUIDs were found!\n"}},
      {"reset refused", "refuse-reset", nullptr, changerStateInitializingChanger,
       {"InitializeChanger: unable to do one-time initialization (err = E00002BC).\n"}},
  };
  UInt64 guid = 0xC0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A changer of its own for each case: the one before stops retrying.
    TearDown();
    SetUp();
    StartDiscovery();
    simhost::ChangerSpec spec = ChangerWith(++guid, 2, {0x0});
    SetKnob(spec.knobs, c.knob, c.properties ? CFTypeRef(simhost::cf::Str(c.properties).get()) : kCFBooleanTrue);
    Plug(std::move(spec));
    if (c.stuckState < 0) {
      ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= c.lines.size(); }));
      EXPECT_EQ(LogLines(), c.lines);
      EXPECT_EQ(Record(guid), nullptr);
      continue;
    }
    // Three attempts, five seconds apart, each with the same messages.
    ASSERT_TRUE(WaitUntil([&] { return CountOf(c.lines.front()) >= 3; }));
    EXPECT_EQ(StateOf(guid), c.stuckState);
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "RunChangerThread: starting changer thread.\n");
    lines.erase(lines.begin());
    std::vector<std::string> expected;
    while (expected.size() < lines.size()) expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.resize(lines.size());
    EXPECT_EQ(lines, expected);
  }
}

// A retried initialisation names the changer again while clients may be reading the type.
TEST_F(ChangerNotificationsTest, ATypeReadBeforeARetryStaysReadable) {
  ChangerData* changerDataP = new ChangerData{};
  changerDataP->m_changerDataTransferElemCount = 2;
  ASSERT_TRUE(DetermineChangerType(changerDataP));
  const char* firstP = changerDataP->m_changerTypeP;
  ASSERT_STREQ(firstP, "Brennix D40");
  changerDataP->m_isChangerWriter = true;
  ASSERT_TRUE(DetermineChangerType(changerDataP));
  const char* secondP = changerDataP->m_changerTypeP;
  EXPECT_STREQ(secondP, "Brennix E40");
  EXPECT_STREQ(firstP, "Brennix D40");
  DisposeChangerData(changerDataP);
}

TEST_F(ChangerNotificationsTest, ASecondServiceWithTheSameGUIDIsRefusedAndLaterChangersAreStillFound) {
  Plug(ChangerWith(0xD1, 2, {0x0}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xD1, changerStateIdle));
  ChangerData* firstP = Record(0xD1);
  m_capture->Clear();

  simhost::Registry& registry = m_host->registry();
  auto properties = simhost::cf::Dict();
  simhost::cf::Set(properties.get(), "GUID", static_cast<int64_t>(0xD1));
  simhost::ServiceId twin = registry.Create(simhost::cls::kRobotics, registry.Root(), properties.get(), nullptr);
  registry.Publish(twin);
  ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= 3; }));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "AddChangerDataToList: changer is already in the list!",
                            "CreateNewChangerData: unable to add changer to the global list of changers.\n",
                            "NewChangersAdded: unable to allocate changer data.\n",
                        }));
  EXPECT_EQ(Record(0xD1), firstP);

  Plug(ChangerWith(0xD2, 2, {0x8}));
  ASSERT_TRUE(WaitForState(0xD2, changerStateIdle));
  EXPECT_EQ(g_changerThreadCount, 2);
}

TEST_F(ChangerNotificationsTest, UnpluggingEndsTheThreadAndRemovesTheRecord) {
  Plug(ChangerWith(0xE1, 3, {0x0}, {{0, DiscNamed("Photos")}}));
  Plug(ChangerWith(0xE2, 3, {0x0}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xE1, changerStateIdle));
  ASSERT_TRUE(WaitForState(0xE2, changerStateIdle));
  m_capture->Clear();

  m_host->FindChanger(0xE1)->Unplug();
  ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 1; }, 10));
  EXPECT_EQ(Record(0xE1), nullptr);
  EXPECT_EQ(StateOf(0xE2), static_cast<int>(changerStateIdle));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"RunChangerThread: changer thread ended.\n"});

  // Plugged in again, it is a new changer with a new record and thread.
  m_host->FindChanger(0xE1)->Plug();
  ASSERT_TRUE(WaitForState(0xE1, changerStateIdle));
  EXPECT_EQ(g_changerThreadCount, 2);
}

// Published again while its old record is still listed: the new service waits for the old
// thread to end, then becomes a changer of its own.
TEST_F(ChangerNotificationsTest, AChangerRepluggedAtOnceComesBack) {
  struct Case {
    const char* name;
    UInt64 guid;
    std::function<void(simhost::Changer&)> replug;
  } cases[] = {
      {"plugged in the same moment", 0xE6, [](simhost::Changer& i_changer) { i_changer.Plug(); }},
      {"host replug without delay", 0xE7, [](simhost::Changer& i_changer) { i_changer.ReplugAfter(0); }},
  };
  StartDiscovery();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Plug(ChangerWith(c.guid, 2, {0x0}));
    ASSERT_TRUE(WaitForState(c.guid, changerStateIdle));
    io_service_t oldService = Record(c.guid)->m_changerRoboticsService;
    int threads = g_changerThreadCount;
    m_capture->Clear();

    char waiting[128];
    snprintf(waiting, sizeof waiting,
             "NewChangersAdded: changer %016llX is still leaving; it is added once its thread has ended.\n",
             static_cast<unsigned long long>(c.guid));
    simhost::Changer& changer = *m_host->FindChanger(c.guid);
    {
      // Read-locked, the list keeps the old record until the new service has been seen.
      ScopedRWLock lock(g_listRWLock, "test", "%s: (err = %d).\n");
      ASSERT_TRUE(lock.ReadLock("%s: (err = %d).\n"));
      changer.Unplug();
      c.replug(changer);
      ASSERT_TRUE(WaitUntil([&] { return CountOf(waiting) == 1; }, 10));
    }
    ASSERT_TRUE(WaitUntil([&] { return CountOf("RunChangerThread: changer thread ended.\n") == 1; }, 10));
    ASSERT_TRUE(WaitForState(c.guid, changerStateIdle));
    EXPECT_NE(Record(c.guid)->m_changerRoboticsService, oldService);
    EXPECT_EQ(g_changerThreadCount, threads);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{waiting, "RunChangerThread: changer thread ended.\n",
                                                    "RunChangerThread: starting changer thread.\n"}));
  }
}

TEST_F(ChangerNotificationsTest, AChangerGoneBeforeItsInterestIsRegisteredLeavesNothingBehind) {
  Plug(ChangerWith(0xE4, 2, {0x0}));
  // The publish notification's pass, run by hand on a changer that is unplugged meanwhile.
  io_iterator_t iterator = 0;
  ASSERT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(k_changerRoboticsClass), &iterator),
            KERN_SUCCESS);
  IOObjectRef iteratorRef(iterator);
  IONotificationPortRef portRef = IONotificationPortCreate(kIOMasterPortDefault);
  g_changerNotificationPort = portRef;
  m_host->FindChanger(0xE4)->Unplug();
  NewChangersAdded(nullptr, iterator);
  ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 0; }, 10));
  EXPECT_EQ(Record(0xE4), nullptr);
  EXPECT_EQ(CountOf("NewChangersAdded: unable to add interest notification for new changer (err = -536870206).\n"), 1u);
  EXPECT_EQ(CountOf("RunChangerThread: changer thread ended.\n"), 1u);
  g_changerNotificationPort = nullptr;
  IONotificationPortDestroy(portRef);

  // Plugged in again, it is found as a new changer.
  m_host->FindChanger(0xE4)->Plug();
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xE4, changerStateIdle));
}

TEST_F(ChangerNotificationsTest, AChangerWhoseNotificationCannotBeReleasedKeepsRunning) {
  simhost::ChangerSpec spec = ChangerWith(0xE3, 2, {0x0});
  SetKnob(spec.knobs, "release-notification-fails", kCFBooleanTrue);
  Plug(std::move(spec));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xE3, changerStateIdle));
  m_capture->Clear();
  m_host->FindChanger(0xE3)->Unplug();
  ASSERT_TRUE(WaitUntil([&] { return !LogLines().empty(); }, 10));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"ChangerNotification: unable to release changer notification object.\n"});
  EXPECT_FALSE(WaitUntil([] { return g_changerThreadCount == 0; }, 5));
  EXPECT_FALSE(Record(0xE3)->m_shouldTerminate);
}

TEST_F(ChangerNotificationsTest, StorageElementsChangedMessageSetsTheRescanFlag) {
  // Every slot holds a disc the changer has no file for, so all wait in the active probe array
  // and nothing consumes the flag.
  Plug(ChangerWith(0xF1, 2, {0x0}, {{0, DiscNamed("A")}, {1, DiscNamed("B")}}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xF1, changerStateIdle));
  simhost::Changer& changer = *m_host->FindChanger(0xF1);
  ChangerData* changerDataP = Record(0xF1);

  changer.SendMessage(0xE0000123, 0);
  changer.SendMessage(0xE0034002, 0);
  EXPECT_FALSE(WaitUntil([&] { return changerDataP->m_shouldCheckForChangedStorageElems != 0; }, 3));
  changer.SendMessage(k_storageElemsChangedMessage, 0);
  EXPECT_TRUE(WaitUntil([&] { return changerDataP->m_shouldCheckForChangedStorageElems != 0; }, 3));
  EXPECT_FALSE(changerDataP->m_shouldTerminate);
}

TEST_F(ChangerNotificationsTest, NewMediaOfAPendingDiscAreCountedAndOrdinaryDisksIgnored) {
  simhost::DiscSpec twoPartitions = DiscNamed("Alpha");
  twoPartitions.partitions.push_back(twoPartitions.partitions.front());
  twoPartitions.partitions[0].slice = 1;
  twoPartitions.partitions[1].slice = 2;
  twoPartitions.partitions[1].volumeName = "Beta";
  Plug(ChangerWith(0xF2, 2, {0x0}, {{1, twoPartitions}}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xF2, changerStateIdle));
  ChangerData* changerDataP = Record(0xF2);
  MountData* mountDataP = nullptr;
  ASSERT_TRUE(CreateMountData(changerDataP, 1, 0, &mountDataP));
  ASSERT_TRUE(AddMountDataToGlobalWaitForMountList(mountDataP));
  m_capture->Clear();

  // An ordinary disk of the machine: a medium with a BSD client, no changer above it.
  simhost::Registry& registry = m_host->registry();
  auto diskProperties = simhost::cf::Dict();
  simhost::cf::Set(diskProperties.get(), "BSD Name", "disk9");
  simhost::ServiceId disk = registry.Create(simhost::cls::kMedia, registry.Root(), diskProperties.get(), nullptr);
  simhost::ServiceId client = registry.Create(simhost::cls::kBSDClient, disk, nullptr, nullptr);
  registry.Publish(disk);
  registry.Publish(client);

  CFRef<CFNumberRef> slotRef(CreateStorageElemNumber(1));
  ASSERT_EQ(SetDriverRequest(changerDataP->m_changerBlockSwitchService, CFSTR(k_storageElemMountRequestProp),
                             slotRef.get()),
            KERN_SUCCESS);
  auto detected = [&] {
    ScopedRWLock lock(g_listRWLock, "test", "%s: (err = %d).\n");
    if (!lock.ReadLock("%s: (err = %d).\n")) return 0u;
    return static_cast<unsigned>(mountDataP->m_ioKitDetectedMediaCount);
  };
  // The whole disc and its two partitions.
  ASSERT_TRUE(WaitUntil([&] { return detected() == 3; }, 30));
  EXPECT_FALSE(WaitUntil([&] { return detected() > 3; }, 3));
  EXPECT_EQ(LinesFrom({"NewMediaAdded", "SearchParentsForProp", "IncrementIOKitDetectedMediaCount"}),
            std::vector<std::string>{});
}

TEST_F(ChangerNotificationsTest, MediaOfADiscWithoutPendingMountAreReported) {
  Plug(ChangerWith(0xF3, 2, {0x0}, {{0, DiscNamed("Photos")}}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0xF3, changerStateIdle));
  m_capture->Clear();
  CFRef<CFNumberRef> slotRef(CreateStorageElemNumber(0));
  ASSERT_EQ(SetDriverRequest(Record(0xF3)->m_changerBlockSwitchService, CFSTR(k_storageElemMountRequestProp),
                             slotRef.get()),
            KERN_SUCCESS);
  std::vector<std::string> expected = {
      "IncrementIOKitDetectedMediaCount: unable to search for changer F3/storage elem 0 in pending media list.\n",
      "NewMediaAdded: unable to increment the count of IOKit detected media for changer F3/storage element 0.\n",
  };
  ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= 2; }, 30));
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(ChangerNotificationsTest, TornDownNotificationsNoLongerDiscoverChangers) {
  StartDiscovery();
  Plug(ChangerWith(0x11, 2, {0x0}));
  ASSERT_TRUE(WaitForState(0x11, changerStateIdle));
  StopChangerNotifications();
  EXPECT_EQ(g_changerNotificationPort.load(), nullptr);
  EXPECT_EQ(g_addedIterator.load(), 0u);
  EXPECT_EQ(g_mediaAddedIterator.load(), 0u);

  Plug(ChangerWith(0x12, 2, {0x0}));
  m_host->FindChanger(0x11)->Unplug();
  EXPECT_FALSE(WaitUntil([] { return Record(0x12) != nullptr; }, 5));
  // The interest notification went with the port: the first changer did not hear its unplug.
  EXPECT_EQ(StateOf(0x11), static_cast<int>(changerStateIdle));
}

TEST_F(ChangerNotificationsTest, ChangerMediaObjectGivesTheChangerItsDevice) {
  struct Case {
    UInt64 guid;
    bool twoMediaObjects;
    std::vector<std::string> lines;
  } cases[] = {
      {0x21, false, {}},
      {0x22, true, {"LookForChangerBSDService: two TavrinChangerMedia services with identical GUIDs were found!\n"}},
  };
  StartDiscovery();
  for (const Case& c : cases) {
    simhost::ChangerSpec spec = ChangerWith(c.guid, 2, {0x0});
    if (c.twoMediaObjects) SetKnob(spec.knobs, "duplicate-media-object", kCFBooleanTrue);
    Plug(std::move(spec));
    ASSERT_TRUE(WaitForState(c.guid, changerStateIdle));
    ChangerData* changerDataP = Record(c.guid);
    EXPECT_FALSE(LookForChangerBSDService(changerDataP));  // not published yet: silent
    m_capture->Clear();
    ASSERT_EQ(SetDriverRequest(changerDataP->m_changerRoboticsService, CFSTR(k_instantiateMediaObjectRequestProp),
                               kCFBooleanTrue),
              KERN_SUCCESS);
    ASSERT_TRUE(WaitUntil(
        [&] { return Find(simhost::cls::kChangerMedia, c.guid).size() >= (c.twoMediaObjects ? 2u : 1u); }));
    EXPECT_EQ(LookForChangerBSDService(changerDataP), !c.twoMediaObjects);
    EXPECT_EQ(LogLines(), c.lines);
    if (!c.twoMediaObjects) {
      ASSERT_NE(changerDataP->m_deviceIdP.load(), nullptr);
      EXPECT_EQ(std::string(changerDataP->m_deviceIdP.load()).rfind("disk", 0), 0u);
      ChangerData* foundP = nullptr;
      EXPECT_TRUE(GetChangerDataForDeviceId(changerDataP->m_deviceIdP.load(), &foundP));
      EXPECT_EQ(foundP, changerDataP);
    }
  }
}

TEST_F(ChangerNotificationsTest, ForceEjectTakesTheDiscBackToItsSlot) {
  Plug(ChangerWith(0x31, 3, {0x0}, {{2, DiscNamed("Photos")}}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0x31, changerStateIdle));
  ChangerData* changerDataP = Record(0x31);
  simhost::Changer& changer = *m_host->FindChanger(0x31);
  CFRef<CFNumberRef> slotRef(CreateStorageElemNumber(2));
  ASSERT_EQ(SetDriverRequest(changerDataP->m_changerBlockSwitchService, CFSTR(k_storageElemMountRequestProp),
                             slotRef.get()),
            KERN_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return changer.StorageElementForDisk("disk2", nullptr) == 2; }));
  m_capture->Clear();
  EXPECT_TRUE(ForceEjectDisc(changerDataP, 2));
  EXPECT_TRUE(WaitUntil([&] { return changer.StorageElementForDisk("disk2", nullptr) == -1; }));

  std::string error;
  ASSERT_TRUE(changer.SetKnob(std::nullopt, "refuse-requests",
                              simhost::cf::Str("Storage Element Force Eject Request Prop").get(), error))
      << error;
  EXPECT_FALSE(ForceEjectDisc(changerDataP, 2));
  EXPECT_EQ(LinesFrom({"ForceEjectDisc"}),
            std::vector<std::string>{
                "ForceEjectDisc: unable to force media ejection from storage element 2 (err = E00002BC).\n"});
}

}  // namespace
}  // namespace discwarden::test

namespace discwarden::test {
namespace {

using ChangerDiscoveryConcurrency = DiscoveryFixture;

// Changers come and go while others are still being set up: every changer that stays plugged
// ends up idle with one record, every one unplugged leaves nothing behind.
TEST_F(ChangerDiscoveryConcurrency, ChangersComeAndGoWhileOthersInitialise) {
  StartDiscovery();
  for (UInt64 guid = 0x41; guid <= 0x46; ++guid)
    Plug(ChangerWith(guid, 3, {guid % 2 ? 0x8 : 0x0}, {{0, DiscNamed("Disc")}}));
  auto discovered = [](std::vector<UInt64> i_guids) {
    return std::all_of(i_guids.begin(), i_guids.end(), [](UInt64 i_guid) { return Record(i_guid) != nullptr; });
  };
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(WaitUntil([&] { return discovered({0x42, 0x44}); }));
    for (UInt64 guid : {0x42, 0x44}) m_host->FindChanger(guid)->Unplug();
    ASSERT_TRUE(WaitUntil([] { return Record(0x42) == nullptr && Record(0x44) == nullptr; }));
    for (UInt64 guid : {0x42, 0x44}) m_host->FindChanger(guid)->Plug();
  }
  ASSERT_TRUE(WaitUntil([&] { return discovered({0x46}); }));
  m_host->FindChanger(0x46)->Unplug();
  for (UInt64 guid : {0x41, 0x42, 0x43, 0x44, 0x45}) ASSERT_TRUE(WaitForState(guid, changerStateIdle)) << guid;
  ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 5; }));
  EXPECT_EQ(Record(0x46), nullptr);
  UInt64 idleGUIDs[8];
  UInt32 idleCount = 0;
  ASSERT_TRUE(GetChangerGUIDList(8, idleGUIDs, &idleCount));
  std::vector<UInt64> listed(idleGUIDs, idleGUIDs + idleCount);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<UInt64>{0x41, 0x42, 0x43, 0x44, 0x45}));
  EXPECT_EQ(CountOf("RunChangerThread: changer thread ended.\n"), 7u);
}

}  // namespace
}  // namespace discwarden::test
