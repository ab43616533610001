// The changer thread's scan for changed slots, its idle steps and its life, against the
// simulated host. Records made by hand (no thread) let a test look at the probe arrays.
#include <gtest/gtest.h>

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "DiscoveryFixture.h"
#include "platform/IOObjectRef.h"

namespace discwarden::test {
namespace {

std::vector<int> Numbers(CFArrayRef i_arrayRef) {
  std::vector<int> numbers;
  for (CFIndex i = 0; i_arrayRef != nullptr && i < CFArrayGetCount(i_arrayRef); ++i) {
    int value = -1;
    CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(i_arrayRef, i)), kCFNumberIntType, &value);
    numbers.push_back(value);
  }
  return numbers;
}

void Append(CFMutableArrayRef i_arrayRef, UInt16 i_storageElem) {
  CFRef<CFNumberRef> numberRef(CreateStorageElemNumber(i_storageElem));
  CFArrayAppendValue(i_arrayRef, numberRef.get());
}

class ChangerThreadTest : public DiscoveryFixture {
 public:
  void TearDown() override {
    for (ChangerData* changerDataP : m_records) {
      // A test may have taken them out already.
      (void)RemoveAllMountDataForChanger(changerDataP->m_changerGUID);
      (void)RemoveChangerDataFromList(changerDataP);
      DisposeChangerData(changerDataP);
    }
    DiscoveryFixture::TearDown();
  }

  // The changer plugged in and its record set up by the initialisation steps, as its thread
  // would have it on reaching the disc-info state, but without a thread.
  ChangerData* MakeRecord(simhost::ChangerSpec i_spec) {
    UInt64 guid = i_spec.guid;
    Plug(std::move(i_spec));
    IOObjectRef roboticsRef(IOServiceGetMatchingService(kIOMasterPortDefault, [&] {
      CFMutableDictionaryRef matchingRef = IOServiceMatching(k_changerRoboticsClass);
      CFRef<CFNumberRef> guidRef(simhost::cf::Int64(static_cast<int64_t>(guid)));
      CFDictionarySetValue(matchingRef, CFSTR("GUID"), guidRef.get());
      return matchingRef;
    }()));
    ChangerData* changerDataP = nullptr;
    EXPECT_TRUE(CreateNewChangerData(roboticsRef.get(), &changerDataP));
    if (changerDataP == nullptr) return nullptr;
    m_records.push_back(changerDataP);
    EXPECT_TRUE(PrecacheChangerInfo(changerDataP));
    EXPECT_TRUE(LookForChangerServices(changerDataP));
    EXPECT_TRUE(LocateChangerInfoFiles(changerDataP));
    EXPECT_TRUE(BuildMediaInfoArray(changerDataP));
    return changerDataP;
  }

  // Every slot of the changer, discs in those listed.
  ChangerData* MakeRecordWithDiscs(UInt64 i_guid, int i_slots, std::vector<int> i_full) {
    std::map<int, simhost::DiscSpec> discs;
    for (int slot : i_full) discs[slot] = DiscNamed("Disc " + std::to_string(slot));
    return MakeRecord(ChangerWith(i_guid, i_slots, {0x0, 0x0}, discs));
  }

  void SetStorageElemInfo(ChangerData* i_changerDataP, CFTypeRef i_valueRef) {
    simhost::ServiceId robotics = Find(simhost::cls::kRobotics, i_changerDataP->m_changerGUID).at(0);
    m_host->registry().SetValue(robotics, "Storage Element Info", i_valueRef);
  }

  std::vector<ChangerData*> m_records;
};

TEST_F(ChangerThreadTest, ScanQueuesChangedSlotsOnceInTheArrayOfTheProbingMode) {
  struct Case {
    const char* name;
    bool passive;
    bool forceActive;
    std::vector<int> alreadyActive, alreadyPassive, maintenance;
    std::vector<int> savedLikeDriver;  // slots whose saved info was brought up to date
    std::vector<int> active, passiveResult;
  } cases[] = {
      {"active probing", false, false, {}, {}, {}, {}, {0, 2, 3}, {}},
      {"passive probing", true, false, {}, {}, {}, {}, {}, {0, 2, 3}},
      {"forced active probe", true, true, {}, {}, {}, {}, {0, 2, 3}, {}},
      {"unchanged slots", false, false, {}, {}, {}, {0, 3}, {2}, {}},
      {"already waiting", false, false, {3}, {0}, {2}, {}, {3}, {0}},
  };
  UInt64 guid = 0x100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChangerData* changerDataP = MakeRecordWithDiscs(++guid, 5, {0, 2, 3});
    ASSERT_NE(changerDataP, nullptr);
    changerDataP->m_doPassiveMediaProbes = c.passive;
    changerDataP->m_shouldForceActiveProbe = c.forceActive;
    for (int slot : c.alreadyActive) Append(changerDataP->m_storageElemsToActiveProbeArr, slot);
    for (int slot : c.alreadyPassive) Append(changerDataP->m_storageElemsToPassiveProbeArr, slot);
    if (!c.maintenance.empty()) {
      changerDataP->m_maintenanceMountStorageElemArr = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
      for (int slot : c.maintenance) Append(changerDataP->m_maintenanceMountStorageElemArr, slot);
    }
    for (int slot : c.savedLikeDriver) ASSERT_TRUE(UpdateMountInfoArr(changerDataP, slot));
    m_capture->Clear();

    EXPECT_TRUE(BuildChangedStorageElemList(changerDataP));
    EXPECT_EQ(Numbers(changerDataP->m_storageElemsToActiveProbeArr), c.active);
    EXPECT_EQ(Numbers(changerDataP->m_storageElemsToPassiveProbeArr), c.passiveResult);
    EXPECT_FALSE(changerDataP->m_shouldForceActiveProbe);
    EXPECT_EQ(LogLines(), std::vector<std::string>{});
  }
}

TEST_F(ChangerThreadTest, ScanFailsWhenEitherSideHasNoEntryForASlot) {
  struct Case {
    const char* name;
    std::function<void(ChangerThreadTest&, ChangerData*)> damage;
    std::string line;
  } cases[] = {
      {"driver property missing",
       [](ChangerThreadTest& t, ChangerData* c) { t.SetStorageElemInfo(c, nullptr); },
       "BuildChangedStorageElemList: unable to get storage element info property from the changer.\n"},
      {"driver array short",
       [](ChangerThreadTest& t, ChangerData* c) {
         CFRef<CFArrayRef> driverRef(static_cast<CFArrayRef>(
             CopyDriverProperty(c->m_changerRoboticsService, CFSTR(k_storageElemInfoProp))));
         CFRef<CFArrayRef> shortRef(CFArrayCreateCopy(nullptr, driverRef.get()));
         CFRef<CFMutableArrayRef> cutRef(CFArrayCreateMutableCopy(nullptr, 0, shortRef.get()));
         CFArrayRemoveValueAtIndex(cutRef.get(), 2);
         CFArrayRemoveValueAtIndex(cutRef.get(), 2);
         t.SetStorageElemInfo(c, cutRef.get());
       },
       "BuildChangedStorageElemList: unable to get the changer media info dict at index 2.\n"},
      {"saved array short",
       [](ChangerThreadTest&, ChangerData* c) {
         platform::MutexLock lock(g_mediaInfoArrMutex);
         CFArrayRemoveValueAtIndex(c->m_mediaInfoArr, 3);
       },
       "BuildChangedStorageElemList: unable to get the saved media info dict at index 3.\n"},
  };
  UInt64 guid = 0x200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChangerData* changerDataP = MakeRecordWithDiscs(++guid, 4, {0});
    ASSERT_NE(changerDataP, nullptr);
    c.damage(*this, changerDataP);
    m_capture->Clear();
    EXPECT_FALSE(BuildChangedStorageElemList(changerDataP));
    EXPECT_EQ(LogLines(), std::vector<std::string>{c.line});
  }
}

TEST_F(ChangerThreadTest, EmptySlotIsOneWhoseMediaEntryIsTheBooleanFalse) {
  ChangerData* changerDataP = MakeRecordWithDiscs(0x300, 2, {});
  ASSERT_NE(changerDataP, nullptr);
  auto entry = [](CFTypeRef i_mediaInRef) {
    CFRef<CFMutableDictionaryRef> entryRef(simhost::cf::Dict());
    if (i_mediaInRef) CFDictionarySetValue(entryRef.get(), CFSTR("Media In Storage Element"), i_mediaInRef);
    return entryRef;
  };
  struct Case {
    const char* name;
    CFRef<CFMutableDictionaryRef> entryRef;
    bool isEmpty;
  } cases[] = {
      {"false", entry(kCFBooleanFalse), true},
      {"true", entry(kCFBooleanTrue), false},
      {"missing", entry(nullptr), false},
      {"a string", entry(CFSTR("false")), false},
      {"a number 0", entry(simhost::cf::Int32(0).get()), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFRef<CFMutableArrayRef> infoRef(simhost::cf::Array());
    CFArrayAppendValue(infoRef.get(), c.entryRef.get());
    SetStorageElemInfo(changerDataP, infoRef.get());
    bool isEmpty = !c.isEmpty;
    EXPECT_TRUE(CheckForEmptyStorageElem(changerDataP, 0, &isEmpty));
    EXPECT_EQ(isEmpty, c.isEmpty);
  }
  m_capture->Clear();
  bool isEmpty = true;
  EXPECT_FALSE(CheckForEmptyStorageElem(changerDataP, 1, &isEmpty));
  EXPECT_FALSE(isEmpty);
  SetStorageElemInfo(changerDataP, nullptr);
  EXPECT_FALSE(CheckForEmptyStorageElem(changerDataP, 0, &isEmpty));
  EXPECT_EQ(LogLines(), (std::vector<std::string>{
                            "CheckForEmptyStorageElem: unable to get the changer media info dict for storage element 1.\n",
                            "CheckForEmptyStorageElem: unable to get storage element info property from the changer.\n",
                        }));
}

TEST_F(ChangerThreadTest, ChangedSlotsAreLookedForOnlyWhenNothingIsPendingAnywhere) {
  struct Case {
    const char* name;
    bool flag;
    bool activeWaiting;
    bool otherChangerPending;
    bool flagAfter;
    std::vector<int> active;
  } cases[] = {
      {"no change reported", false, false, false, false, {}},
      {"probes still waiting", true, true, false, true, {1}},
      {"a disc of another changer pending", true, false, true, true, {}},
      {"all quiet", true, false, false, false, {0, 1}},
  };
  ChangerData* otherP = MakeRecordWithDiscs(0x400, 2, {});
  ASSERT_NE(otherP, nullptr);
  UInt64 guid = 0x400;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChangerData* changerDataP = MakeRecordWithDiscs(++guid, 3, {0, 1});
    ASSERT_NE(changerDataP, nullptr);
    changerDataP->m_shouldCheckForChangedStorageElems = c.flag;
    if (c.activeWaiting) Append(changerDataP->m_storageElemsToActiveProbeArr, 1);
    MountData* pendingP = nullptr;
    if (c.otherChangerPending) {
      ASSERT_TRUE(CreateMountData(otherP, 0, 0, &pendingP));
      ASSERT_TRUE(AddMountDataToGlobalWaitForMountList(pendingP));
    }
    EXPECT_TRUE(HandleChangedStorageElems(changerDataP));
    EXPECT_EQ(changerDataP->m_shouldCheckForChangedStorageElems != 0, c.flagAfter);
    EXPECT_EQ(Numbers(changerDataP->m_storageElemsToActiveProbeArr), c.active);
    if (pendingP != nullptr) {
      ASSERT_TRUE(RemoveAllMountDataForChanger(otherP->m_changerGUID));
    }
  }
}

TEST_F(ChangerThreadTest, PassiveProbingRecordsEmptySlotsAndQueuesUnloadedDiscs) {
  ChangerData* changerDataP = MakeRecordWithDiscs(0x500, 5, {0, 2, 3});
  ASSERT_NE(changerDataP, nullptr);
  // Slot 2 is on its way into a drive already, slot 3 is mounted.
  MountData* pendingP = nullptr;
  ASSERT_TRUE(CreateMountData(changerDataP, 2, 0, &pendingP));
  ASSERT_TRUE(AddMountDataToGlobalWaitForMountList(pendingP));
  MountData* mountedP = nullptr;
  ASSERT_TRUE(CreateMountData(changerDataP, 3, 0, &mountedP));
  {
    ScopedRWLock lock(g_listRWLock, "test", "%s: (err = %d).\n");
    ASSERT_TRUE(lock.WriteLock("%s: (err = %d).\n"));
    ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, mountedP));
  }
  for (int slot : {0, 1, 2, 3}) Append(changerDataP->m_storageElemsToPassiveProbeArr, slot);
  UInt16 probeCountBefore = changerDataP->m_pendingProbeMountCount;
  m_capture->Clear();

  EXPECT_TRUE(HandlePassiveProbingChanger(changerDataP));
  EXPECT_EQ(Numbers(changerDataP->m_storageElemsToPassiveProbeArr), std::vector<int>{});
  EXPECT_EQ(changerDataP->m_pendingProbeMountCount, probeCountBefore + 1);
  {
    ScopedRWLock lock(g_listRWLock, "test", "%s: (err = %d).\n");
    ASSERT_TRUE(lock.ReadLock("%s: (err = %d).\n"));
    MountList* nodeP = nullptr;
    ASSERT_TRUE(FindChangerAndStorageElemInList(g_pendingMediaListP, changerDataP, 0, &nodeP));
    MountData* probeP = nodeP->m_mountDataP;
    EXPECT_FALSE(probeP->m_isNormalMount);
    EXPECT_TRUE(probeP->m_attemptComplete);
    EXPECT_FALSE(probeP->m_isMounted);
    EXPECT_FALSE(FindChangerAndStorageElemInList(g_pendingMediaListP, changerDataP, 1, &nodeP));
    EXPECT_FALSE(FindChangerAndStorageElemInList(g_pendingMediaListP, changerDataP, 3, &nodeP));
  }
  // The empty slot's saved info is now the driver's.
  CFRef<CFTypeRef> driverRef(CopyDriverProperty(changerDataP->m_changerRoboticsService, CFSTR(k_storageElemInfoProp)));
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(changerDataP->m_mediaInfoArr, 1),
                        CFArrayGetValueAtIndex(static_cast<CFArrayRef>(driverRef.get()), 1)));
  }
  EXPECT_EQ(LogLines(), std::vector<std::string>{});
}

TEST_F(ChangerThreadTest, ProbeMountStartsOnlyWhileDrivesAreLeft) {
  struct Case {
    bool activeWaiting;
    UInt16 probeMounts, requestMounts, drives;
    bool spawn;
  } cases[] = {
      {false, 0, 0, 2, false}, {true, 0, 0, 2, true}, {true, 0, 5, 2, true}, {true, 1, 0, 2, true},
      {true, 1, 1, 2, false},  {true, 2, 0, 2, false}, {true, 1, 0, 1, false}, {true, 0, 0, 0, true},
  };
  ChangerData* changerDataP = MakeRecordWithDiscs(0x600, 2, {});
  ASSERT_NE(changerDataP, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.probeMounts << " probes, " << c.requestMounts << " requests, " << c.drives
                                    << " drives");
    CFArrayRemoveAllValues(changerDataP->m_storageElemsToActiveProbeArr);
    if (c.activeWaiting) Append(changerDataP->m_storageElemsToActiveProbeArr, 0);
    changerDataP->m_pendingProbeMountCount = c.probeMounts;
    changerDataP->m_pendingMountCount = c.requestMounts;
    changerDataP->m_changerDataTransferElemCount = c.drives;
    EXPECT_EQ(ShouldSpawnProbeMount(changerDataP), c.spawn);
  }
  changerDataP->m_pendingProbeMountCount = 0;
  changerDataP->m_pendingMountCount = 0;
}

TEST_F(ChangerThreadTest, ThreadBringsTheChangerToIdleWithItsStoreAndProbeQueue) {
  Plug(ChangerWith(0x700, 4, {0x8}, {{1, DiscNamed("Photos")}}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0x700, changerStateIdle));
  for (const char* entry : {"/Info.plist", "/Discs", "/Root", "/Root/.Trashes"})
    EXPECT_TRUE(std::filesystem::exists(ChangerDir(0x700) + entry)) << entry;
  ChangerData* changerDataP = Record(0x700);
  EXPECT_EQ(changerDataP->m_changerEmptyStorageElemCount, 3);
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    EXPECT_EQ(CFArrayGetCount(changerDataP->m_mediaInfoArr), 4);
  }
  EXPECT_EQ(LogLines(), std::vector<std::string>{"RunChangerThread: starting changer thread.\n"});
}

TEST_F(ChangerThreadTest, PassiveChangerQueuesInsertedDiscAfterTheChangeMessage) {
  WriteFile(ChangerDir(0x800) + "/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "\t<key>changer name</key>\n\t<string>Archive</string>\n"
            "\t<key>do passive media probe</key>\n\t<true/>\n</dict>\n</plist>\n");
  Plug(ChangerWith(0x800, 3, {0x0}));
  StartDiscovery();
  ASSERT_TRUE(WaitForState(0x800, changerStateIdle));
  ChangerData* changerDataP = Record(0x800);
  EXPECT_STREQ(changerDataP->m_changerNameP.load(), "Archive");
  auto isPending = [&](UInt16 i_slot) {
    bool pending = false;
    EXPECT_TRUE(CheckForPendingMedia(changerDataP, i_slot, &pending));
    return pending;
  };
  EXPECT_FALSE(WaitUntil([&] { return isPending(1); }, 3));

  // Putting the disc in makes the driver report changed storage elements.
  int slot = -1;
  std::string error;
  ASSERT_TRUE(m_host->FindChanger(0x800)->Insert(1, DiscNamed("New"), slot, error)) << error;
  ASSERT_TRUE(WaitUntil([&] { return isPending(1); }, 10));
  EXPECT_FALSE(isPending(0));
  EXPECT_EQ(changerDataP->m_pendingProbeMountCount, 1);

  // The changer goes: its thread takes the waiting record with it.
  m_host->FindChanger(0x800)->Unplug();
  ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 0; }, 10));
  ScopedRWLock lock(g_listRWLock, "test", "%s: (err = %d).\n");
  ASSERT_TRUE(lock.ReadLock("%s: (err = %d).\n"));
  EXPECT_EQ(g_pendingMediaListP, nullptr);
  EXPECT_EQ(g_changerListP, nullptr);
}

// The pause after a failed initialisation step, measured on a manual clock between two
// attempts: the thread cannot come back before the pause is over, and comes back when it is.
TEST_F(ChangerThreadTest, AFailedInitialisationStepIsRetriedAfterItsPause) {
  struct Case {
    const char* name;
    const char* knob;          // null: the changer's info file is a folder
    const char* properties;
    std::string line;          // one per attempt
    double pause;
  } cases[] = {
      {"counts", "omit-properties", "Number Of Storage Elements",
       "PrecacheChangerInfo: unable to get count of storage elements.\n", 5},
      {"services", "duplicate-block-switch", nullptr,
       "LookForChangerBlockSwitchService: two block switch services with identical GUIDs were found!\n", 5},
      {"one-time initialisation", "refuse-reset", nullptr,
       "InitializeChanger: unable to do one-time initialization (err = E00002BC).\n", 5},
      {"data files", nullptr, nullptr, "LocateChangerInfoFiles: unable to read in persistant changer data.\n", 10},
  };
  UInt64 guid = 0xA00;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    simhost::ChangerSpec spec = ChangerWith(++guid, 2, {0x0});
    if (c.knob != nullptr)
      SetKnob(spec.knobs, c.knob, c.properties ? CFTypeRef(simhost::cf::Str(c.properties).get()) : kCFBooleanTrue);
    else
      std::filesystem::create_directories(ChangerDir(guid) + "/Info.plist");
    Plug(std::move(spec));
    StartDiscovery();
    ASSERT_TRUE(WaitUntil([&] { return CountOf(c.line) >= 1; })) << ::testing::PrintToString(LogLines());

    // From here time moves only in quarter seconds, the thread's own sleeping step; after each
    // one the thread has a moment to log its next attempt before time moves on.
    platform::clock::UseManual(platform::clock::Now());
    auto nextAttemptAt = [&] {
      size_t attempts = CountOf(c.line);
      for (int step = 0; step < 4 * 30; ++step) {
        platform::clock::Advance(0.25);
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(25);
        while (std::chrono::steady_clock::now() < until)
          if (CountOf(c.line) > attempts) return platform::clock::Now();
          else std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return -1.0;
    };
    double firstAt = nextAttemptAt();
    double secondAt = nextAttemptAt();
    platform::clock::UseScaled(50);
    ASSERT_GT(firstAt, 0);
    ASSERT_GT(secondAt, 0);
    // A loaded machine may see an attempt a step or two late, either one: the window still
    // tells a 5 s pause from a 10 s one.
    EXPECT_GT(secondAt - firstAt, c.pause - 0.6);
    EXPECT_LT(secondAt - firstAt, c.pause + 1);
  }
}

TEST_F(ChangerThreadTest, AnUnpluggedChangerLeavesDuringItsRetryPause) {
  simhost::ChangerSpec spec = ChangerWith(0x900, 2, {0x0});
  SetKnob(spec.knobs, "duplicate-block-switch", kCFBooleanTrue);
  Plug(std::move(spec));
  StartDiscovery();
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf("LookForChangerBlockSwitchService: two block switch services with identical GUIDs were found!\n") == 1; }));
  double unpluggedAt = platform::clock::Now();
  m_host->FindChanger(0x900)->Unplug();
  ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 0; }, 10));
  // Well inside the five-second pause.
  EXPECT_LT(platform::clock::Now() - unpluggedAt, 2.0);
  EXPECT_EQ(Record(0x900), nullptr);
}

}  // namespace
}  // namespace discwarden::test
