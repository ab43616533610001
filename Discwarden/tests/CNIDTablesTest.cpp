#include <sys/resource.h>

#include <csignal>
#include <functional>

#include "CNIDTestSupport.h"
#include "platform/Log.h"

namespace {

using namespace cnidtest;
using Lines = std::vector<std::string>;

// Hex text of a byte range, for readable byte comparisons.
std::string Hex(const std::vector<UInt8>& bytes, size_t offset, size_t length) {
  static const char* const k_digits = "0123456789ABCDEF";
  std::string text;
  for (size_t i = offset; i < offset + length && i < bytes.size(); ++i) {
    text += k_digits[bytes[i] >> 4];
    text += k_digits[bytes[i] & 15];
  }
  return text;
}

std::string RecordHex(const std::vector<UInt8>& mapBytes, CNID cnid) { return Hex(mapBytes, 16 + 20 * cnid, 20); }

class CNIDTables : public ChangerFixture {};

TEST_F(CNIDTables, NewTableFilesAreByteExact) {
  // Written out from the layout: header, records 1 and 2, then zeros; the soup with two zero bytes.
  std::vector<UInt8> expectedMap(616, 0);
  const char* const headerAndRecords =
      "00000010" "0000001E" "00000010" "00000010"          // used 16, capacity 30, next 16, highest 16
      "0000000000000000000000000000000000000000"          // record 0
      "FFFFFFFF" "00000001" "00000001" "00000000" "00000002"  // record 1
      "FFFFFFFF" "00000001" "00000001" "00000000" "00000000";  // record 2
  for (size_t i = 0; headerAndRecords[2 * i] != 0; ++i)
    expectedMap[i] = UInt8(std::stoul(std::string(headerAndRecords + 2 * i, 2), nullptr, 16));
  std::vector<UInt8> expectedSoup(10008, 0);
  expectedSoup[3] = 2;                       // used 2
  expectedSoup[6] = 0x27, expectedSoup[7] = 0x10;  // capacity 10000

  EXPECT_EQ(ReadBytes(MapFile()), expectedMap);
  EXPECT_EQ(ReadBytes(SoupFile()), expectedSoup);
  struct stat info;
  ASSERT_EQ(stat(MapFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_EQ(stat(SoupFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

TEST_F(CNIDTables, ItemsAreNumberedFrom16AndTheFourteenthGrowsTheMapping) {
  EXPECT_EQ(Lookup(k_rootCNID, "a", 0x0102, 0x0304), 16u);
  std::vector<UInt8> map = ReadBytes(MapFile());
  EXPECT_EQ(BE32At(map, 0), 17u);
  EXPECT_EQ(RecordHex(map, 16), "01020304" "00000002" "00000002" "00000000" "00000000");
  EXPECT_EQ(Lookup(k_rootCNID, "bc"), 17u);
  map = ReadBytes(MapFile());
  EXPECT_EQ(BE32At(map, 0), 18u);
  // Newest first: the root's child is 17, whose sibling is 16.
  EXPECT_EQ(RecordHex(map, 2), "FFFFFFFF" "00000001" "00000001" "00000000" "00000011");
  EXPECT_EQ(RecordHex(map, 17), "00030001" "00000004" "00000002" "00000010" "00000000");
  EXPECT_EQ(Hex(ReadBytes(SoupFile()), 0, 15), "00000007" "00002710" "0000" "6100" "626300");

  const char* const names[] = {"c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m"};  // CNIDs 18..28
  for (const char* name : names) Lookup(k_rootCNID, name);
  EXPECT_EQ(ReadBytes(MapFile()).size(), 616u);
  EXPECT_EQ(Lookup(k_rootCNID, "n"), 29u);
  map = ReadBytes(MapFile());
  EXPECT_EQ(map.size(), 1216u);
  EXPECT_EQ(Hex(map, 0, 16), "0000001E" "0000003C" "0000001E" "0000001D");
}

TEST_F(CNIDTables, FullNameSoupGrowsOnceBy10000Bytes) {
  // 2 bytes used; 39 names of 255 bytes (256 with the NUL) bring it to 9986.
  std::string longName(255, 'x');
  for (int i = 0; i < 39; ++i) {
    longName[0] = char('A' + i);
    Lookup(k_rootCNID, longName.c_str());
  }
  struct Step {
    std::string name;
    UInt32 used;
    size_t fileSize;
  };
  const Step steps[] = {
      {std::string(13, 'f'), 10000, 10008},  // 9986 + 13 stays below 10000: fills the soup exactly
      {"y", 10002, 20008},                   // full: one growth
      {"z", 10004, 20008},
  };
  for (const Step& step : steps) {
    Lookup(k_rootCNID, step.name.c_str());
    std::vector<UInt8> soup = ReadBytes(SoupFile());
    EXPECT_EQ(BE32At(soup, 0), step.used) << step.name;
    EXPECT_EQ(soup.size(), step.fileSize) << step.name;
    EXPECT_EQ(BE32At(soup, 4), step.fileSize - 8) << step.name;
  }
}

TEST_F(CNIDTables, LookupEdgeCases) {
  CNID foo = Lookup(k_rootCNID, "Foo");
  CNID folder = Lookup(k_rootCNID, "folder");
  CNID inner = Lookup(folder, "inner");
  struct Case {
    CNID parent;
    const char* name;
    CNID cnid;
    CNID parentCNID;
  };
  const Case cases[] = {
      {k_rootCNID, ".", k_rootCNID, k_rootParentCNID},
      {k_rootCNID, "..", k_rootParentCNID, k_rootParentCNID},
      {folder, ".", folder, k_rootCNID},
      {folder, "..", k_rootCNID, k_rootParentCNID},
      {k_rootCNID, "Foo", foo, k_rootCNID},  // same name again: same CNID
      {k_rootCNID, "foo", inner + 1, k_rootCNID},  // letter case matters: a new item
      {folder, "inner", inner, folder},
      {folder, "Foo", inner + 2, folder},  // the same name in another folder is another item
  };
  for (const Case& c : cases) {
    CNID cnid = 0, parentCNID = 0;
    ASSERT_TRUE(LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, c.parent, c.name, false, &cnid, &parentCNID))
        << c.name;
    EXPECT_EQ(cnid, c.cnid) << c.parent << "/" << c.name;
    EXPECT_EQ(parentCNID, c.parentCNID) << c.parent << "/" << c.name;
  }
}

TEST_F(CNIDTables, RenameWritesInPlaceOrAppends) {
  CNID item = Lookup(k_rootCNID, "ab");  // soup: 00 00 'ab' 00, used 5
  ASSERT_TRUE(MoveRenameCNID(k_GUID, k_rootCNID, item, "ab", k_rootCNID, "abcd"));
  std::vector<UInt8> soup = ReadBytes(SoupFile());
  EXPECT_EQ(Hex(soup, 0, 18), "0000000A" "00002710" "0000" "000000" "6162636400");
  EXPECT_EQ(BE32At(ReadBytes(MapFile()), 16 + 20 * item + 4), 5u);
  ASSERT_TRUE(MoveRenameCNID(k_GUID, k_rootCNID, item, "abcd", k_rootCNID, "xy"));
  soup = ReadBytes(SoupFile());
  EXPECT_EQ(Hex(soup, 0, 18), "0000000A" "00002710" "0000" "000000" "7879000000");
  EXPECT_EQ(Path(item), "/Volumes/Changer/xy");
  CNID again = 0, parentCNID = 0;
  ASSERT_TRUE(LookupCNIDByParentCNIDAndName(k_GUID, 1, 0, true, k_rootCNID, "xy", false, &again, &parentCNID));
  EXPECT_EQ(again, item);
}

TEST_F(CNIDTables, MoveTakesChildrenAlongToTheHeadOfTheNewParent) {
  CNID a = Lookup(k_rootCNID, "a");
  CNID b = Lookup(k_rootCNID, "b");
  CNID existing = Lookup(b, "existing");
  CNID moved = Lookup(a, "moved");
  CNID child = Lookup(moved, "child");
  ASSERT_TRUE(MoveRenameCNID(k_GUID, a, moved, "moved", b, "moved"));
  std::vector<UInt8> map = ReadBytes(MapFile());
  EXPECT_EQ(BE32At(map, 16 + 20 * b + 16), moved);         // head of b's list
  EXPECT_EQ(BE32At(map, 16 + 20 * moved + 12), existing);  // followed by the old head
  EXPECT_EQ(BE32At(map, 16 + 20 * moved + 8), b);
  EXPECT_EQ(BE32At(map, 16 + 20 * a + 16), 0u);
  EXPECT_EQ(Path(child), "/Volumes/Changer/b/moved/child");
  // Moving a folder below its own child would cut the tree loose: refused, nothing changes.
  platform::log::Capture capture;
  EXPECT_FALSE(MoveRenameCNID(k_GUID, b, moved, "moved", child, "x"));
  EXPECT_EQ(capture.Lines(), Lines{"MoveRenameCNID: CNID " + std::to_string(moved) + " cannot move below itself.\n"});
  EXPECT_EQ(ReadBytes(MapFile()), map);
}

TEST_F(CNIDTables, DeleteCNIDKeepsChildrenDeleteCNIDTreeRemovesThem) {
  struct Case {
    bool tree;
    bool childrenKept;
  };
  for (const Case& c : {Case{false, true}, Case{true, false}}) {
    CNID before = Lookup(k_rootCNID, "before");
    CNID folder = Lookup(k_rootCNID, c.tree ? "tree" : "single");
    CNID child = Lookup(folder, "child");
    CNID grandChild = Lookup(child, "grandchild");
    CNID sibling = Lookup(folder, "sibling");
    CNID after = Lookup(k_rootCNID, "after");
    ASSERT_TRUE(c.tree ? DeleteCNIDTree(k_GUID, folder, false) : DeleteCNID(k_GUID, folder));
    std::vector<UInt8> map = ReadBytes(MapFile());
    EXPECT_EQ(RecordHex(map, folder), std::string(40, '0'));
    for (CNID kept : {child, grandChild, sibling})
      EXPECT_EQ(RecordHex(map, kept) == std::string(40, '0'), !c.childrenKept) << kept;
    // The folder's siblings stay linked: after -> before.
    EXPECT_EQ(BE32At(map, 16 + 20 * after + 12), before);
    EXPECT_EQ(Path(before), "/Volumes/Changer/before");
    EXPECT_EQ(Path(after), "/Volumes/Changer/after");
    // Deleted names are zeroed: a lookup creates the folder anew.
    EXPECT_GT(Lookup(k_rootCNID, c.tree ? "tree" : "single"), after);
  }
  const std::string highest = std::to_string(BE32At(ReadBytes(MapFile()), 12));
  platform::log::Capture capture;
  EXPECT_FALSE(DeleteCNID(k_GUID, 40000));
  EXPECT_FALSE(DeleteCNIDTree(k_GUID, 17, false));
  EXPECT_FALSE(DeleteCNID(k_GUID, k_rootCNID));
  EXPECT_EQ(capture.Lines(), (Lines{
                                 "DeleteCNID: request to delete CNID that is out of range (CNID: 40000 Highest CNID: " + highest + ")\n",
                                 "DeleteCNIDTree: request to delete invalid CNID 17\n",
                                 "DeleteCNID: request to delete invalid CNID 2\n",
                             }));
}

TEST_F(CNIDTables, PathFromCNIDGivesTheMountPathAndTheNames) {
  CNID a = Lookup(k_rootCNID, "a");
  CNID b = Lookup(a, "b");
  char* path = nullptr;
  UInt16 length = 0;
  ASSERT_TRUE(PathFromCNID(k_GUID, b, &path, &length));
  EXPECT_STREQ(path, "/Volumes/Changer/a/b");
  EXPECT_EQ(length, 20);
  free(path);
  ASSERT_TRUE(PathFromCNID(k_GUID, k_rootCNID, &path, &length));
  EXPECT_STREQ(path, "/Volumes/Changer");
  EXPECT_EQ(length, 16);
  free(path);
  platform::log::Capture capture;
  EXPECT_FALSE(PathFromCNID(0x1234, b, &path, &length));
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(capture.Lines(), Lines{"PathFromCNID: changer is not in the list!"});
}

TEST_F(CNIDTables, TheLastCNIDIsHandedOutOnceThenCreationsFail) {
  // A table one CNID short of the ceiling: 20 000 000 records, sparse.
  const UInt32 capacity = 20000000;
  Reopen([&] {
    std::vector<UInt8> map = ReadBytes(MapFile());  // still the new table's 616 bytes
    PutBE32(map, 4, capacity);
    PutBE32(map, 8, k_lastAssignableCNID);
    WriteBytes(MapFile(), map);
    ASSERT_EQ(truncate(MapFile().c_str(), 16 + 20 * off_t(capacity)), 0);
  });
  EXPECT_EQ(Lookup(k_rootCNID, "last"), CNID(k_lastAssignableCNID));
  EXPECT_EQ(Path(k_lastAssignableCNID), "/Volumes/Changer/last");
  platform::log::Capture capture;
  for (const char* name : {"one more", "another"}) {
    CNID cnid = 1, parentCNID = 1;
    EXPECT_FALSE(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, k_rootCNID, name, false, &cnid, &parentCNID));
    EXPECT_EQ(cnid, 0u);
  }
  const Lines refusal = {"GetNextNewCNID: out of CNIDs.\n", "AddCNIDEntry: out of CNID's!\n",
                         "LookupCNIDByParentCNIDAndName: error creating new CNID record.\n"};
  Lines expected = refusal;
  expected.insert(expected.end(), refusal.begin(), refusal.end());
  EXPECT_EQ(capture.Lines(), expected);
  std::vector<UInt8> header = ReadBytes(MapFile(), 16);
  EXPECT_EQ(BE32At(header, 8), k_lastAssignableCNID + 1u);
  EXPECT_EQ(BE32At(header, 12), CNID(k_lastAssignableCNID));
}

TEST_F(CNIDTables, ParentChainsThatNeverReachTheRootEndWithFailure) {
  CNID a = Lookup(k_rootCNID, "a");
  CNID b = Lookup(a, "b");
  CNID c = Lookup(b, "c");
  struct Case {
    const char* what;
    CNID parentOfA;
  };
  for (const Case& kase : {Case{"cycle", c}, Case{"reaches CNID 1", k_rootParentCNID}}) {
    Reopen([&] {
      std::vector<UInt8> map = ReadBytes(MapFile());
      PutBE32(map, 16 + 20 * a + 8, kase.parentOfA);
      WriteBytes(MapFile(), map);
    });
    platform::log::Capture capture;
    EXPECT_EQ(Path(c), "<none>") << kase.what;
    EXPECT_EQ(capture.Lines(), Lines{"PathFromCNID: the parent chain of CNID " + std::to_string(c) +
                                     " does not reach the root.\n"})
        << kase.what;
  }
}

TEST_F(CNIDTables, TablesSurviveReopeningAndAreFoundByGUID) {
  CNID a = Lookup(k_rootCNID, "a");
  CNID b = Lookup(a, "b");
  Reopen();
  EXPECT_EQ(Lookup(a, "b"), b);
  EXPECT_EQ(Lookup(k_rootCNID, "c"), b + 1);
  // Disposed: the GUID is no longer listed.
  ASSERT_TRUE(DisposeCNIDTable(m_changer));
  EXPECT_EQ(m_changer->m_CNIDTableP, nullptr);
  platform::log::Capture capture;
  CNID cnid = 0, parentCNID = 0;
  EXPECT_FALSE(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, k_rootCNID, "a", false, &cnid, &parentCNID));
  EXPECT_EQ(capture.Lines(),
            (Lines{"LookupCNIDTableForChanger: CNIDTable-for-changer mapping table didn't contain the GUID "
                   "0x00A0B0C0D0E0F001.\n",
                   "LookupCNIDByParentCNIDAndName: unable to lookup CNID table for changer 0x00A0B0C0D0E0F001.\n"}));
  EXPECT_EQ(g_CNIDTableForChangerListP, nullptr);
}

TEST_F(CNIDTables, SetUpFailsCleanlyWhenAFileCannotBeMapped) {
  ASSERT_TRUE(DisposeCNIDTable(m_changer));
  struct Case {
    const char* what;
    std::function<void()> prepare;
    Lines expected;
  };
  const std::string dir = k_changerDir;
  const Case cases[] = {
      {"CNIDs is a folder",
       [&] {
         std::filesystem::remove(MapFile());
         std::filesystem::create_directory(MapFile());
       },
       {"MMapCNIDMappingFile: unable to open the file.\n",
        "InitializeCNIDTable: uanble to memory map the CNID mapping table file.\n"}},
      {"file names is a folder",
       [&] {
         std::filesystem::remove(SoupFile());
         std::filesystem::create_directory(SoupFile());
       },
       {"MMapNameSoupFile: unable to open the file.\n", "InitializeCNIDTable: uanble to memory map the name soup file.\n"}},
      // The changer folder is writable by group admin: a planted link is never followed.
      {"CNIDs is a link",
       [&] {
         std::filesystem::remove(MapFile());
         WriteBytes(Host("/victim"), {'k', 'e', 'e', 'p'});
         std::filesystem::create_symlink(Host("/victim"), MapFile());
       },
       {"MMapCNIDMappingFile: unable to open the file.\n",
        "InitializeCNIDTable: uanble to memory map the CNID mapping table file.\n"}},
      {"file names is a FIFO",
       [&] {
         std::filesystem::remove(SoupFile());
         ASSERT_EQ(mkfifo(SoupFile().c_str(), 0600), 0);
       },
       {"MMapFile: the file is not a regular file.\n",
        "MMapNameSoupFile: unable to memory map the file " + dir + "/file names.\n",
        "InitializeCNIDTable: uanble to memory map the name soup file.\n"}},
  };
  for (const Case& c : cases) {
    std::vector<UInt8> map = ReadBytes(MapFile()), soup = ReadBytes(SoupFile());
    c.prepare();
    {
      platform::log::Capture capture;
      EXPECT_FALSE(InitializeCNIDTable(m_changer)) << c.what;
      EXPECT_EQ(capture.Lines(), c.expected) << c.what;
    }
    EXPECT_EQ(m_changer->m_CNIDTableP, nullptr) << c.what;
    EXPECT_EQ(g_CNIDTableForChangerListP, nullptr) << c.what;
    if (std::filesystem::exists(Host("/victim"))) {
      EXPECT_EQ(ReadBytes(Host("/victim")), (std::vector<UInt8>{'k', 'e', 'e', 'p'})) << c.what;
    }
    std::filesystem::remove_all(MapFile());
    std::filesystem::remove_all(SoupFile());
    WriteBytes(MapFile(), map);
    WriteBytes(SoupFile(), soup);
  }
  // Set up again: the same table, and a second call keeps it.
  ASSERT_TRUE(InitializeCNIDTable(m_changer));
  CNIDTable* table = m_changer->m_CNIDTableP;
  ASSERT_TRUE(InitializeCNIDTable(m_changer));
  EXPECT_EQ(m_changer->m_CNIDTableP, table);
  EXPECT_EQ(g_CNIDTableForChangerListP->m_linkP, nullptr);
}

TEST_F(CNIDTables, DirectoryEntryBlocksGetTheirCNIDs) {
  CNID known = Lookup(k_rootCNID, "known");
  // Records of odd lengths, so that some are not aligned.
  struct Entry {
    const char* name;
    UInt16 recordLength;
  };
  const Entry entries[] = {{".", 13}, {"..", 15}, {"known", 17}, {"new one", 19}};
  std::vector<UInt8> block;
  for (const Entry& e : entries) {
    std::vector<UInt8> record(e.recordLength, 0);
    UInt32 fileNumber = 7777;
    std::memcpy(record.data(), &fileNumber, 4);
    std::memcpy(record.data() + 4, &e.recordLength, 2);
    record[6] = 4;
    record[7] = UInt8(std::strlen(e.name));
    std::memcpy(record.data() + 8, e.name, std::strlen(e.name));
    block.insert(block.end(), record.begin(), record.end());
  }
  std::vector<UInt8> out(k_dirEntBlockSize, 0xEE);
  ASSERT_TRUE(LookupCNIDsForDirEnt(k_GUID, 5, 2, k_rootCNID, block.data(), out.data(), UInt32(block.size())));
  const CNID expected[] = {k_rootCNID, k_rootParentCNID, known, known + 1};
  size_t offset = 0;
  for (size_t i = 0; i < 4; ++i) {
    UInt32 fileNumber = 0;
    std::memcpy(&fileNumber, out.data() + offset, 4);
    EXPECT_EQ(fileNumber, expected[i]) << entries[i].name;
    EXPECT_EQ(std::memcmp(out.data() + offset + 4, block.data() + offset + 4, entries[i].recordLength - 4), 0);
    offset += entries[i].recordLength;
  }
  EXPECT_EQ(std::count(out.begin() + long(offset), out.end(), 0), long(k_dirEntBlockSize - offset));
  EXPECT_EQ(RecordHex(ReadBytes(MapFile()), known + 1).substr(0, 8), "00050002");

  // A record that claims more than the block holds ends the walk; the ones before it count.
  std::vector<UInt8> bad(block.begin(), block.begin() + 13);
  for (int byte : {1, 0, 0, 0, 200, 0, 4, 1, int('x'), 0}) bad.push_back(UInt8(byte));
  platform::log::Capture capture;
  ASSERT_TRUE(LookupCNIDsForDirEnt(k_GUID, 5, 2, k_rootCNID, bad.data(), out.data(), UInt32(bad.size())));
  UInt32 fileNumber = 0;
  std::memcpy(&fileNumber, out.data(), 4);
  EXPECT_EQ(fileNumber, CNID(k_rootCNID));
  EXPECT_EQ(out[13], 0);
  EXPECT_EQ(capture.Lines(), Lines{"LookupCNIDsForDirEnt: the directory entry at offset 13 does not fit the block.\n"});
}

TEST_F(CNIDTables, DeleteCNIDTreeByDeviceFileFindsTheFileInRoot) {
  const std::string deviceFile = "Photos\x01" "00A0B0C0D0E0F001000C0002";
  std::filesystem::create_directories(Host(std::string(k_changerDir) + "/Root/Folder"));
  WriteBytes(Host(std::string(k_changerDir) + "/Root/Folder/" + deviceFile), {});
  CNID folder = Lookup(k_rootCNID, "Folder");
  CNID photos = Lookup(folder, "Photos");
  CNID dcim = Lookup(photos, "DCIM");
  CNID other = Lookup(folder, "Other");
  ASSERT_TRUE(DeleteCNIDTreeByDeviceFile(k_GUID, deviceFile.c_str(), false));
  std::vector<UInt8> map = ReadBytes(MapFile());
  for (CNID gone : {photos, dcim}) EXPECT_EQ(RecordHex(map, gone), std::string(40, '0')) << gone;
  EXPECT_EQ(Path(other), "/Volumes/Changer/Folder/Other");
  EXPECT_EQ(BE32At(map, 16 + 20 * folder + 16), other);

  struct Case {
    const char* what;
    std::string fileName;
    std::string logged;
  };
  const Case cases[] = {
      {"no such file", "Missing\x01" "00A0B0C0D0E0F001000C0009",
       "DeleteCNIDTreeByDeviceFile: error finding FSRef for device file.\n"},
      {"no separator", "plain", "DeleteCNIDTreeByDeviceFile: no proper device file at end of path chain.\n"},
  };
  WriteBytes(Host(std::string(k_changerDir) + "/Root/plain"), {});
  for (const Case& c : cases) {
    platform::log::Capture capture;
    EXPECT_FALSE(DeleteCNIDTreeByDeviceFile(k_GUID, c.fileName.c_str(), false)) << c.what;
    EXPECT_TRUE(capture.Contains(c.logged)) << c.what;
  }
  // Already deleted: the walk finds no item, which fails without a message.
  platform::log::Capture capture;
  EXPECT_FALSE(DeleteCNIDTreeByDeviceFile(k_GUID, deviceFile.c_str(), false));
  EXPECT_EQ(capture.Lines(), Lines{});
}

// Damaged files: every operation checks what it reads against what is mapped, refuses, logs,
// and writes nothing.
TEST_F(CNIDTables, DamagedFilesAreRefusedWithoutTouchingThem) {
  CNID a = Lookup(k_rootCNID, "a");
  CNID b = Lookup(a, "b");
  ASSERT_EQ(a, 16u);
  ASSERT_EQ(b, 17u);
  auto lookupX = [](CNID parent) {
    return [parent] {
      CNID cnid = 0, parentCNID = 0;
      return LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, parent, "x", false, &cnid, &parentCNID);
    };
  };
  auto pathOfB = [] {
    char* path = nullptr;
    return PathFromCNID(k_GUID, 17, &path, nullptr);
  };
  auto renameB = [] { return MoveRenameCNID(k_GUID, 16, 17, "b", 2, "a longer name"); };
  auto deleteA = [] { return DeleteCNIDTree(k_GUID, 16, false); };
  using Bytes = std::vector<UInt8>;
  struct Case {
    const char* what;
    std::function<void(Bytes& map, Bytes& soup)> damage;
    std::function<bool()> operation;
    Lines expected;
  };
  const std::string mapDamaged = "LookupCNIDByParentCNIDAndName: the CNID mapping file is damaged ";
  const Case cases[] = {
      {"cut by one byte", [](Bytes& map, Bytes&) { map.resize(615); }, lookupX(k_rootCNID),
       {mapDamaged + "(file size = 615, capacity = 30, next CNID = 18, highest CNID = 17).\n"}},
      {"capacity beyond the file", [](Bytes& map, Bytes&) { PutBE32(map, 4, 31); }, lookupX(k_rootCNID),
       {mapDamaged + "(file size = 616, capacity = 31, next CNID = 18, highest CNID = 17).\n"}},
      {"highest beyond the capacity", [](Bytes& map, Bytes&) { PutBE32(map, 12, 30); }, lookupX(k_rootCNID),
       {mapDamaged + "(file size = 616, capacity = 30, next CNID = 18, highest CNID = 30).\n"}},
      {"shorter than its header", [](Bytes& map, Bytes&) { map.resize(8); }, lookupX(k_rootCNID),
       {mapDamaged + "(file size = 8).\n"}},
      {"soup capacity beyond the file", [](Bytes&, Bytes& soup) { PutBE32(soup, 4, 10001); }, renameB,
       {"MoveRenameCNID: the name soup file is damaged (file size = 10008, used = 6, capacity = 10001).\n"}},
      {"name offset past the used soup", [](Bytes& map, Bytes&) { PutBE32(map, 16 + 20 * 17 + 4, 9000); }, pathOfB,
       {"GetNameForCNIDEntry: the name of CNID 17 lies outside the name soup (offset = 9000, used = 6).\n",
        "PathFromCNID: CNID 17 has no name.\n"}},
      {"name running past the used soup", [](Bytes&, Bytes& soup) { PutBE32(soup, 0, 5); }, pathOfB,
       {"GetNameForCNIDEntry: the name of CNID 17 lies outside the name soup (offset = 4, used = 5).\n",
        "PathFromCNID: CNID 17 has no name.\n"}},
      {"child link above the highest", [](Bytes& map, Bytes&) { PutBE32(map, 16 + 20 * 16 + 16, 500); }, lookupX(16),
       {"FindCNIDFromParentCNIDAndName: CNID 16 links to CNID 500, outside the table (highest CNID 17).\n"}},
      {"parent link above the highest", [](Bytes& map, Bytes&) { PutBE32(map, 16 + 20 * 17 + 8, 99); }, pathOfB,
       {"PathFromCNID: CNID 17 links to CNID 99, outside the table (highest CNID 17).\n"}},
      {"sibling loop", [](Bytes& map, Bytes&) { PutBE32(map, 16 + 20 * 16 + 12, 16); }, lookupX(k_rootCNID),
       {"FindCNIDFromParentCNIDAndName: the child list of CNID 2 does not end.\n"}},
      {"item missing from its parent's list", [](Bytes& map, Bytes&) { PutBE32(map, 16 + 20 * 2 + 16, 0); }, deleteA,
       {"FindLinkingCNID: CNID Table is inconsistant.\n", "DeleteCNIDTree: could not find linking CNID.\n"}},
  };
  for (const Case& c : cases) {
    Bytes map, soup;
    Reopen([&] {
      map = ReadBytes(MapFile());
      soup = ReadBytes(SoupFile());
      Bytes damagedMap = map, damagedSoup = soup;
      c.damage(damagedMap, damagedSoup);
      WriteBytes(MapFile(), damagedMap);
      WriteBytes(SoupFile(), damagedSoup);
    });
    Bytes damagedMap = ReadBytes(MapFile()), damagedSoup = ReadBytes(SoupFile());
    {
      platform::log::Capture capture;
      EXPECT_FALSE(c.operation()) << c.what;
      EXPECT_EQ(capture.Lines(), c.expected) << c.what;
    }
    EXPECT_EQ(ReadBytes(MapFile()), damagedMap) << c.what;
    EXPECT_EQ(ReadBytes(SoupFile()), damagedSoup) << c.what;
    Reopen([&] {
      WriteBytes(MapFile(), map);
      WriteBytes(SoupFile(), soup);
    });
  }
  EXPECT_EQ(Path(b), "/Volumes/Changer/a/b");
}

// Items a (16), b (17) and c (18) below the root; the table is closed for the test to damage.
class DamagedCNIDTables : public ChangerFixture {
 protected:
  void SetUp() override {
    ChangerFixture::SetUp();
    ASSERT_EQ(Lookup(k_rootCNID, "a"), 16u);
    ASSERT_EQ(Lookup(k_rootCNID, "b"), 17u);
    ASSERT_EQ(Lookup(16, "c"), 18u);
    ASSERT_TRUE(DisposeCNIDTable(m_changer));
    m_map = ReadBytes(MapFile());
    m_soup = ReadBytes(SoupFile());
  }

  // Writes the damaged files, opens the table and returns what the opening logged.
  Lines Open(const std::vector<UInt8>& map, const std::vector<UInt8>* soup) {
    WriteBytes(MapFile(), map);
    if (soup != nullptr)
      WriteBytes(SoupFile(), *soup);
    else
      std::filesystem::remove(SoupFile());
    platform::log::Capture capture;
    EXPECT_TRUE(InitializeCNIDTable(m_changer));
    return capture.Lines();
  }

  void Close() {
    ASSERT_TRUE(DisposeCNIDTable(m_changer));
  }

  std::vector<UInt8> m_map, m_soup;
};

// A next CNID that is not above every CNID in use would hand out a live record again.
TEST_F(DamagedCNIDTables, NextCNIDInUseIsRaisedAboveItAfterALogLine) {
  struct Case {
    const char* what;
    UInt32 next, highest;
    Lines logged;
    std::string header;  // after one more item was added
  };
  const Case cases[] = {
      {"next names a live record", 17, 18,
       {"RepairNextCNID: CNID 18 is in use at or above the next CNID 17; the next CNID is now 19.\n"},
       "00000014" "0000001E" "00000014" "00000013"},
      {"live records above the highest", 16, 16,
       {"RepairNextCNID: CNID 18 is in use at or above the next CNID 16; the next CNID is now 19.\n"},
       "00000014" "0000001E" "00000014" "00000013"},
      {"sound", 19, 18, {}, "00000014" "0000001E" "00000014" "00000013"},
  };
  for (const Case& c : cases) {
    std::vector<UInt8> map = m_map;
    PutBE32(map, 8, c.next);
    PutBE32(map, 12, c.highest);
    EXPECT_EQ(Open(map, &m_soup), c.logged) << c.what;
    EXPECT_EQ(Lookup(k_rootCNID, "new"), 19u) << c.what;
    for (CNID cnid : {16u, 17u, 18u, 19u}) EXPECT_NE(Path(cnid), "<none>") << c.what << " " << cnid;
    EXPECT_EQ(Path(18), "/Volumes/Changer/a/c") << c.what;
    EXPECT_EQ(Hex(ReadBytes(MapFile()), 0, 16), c.header) << c.what;
    Close();
  }
  // Should the next CNID come to name a live record while the table is open, it is refused.
  Open(m_map, &m_soup);
  CNIDSet32(*m_changer->m_CNIDTableP->m_nextCNIDAssignmentP, 17);
  std::vector<UInt8> before = ReadBytes(MapFile());
  platform::log::Capture capture;
  CNID cnid = 0, parentCNID = 0;
  EXPECT_FALSE(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, k_rootCNID, "x", false, &cnid, &parentCNID));
  EXPECT_EQ(capture.Lines(), (Lines{"AddCNIDEntry: CNID 17 is already in use.\n",
                                    "LookupCNIDByParentCNIDAndName: error creating new CNID record.\n"}));
  EXPECT_EQ(ReadBytes(MapFile()), before);
  EXPECT_EQ(Path(17), "/Volumes/Changer/b");
}

// A zeroed "CNIDs" header with records behind it: the records stay, the header is rebuilt from
// them. A file of zeros only is a table whose creation stopped: it is written anew, silently.
TEST_F(DamagedCNIDTables, ZeroedHeaderIsRebuiltFromTheRecords) {
  struct Case {
    const char* what;
    UInt32 capacity;
    bool recordsKept;
    Lines logged;
  };
  const std::string rebuilt =
      "RebuildCNIDMappingHeader: the header of the CNID mapping file is zeroed but its records are not; "
      "rebuilt for 30 records, next CNID 19.\n";
  const Case cases[] = {
      {"zeroed header", 0, true, {rebuilt}},
      {"zeroed header but the capacity", 30, true, {rebuilt}},
      {"zeros only", 30, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<UInt8> map = m_map;
    std::fill(map.begin(), map.begin() + 16, 0);
    if (!c.recordsKept) std::fill(map.begin(), map.end(), 0);
    PutBE32(map, 4, c.capacity);
    EXPECT_EQ(Open(map, &m_soup), c.logged) << c.what;
    if (c.recordsKept) {
      EXPECT_EQ(Hex(ReadBytes(MapFile()), 0, 16), "00000013" "0000001E" "00000013" "00000012") << c.what;
      EXPECT_EQ(Path(18), "/Volumes/Changer/a/c") << c.what;
      EXPECT_EQ(Lookup(16, "c"), 18u) << c.what;
      EXPECT_EQ(Lookup(k_rootCNID, "new"), 19u) << c.what;
    } else {
      EXPECT_EQ(Hex(ReadBytes(MapFile()), 0, 16), "00000010" "0000001E" "00000010" "00000010") << c.what;
      EXPECT_EQ(Lookup(k_rootCNID, "new"), 16u) << c.what;
    }
    Close();
  }
}

// With "file names" gone or empty the records' names are lost; new names must never land at
// offset 0 (a free record) nor at offsets old records still point to.
TEST_F(DamagedCNIDTables, EmptyNameSoupIsDamage) {
  std::vector<UInt8> emptySoup;
  std::vector<UInt8> zeroedHeader = m_soup;
  std::fill(zeroedHeader.begin(), zeroedHeader.begin() + 8, 0);
  std::vector<UInt8> zeroedSoup(m_soup.size(), 0);
  struct Case {
    const char* what;
    const std::vector<UInt8>* soup;
    bool namesKept;
    Lines logged;
  };
  const std::string cleared =
      "ClearNamelessCNIDRecords: the name soup file is empty but the CNID mapping file holds items; "
      "their records are cleared, the next CNID stays 19.\n";
  const Case cases[] = {
      {"file names missing", nullptr, false, {cleared}},
      {"file names empty", &emptySoup, false, {cleared}},
      {"file names zeroed", &zeroedSoup, false, {cleared}},
      {"file names header zeroed", &zeroedHeader, true,
       {"RebuildNameSoupHeader: the header of the name soup file is zeroed but its names are not; rebuilt "
        "(used = 8, capacity = 10000).\n"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Open(m_map, c.soup), c.logged) << c.what;
    CNID fresh = Lookup(k_rootCNID, "fresh");
    EXPECT_EQ(fresh, 19u) << c.what;
    std::vector<UInt8> map = ReadBytes(MapFile());
    EXPECT_GE(BE32At(map, 16 + 20 * fresh + 4), 2u) << c.what;
    EXPECT_EQ(Path(fresh), "/Volumes/Changer/fresh") << c.what;
    if (c.namesKept) {
      EXPECT_EQ(Path(18), "/Volumes/Changer/a/c") << c.what;
      EXPECT_EQ(Lookup(k_rootCNID, "b"), 17u) << c.what;
    } else {
      for (CNID gone : {16u, 17u, 18u}) EXPECT_EQ(RecordHex(map, gone), std::string(40, '0')) << c.what << gone;
      EXPECT_EQ(Lookup(k_rootCNID, "b"), 20u) << c.what;
    }
    Close();
  }
  // And a table found with such a soup while open is refused, not written.
  Open(m_map, &m_soup);
  CNIDTable* table = m_changer->m_CNIDTableP;
  CNIDSet32(*table->m_nameSoupUsedP, 0);
  std::vector<UInt8> before = ReadBytes(MapFile());
  platform::log::Capture capture;
  CNID cnid = 0, parentCNID = 0;
  EXPECT_FALSE(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, k_rootCNID, "x", false, &cnid, &parentCNID));
  EXPECT_EQ(capture.Lines(),
            Lines{"LookupCNIDByParentCNIDAndName: the name soup file is damaged (file size = 10008, used = 0, "
                  "capacity = 10000).\n"});
  EXPECT_EQ(ReadBytes(MapFile()), before);
}

// A path is cut at what the reply to the file system can carry: 4096 bytes with its NUL. A
// parent cycle ends there, not after as many segments as the table has CNIDs.
TEST_F(CNIDTables, PathsEndAtTheLongestAReplyCanCarry) {
  const std::string name255(255, 'n');
  CNID parent = k_rootCNID;
  for (int i = 0; i < 15; ++i) parent = Lookup(parent, name255.c_str());  // 16 + 15 x 256 = 3856 bytes
  CNID fits = Lookup(parent, std::string(238, 'f').c_str());             // 3856 + 239 = 4095
  CNID over = Lookup(parent, std::string(239, 'o').c_str());             // 4096: no room for the NUL
  char* path = nullptr;
  UInt16 length = 0;
  ASSERT_TRUE(PathFromCNID(k_GUID, fits, &path, &length));
  EXPECT_EQ(length, 4095);
  EXPECT_EQ(strlen(path), 4095u);
  free(path);
  platform::log::Capture capture;
  EXPECT_FALSE(PathFromCNID(k_GUID, over, &path, &length));
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(capture.Lines(), Lines{"PathFromCNID: the path of CNID " + std::to_string(over) +
                                   " is longer than a reply can carry.\n"});

  // A parent cycle in a table of 200 000 CNIDs.
  CNID x = Lookup(k_rootCNID, name255.c_str());
  CNID y = Lookup(x, name255.c_str());
  Reopen([&] {
    std::vector<UInt8> map = ReadBytes(MapFile());
    PutBE32(map, 16 + 20 * x + 8, y);
    PutBE32(map, 4, 200000);
    PutBE32(map, 12, 199999);
    WriteBytes(MapFile(), map);
    ASSERT_EQ(truncate(MapFile().c_str(), 16 + 20 * off_t(200000)), 0);
  });
  capture.Clear();
  EXPECT_FALSE(PathFromCNID(k_GUID, y, &path, &length));
  EXPECT_EQ(capture.Lines(), Lines{"PathFromCNID: the path of CNID " + std::to_string(y) +
                                   " is longer than a reply can carry.\n"});
}

// A sibling cycle in a large table: a failed walk logs what it met once, not at every pass
// round the cycle (a walk may take as many steps as the table has CNIDs).
TEST_F(CNIDTables, SiblingCycleLogsOncePerFailedWalk) {
  CNID folder = Lookup(k_rootCNID, "folder");
  CNID first = Lookup(folder, "first");
  CNID second = Lookup(folder, "second");
  // "stray" names the folder as its parent but is on no list of it.
  CNID stray = Lookup(k_rootCNID, "stray");
  Reopen([&] {
    std::vector<UInt8> map = ReadBytes(MapFile());
    PutBE32(map, 16 + 20 * first + 12, second);
    PutBE32(map, 16 + 20 * first + 4, 9000);
    PutBE32(map, 16 + 20 * stray + 8, folder);
    PutBE32(map, 4, 200000);
    PutBE32(map, 12, 199999);
    WriteBytes(MapFile(), map);
    ASSERT_EQ(truncate(MapFile().c_str(), 16 + 20 * off_t(200000)), 0);
  });
  const std::string soupUsed = std::to_string(BE32At(ReadBytes(SoupFile()), 0));
  const Lines walkFailed = {
      "GetNameForCNIDEntry: the name of CNID " + std::to_string(first) + " lies outside the name soup (offset = 9000, used = " +
          soupUsed + ").\n",
      "FindCNIDFromParentCNIDAndName: the child list of CNID " + std::to_string(folder) + " does not end.\n"};
  {
    platform::log::Capture capture;
    CNID cnid = 0, parentCNID = 0;
    EXPECT_FALSE(LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, folder, "missing", false, &cnid, &parentCNID));
    EXPECT_EQ(capture.Lines(), walkFailed);
  }
  {
    platform::log::Capture capture;
    EXPECT_FALSE(DeleteCNID(k_GUID, stray));
    EXPECT_EQ(capture.Lines(), (Lines{"FindLinkingCNID: CNID Table is inconsistant.\n",
                                      "DeleteCNID: error finding linking CNID.\n"}));
  }
}

TEST_F(CNIDTables, FailedGrowthKeepsTheTableAtItsSizeAndGivesTheCNIDBack) {
  for (const char* name : {"c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o"}) Lookup(k_rootCNID, name);
  // No file of this process may grow past its size now.
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limited = saved;
  limited.rlim_cur = 616;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  platform::log::Capture capture;
  CNID cnid = 0, parentCNID = 0;
  bool added = LookupCNIDByParentCNIDAndName(k_GUID, 0, 0, true, k_rootCNID, "p", false, &cnid, &parentCNID);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_FALSE(added);
  EXPECT_EQ(capture.Lines(), (Lines{"GrowAMappingFile: unable to extend the file (err = " + std::to_string(EFBIG) + ").\n",
                                    "AddCNIDEntry: could not grow CNID mapping file.\n",
                                    "LookupCNIDByParentCNIDAndName: error creating new CNID record.\n"}));
  std::vector<UInt8> map = ReadBytes(MapFile());
  EXPECT_EQ(map.size(), 616u);
  EXPECT_EQ(Hex(map, 0, 16), "0000001D" "0000001E" "0000001D" "0000001C");
  EXPECT_EQ(Lookup(k_rootCNID, "p"), 29u);
  EXPECT_EQ(ReadBytes(MapFile()).size(), 1216u);
}

}  // namespace
