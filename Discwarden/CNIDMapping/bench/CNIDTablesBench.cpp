// Request-path costs of the CNID tables: run by hand (build target cnid_bench), not by ctest.
// A table of 100 000 items in 100 folders of 1 000 entries, a 10 240-byte directory block, and
// paths at depth 10.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "CNIDTables.h"
#include "ChangerData.h"
#include "MountData.h"
#include "platform/SysRoot.h"

namespace {

constexpr UInt64 k_GUID = 0x00A0B0C0D0E0F001ULL;
constexpr int k_folders = 100;
constexpr int k_entriesPerFolder = 1000;

std::string ItemName(int i) { return "item-" + std::to_string(i) + ".dat"; }

// A table that could not be built would time failure paths.
void Require(bool i_ok, const char* i_whatP) {
  if (i_ok) return;
  fprintf(stderr, "cnid_bench: unable to %s.\n", i_whatP);
  exit(1);
}

struct Table {
  Table() {
    char templ[] = "/tmp/cnidbench.XXXXXX";
    root = mkdtemp(templ);
    setenv("SHELVONX_SYSROOT", root.c_str(), 1);
    platform::ResetSysRoot();
    std::filesystem::create_directories(root + "/Library/Changers/bench");
    Require(StartMountLists(), "start the mount lists");
    Require(InitializeCNIDTables(), "initialise the CNID tables");
    changer = new ChangerData();
    changer->m_changerGUID = k_GUID;
    changer->m_changerMountPathP = mountPath;
    (void)FSPathMakeRef(reinterpret_cast<const UInt8*>("/Library/Changers/bench"), &changer->m_changerDir, nullptr);  // the timed calls fail visibly without it
    Require(AddChangerDataToList(changer), "list the changer");
    Require(InitializeCNIDTable(changer), "set up the CNID table");
    for (int f = 0; f < k_folders; ++f) {
      folders.push_back(Lookup(k_rootCNID, ("folder " + std::to_string(f)).c_str()));
      for (int i = 0; i < k_entriesPerFolder; ++i) Lookup(folders.back(), ItemName(i).c_str());
    }
    deep = k_rootCNID;
    for (int d = 0; d < 10; ++d) deep = Lookup(deep, ("level " + std::to_string(d)).c_str());
  }
  ~Table() {
    (void)RemoveChangerDataFromList(changer);  // the process ends next; its log says why
    changer->m_changerMountPathP = nullptr;
    delete changer;
    std::filesystem::remove_all(root);
  }
  CNID Lookup(CNID parent, const char* name) {
    CNID cnid = 0, parentCNID = 0;
    Require(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, parent, name, false, &cnid, &parentCNID),
            "add an item");
    return cnid;
  }
  std::string root;
  char mountPath[32] = "/Volumes/Changer";
  ChangerData* changer = nullptr;
  std::vector<CNID> folders;
  CNID deep = 0;
};

Table& TheTable() {
  static Table table;
  return table;
}

void BM_LookupInFolderOf1000(benchmark::State& state) {
  Table& table = TheTable();
  std::mt19937 random(1);
  for (auto _ : state) {
    CNID cnid = table.Lookup(table.folders[random() % k_folders], ItemName(int(random() % k_entriesPerFolder)).c_str());
    benchmark::DoNotOptimize(cnid);
  }
}
BENCHMARK(BM_LookupInFolderOf1000);

void BM_LookupLastOfFolderOf1000(benchmark::State& state) {
  Table& table = TheTable();
  // The first item added is the last of its child list: the longest walk.
  std::string name = ItemName(0);
  for (auto _ : state) benchmark::DoNotOptimize(table.Lookup(table.folders[7], name.c_str()));
}
BENCHMARK(BM_LookupLastOfFolderOf1000);

void BM_LookupCNIDsForDirEnt10240(benchmark::State& state) {
  Table& table = TheTable();
  std::vector<UInt8> block;
  int entries = 0;
  for (int i = 0;; i += 2, ++entries) {
    std::string name = ItemName(i);
    UInt16 length = UInt16((8 + name.size() + 1 + 3) & ~3u);
    if (block.size() + length > k_dirEntBlockSize) break;
    std::vector<UInt8> record(length, 0);
    std::memcpy(record.data() + 4, &length, 2);
    record[7] = UInt8(name.size());
    std::memcpy(record.data() + 8, name.c_str(), name.size());
    block.insert(block.end(), record.begin(), record.end());
  }
  std::vector<UInt8> out(k_dirEntBlockSize);
  for (auto _ : state) {
    if (!LookupCNIDsForDirEnt(k_GUID, 0, 0, table.folders[3], block.data(), out.data(), UInt32(block.size()))) {
      state.SkipWithError("LookupCNIDsForDirEnt failed");
      break;
    }
  }
  state.counters["entries"] = entries;
}
BENCHMARK(BM_LookupCNIDsForDirEnt10240);

void BM_PathFromCNIDDepth10(benchmark::State& state) {
  Table& table = TheTable();
  for (auto _ : state) {
    char* path = nullptr;
    if (!PathFromCNID(k_GUID, table.deep, &path, nullptr)) {
      state.SkipWithError("PathFromCNID failed");
      break;
    }
    free(path);
  }
}
BENCHMARK(BM_PathFromCNIDDepth10);

}  // namespace

BENCHMARK_MAIN();
