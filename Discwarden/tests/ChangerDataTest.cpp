#include <gtest/gtest.h>

#include <cstdio>
#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "ChangerData.h"
#include "DriverFixture.h"
#include "StoreFixture.h"
#include "platform/Clock.h"

namespace {

using discwarden::test::ChangerPtr;
using discwarden::test::ReadFile;
using discwarden::test::StoreFixture;

class ChangerRegistry : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_TRUE(StartMountLists());
    g_changerListP = nullptr;
  }
  void TearDown() override {
    // A test may have taken some out already.
    for (ChangerData* changerDataP : m_listed) (void)RemoveChangerDataFromList(changerDataP);
    m_listed.clear();
    m_owned.clear();
    StoreFixture::TearDown();
  }
  ChangerData* List(ChangerPtr i_changerP) {
    ChangerData* changerDataP = i_changerP.get();
    m_owned.push_back(std::move(i_changerP));
    EXPECT_TRUE(AddChangerDataToList(changerDataP));
    m_listed.push_back(changerDataP);
    return changerDataP;
  }
  static std::vector<UInt64> Listed() {
    std::vector<UInt64> guids;
    for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP)
      guids.push_back(changerDataP->m_changerGUID);
    return guids;
  }

  std::vector<ChangerPtr> m_owned;
  std::vector<ChangerData*> m_listed;
};

TEST_F(ChangerRegistry, NewestFirstAndOneRecordPerGUID) {
  ChangerData* firstP = List(MakeChanger(0x2A));
  ChangerData* secondP = List(MakeChanger(0x2B));
  List(MakeChanger(0x2C));
  EXPECT_EQ(Listed(), (std::vector<UInt64>{0x2C, 0x2B, 0x2A}));

  ChangerPtr duplicateP = MakeChanger(0x2B);
  platform::log::Capture capture;
  EXPECT_FALSE(AddChangerDataToList(duplicateP.get()));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"AddChangerDataToList: changer is already in the list!"});
  EXPECT_EQ(Listed(), (std::vector<UInt64>{0x2C, 0x2B, 0x2A}));

  ASSERT_TRUE(RemoveChangerDataFromList(secondP));
  EXPECT_EQ(secondP->m_nextP, nullptr);
  EXPECT_EQ(secondP->m_prevP, nullptr);
  EXPECT_EQ(Listed(), (std::vector<UInt64>{0x2C, 0x2A}));
  ASSERT_TRUE(RemoveChangerDataFromList(firstP));
  EXPECT_EQ(Listed(), (std::vector<UInt64>{0x2C}));
  capture.Clear();
  EXPECT_FALSE(RemoveChangerDataFromList(firstP));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"RemoveChangerDataFromList: changer is not in the list!"});
  std::erase(m_listed, firstP);
  std::erase(m_listed, secondP);
}

TEST_F(ChangerRegistry, Lookups) {
  ChangerData* aP = List(MakeChanger(0x2A));
  ChangerData* bP = List(MakeChanger(0x2B));
  ASSERT_TRUE(ReplaceChangerString(aP, aP->m_changerMountPathP, "/Volumes/Jukebox"));
  ASSERT_TRUE(ReplaceChangerString(bP, bP->m_changerMountPathP, "/Volumes/Jukebox 1"));
  ASSERT_TRUE(ReplaceChangerString(bP, bP->m_deviceIdP, "disk7"));
  struct Case {
    const char* what;
    std::function<bool(ChangerData**)> lookup;
    ChangerData* found;
  } cases[] = {
      {"GUID", [](ChangerData** o) { return GetChangerDataForGUID(0x2B, o); }, bP},
      {"unknown GUID", [](ChangerData** o) { return GetChangerDataForGUID(0x2D, o); }, nullptr},
      {"lock-free GUID", [](ChangerData** o) { return GetChangerData(0x2A, o); }, aP},
      {"mount path", [](ChangerData** o) { return GetChangerDataForMountPath("/Volumes/Jukebox", o); }, aP},
      {"mount path is compared whole", [](ChangerData** o) { return GetChangerDataForMountPath("/Volumes/Juke", o); },
       nullptr},
      {"device", [](ChangerData** o) { return GetChangerDataForDeviceId("disk7", o); }, bP},
      {"device differs in case", [](ChangerData** o) { return GetChangerDataForDeviceId("DISK7", o); }, nullptr},
  };
  for (const auto& c : cases) {
    platform::log::Capture capture;
    ChangerData* foundP = reinterpret_cast<ChangerData*>(1);
    EXPECT_EQ(c.lookup(&foundP), c.found != nullptr) << c.what;
    EXPECT_EQ(foundP, c.found) << c.what;
    EXPECT_TRUE(capture.Lines().empty()) << c.what << ": nothing found is not an error";
  }
  EXPECT_FALSE(AssertAllChangersUnmounted());
  ASSERT_TRUE(MarkChangerAsUnmounted(0x2A));
  ASSERT_TRUE(MarkChangerAsUnmounted(0x2B));
  EXPECT_TRUE(AssertAllChangersUnmounted());
  platform::log::Capture capture;
  EXPECT_FALSE(MarkChangerAsUnmounted(0xABC));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "MarkChangerAsUnmounted: unable to get changer data for GUID 0000000000000abc.\n"});
}

TEST_F(ChangerRegistry, GUIDListHoldsIdleChangersOnly) {
  for (UInt64 guid : {0x21, 0x22, 0x23, 0x24}) {
    ChangerData* changerDataP = List(MakeChanger(guid));
    changerDataP->m_changerState = guid == 0x23 ? changerStateMountingFileSystem : changerStateIdle;
  }
  struct Case {
    UInt32 max;
    std::vector<UInt64> guids;
  } cases[] = {{10, {0x24, 0x22, 0x21}}, {2, {0x24, 0x22}}, {0, {}}};
  for (const auto& c : cases) {
    std::vector<UInt64> guids(10, 0xFFFF);
    UInt32 count = 99;
    ASSERT_TRUE(GetChangerGUIDList(c.max, guids.data(), &count));
    guids.resize(count);
    EXPECT_EQ(guids, c.guids) << c.max;
  }
}

TEST_F(ChangerRegistry, RenameAndOptionsAreSaved) {
  ChangerData* changerDataP = List(MakeLocatedChanger(0x2A));
  ASSERT_TRUE(ReplaceChangerString(changerDataP, changerDataP->m_changerNameP, "Brennix D40"));
  ASSERT_TRUE(RenameChanger(0x2A, "Archive"));
  ASSERT_TRUE(SetChangerOptions(0x2A, true, false));
  EXPECT_STREQ(changerDataP->m_newChangerNameP.load(), "Archive");
  EXPECT_STREQ(changerDataP->m_changerNameP.load(), "Brennix D40");
  EXPECT_EQ(changerDataP->m_dontAutoMountFileSystem.load(), 1u);
  EXPECT_EQ(changerDataP->m_doPassiveMediaProbes.load(), 0u);
  std::string info = ReadFile(ChangerDir(0x2A) + "/Info.plist");
  EXPECT_NE(info.find("<key>changer name</key>\n\t<string>Archive</string>\n"
                      "\t<key>do not automount changer</key>\n\t<true/>\n"
                      "\t<key>do passive media probe</key>\n\t<false/>\n"),
            std::string::npos)
      << info;

  platform::log::Capture capture;
  EXPECT_FALSE(RenameChanger(0x2C, "Other"));
  EXPECT_FALSE(SetChangerOptions(0x2C, false, false));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"RenameChanger: unable to get changer data for GUID 000000000000002C.\n",
                                      "SetChangerOptions: unable to get changer data for GUID 000000000000002C.\n"}));
}

TEST_F(ChangerRegistry, SaveFailureIsReported) {
  // A changer whose store was never located has nowhere to save.
  List(MakeChanger(0x2A));
  platform::log::Capture capture;
  EXPECT_FALSE(RenameChanger(0x2A, "Archive"));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"WriteChangerInfoFile: unable to get an FSRef for the changer info file.\n",
                                      "SavePersistantChangerInfo: unable to write changer info file to disk.\n",
                                      "RenameChanger: unable to save persistant changer info.\n"}));
}

class MountPacing : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::clock::UseScaled(100);
    g_allowChangerFSMountAt = 0;
  }
  void TearDown() override { platform::clock::UseRootClock(); }
};

TEST_F(MountPacing, ThirtySecondsBetweenMountsAndTwoAfterADisk) {
  struct Case {
    const char* what;
    bool diskAppeared;
    double least, most;
  } cases[] = {
      {"first mount", false, 0, 0.5},
      // Deadlines are whole seconds: "more than 30" is reached 30 to 31 seconds on.
      {"right after it", false, 30.0, 32.2},
      {"a disk just appeared", true, 2.0, 4.2},
  };
  for (const auto& c : cases) {
    double start = platform::clock::Now();
    if (c.diskAppeared) {
      ASSERT_TRUE(ResetChangerMountTimer());
      time_t deadline = g_allowChangerFSMountAt.load();
      EXPECT_GE(deadline, static_cast<time_t>(start) + 2) << c.what;
      EXPECT_LE(deadline, static_cast<time_t>(platform::clock::Now()) + 2) << c.what;
    }
    ASSERT_TRUE(DelayBetweenFSMounts());
    double end = platform::clock::Now();
    EXPECT_GE(end - start, c.least) << c.what;
    EXPECT_LE(end - start, c.most) << c.what;
    // The next deadline is set once the wait is over.
    time_t next = g_allowChangerFSMountAt.load();
    EXPECT_GE(next, static_cast<time_t>(end) + 29) << c.what;
    EXPECT_LE(next, static_cast<time_t>(end) + 30) << c.what;
  }
}

}  // namespace

// ---------------------------------------------------------------- threads

namespace {

class RegistryConcurrency : public ChangerRegistry {};

// Lookups, renames, option changes, unmount marks and registry changes from several threads at
// once: names are swapped while other threads read them, and records come and go.
TEST_F(RegistryConcurrency, ThreadsShareRecordsSafely) {
  ChangerData* steadyP = List(MakeLocatedChanger(0x2A));
  ASSERT_TRUE(ReplaceChangerString(steadyP, steadyP->m_changerNameP, "Steady"));
  std::atomic<bool> stop{false};
  std::atomic<int> renames{0}, lookups{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 40; ++i) {
      EXPECT_TRUE(RenameChanger(0x2A, ("Name " + std::to_string(i)).c_str()));
      EXPECT_TRUE(SetChangerOptions(0x2A, i % 2, i % 3 == 0));
      ++renames;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 40; ++i) {
      ChangerData* comingP = MakeChanger(0x30).release();
      EXPECT_TRUE(AddChangerDataToList(comingP));
      EXPECT_TRUE(ReplaceChangerString(comingP, comingP->m_changerMountPathP, "/Volumes/Coming"));
      EXPECT_TRUE(MarkChangerAsUnmounted(0x30));
      EXPECT_TRUE(RemoveChangerDataFromList(comingP));
      DisposeChangerData(comingP);
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      ChangerData* foundP = nullptr;
      if (GetChangerDataForGUID(0x2A, &foundP)) {
        const char* nameP = foundP->m_newChangerNameP.load();
        if (nameP != nullptr) {
          EXPECT_EQ(std::string(nameP).rfind("Name ", 0), 0u);
        }
        ++lookups;
      }
      // Found or not depends on the race; only the race itself is under test.
      (void)GetChangerDataForMountPath("/Volumes/Coming", &foundP);
      UInt64 guids[4];
      UInt32 count = 0;
      (void)GetChangerGUIDList(4, guids, &count);
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  threads[2].join();
  EXPECT_EQ(renames.load(), 40);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_STREQ(steadyP->m_newChangerNameP.load(), "Name 39");
  EXPECT_EQ(Listed(), std::vector<UInt64>{0x2A});
}

}  // namespace

// ---------------------------------------------------------------- records of the driver's changers

namespace {

using discwarden::test::Disc;
using discwarden::test::DriverFixture;

const UInt64 k_driverGUID = 0x00A0B0C0D0E0F0C3ULL;

class ChangerFromDriver : public DriverFixture {
 protected:
  static io_service_t AnyRoboticsService() {
    return IOServiceGetMatchingService(kIOMasterPortDefault, IOServiceMatching("TavrinChangerRoboticsDevice"));
  }
};

TEST_F(ChangerFromDriver, RecordOfARoboticsService) {
  ChangerData* changerDataP = AddChanger(k_driverGUID, 4, {}, false);
  ASSERT_NE(changerDataP, nullptr);
  EXPECT_EQ(changerDataP->m_changerGUID, k_driverGUID);
  EXPECT_NE(changerDataP->m_changerRoboticsService, 0u);
  EXPECT_EQ(CFArrayGetCount(changerDataP->m_storageElemsToActiveProbeArr), 0);
  EXPECT_EQ(CFArrayGetCount(changerDataP->m_storageElemsToPassiveProbeArr), 0);
  EXPECT_EQ(changerDataP->m_changerState.load(), changerStateInitializing);
  EXPECT_EQ(g_changerListP, changerDataP);

  // A second record for the same changer is refused and nothing is left behind.
  IOObjectRef roboticsRef(AnyRoboticsService());
  ChangerData* secondP = reinterpret_cast<ChangerData*>(1);
  platform::log::Capture capture;
  EXPECT_FALSE(CreateNewChangerData(roboticsRef.get(), &secondP));
  EXPECT_EQ(secondP, nullptr);
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{"AddChangerDataToList: changer is already in the list!",
                                      "CreateNewChangerData: unable to add changer to the global list of changers.\n"}));
  EXPECT_EQ(changerDataP->m_nextP, nullptr);
}

TEST_F(ChangerFromDriver, GUIDThatCannotBeRead) {
  struct Case {
    const char* knob;
    const char* log;
  } cases[] = {
      {"omit-properties", "GetGUIDFromService: unable top get GUID property from service.\n"},
      {"mistype-properties", "GetGUIDFromService: unable to get value of changer GUID number.\n"},
  };
  simhost::ChangerSpec spec;
  spec.guid = k_driverGUID;
  spec.storageElements = 2;
  spec.drives.resize(1);
  std::string error;
  ASSERT_TRUE(m_host->AddChanger(std::move(spec), error)) << error;
  for (const auto& c : cases) {
    ASSERT_TRUE(Driver(k_driverGUID).SetKnob(std::nullopt, c.knob, CFSTR("GUID"), error)) << error;
    IOObjectRef roboticsRef(AnyRoboticsService());
    ASSERT_TRUE(roboticsRef) << c.knob;
    ChangerData* changerDataP = nullptr;
    platform::log::Capture capture;
    EXPECT_FALSE(CreateNewChangerData(roboticsRef.get(), &changerDataP)) << c.knob;
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{c.log, "CreateNewChangerData: unable to get changer GUID from robotics service.\n"}))
        << c.knob;
    EXPECT_EQ(g_changerListP, nullptr) << c.knob;
    ASSERT_TRUE(Driver(k_driverGUID).SetKnob(std::nullopt, c.knob, nullptr, error)) << error;
  }
}

TEST_F(ChangerFromDriver, MaintenanceMounts) {
  ChangerData* changerDataP = AddChanger(k_driverGUID, 4, {{2, Disc("DVD-RAM", {"Work"})}}, false);
  ASSERT_NE(changerDataP, nullptr);
  bool hasMaintenanceMounts = true;
  // Without a maintenance array the driver is not asked, so its missing report does not matter.
  std::string error;
  ASSERT_TRUE(Driver(k_driverGUID).SetKnob(std::nullopt, "omit-properties", CFSTR("Current Mounted Storage Elements"),
                                           error));
  ASSERT_TRUE(ChangerHasMaintenanceMounts(changerDataP, &hasMaintenanceMounts));
  EXPECT_FALSE(hasMaintenanceMounts);

  changerDataP->m_maintenanceMountStorageElemArr = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  SInt16 storageElem = 2;
  CFRef<CFNumberRef> storageElemRef(CFNumberCreate(nullptr, kCFNumberSInt16Type, &storageElem));
  CFArrayAppendValue(changerDataP->m_maintenanceMountStorageElemArr, storageElemRef.get());
  platform::log::Capture capture;
  EXPECT_FALSE(MaintenanceMountsArePresent(&hasMaintenanceMounts));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{
                "ChangerHasMaintenanceMounts: unable to read in list of mounted media from changer robotics device.\n",
                "MaintenanceMountsArePresent: unable to determine if changer 00A0B0C0D0E0F0C3 has maintenance "
                "mounts.\n"}));
  ASSERT_TRUE(Driver(k_driverGUID).SetKnob(std::nullopt, "omit-properties", nullptr, error));

  ASSERT_TRUE(MaintenanceMountsArePresent(&hasMaintenanceMounts));
  EXPECT_FALSE(hasMaintenanceMounts);
  // The disc goes online; the driver then lists its slot as mounted.
  ASSERT_EQ(IORegistryEntrySetCFProperty(changerDataP->m_changerBlockSwitchService,
                                         CFSTR("Storage Element Mount Request"), storageElemRef.get()),
            0);
  EXPECT_TRUE(RunUntil([&] { return MaintenanceMountsArePresent(&hasMaintenanceMounts) && hasMaintenanceMounts; }));
}

}  // namespace
