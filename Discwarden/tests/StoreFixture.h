// A temporary system root for the daemon's file store, and changer records that live in it.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChangerData.h"
#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "MountData.h"
#include "platform/Log.h"
#include "platform/SysRoot.h"

namespace discwarden::test {

struct ChangerDeleter {
  void operator()(ChangerData* i_changerDataP) const { DisposeChangerData(i_changerDataP); }
};
using ChangerPtr = std::unique_ptr<ChangerData, ChangerDeleter>;

struct MountDeleter {
  void operator()(MountData* i_mountDataP) const { DisposeMountData(i_mountDataP); }
};
using MountPtr = std::unique_ptr<MountData, MountDeleter>;

// Where `simhostd init` installs the daemon's bundle, as a Mac path.
constexpr const char* k_daemonBundlePath = "/Library/StartupItems/Discwarden/Discwarden.bundle";
constexpr const char* k_daemonPath = "/Library/StartupItems/Discwarden/Discwarden.bundle/Contents/MacOS/Discwarden";

// Copies the staged daemon bundle into `i_root` at its installed place.
inline void InstallDaemonBundle(const std::string& i_root) {
  std::filesystem::path bundle = i_root + k_daemonBundlePath;
  std::filesystem::create_directories(bundle);
  std::filesystem::copy(std::string(SHELVONX_STAGE_DIR) + "/Discwarden.bundle", bundle,
                        std::filesystem::copy_options::recursive);
}

inline std::string ReadFile(const std::string& i_path) {
  std::ifstream in(i_path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& i_path, const std::string& i_text) {
  std::filesystem::create_directories(std::filesystem::path(i_path).parent_path());
  std::ofstream(i_path, std::ios::binary) << i_text;
}

// The name of a file under "Root": display name, separator, 24 digits.
inline std::string DeviceFileName(const std::string& i_display, UInt64 i_guid, UInt16 i_storageElem,
                                  UInt16 i_device) {
  char id[25];
  snprintf(id, sizeof id, "%016llX%04X%04X", static_cast<unsigned long long>(i_guid), i_storageElem, i_device);
  return i_display + '\x01' + id;
}

// Names in a host folder, sorted.
inline std::vector<std::string> Entries(const std::string& i_hostDir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(i_hostDir))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreFixture : public ::testing::Test {
 protected:
  static constexpr gid_t k_adminGroup = 80;

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "discwarden-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    std::filesystem::create_directories(m_root + "/var/log");
    WriteFile(m_root + "/etc/group", "wheel:*:0:root\nadmin:*:80:root\n");
    ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();
    m_savedMask = ::umask(002);
    g_runningOnTiger = false;
  }

  void TearDown() override {
    ::umask(m_savedMask);
    ::unsetenv("SHELVONX_SYSROOT");
    platform::ResetSysRoot();
    std::filesystem::remove_all(m_root);
  }

  // A changer record that is not listed (the registry tests list their own).
  ChangerPtr MakeChanger(UInt64 i_guid, UInt16 i_storageElemCount = 8) {
    ChangerPtr changerP(new ChangerData{});
    changerP->m_changerGUID = i_guid;
    changerP->m_changerStorageElemCount = i_storageElemCount;
    changerP->m_storageElemsToActiveProbeArr = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    changerP->m_storageElemsToPassiveProbeArr = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    return changerP;
  }

  // A changer whose directories exist.
  ChangerPtr MakeLocatedChanger(UInt64 i_guid, UInt16 i_storageElemCount = 8) {
    ChangerPtr changerP = MakeChanger(i_guid, i_storageElemCount);
    EXPECT_TRUE(LocateChangerRootDirectory(changerP.get()));
    EXPECT_TRUE(LocateChangerMediaDirectory(changerP.get()));
    EXPECT_TRUE(LocateChangerDevicesDirectory(changerP.get()));
    EXPECT_TRUE(CheckChangerDevicesTrashDirectory(changerP.get()));
    return changerP;
  }

  std::string ChangerDir(UInt64 i_guid) const {
    char guid[17];
    snprintf(guid, sizeof guid, "%016llX", static_cast<unsigned long long>(i_guid));
    return m_root + "/Library/Changers/" + guid;
  }

  std::string m_root;
  mode_t m_savedMask = 0;
};

}  // namespace discwarden::test

namespace discwarden::test {

struct DeviceSpec {
  const char* m_bsdName;
  const char* m_volumeName;
  bool m_identified;
};

// A disc of the changer as the changer thread holds it after its load completed: devices added
// in the order given and numbered.
inline MountPtr MakeDisc(ChangerData* i_changerDataP, UInt16 i_storageElem, const std::vector<DeviceSpec>& i_devices,
                         const char* i_mediaTypeP = "DVD-ROM") {
  MountData* mountDataP = nullptr;
  EXPECT_TRUE(CreateMountData(i_changerDataP, i_storageElem, k_probeMountFlag, &mountDataP));
  MountPtr mountP(mountDataP);
  for (const DeviceSpec& device : i_devices) {
    EXPECT_TRUE(AddDeviceToMountData(device.m_bsdName, device.m_volumeName, false, false, device.m_identified,
                                     mountDataP));
    if (device.m_identified) mountDataP->m_hasAnIdentifiedDevice = true;
  }
  mountDataP->m_mediaTypeP = i_mediaTypeP != nullptr ? strdup(i_mediaTypeP) : nullptr;
  EXPECT_TRUE(AssignDeviceNumbers(mountDataP));
  return mountP;
}

}  // namespace discwarden::test
