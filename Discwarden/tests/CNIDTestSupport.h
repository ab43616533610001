// A temporary system root with one changer whose CNID table is set up, for the CNID tests.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CNIDTables.h"
#include "ChangerData.h"
#include "MountData.h"
#include "platform/SysRoot.h"

namespace cnidtest {

constexpr UInt64 k_GUID = 0x00A0B0C0D0E0F001ULL;
inline const char* const k_changerDir = "/Library/Changers/00A0B0C0D0E0F001";

inline std::vector<UInt8> ReadBytes(const std::string& hostPath, size_t maxLength = size_t(-1)) {
  std::ifstream in(hostPath, std::ios::binary);
  std::vector<UInt8> bytes;
  for (std::istreambuf_iterator<char> it(in), end; it != end && bytes.size() < maxLength; ++it)
    bytes.push_back(UInt8(*it));
  return bytes;
}

inline void WriteBytes(const std::string& hostPath, const std::vector<UInt8>& bytes) {
  std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline UInt32 BE32At(const std::vector<UInt8>& bytes, size_t offset) {
  return (UInt32(bytes.at(offset)) << 24) | (UInt32(bytes.at(offset + 1)) << 16) |
         (UInt32(bytes.at(offset + 2)) << 8) | UInt32(bytes.at(offset + 3));
}

inline void PutBE32(std::vector<UInt8>& bytes, size_t offset, UInt32 value) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = UInt8(value >> (24 - 8 * i));
}

// A fresh root per test; the changer is listed with its table set up.
class ChangerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/cnidtest.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    m_root = templ;
    setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();
    std::filesystem::create_directories(Host(k_changerDir) + "/Root");
    ASSERT_TRUE(StartMountLists());
    ASSERT_TRUE(InitializeCNIDTables());
    m_changer = new ChangerData{};
    m_changer->m_changerGUID = k_GUID;
    std::strcpy(m_mountPath, "/Volumes/Changer");
    m_changer->m_changerMountPathP = m_mountPath;
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(k_changerDir), &m_changer->m_changerDir, nullptr), noErr);
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>((std::string(k_changerDir) + "/Root").c_str()),
                            &m_changer->m_changerDevicesDir, nullptr),
              noErr);
    ASSERT_TRUE(AddChangerDataToList(m_changer));
    if (m_openTable) {
      ASSERT_TRUE(InitializeCNIDTable(m_changer));
    }
  }

  void TearDown() override {
    if (m_changer != nullptr) {
      (void)RemoveChangerDataFromList(m_changer);  // a test may have taken it out already
      m_changer->m_changerMountPathP = nullptr;
      delete m_changer;
    }
    std::filesystem::remove_all(m_root);
    unsetenv("SHELVONX_SYSROOT");
    platform::ResetSysRoot();
  }

  std::string Host(const std::string& macPath) const { return m_root + macPath; }
  std::string MapFile() const { return Host(std::string(k_changerDir) + "/CNIDs"); }
  std::string SoupFile() const { return Host(std::string(k_changerDir) + "/file names"); }

  CNID Lookup(CNID parent, const char* name, UInt16 storageElem = 3, UInt16 device = 1) {
    CNID cnid = 0, parentCNID = 0;
    EXPECT_TRUE(LookupCNIDByParentCNIDAndName(k_GUID, storageElem, device, true, parent, name, true, &cnid,
                                              &parentCNID))
        << name;
    return cnid;
  }

  std::string Path(CNID cnid) {
    char* path = nullptr;
    if (!PathFromCNID(k_GUID, cnid, &path, nullptr)) return "<none>";
    std::string result(path);
    free(path);
    return result;
  }

  // Closes the table so that a test can change its files, then opens it again.
  void Reopen(const std::function<void()>& change = {}) {
    ASSERT_TRUE(DisposeCNIDTable(m_changer));
    if (change) change();
    ASSERT_TRUE(InitializeCNIDTable(m_changer));
  }

  std::string m_root;
  ChangerData* m_changer = nullptr;
  char m_mountPath[64] = {};
  bool m_openTable = true;
};

}  // namespace cnidtest
