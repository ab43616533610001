// Runs under ThreadSanitizer too (label tsan): growth moves both mappings while other threads
// use the same table.
#include <atomic>
#include <thread>

#include "CNIDTestSupport.h"

namespace {

using namespace cnidtest;

class CNIDTablesConcurrency : public ChangerFixture {};

TEST_F(CNIDTablesConcurrency, GrowthWhileOthersLookUpRenameAndResolvePaths) {
  const CNID folder = Lookup(k_rootCNID, "folder");
  const CNID renamed = Lookup(folder, "r");
  const int k_additions = 1500;  // grows "CNIDs" 50 times and "file names" 8 times
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};

  std::thread grower([&] {
    std::string name(40, 'n');
    for (int i = 0; i < k_additions; ++i) {
      std::string itemName = name + std::to_string(i);
      CNID cnid = 0, parentCNID = 0;
      if (!LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, folder, itemName.c_str(), false, &cnid, &parentCNID))
        ++failures;
    }
    done = true;
  });
  // Each rename lengthens the name, so it appends to the soup (and grows it) under the list lock
  // for reading only.
  std::thread renamer([&] {
    std::string name = "r";
    while (!done) {
      std::string longer = name.size() < 200 ? name + "r" : "r";
      if (!MoveRenameCNID(k_GUID, folder, renamed, name.c_str(), folder, longer.c_str())) ++failures;
      name = longer;
    }
  });
  std::thread resolver([&] {
    while (!done) {
      char* path = nullptr;
      UInt16 length = 0;
      if (!PathFromCNID(k_GUID, renamed, &path, &length) ||
          std::strncmp(path, "/Volumes/Changer/folder/r", 25) != 0 || length != std::strlen(path))
        ++failures;
      free(path);
    }
  });
  std::thread looker([&] {
    while (!done) {
      CNID cnid = 0, parentCNID = 0;
      if (!LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, k_rootCNID, "folder", false, &cnid, &parentCNID) ||
          cnid != folder || parentCNID != k_rootCNID)
        ++failures;
    }
  });
  for (std::thread* t : {&grower, &renamer, &resolver, &looker}) t->join();

  EXPECT_EQ(failures.load(), 0);
  // Every item added is there once, under its own name, in the order of its CNID.
  for (int i = 0; i < k_additions; i += 97) {
    std::string itemName = std::string(40, 'n') + std::to_string(i);
    EXPECT_EQ(Lookup(folder, itemName.c_str()), renamed + 1 + CNID(i));
    EXPECT_EQ(Path(renamed + 1 + CNID(i)), "/Volumes/Changer/folder/" + itemName);
  }
  std::vector<UInt8> map = ReadBytes(MapFile());
  EXPECT_EQ(BE32At(map, 12), renamed + CNID(k_additions));
  EXPECT_EQ(map.size(), 16 + 20 * size_t(BE32At(map, 4)));
}

}  // namespace
