#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ChangerInfoFiles.h"
#include "StoreFixture.h"

namespace {

using discwarden::test::ChangerPtr;
using discwarden::test::DeviceFileName;
using discwarden::test::MakeDisc;
using discwarden::test::MountPtr;
using discwarden::test::ReadFile;
using discwarden::test::Entries;
using discwarden::test::StoreFixture;
using discwarden::test::WriteFile;

const UInt64 k_guid = 0x00A0B0C0D0E0F001ULL;

class DeviceFiles : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    ASSERT_TRUE(StartMountLists());
    m_changerP = MakeLocatedChanger(k_guid, 16);
  }
  void TearDown() override {
    g_updateChangerFileSystemDeviceFileNameP = nullptr;
    g_notifyAndDeleteFSDeviceInfoByDeviceFileP = nullptr;
    m_discs.clear();
    m_changerP.reset();
    StoreFixture::TearDown();
  }
  std::string RootDir() const { return ChangerDir(k_guid) + "/Root"; }
  // Names the disc's devices and creates their files, as the identification of a disc does.
  MountData* Identify(UInt16 i_storageElem, const std::vector<discwarden::test::DeviceSpec>& i_devices) {
    m_discs.push_back(MakeDisc(m_changerP.get(), i_storageElem, i_devices));
    EXPECT_TRUE(CreateMediaDeviceInfoFiles(m_discs.back().get()));
    return m_discs.back().get();
  }

  ChangerPtr m_changerP;
  std::vector<MountPtr> m_discs;
};

TEST_F(DeviceFiles, UniqueDisplayNames) {
  struct Case {
    const char* what;
    UInt16 storageElem;
    std::string volumeName;
    std::string display;
  } cases[] = {
      {"first Backup", 0, "Backup", "Backup"},
      {"second", 1, "Backup", "Backup 2"},
      {"third", 2, "Backup", "Backup 3"},
      {"case ignored", 3, "backup", "backup 4"},
      {"colon", 4, "A:B", "A/B"},
      {"colon again meets the slash name", 5, "A:B", "A/B 2"},
      {"300 bytes cut to 225", 6, std::string(300, 'x'), std::string(225, 'x')},
      {"cut never splits a character", 7, std::string(224, 'y') + "\xC3\xA9" + "tail", std::string(224, 'y')},
      {"not a prefix match", 8, "Back", "Back"},
  };
  // A user's folder whose name has no separator never collides.
  std::filesystem::create_directory(RootDir() + "/Old discs");
  Identify(15, {{"disk9s1", "Old discs", true}});
  std::vector<std::string> expectedFiles = {".Trashes", "Old discs", DeviceFileName("Old discs", k_guid, 15, 0)};
  for (const auto& c : cases) {
    MountData* discP = Identify(c.storageElem, {{"disk3s1", c.volumeName.c_str(), true}});
    std::string name = DeviceFileName(c.display, k_guid, c.storageElem, 0);
    EXPECT_STREQ(discP->m_firstDeviceP->m_deviceMountPointNameP, name.c_str()) << c.what;
    // On disk a '/' of the name is a ':'.
    std::string onDisk = name;
    std::replace(onDisk.begin(), onDisk.end(), '/', ':');
    expectedFiles.push_back(onDisk);
    struct stat st {};
    ASSERT_EQ(::stat((RootDir() + "/" + onDisk).c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0775u) << c.what << ": 0664 under the mask, plus execute";
    EXPECT_EQ(st.st_size, 0) << c.what;
  }
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(Entries(RootDir()), expectedFiles);
}

TEST_F(DeviceFiles, WhichDevicesGetNamesAndFiles) {
  // Identified partitions in BSD-name byte order, then an unidentified one.
  MountData* mixedP = Identify(0, {{"disk3s2", "Two", true}, {"disk3s10", "Ten", true}, {"disk3s3", "", false}});
  const DeviceData* twoP = mixedP->m_firstDeviceP;
  EXPECT_EQ(twoP->m_device, 1);
  EXPECT_STREQ(twoP->m_deviceMountPointNameP, DeviceFileName("Two", k_guid, 0, 1).c_str());
  EXPECT_STREQ(twoP->m_nextP->m_deviceMountPointNameP, DeviceFileName("Ten", k_guid, 0, 0).c_str());
  EXPECT_EQ(twoP->m_nextP->m_nextP->m_deviceMountPointNameP, nullptr);
  // Only unidentified devices: the first one is named, and no file is made for it.
  MountData* unknownP = Identify(1, {{"disk4s1", "", false}, {"disk4s2", "", false}});
  ASSERT_TRUE(MarkMountDataAsUnmountable(unknownP));
  EXPECT_STREQ(unknownP->m_firstDeviceP->m_deviceMountPointNameP, DeviceFileName("", k_guid, 1, 0x8000).c_str());
  EXPECT_EQ(unknownP->m_firstDeviceP->m_nextP->m_deviceMountPointNameP, nullptr);
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Ten", k_guid, 0, 0),
                                                          DeviceFileName("Two", k_guid, 0, 1)}));
}

TEST_F(DeviceFiles, OlderProductTagNamesDeviceZero) {
  MountPtr discP = MakeDisc(m_changerP.get(), 3, {{"disk3s1", "VOL_0", true}, {"disk3s2", "VOL_1", true}});
  discP->m_SH9PrimaryVolTagP = strdup("Archive 1999");
  ASSERT_TRUE(CreateMediaDeviceInfoFiles(discP.get()));
  EXPECT_STREQ(discP->m_firstDeviceP->m_deviceMountPointNameP, DeviceFileName("Archive 1999", k_guid, 3, 0).c_str());
  EXPECT_STREQ(discP->m_lastDeviceP->m_deviceMountPointNameP, DeviceFileName("VOL_1", k_guid, 3, 1).c_str());
}

TEST_F(DeviceFiles, NamingAnewKeepsTheOldDisplayName) {
  Identify(0, {{"disk3s1", "Backup", true}});
  MountData* secondP = Identify(1, {{"disk4s1", "Backup", true}});
  std::string old = secondP->m_firstDeviceP->m_deviceMountPointNameP;
  ASSERT_EQ(old, DeviceFileName("Backup 2", k_guid, 1, 0));
  char* nameP = nullptr;
  ASSERT_TRUE(GetDeviceFileName(secondP, secondP->m_firstDeviceP, old.c_str(), &nameP));
  EXPECT_EQ(std::string(nameP), old);
  free(nameP);
  // Without the old name the device would move on to the next free suffix.
  ASSERT_TRUE(GetDeviceFileName(secondP, secondP->m_firstDeviceP, nullptr, &nameP));
  EXPECT_EQ(std::string(nameP), DeviceFileName("Backup 3", k_guid, 1, 0));
  free(nameP);
  platform::log::Capture capture;
  nameP = reinterpret_cast<char*>(1);
  EXPECT_FALSE(GetDeviceFileName(secondP, secondP->m_firstDeviceP, "no separator", &nameP));
  EXPECT_EQ(nameP, nullptr);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "GetDeviceFileName: unable to locate the device name separator character.\n"});
}

TEST_F(DeviceFiles, FileMovedIntoAFolderIsFoundRenamedAndDeleted) {
  MountData* discP = Identify(2, {{"disk3s1", "Photos", true}});
  Identify(3, {{"disk4s1", "Music", true}});
  std::string name = discP->m_firstDeviceP->m_deviceMountPointNameP;
  std::filesystem::create_directories(RootDir() + "/Old discs/1999");
  std::filesystem::rename(RootDir() + "/" + name, RootDir() + "/Old discs/1999/" + name);
  WriteFile(RootDir() + "/Old discs/1999/notes.txt", "mine");

  FSRef fileRef;
  ASSERT_TRUE(GetFSRefForDeviceFile(&m_changerP->m_changerDevicesDir, name.c_str(), &fileRef));
  // Found ignoring case.
  std::string lower = DeviceFileName("photos", k_guid, 2, 0);
  ASSERT_TRUE(GetFSRefForDeviceFile(&m_changerP->m_changerDevicesDir, lower.c_str(), &fileRef));

  std::vector<std::string> told;
  static std::vector<std::string>* s_toldP;
  s_toldP = &told;
  g_updateChangerFileSystemDeviceFileNameP = [](ChangerData*, const char* i_oldP, const char* i_newP) {
    s_toldP->push_back(std::string("rename ") + i_oldP + " -> " + i_newP);
    return true;
  };
  g_notifyAndDeleteFSDeviceInfoByDeviceFileP = [](ChangerData*, const char* i_nameP, bool i_haveLock) {
    s_toldP->push_back(std::string("dispose ") + i_nameP + (i_haveLock ? " locked" : ""));
    return true;
  };
  std::string renamed = DeviceFileName("Holidays", k_guid, 2, 0);
  discP->m_firstDeviceP->m_finishedState = deviceFinishedStateIsFinished;
  ASSERT_TRUE(RenameDeviceMountPointFile(m_changerP.get(), discP->m_firstDeviceP, name.c_str(), renamed.c_str()));
  EXPECT_EQ(Entries(RootDir() + "/Old discs/1999"), (std::vector<std::string>{renamed, "notes.txt"}));

  ASSERT_TRUE(DeleteDeviceFiles(m_changerP.get(), 2));
  EXPECT_EQ(Entries(RootDir() + "/Old discs/1999"), std::vector<std::string>{"notes.txt"});
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Music", k_guid, 3, 0),
                                                          "Old discs"}));
  EXPECT_EQ(told, (std::vector<std::string>{"rename " + name + " -> " + renamed, "dispose " + renamed}));
}

TEST_F(DeviceFiles, RenameOfAMissingFileCreatesIt) {
  std::string wanted = DeviceFileName("New", k_guid, 4, 0);
  ASSERT_TRUE(RenameDeviceMountPointFile(m_changerP.get(), nullptr, DeviceFileName("Gone", k_guid, 4, 0).c_str(),
                                         wanted.c_str()));
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", wanted}));
}

TEST_F(DeviceFiles, OldDeviceFilesGoWithTheirMissingMediaFiles) {
  Identify(0, {{"disk3s1", "Kept", true}});
  Identify(1, {{"disk4s1", "Stale", true}});
  WriteFile(ChangerDir(k_guid) + "/Discs/00000.plist", "any");
  WriteFile(RootDir() + "/readme", "mine");
  ASSERT_TRUE(RemoveOldDeviceFiles(m_changerP.get()));
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", DeviceFileName("Kept", k_guid, 0, 0),
                                                          "readme"}));
}

TEST_F(DeviceFiles, MountPointNameFromTheMediaInfoFile) {
  MountPtr discP = MakeDisc(m_changerP.get(), 5, {{"disk3s1", "One", true}, {"disk3s2", "Two", true}});
  auto partitions = [&](const std::string& i_keys) {
    WriteFile(ChangerDir(k_guid) + "/Discs/00005.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>partitions</key>\n"
              "<dict>\n" + i_keys + "</dict>\n</dict>\n</plist>\n");
  };
  auto key = [](const std::string& i_name) {
    std::string xml = i_name;
    return "<key>" + xml.replace(xml.find('\x01'), 1, "&#1;") + "</key><dict/>\n";
  };
  partitions(key(DeviceFileName("One", k_guid, 5, 0)) + key(DeviceFileName("Two", k_guid, 5, 1)));
  char* nameP = nullptr;
  ASSERT_TRUE(GetDeviceMountPointName(discP.get(), discP->m_lastDeviceP, &nameP));
  EXPECT_EQ(std::string(nameP), DeviceFileName("Two", k_guid, 5, 1));
  free(nameP);

  partitions(key(DeviceFileName("Other", k_guid, 6, 1)));
  platform::log::Capture capture;
  EXPECT_FALSE(GetDeviceMountPointName(discP.get(), discP->m_lastDeviceP, &nameP));
  EXPECT_EQ(nameP, nullptr);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "GetDeviceMountPointName: changer GUID or storage element number do not match!\n"});
}

// A file whose host name is no UTF-8 cannot be named through the File Manager: it is passed over,
// and the slots after it are still cleaned.
TEST_F(DeviceFiles, NameThatIsNotUTF8DoesNotStopTheCleanUp) {
  const std::string bad = DeviceFileName("Bad\xFF", k_guid, 1, 0);
  WriteFile(RootDir() + "/" + bad, "");
  Identify(3, {{"disk4s1", "Later", true}});
  platform::log::Capture capture;
  EXPECT_TRUE(RemoveOldDeviceFiles(m_changerP.get()));
  EXPECT_EQ(capture.Lines(),
            std::vector<std::string>{"DeleteDeviceFileIfNecessary: skipping a device file of storage element 1 whose "
                                     "name is not valid UTF-8.\n"});
  EXPECT_EQ(Entries(RootDir()), (std::vector<std::string>{".Trashes", bad}));
}

}  // namespace
