#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <functional>
#include <thread>
#include <string>
#include <vector>

#include "MountData.h"
#include "StoreFixture.h"
#include "platform/Log.h"

namespace {

std::string DeviceFileName(const std::string& i_display, const std::string& i_id) {
  return i_display + '\x01' + i_id;
}

TEST(DeviceFileNames, ParseAndValidate) {
  struct Case {
    const char* what;
    std::string name;
    bool valid;
    bool parsed;
    UInt64 guid;
    UInt16 storageElem;
    UInt16 device;
    const char* log;
  } cases[] = {
      {"24 digits", DeviceFileName("Photos", "0001020304050607000A0003"), true, true, 0x0001020304050607ULL, 10, 3,
       nullptr},
      {"characters after the 24th are ignored", DeviceFileName("A", "00A0B0C0D0E0F001000C0002xyz"), true, true,
       0x00A0B0C0D0E0F001ULL, 12, 2, nullptr},
      {"several separators: the last one counts",
       DeviceFileName(DeviceFileName("Old", "FFFFFFFFFFFFFFFFFFFFFFFF"), "0000000000000001FFFE0001"), true, true, 1,
       0xFFFE, 1, nullptr},
      {"a field stops at its first non-digit", DeviceFileName("A", "00000000000000FG000Z0x0A"), true, true, 0xF, 0,
       0, nullptr},
      {"23 characters: valid but too short to parse", DeviceFileName("Photos", "0001020304050607000A000"), true,
       false, 0, 0, 0, "GetDeviceInfoFromName: file name string is not long enough.\n"},
      {"no separator", "Old discs", false, false, 0, 0, 0,
       "GetDeviceInfoFromName: Old discs does not appear to be a valid device file name string.\n"},
      {"22 characters", DeviceFileName("A", "0001020304050607000A00"), false, false, 0, 0, 0,
       "GetDeviceInfoFromName: file name string is not long enough.\n"},
  };
  for (const auto& c : cases) {
    platform::log::Capture capture;
    EXPECT_EQ(ValidateDeviceFileName(c.name.c_str()), c.valid) << c.what;
    UInt64 guid = 99;
    UInt16 storageElem = 99, device = 99;
    EXPECT_EQ(GetDeviceInfoFromName(c.name.c_str(), &guid, &storageElem, &device), c.parsed) << c.what;
    EXPECT_EQ(guid, c.guid) << c.what;
    EXPECT_EQ(storageElem, c.storageElem) << c.what;
    EXPECT_EQ(device, c.device) << c.what;
    std::vector<std::string> expected;
    if (c.log) expected.push_back(c.log);
    EXPECT_EQ(capture.Lines(), expected) << c.what;
  }
}

}  // namespace

// ---------------------------------------------------------------- records and lists

namespace {

using discwarden::test::ChangerPtr;
using discwarden::test::MakeDisc;
using discwarden::test::MountPtr;

class MountRecords : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartMountLists()); }
  void TearDown() override {
    // Whatever a test left in a list is disposed of with its changer.
    for (UInt64 guid : {0x2AULL, 0x2BULL}) (void)RemoveAllMountDataForChanger(guid);  // failures are logged; teardown goes on
  }
  // Owned by the fixture, so that the records left in lists can still be disposed of.
  ChangerData* Changer(UInt64 i_guid) {
    m_changers.emplace_back(new ChangerData{});
    m_changers.back()->m_changerGUID = i_guid;
    return m_changers.back().get();
  }
  static MountData* NewMount(ChangerData* i_changerDataP, UInt16 i_storageElem, UInt16 i_flags = 0) {
    MountData* mountDataP = nullptr;
    EXPECT_TRUE(CreateMountData(i_changerDataP, i_storageElem, i_flags, &mountDataP));
    return mountDataP;
  }
  static std::vector<MountData*> Records(MountList* i_listP) {
    std::vector<MountData*> records;
    for (MountList* nodeP = i_listP; nodeP != nullptr; nodeP = nodeP->m_nextP) records.push_back(nodeP->m_mountDataP);
    return records;
  }

  std::vector<ChangerPtr> m_changers;
};

TEST_F(MountRecords, FlagsAndCounts) {
  struct Case {
    UInt16 flags;
    bool normal, disallow, format, desktop;
  } cases[] = {
      {0, true, true, false, false},
      {k_probeMountFlag, false, true, false, false},
      {k_allowDiskArbMountFlag, true, false, false, false},
      {k_formatMountFlag | k_desktopMountFlag, true, true, true, true},
  };
  ChangerData* changerP = Changer(0x2A);
  changerP->m_pendingMountCount = 3;
  for (const auto& c : cases) {
    MountData* mountDataP = NewMount(changerP, 7, c.flags);
    EXPECT_EQ(mountDataP->m_isNormalMount, c.normal) << c.flags;
    EXPECT_EQ(mountDataP->m_disallowMount, c.disallow) << c.flags;
    EXPECT_EQ(mountDataP->m_isFormatMount, c.format) << c.flags;
    EXPECT_EQ(mountDataP->m_mountOnDesktop, c.desktop) << c.flags;
    EXPECT_EQ(changerP->m_pendingMountCount.load(), c.normal ? 4 : 3) << c.flags;
    EXPECT_EQ(changerP->m_pendingProbeMountCount.load(), c.normal ? 0 : 1) << c.flags;
    EXPECT_TRUE(DisposeMountData(mountDataP));
    EXPECT_EQ(changerP->m_pendingMountCount.load(), 3) << c.flags;
    EXPECT_EQ(changerP->m_pendingProbeMountCount.load(), 0) << c.flags;
  }
}

TEST_F(MountRecords, DeviceNumbering) {
  ChangerData* changerP = Changer(0x2A);
  MountPtr discP = MakeDisc(changerP, 1, {{"disk3s1", "A", true}, {"disk3s10", "B", true}, {"disk3s2", "C", true}});
  ASSERT_TRUE(AddDeviceToMountData("disk3s3", "", false, false, false, discP.get()));
  ASSERT_TRUE(AddDeviceToMountData("disk3s4", nullptr, false, false, false, discP.get()));
  std::vector<std::pair<std::string, UInt16>> numbers;
  for (DeviceData* deviceP = discP->m_firstDeviceP; deviceP != nullptr; deviceP = deviceP->m_nextP)
    numbers.emplace_back(deviceP->m_deviceIdP, deviceP->m_device);
  EXPECT_EQ(numbers, (std::vector<std::pair<std::string, UInt16>>{
                         {"disk3s1", 0}, {"disk3s10", 1}, {"disk3s2", 2}, {"disk3s3", 0x8000}, {"disk3s4", 0x8001}}));
  EXPECT_EQ(discP->m_deviceCount, 3);
  EXPECT_EQ(discP->m_unidentifiedDeviceCount, 2);
  EXPECT_STREQ(discP->m_lastDeviceP->m_deviceNameP, "");
}

TEST_F(MountRecords, DeviceNumberingAgainstTheCount) {
  struct Case {
    const char* what;
    int unnumbered;
    bool succeeds;
    std::vector<UInt16> numbers;
    const char* log;
  } cases[] = {
      // Added as disk5s3, disk5s1, disk5s2: byte order numbers the last two first.
      {"more devices than counted", 3, true, {0xFFFF, 0, 1},
       "AssignDeviceNumbers: we have exhaused all of the devices, but haven't exited yet!\n"},
      {"fewer devices than counted", 1, false, {0},
       "AssignDeviceNumbers: number of identified devices doesn't match our device count!\n"},
  };
  ChangerData* changerP = Changer(0x2A);
  for (const auto& c : cases) {
    MountPtr discP(NewMount(changerP, 1, k_probeMountFlag));
    const char* names[] = {"disk5s3", "disk5s1", "disk5s2"};
    for (int i = 0; i < c.unnumbered; ++i) ASSERT_TRUE(AddDeviceToMountData(names[i], "V", false, false, true, discP.get()));
    discP->m_deviceCount = 2;
    platform::log::Capture capture;
    EXPECT_EQ(AssignDeviceNumbers(discP.get()), c.succeeds) << c.what;
    std::vector<UInt16> numbers;
    for (DeviceData* deviceP = discP->m_firstDeviceP; deviceP != nullptr; deviceP = deviceP->m_nextP)
      numbers.push_back(deviceP->m_device);
    EXPECT_EQ(numbers, c.numbers) << c.what;
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{c.log}) << c.what;
  }
}

TEST_F(MountRecords, UnmountableDisc) {
  ChangerData* changerP = Changer(0x2A);
  MountPtr discP(NewMount(changerP, 4, k_probeMountFlag));
  ASSERT_TRUE(MarkMountDataAsUnmountable(discP.get()));
  ASSERT_NE(discP->m_firstDeviceP, nullptr);
  EXPECT_EQ(discP->m_firstDeviceP, discP->m_lastDeviceP);
  const DeviceData& device = *discP->m_firstDeviceP;
  EXPECT_EQ(device.m_device, 0x8000);
  EXPECT_STREQ(device.m_deviceIdP, "");
  EXPECT_STREQ(device.m_deviceNameP, "<< UNIDENTIFIED DISC >>");
  EXPECT_FALSE(device.m_writable);
  EXPECT_TRUE(device.m_isWholeDisk);
  EXPECT_FALSE(device.m_isIdentifiedDevice);
  EXPECT_STREQ(discP->m_mediaTypeP, "UNKNOWN");
}

TEST_F(MountRecords, OneRecordPerGUIDAndSlotInAList) {
  ChangerData* changerP = Changer(0x2A);
  // The same changer seen again (plugged in anew) has another record with the same GUID.
  ChangerData* againP = Changer(0x2A);
  MountData* firstP = NewMount(changerP, 5);
  MountData* sameSlotP = NewMount(changerP, 5);
  MountData* otherRecordP = NewMount(againP, 5);
  MountData* otherSlotP = NewMount(changerP, 6);
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, firstP));
  platform::log::Capture capture;
  EXPECT_FALSE(AddMountDataToList(&g_mountedMediaListP, sameSlotP));
  EXPECT_FALSE(AddMountDataToList(&g_mountedMediaListP, otherRecordP));
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, otherSlotP));
  const std::string refused = "AddMountDataToList: mount data is already contained in the mount list.\n";
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{refused, refused}));
  EXPECT_EQ(Records(g_mountedMediaListP), (std::vector<MountData*>{firstP, otherSlotP}));

  bool isMounted = false;
  ASSERT_TRUE(CheckForMountedMedia(changerP, 5, &isMounted));
  EXPECT_TRUE(isMounted);
  // The probing check compares changer records, not GUIDs.
  ASSERT_TRUE(CheckForMountedMedia(againP, 5, &isMounted));
  EXPECT_FALSE(isMounted);
  MountList* nodeP = nullptr;
  ASSERT_TRUE(FindMountNodeInList(g_mountedMediaListP, 0x2A, 5, &nodeP));
  EXPECT_EQ(nodeP->m_mountDataP, firstP);

  // Removing by another record of the same GUID and slot takes the listed node.
  ASSERT_TRUE(RemoveMountDataFromList(&g_mountedMediaListP, sameSlotP));
  EXPECT_EQ(Records(g_mountedMediaListP), std::vector<MountData*>{otherSlotP});
  capture.Clear();
  EXPECT_FALSE(RemoveMountDataFromList(&g_mountedMediaListP, firstP));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"RemoveMountDataFromList: mount data is not in the mount list.\n"});
  for (MountData* mountDataP : {firstP, sameSlotP, otherRecordP}) DisposeMountData(mountDataP);
  EXPECT_EQ(changerP->m_pendingMountCount.load(), 1);
  EXPECT_EQ(againP->m_pendingMountCount.load(), 0);
}

TEST_F(MountRecords, MovesBetweenListsNeverLoseARecord) {
  ChangerData* changerP = Changer(0x2A);
  MountData* ejectingP = NewMount(changerP, 1);
  MountData* mountedTwinP = NewMount(changerP, 1);
  ASSERT_TRUE(AddMountDataToEjectList(ejectingP));
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, mountedTwinP));
  platform::log::Capture capture;
  EXPECT_FALSE(MoveMountDataFromEjectToMountedList(0x2A, 1));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{
                "AddMountDataToList: mount data is already contained in the mount list.\n",
                "MoveMountDataFromEjectToMountedList: unable to add mount data to the mounted media list.\n"}));
  EXPECT_EQ(Records(g_ejectListP), std::vector<MountData*>{ejectingP});
  ASSERT_TRUE(RemoveMountDataFromList(&g_mountedMediaListP, mountedTwinP));
  DisposeMountData(mountedTwinP);
  ASSERT_TRUE(MoveMountDataFromEjectToMountedList(0x2A, 1));
  EXPECT_EQ(Records(g_mountedMediaListP), std::vector<MountData*>{ejectingP});
  EXPECT_EQ(g_ejectListP, nullptr);
  ASSERT_TRUE(MoveMountDataFromMountedToEjectList(0x2A, 1));
  EXPECT_EQ(Records(g_ejectListP), std::vector<MountData*>{ejectingP});
  capture.Clear();
  EXPECT_FALSE(MoveMountDataFromEjectToMountedList(0x2A, 9));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "MoveMountDataFromEjectToMountedList: unable to find mount data on eject list.\n"});
}

// A move the target refuses leaves the source list as it was: the record keeps its place in
// the queue, and nothing is taken out that might not go back.
TEST_F(MountRecords, RefusedMoveKeepsTheSourceListOrder) {
  ChangerData* changerP = Changer(0x2A);
  MountData* firstP = NewMount(changerP, 1);
  MountData* secondP = NewMount(changerP, 2);
  MountData* mountedTwinP = NewMount(changerP, 1);
  ASSERT_TRUE(AddMountDataToEjectList(firstP));
  ASSERT_TRUE(AddMountDataToEjectList(secondP));
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, mountedTwinP));
  EXPECT_FALSE(MoveMountDataFromEjectToMountedList(0x2A, 1));
  EXPECT_EQ(Records(g_ejectListP), (std::vector<MountData*>{firstP, secondP}));
  EXPECT_EQ(Records(g_mountedMediaListP), std::vector<MountData*>{mountedTwinP});
}

TEST_F(MountRecords, MediaCountsAndBSDNames) {
  ChangerData* changerP = Changer(0x2A);
  MountPtr discP = MakeDisc(changerP, 3, {{"disk4s1", "A", true}, {"disk4s2", "B", true}});
  MountData* pendingP = discP.release();
  ASSERT_TRUE(AddMountDataToGlobalWaitForMountList(pendingP));
  ASSERT_TRUE(IncrementIOKitDetectedMediaCount(0x2A, 3));
  ASSERT_TRUE(IncrementIOKitDetectedMediaCount(0x2A, 3));
  EXPECT_EQ(pendingP->m_ioKitDetectedMediaCount, 2u);
  platform::log::Capture capture;
  EXPECT_FALSE(IncrementIOKitDetectedMediaCount(0x2A, 4));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"IncrementIOKitDetectedMediaCount: unable to search for changer "
                                                      "2A/storage elem 4 in pending media list.\n"});
  MountData* foundMountP = nullptr;
  DeviceData* foundDeviceP = nullptr;
  EXPECT_TRUE(FindDeviceInListByBSDName(g_pendingMediaListP, "disk4s2", &foundMountP, &foundDeviceP));
  EXPECT_EQ(foundMountP, pendingP);
  EXPECT_EQ(foundDeviceP, pendingP->m_lastDeviceP);
  EXPECT_TRUE(FindDeviceInListByBSDName(g_pendingMediaListP, "disk4", &foundMountP, &foundDeviceP));
  EXPECT_EQ(foundMountP, nullptr);
  EXPECT_EQ(foundDeviceP, nullptr);
  ASSERT_TRUE(FindDeviceInList(g_pendingMediaListP, 0x2A, 3, 1, &foundDeviceP));
  EXPECT_STREQ(foundDeviceP->m_deviceIdP, "disk4s2");
  bool isPending = false;
  ASSERT_TRUE(CheckForPendingMedia(changerP, 3, &isPending));
  EXPECT_TRUE(isPending);
}

TEST_F(MountRecords, AllRecordsOfAVanishedChangerGo) {
  ChangerData* goneP = Changer(0x2A);
  ChangerData* stayingP = Changer(0x2B);
  MountData* mountedP = NewMount(goneP, 1);
  MountData* pendingP = NewMount(goneP, 2, k_probeMountFlag);
  MountData* ejectP = NewMount(goneP, 3);
  MountData* otherEjectP = NewMount(goneP, 4);
  MountData* stayingMountedP = NewMount(stayingP, 1);
  MountData* completedP = NewMount(goneP, 5);
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, mountedP));
  ASSERT_TRUE(AddMountDataToList(&g_mountedMediaListP, stayingMountedP));
  ASSERT_TRUE(AddMountDataToGlobalWaitForMountList(pendingP));
  ASSERT_TRUE(AddMountDataToEjectList(ejectP));
  ASSERT_TRUE(AddMountDataToEjectList(otherEjectP));
  g_pendingEjectDataP = NewMount(goneP, 6);
  goneP->m_completedMountDataP = completedP;
  EXPECT_EQ(goneP->m_pendingMountCount.load(), 5);
  EXPECT_EQ(goneP->m_pendingProbeMountCount.load(), 1);

  platform::log::Capture capture;
  ASSERT_TRUE(RemoveAllMountDataForChanger(0x2A));
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(Records(g_mountedMediaListP), std::vector<MountData*>{stayingMountedP});
  EXPECT_EQ(g_pendingMediaListP, nullptr);
  EXPECT_EQ(g_ejectListP, nullptr);
  EXPECT_EQ(g_pendingEjectDataP, nullptr);
  // The completed mount is its changer thread's to dispose of.
  EXPECT_EQ(goneP->m_completedMountDataP, completedP);
  EXPECT_EQ(goneP->m_pendingMountCount.load(), 1);
  EXPECT_EQ(goneP->m_pendingProbeMountCount.load(), 0);

  // Another changer's pending eject stays.
  g_pendingEjectDataP = NewMount(stayingP, 2);
  ASSERT_TRUE(RemoveAllMountDataForChanger(0x2A));
  EXPECT_NE(g_pendingEjectDataP, nullptr);
  DisposeMountData(g_pendingEjectDataP);
  g_pendingEjectDataP = nullptr;
  goneP->m_completedMountDataP = nullptr;
  DisposeMountData(completedP);
}

TEST_F(MountRecords, LockFailuresUseEachOperationsText) {
  ChangerData* changerP = Changer(0x2A);
  MountPtr discP(NewMount(changerP, 1));
  bool answer = false;
  struct Case {
    const char* text;
    std::function<bool()> call;
  } cases[] = {
      {"CheckForMountedMedia: unable to read lock list r/w lock (err = %d).\n",
       [&] { return CheckForMountedMedia(changerP, 1, &answer); }},
      {"CheckForPendingMedia: unable to read lock list r/w lock (err = %d).\n",
       [&] { return CheckForPendingMedia(changerP, 1, &answer); }},
      {"AddMountDataToEjectList: unable to get write lock for the list r/w lock (err = %d).\n",
       [&] { return AddMountDataToEjectList(discP.get()); }},
      {"AddMountDataToGlobalWaitForMountList: unable to get write lock for wait-for-mount r/w lock (err = %d).\n",
       [&] { return AddMountDataToGlobalWaitForMountList(discP.get()); }},
      {"IncrementIOKitDetectedMediaCount: unable to get write lock on list r/w lock (err = %d).\n",
       [&] { return IncrementIOKitDetectedMediaCount(0x2A, 1); }},
      {"AssignDeviceNumbers: unable to get write lock for global list lock (err = %d).\n",
       [&] { return AssignDeviceNumbers(discP.get()); }},
      {"RemoveAllMountDataForChanger: unable to get write lock for global list lock (err = %d).\n",
       [&] { return RemoveAllMountDataForChanger(0x2A); }},
  };
  // This thread already writes: the lock is not recursive.
  ASSERT_EQ(g_listRWLock.WriteLock(), 0);
  for (const auto& c : cases) {
    platform::log::Capture capture;
    EXPECT_FALSE(c.call()) << c.text;
    char expected[200];
    snprintf(expected, sizeof expected, c.text, EDEADLK);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{expected});
  }
  ASSERT_EQ(g_listRWLock.Unlock(), 0);
  EXPECT_EQ(g_ejectListP, nullptr);
  EXPECT_EQ(g_pendingMediaListP, nullptr);
}

}  // namespace

// ---------------------------------------------------------------- threads

namespace {

class MountListConcurrency : public MountRecords {};

// Mount threads queue discs, the notification thread counts their media, the changer thread
// checks and moves them, all at once; records of one changer also vanish with it meanwhile.
TEST_F(MountListConcurrency, ListsUnderTheLock) {
  ChangerData* changerP = Changer(0x2A);
  ChangerData* goneP = Changer(0x2B);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        UInt16 storageElem = static_cast<UInt16>(t * 1000 + round);
        MountData* mountDataP = NewMount(changerP, storageElem, k_probeMountFlag);
        EXPECT_TRUE(AddMountDataToGlobalWaitForMountList(mountDataP));
        EXPECT_TRUE(IncrementIOKitDetectedMediaCount(0x2A, storageElem));
        {
          ScopedRWLock lock(g_listRWLock, "test", "%s: unlock (err = %d).\n");
          ASSERT_TRUE(lock.WriteLock("%s: lock (err = %d).\n"));
          EXPECT_EQ(mountDataP->m_ioKitDetectedMediaCount, 1u);
          EXPECT_TRUE(RemoveMountDataFromList(&g_pendingMediaListP, mountDataP));
        }
        EXPECT_TRUE(AddMountDataToEjectList(mountDataP));
      }
    });
  }
  threads.emplace_back([&] {
    for (UInt16 storageElem = 0; !stop; storageElem = static_cast<UInt16>((storageElem + 1) % 50)) {
      MountData* mountDataP = NewMount(goneP, storageElem);
      if (!AddMountDataToEjectList(mountDataP)) DisposeMountData(mountDataP);
      EXPECT_TRUE(RemoveAllMountDataForChanger(0x2B));
    }
  });
  threads.emplace_back([&] {
    bool answer = false;
    while (!stop) {
      EXPECT_TRUE(CheckForPendingMedia(changerP, 5, &answer));
      EXPECT_TRUE(CheckForMountedMedia(changerP, 1005, &answer));
    }
  });
  threads[0].join();
  threads[1].join();
  stop = true;
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(Records(g_ejectListP).size(), 400u);
  EXPECT_EQ(changerP->m_pendingProbeMountCount.load(), 400);
  EXPECT_EQ(goneP->m_pendingMountCount.load(), 0);
  ASSERT_TRUE(RemoveAllMountDataForChanger(0x2A));
  EXPECT_EQ(changerP->m_pendingProbeMountCount.load(), 0);
}

// The list lock is ready from the start; starting the lists never resets it under a holder.
TEST(MountLists, StartingLeavesAHeldLockHeld) {
  ASSERT_EQ(g_listRWLock.ReadLock(), 0);
  EXPECT_TRUE(StartMountLists());
  EXPECT_EQ(g_listRWLock.TryWriteLock(), EBUSY);
  EXPECT_EQ(g_listRWLock.Unlock(), 0);
}

}  // namespace
