// Fuzzes the CNID table opener, the requests on an opened table and the checker with a pair of
// database files. Input: a 4-byte big-endian length L, then L bytes of "CNIDs" (fewer when the
// input is shorter), then the rest as "file names". The checker must leave both files exactly as
// it found them; the process aborts if it does not.
//
// Links: cnidchecker (which brings discwarden_core and platform).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CNIDChecker.h"
#include "CNIDTables.h"
#include "ChangerData.h"
#include "MountData.h"
#include "platform/SysRoot.h"

namespace {

constexpr UInt64 k_GUID = 0x00A0B0C0D0E0F001ULL;
constexpr const char* k_changerDir = "/Library/Changers/00A0B0C0D0E0F001";

struct SFuzzRoot {
  std::string m_mapFile;
  std::string m_soupFile;
  ChangerData* m_changerP = nullptr;
  char m_mountPath[32] = "/Volumes/Changer";
};

std::string MakeDirectories(const std::string& i_root, const char* i_macPath) {
  std::string path = i_root;
  std::string mac = i_macPath;
  for (size_t start = 1; start <= mac.size();) {
    size_t end = mac.find('/', start);
    if (end == std::string::npos) end = mac.size();
    path += "/" + mac.substr(start, end - start);
    mkdir(path.c_str(), 0755);
    start = end + 1;
  }
  return path;
}

// One system root for the whole run: the checker and the tables resolve Mac paths under it.
SFuzzRoot& FuzzRoot() {
  static SFuzzRoot* s_rootP = [] {
    auto* rootP = new SFuzzRoot;
    char templ[] = "/tmp/cnid_tables_fuzz.XXXXXX";
    if (mkdtemp(templ) == nullptr) abort();
    setenv("SHELVONX_SYSROOT", templ, 1);
    platform::ResetSysRoot();
    std::string dir = MakeDirectories(templ, k_changerDir);
    MakeDirectories(templ, (std::string(k_changerDir) + "/Root").c_str());
    rootP->m_mapFile = dir + "/CNIDs";
    rootP->m_soupFile = dir + "/file names";
    if (!StartMountLists() || !InitializeCNIDTables()) abort();
    rootP->m_changerP = new ChangerData{};
    rootP->m_changerP->m_changerGUID = k_GUID;
    rootP->m_changerP->m_changerMountPathP = rootP->m_mountPath;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(k_changerDir), &rootP->m_changerP->m_changerDir, nullptr) !=
        noErr)
      abort();
    std::string rootDir = std::string(k_changerDir) + "/Root";
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(rootDir.c_str()), &rootP->m_changerP->m_changerDevicesDir,
                      nullptr) != noErr)
      abort();
    if (!AddChangerDataToList(rootP->m_changerP)) abort();
    return rootP;
  }();
  return *s_rootP;
}

void WriteFile(const std::string& i_path, const uint8_t* i_dataP, size_t i_size) {
  std::ofstream out(i_path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(i_dataP), static_cast<std::streamsize>(i_size));
  if (!out) abort();
}

std::vector<uint8_t> ReadFile(const std::string& i_path) {
  std::ifstream in(i_path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A few requests of each kind, on CNIDs near the ones a small table holds.
void RunRequests() {
  CNID cnid = 0;
  CNID parentCNID = 0;
  for (CNID parent : {CNID(k_rootCNID), CNID(16), CNID(17)}) {
    (void)LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, parent, "a", false, &cnid, &parentCNID);
    (void)LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, parent, "..", false, &cnid, &parentCNID);
  }
  for (CNID item : {CNID(2), CNID(16), CNID(17), CNID(18), cnid}) {
    char* pathP = nullptr;
    if (PathFromCNID(k_GUID, item, &pathP, nullptr)) free(pathP);
  }
  (void)MoveRenameCNID(k_GUID, k_rootCNID, 17, "", 16, "a longer name than before");
  (void)DeleteCNID(k_GUID, 18);
  (void)DeleteCNIDTree(k_GUID, 16, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* i_dataP, size_t i_size) {
  SFuzzRoot& root = FuzzRoot();
  if (i_size < 4) return 0;
  size_t mapSize = (size_t(i_dataP[0]) << 24) | (size_t(i_dataP[1]) << 16) | (size_t(i_dataP[2]) << 8) | i_dataP[3];
  i_dataP += 4;
  i_size -= 4;
  if (mapSize > i_size) mapSize = i_size;
  WriteFile(root.m_mapFile, i_dataP, mapSize);
  WriteFile(root.m_soupFile, i_dataP + mapSize, i_size - mapSize);

  SCNIDErrorEntryHeader errorList = {0, nullptr, nullptr};
  bool isClean = CheckCNIDDBByPath(k_changerDir, &errorList);
  SInt32 listed = 0;
  for (SCNIDErrorEntry* entryP = errorList.head; entryP != nullptr; entryP = entryP->next) ++listed;
  if (listed != errorList.errorCount && errorList.errorCount != -1) abort();
  if (isClean && listed != 0) abort();
  FreeCNIDErrorList(&errorList);
  if (ReadFile(root.m_mapFile) != std::vector<uint8_t>(i_dataP, i_dataP + mapSize)) abort();
  if (ReadFile(root.m_soupFile) != std::vector<uint8_t>(i_dataP + mapSize, i_dataP + i_size)) abort();

  // The daemon's opener may repair what it finds; then requests on what it made of it.
  if (InitializeCNIDTable(root.m_changerP)) {
    RunRequests();
    if (!DisposeCNIDTable(root.m_changerP)) abort();
  }
  return 0;
}
