#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ChangerInfoFiles.h"
#include "ChangerThread.h"
#include "DriverFixture.h"

namespace {

using discwarden::test::DeviceFileName;
using discwarden::test::DeviceSpec;
using discwarden::test::Disc;
using discwarden::test::DriverFixture;
using discwarden::test::Entries;
using discwarden::test::MakeDisc;
using discwarden::test::MountPtr;
using discwarden::test::NumberValue;
using discwarden::test::ReadFile;
using discwarden::test::StringValue;
using discwarden::test::WriteFile;

const UInt64 k_guid = 0x00A0B0C0D0E0F0B2ULL;

std::string Fixture(const std::string& i_name) {
  return ReadFile(std::string(DISCWARDEN_TEST_FIXTURES_DIR) + "/" + i_name);
}

std::string Padded(const std::string& i_text) { return i_text + std::string(32 - i_text.size(), ' '); }

class MediaInfo : public DriverFixture {
 protected:
  std::string DiscsDir() const { return ChangerDir(k_guid) + "/Discs"; }
  std::string RootDir() const { return ChangerDir(k_guid) + "/Root"; }
  // What the changer thread does for a disc whose load completed: numbered devices, then the record.
  MountPtr Identify(ChangerData* i_changerDataP, UInt16 i_storageElem, const std::vector<DeviceSpec>& i_devices,
                    const char* i_mediaTypeP = "DVD-R") {
    MountPtr discP = MakeDisc(i_changerDataP, i_storageElem, i_devices, i_mediaTypeP);
    EXPECT_TRUE(SaveMediaInfoForMount(discP.get()));
    return discP;
  }
  static CFRef<CFDictionaryRef> SavedEntry(ChangerData* i_changerDataP, UInt16 i_storageElem) {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    CFArrayRef mediaInfoArr = i_changerDataP->m_mediaInfoArr;
    if (mediaInfoArr == nullptr || i_storageElem >= CFArrayGetCount(mediaInfoArr)) return CFRef<CFDictionaryRef>();
    return CFRef<CFDictionaryRef>::Retain(
        static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(mediaInfoArr, i_storageElem)));
  }
};

TEST_F(MediaInfo, FileOfAnIdentifiedDisc) {
  ChangerData* changerDataP = AddChanger(k_guid, 16,
                                         {{3, Disc("DVD-RAM", {"Alpha", "Be:ta"})}, {12, Disc("CD-ROM", {"Photos"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr discP = Identify(changerDataP, 3, {{"disk3s1", "Alpha", true}, {"disk3s2", "Be:ta", true}}, "DVD-RAM");
  EXPECT_EQ(ReadFile(DiscsDir() + "/00003.plist"), Fixture("00003.plist"));
  EXPECT_STREQ(discP->m_firstDeviceP->m_deviceMountPointNameP, DeviceFileName("Alpha", k_guid, 3, 0).c_str());
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Alpha", k_guid, 3, 0),
                                                          DeviceFileName("Be:ta", k_guid, 3, 1)}));
  // The saved summary of the slot is now what the changer reports.
  CFRef<CFDictionaryRef> driverRef = DriverEntry(changerDataP, 3);
  EXPECT_EQ(StringValue(driverRef.get(), "Primary Volume Tag"), Padded("Alpha"));
  EXPECT_TRUE(CFEqual(SavedEntry(changerDataP, 3).get(), driverRef.get()));

  MountPtr photosP = Identify(changerDataP, 12, {{"disk4", "Photos", true}}, "CD-ROM");
  EXPECT_EQ(Entries(DiscsDir()), (std::vector<std::string>{"00003.plist", "00012.plist"}));
}

TEST_F(MediaInfo, DiscWithoutIdentifiedDeviceAndDiscWithThree) {
  ChangerData* changerDataP = AddChanger(k_guid, 4, {{0, Disc("CD-R", {"x"})}, {1, Disc("DVD-ROM", {"A", "B", "C"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr unknownP = MakeDisc(changerDataP, 0, {}, nullptr);
  ASSERT_TRUE(MarkMountDataAsUnmountable(unknownP.get()));
  ASSERT_TRUE(SaveMediaInfoForMount(unknownP.get()));
  MountPtr threeP = Identify(changerDataP, 1, {{"disk5s1", "A", true}, {"disk5s2", "B", true}, {"disk5s3", "C", true}});

  CFRef<CFMutableDictionaryRef> unknownDictRef, threeDictRef;
  ASSERT_TRUE(ReadMediaInfoFile(&changerDataP->m_changerMediaDir, 0, unknownDictRef.out()));
  ASSERT_TRUE(ReadMediaInfoFile(&changerDataP->m_changerMediaDir, 1, threeDictRef.out()));
  auto partitionKeys = [](CFDictionaryRef i_mediaDictRef) {
    CFDictionaryRef partitionsRef = static_cast<CFDictionaryRef>(CFDictionaryGetValue(i_mediaDictRef, CFSTR("partitions")));
    std::vector<const void*> keys(CFDictionaryGetCount(partitionsRef));
    CFDictionaryGetKeysAndValues(partitionsRef, keys.data(), nullptr);
    std::vector<std::string> names;
    for (const void* keyRef : keys) names.push_back(CFStringGetCStringPtr(static_cast<CFStringRef>(keyRef), kCFStringEncodingUTF8));
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(partitionKeys(unknownDictRef.get()),
            std::vector<std::string>{DeviceFileName("<< UNIDENTIFIED DISC >>", k_guid, 0, 0x8000)});
  EXPECT_EQ(StringValue(unknownDictRef.get(), "media type"), "UNKNOWN");
  EXPECT_EQ(NumberValue(unknownDictRef.get(), "primary volume sequence number"), 0);
  EXPECT_EQ(partitionKeys(threeDictRef.get()),
            (std::vector<std::string>{DeviceFileName("A", k_guid, 1, 0), DeviceFileName("B", k_guid, 1, 1),
                                      DeviceFileName("C", k_guid, 1, 2)}));
  // Device files only for the identified devices.
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("A", k_guid, 1, 0),
                                                          DeviceFileName("B", k_guid, 1, 1),
                                                          DeviceFileName("C", k_guid, 1, 2)}));
}

TEST_F(MediaInfo, SlotWithAFileIsNotRecordedAgain) {
  ChangerData* changerDataP = AddChanger(k_guid, 2, {{0, Disc("DVD-R", {"First"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr firstP = Identify(changerDataP, 0, {{"disk3", "First", true}});
  std::string saved = ReadFile(DiscsDir() + "/00000.plist");
  MountPtr againP = Identify(changerDataP, 0, {{"disk3", "Second", true}});
  EXPECT_EQ(ReadFile(DiscsDir() + "/00000.plist"), saved);
  EXPECT_EQ(StringValue(DriverEntry(changerDataP, 0).get(), "Primary Volume Tag"), Padded("First"));
  EXPECT_EQ(againP->m_primaryVolTagP, nullptr);
  // Written directly, the record is refused as well.
  platform::log::Capture capture;
  CFRef<CFMutableDictionaryRef> otherRef(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                                   &kCFTypeDictionaryValueCallBacks));
  EXPECT_FALSE(WriteMediaInfoFile(&changerDataP->m_changerMediaDir, 0, otherRef.get()));
  EXPECT_EQ(capture.Lines(),
            std::vector<std::string>{"WriteMediaInfoFile: unable to create file \"00000.plist\" (err = -48).\n"});
  EXPECT_EQ(ReadFile(DiscsDir() + "/00000.plist"), saved);
}

TEST_F(MediaInfo, ItemInfoFromFiles) {
  const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
  const std::string tags =
      "<key>primary volume tag</key><string>P</string><key>alternate volume tag</key><string>A</string>"
      "<key>primary volume sequence number</key><integer>17</integer>";
  struct Case {
    const char* what;
    const char* file;  // null: no file
    std::string content;
    bool converts;
    std::string primaryTag;
    long long alternateSequence;
    bool inSlot;
    std::vector<std::string> log;
    bool fifo = false;
  } cases[] = {
      {"no file", nullptr, "", true, "", 0, false, {}},
      {"a whole file", "00001.plist",
       header + tags + "<key>alternate volume sequence number</key><integer>-2</integer></dict></plist>\n", true,
       "P", -2, true, {}},
      {"not a property list", "00002.plist", "{ this is not a plist", true, "", 0, false,
       {"ReadMediaInfoFile: unable to create the CFPropertyList from the read stream.\n",
        "GetMediaInfo: unable to read media info file.\n", "SetDamagedMediaInfoFileAside: set aside the damaged media info file of storage element 2 as \"00002.plist.damaged\".\n"}},
      {"truncated", "00003.plist", (header + tags).substr(0, 90), true, "", 0, false,
       {"ReadMediaInfoFile: unable to create the CFPropertyList from the read stream.\n",
        "GetMediaInfo: unable to read media info file.\n", "SetDamagedMediaInfoFileAside: set aside the damaged media info file of storage element 3 as \"00003.plist.damaged\".\n"}},
      {"an array", "00004.plist", "<plist version=\"1.0\"><array><string>x</string></array></plist>", true, "", 0,
       false,
       {"ReadMediaInfoFile: unable to create the CFPropertyList from the read stream.\n",
        "GetMediaInfo: unable to read media info file.\n", "SetDamagedMediaInfoFileAside: set aside the damaged media info file of storage element 4 as \"00004.plist.damaged\".\n"}},
      {"a tag key missing", "00005.plist", header + tags + "</dict></plist>\n", true, "", 0, false,
       {"ConvertMediaFilePropertyListToItemInfoDict: unable to get the alternate volume sequence from the media info "
        "file.\n",
        "GetMediaInfo: unable to convert the CFPropertyList to a item information dictionary.\n", "SetDamagedMediaInfoFileAside: set aside the damaged media info file of storage element 5 as \"00005.plist.damaged\".\n"}},
      {"a FIFO", "00006.plist", "", true, "", 0, false,
       {"ReadMediaInfoFile: unable to open the read stream for the media info file.\n",
        "GetMediaInfo: unable to read media info file.\n", "SetDamagedMediaInfoFileAside: set aside the damaged media info file of storage element 6 as \"00006.plist.damaged\".\n"},
       true},
  };
  ChangerData* changerDataP = AddChanger(k_guid, 8, {});
  ASSERT_NE(changerDataP, nullptr);
  for (UInt16 storageElem = 0; storageElem < std::size(cases); ++storageElem) {
    const Case& c = cases[storageElem];
    if (c.file && c.fifo) ASSERT_EQ(::mkfifo((DiscsDir() + "/" + c.file).c_str(), 0666), 0);
    else if (c.file) WriteFile(DiscsDir() + "/" + c.file, c.content);
    CFRef<CFMutableDictionaryRef> itemInfoRef;
    platform::log::Capture capture;
    EXPECT_EQ(GetMediaInfo(&changerDataP->m_changerMediaDir, storageElem, itemInfoRef.out()), c.converts) << c.what;
    EXPECT_EQ(capture.Lines(), c.log) << c.what;
    if (!c.converts) continue;
    if (!itemInfoRef) {
      ASSERT_TRUE(MakeEmptyMediaInfo(itemInfoRef.out()));
    }
    EXPECT_EQ(CFDictionaryGetCount(itemInfoRef.get()), 5) << c.what;
    EXPECT_EQ(CFDictionaryGetValue(itemInfoRef.get(), CFSTR("Media In Storage Element")),
              c.inSlot ? kCFBooleanTrue : kCFBooleanFalse)
        << c.what;
    EXPECT_EQ(StringValue(itemInfoRef.get(), "Primary Volume Tag"), c.primaryTag) << c.what;
    EXPECT_EQ(StringValue(itemInfoRef.get(), "Alternate Volume Tag"), c.inSlot ? "A" : "") << c.what;
    EXPECT_EQ(NumberValue(itemInfoRef.get(), "Primary Volume Sequence"), c.inSlot ? 17 : 0) << c.what;
    EXPECT_EQ(NumberValue(itemInfoRef.get(), "Alternate Volume Sequence"), c.alternateSequence) << c.what;
  }
  // Every damaged record was kept for inspection; none is read again.
  EXPECT_EQ(Entries(DiscsDir()),
            (std::vector<std::string>{"00001.plist", "00002.plist.damaged", "00003.plist.damaged",
                                      "00004.plist.damaged", "00005.plist.damaged", "00006.plist.damaged"}));
  platform::log::Capture capture;
  EXPECT_TRUE(BuildMediaInfoArray(changerDataP));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{});
  EXPECT_EQ(CFArrayGetCount(changerDataP->m_mediaInfoArr), 8);
}

// An array left short (a failed build) has no place for later slots, and the idle pass builds it again.
TEST_F(MediaInfo, ShortArrayIsRebuiltByTheIdlePass) {
  ChangerData* changerDataP = AddChanger(k_guid, 8, {{6, Disc("DVD-R", {"Six"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    for (int i = 0; i < 3; ++i) CFArrayRemoveValueAtIndex(changerDataP->m_mediaInfoArr, 5);
  }
  EXPECT_EQ(CFArrayGetCount(changerDataP->m_mediaInfoArr), 5);
  platform::log::Capture capture;
  EXPECT_FALSE(UpdateMountInfoArr(changerDataP, 6));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "UpdateMountInfoArr: media info array holds no entry for storage element 6.\n"});
  capture.Clear();
  // No change reported by the changer: the gap alone brings the rebuild and the scan.
  ASSERT_FALSE(changerDataP->m_shouldCheckForChangedStorageElems);
  EXPECT_TRUE(HandleChangedStorageElems(changerDataP));
  EXPECT_EQ(CFArrayGetCount(changerDataP->m_mediaInfoArr), 8);
  // The disc in slot 6 is now seen as changed and queued to be identified.
  ASSERT_EQ(CFArrayGetCount(changerDataP->m_storageElemsToActiveProbeArr) +
                CFArrayGetCount(changerDataP->m_storageElemsToPassiveProbeArr),
            1);
}

// A damaged record of a slot that is now empty goes aside, and so do its device files: no ghosts.
TEST_F(MediaInfo, DamagedRecordOfAnEmptySlotLeavesNoGhosts) {
  ChangerData* changerDataP = AddChanger(k_guid, 4, {{1, Disc("DVD-R", {"Gone"})}, {2, Disc("DVD-R", {"Kept"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr goneP = Identify(changerDataP, 1, {{"disk3", "Gone", true}});
  MountPtr keptP = Identify(changerDataP, 2, {{"disk4", "Kept", true}});
  std::string error;
  ASSERT_TRUE(Driver(k_guid).Remove(1, error)) << error;
  WriteFile(DiscsDir() + "/00001.plist", "damaged");
  // What the changer thread does when it starts.
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  ASSERT_TRUE(BuildChangedStorageElemList(changerDataP));
  ASSERT_TRUE(RemoveOldMediaInfoFiles(changerDataP));
  ASSERT_TRUE(RemoveOldDeviceFiles(changerDataP));
  EXPECT_EQ(Entries(DiscsDir()), (std::vector<std::string>{"00001.plist.damaged", "00002.plist"}));
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Kept", k_guid, 2, 0)}));
}

// Media info and device files get the group of their folders, writable by it.
TEST_F(MediaInfo, CreatedFilesTakeTheirFolderGroup) {
  ChangerData* changerDataP = AddChanger(k_guid, 2, {{0, Disc("DVD-R", {"Photos"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr discP = Identify(changerDataP, 0, {{"disk3", "Photos", true}});
  for (const std::string& path : {DiscsDir() + "/00000.plist", RootDir() + "/" + DeviceFileName("Photos", k_guid, 0, 0)}) {
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_gid, 80u) << path;
    EXPECT_NE(st.st_mode & 020, 0u) << path;
  }
}

TEST_F(MediaInfo, EmptySlotCount) {
  std::map<int, simhost::DiscSpec> discs;
  for (int i = 0; i < 37; ++i) discs[i * 2] = Disc("CD-ROM", {"x"});
  ChangerData* changerDataP = AddChanger(k_guid, 100, discs, false);
  ASSERT_NE(changerDataP, nullptr);
  changerDataP->m_changerEmptyStorageElemCount = 5;
  struct Case {
    const char* what;
    const char* knob;
    UInt16 count;
    const char* log;
    UInt16 slots = 100;
  } cases[] = {
      {"37 of 100 loaded", nullptr, 63, nullptr},
      {"more loaded than slots", nullptr, 63,
       "CountEmptyStorageElements: unable to get the count of loaded storage elements.\n", 30},
      {"no count", "omit-properties",  63,
       "CountEmptyStorageElements: unable to get the count of loaded storage elements from the robotics service.\n"},
      {"count of another type", "mistype-properties", 63,
       "CountEmptyStorageElements: unable to get the count of loaded storage elements.\n"},
  };
  for (const auto& c : cases) {
    changerDataP->m_changerStorageElemCount = c.slots;
    std::string error;
    if (c.knob) {
      ASSERT_TRUE(Driver(k_guid).SetKnob(std::nullopt, c.knob, CFSTR("Loaded Storage Element Count"), error)) << error;
      // Changes after the knob are not seen: the count keeps its earlier value.
      int slot = 0;
      ASSERT_TRUE(Driver(k_guid).Insert(std::nullopt, Disc("CD-ROM", {"y"}), slot, error)) << error;
    }
    platform::log::Capture capture;
    EXPECT_TRUE(CountEmptyStorageElements(changerDataP)) << c.what;
    EXPECT_EQ(changerDataP->m_changerEmptyStorageElemCount.load(), c.count) << c.what;
    EXPECT_EQ(capture.Lines(), c.log ? std::vector<std::string>{c.log} : std::vector<std::string>{}) << c.what;
    if (c.knob) {
      ASSERT_TRUE(Driver(k_guid).SetKnob(std::nullopt, c.knob, nullptr, error)) << error;
    }
  }
}

TEST_F(MediaInfo, RestartComparesSlotsWithTheirFiles) {
  ChangerData* changerDataP =
      AddChanger(k_guid, 5, {{0, Disc("DVD-R", {"Zero"})}, {1, Disc("DVD-R", {"One"})}, {2, Disc("CD-ROM", {"Two"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  for (UInt16 storageElem : {0, 1, 2}) {
    const char* names[] = {"Zero", "One", "Two"};
    Identify(changerDataP, storageElem, {{"disk3", names[storageElem], true}});
  }
  // The daemon stops; meanwhile the disc in slot 1 is swapped and a disc goes into slot 4.
  ASSERT_TRUE(RemoveChangerDataFromList(changerDataP));
  DisposeChangerData(changerDataP);
  std::string error;
  int slot = 0;
  ASSERT_TRUE(Driver(k_guid).Remove(1, error)) << error;
  ASSERT_TRUE(Driver(k_guid).Insert(1, Disc("DVD-R", {"Other"}), slot, error)) << error;
  ASSERT_TRUE(Driver(k_guid).Insert(4, Disc("DVD-R", {"New"}), slot, error)) << error;

  IOObjectRef roboticsRef(discwarden::test::FindService("TavrinChangerRoboticsDevice", k_guid));
  ASSERT_TRUE(CreateNewChangerData(roboticsRef.get(), &changerDataP));
  changerDataP->m_changerStorageElemCount = 5;
  ASSERT_TRUE(LocateChangerInfoFiles(changerDataP));
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  std::vector<int> changed;
  for (UInt16 storageElem = 0; storageElem < 5; ++storageElem)
    if (!CFEqual(SavedEntry(changerDataP, storageElem).get(), DriverEntry(changerDataP, storageElem).get()))
      changed.push_back(storageElem);
  EXPECT_EQ(changed, (std::vector<int>{1, 4}));

  // The changed slots are queued; their records go before they are identified again.
  for (UInt16 storageElem : {1, 4}) {
    SInt16 value = static_cast<SInt16>(storageElem);
    CFRef<CFNumberRef> numberRef(CFNumberCreate(nullptr, kCFNumberSInt16Type, &value));
    CFArrayAppendValue(changerDataP->m_storageElemsToActiveProbeArr, numberRef.get());
  }
  ASSERT_TRUE(RemoveOldMediaInfoFiles(changerDataP));
  ASSERT_TRUE(RemoveOldDeviceFiles(changerDataP));
  EXPECT_EQ(Entries(DiscsDir()), (std::vector<std::string>{"00000.plist", "00002.plist"}));
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Two", k_guid, 2, 0),
                                                          DeviceFileName("Zero", k_guid, 0, 0)}));
}

TEST_F(MediaInfo, RewritesKeepTheRecordWhole) {
  ChangerData* changerDataP = AddChanger(k_guid, 2, {{0, Disc("DVD-R", {"Photos"})}});
  ASSERT_NE(changerDataP, nullptr);
  ASSERT_TRUE(BuildMediaInfoArray(changerDataP));
  MountPtr discP = Identify(changerDataP, 0, {{"disk3", "Photos", true}});
  DeviceData* deviceP = discP->m_firstDeviceP;
  std::string oldName = deviceP->m_deviceMountPointNameP;
  std::string newName = DeviceFileName("Holidays", k_guid, 0, 0);

  // A new name for the device file, from the changer volume: file and record follow.
  ASSERT_TRUE(SetDeviceMountPointName(deviceP, oldName.c_str(), newName.c_str(), true));
  ASSERT_TRUE(SaveDeviceMountPointName(deviceP, newName.c_str()));
  // A new volume name for the partition.
  free(deviceP->m_deviceNameP);
  deviceP->m_deviceNameP = strdup("Holidays 2024");
  ASSERT_TRUE(SetDevicePartitionName(discP.get(), deviceP, "Holidays 2024"));
  ASSERT_TRUE(SetStrValueInMediaInfoFile(changerDataP, 0, "media type", "DVD+R"));
  ASSERT_TRUE(UpdateChangerVolTags(discP.get()));
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", newName}));
  EXPECT_EQ(Entries(DiscsDir()), std::vector<std::string>{"00000.plist"});
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  ASSERT_TRUE(ReadMediaInfoFile(&changerDataP->m_changerMediaDir, 0, mediaDictRef.out()));
  CFDictionaryRef partitionsRef =
      static_cast<CFDictionaryRef>(CFDictionaryGetValue(mediaDictRef.get(), CFSTR("partitions")));
  CFRef<CFStringRef> keyRef(CFStringCreateWithCString(nullptr, newName.c_str(), kCFStringEncodingUTF8));
  CFDictionaryRef entryRef = static_cast<CFDictionaryRef>(CFDictionaryGetValue(partitionsRef, keyRef.get()));
  EXPECT_EQ(CFDictionaryGetCount(partitionsRef), 1);
  EXPECT_EQ(StringValue(entryRef, "partition name"), "Holidays 2024");
  EXPECT_EQ(NumberValue(entryRef, "partition number"), 0);
  EXPECT_EQ(StringValue(mediaDictRef.get(), "media type"), "DVD+R");
  // The tags follow the display name and the volume name; the summary follows the changer.
  EXPECT_EQ(StringValue(mediaDictRef.get(), "primary volume tag"), Padded("Holidays"));
  EXPECT_EQ(StringValue(mediaDictRef.get(), "alternate volume tag"), Padded("Holidays 2024"));
  EXPECT_TRUE(CFEqual(SavedEntry(changerDataP, 0).get(), DriverEntry(changerDataP, 0).get()));

  // A rewrite that cannot be written keeps the earlier record in place.
  std::string saved = ReadFile(DiscsDir() + "/00000.plist");
  std::filesystem::create_directory(DiscsDir() + "/.00000.plist.new");
  platform::log::Capture capture;
  EXPECT_FALSE(SetStrValueInMediaInfoFile(changerDataP, 0, "media type", "DVD-R"));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{
                "SetStrValueInMediaInfoFile: unable to open the write stream for the media info file.\n",
                "SetStrValueInMediaInfoFile: unable to write out the new media info file.\n"}));
  EXPECT_EQ(ReadFile(DiscsDir() + "/00000.plist"), saved);

  ASSERT_TRUE(DeleteMediaFiles(changerDataP, 0));
  EXPECT_EQ(Entries(DiscsDir()), std::vector<std::string>{".00000.plist.new"});
  EXPECT_EQ(Entries(RootDir()), std::vector<std::string>{".Trashes"});
}

}  // namespace
