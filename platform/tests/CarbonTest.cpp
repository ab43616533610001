#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace fs = std::filesystem;

namespace {

std::u16string U(const char* utf8) {
  CFRef<CFStringRef> s(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
  std::u16string out(static_cast<size_t>(CFStringGetLength(s.get())), u'\0');
  CFStringGetCharacters(s.get(), CFRangeMake(0, CFStringGetLength(s.get())), reinterpret_cast<UniChar*>(out.data()));
  return out;
}

std::string UTF8(const HFSUniStr255& name) {
  CFRef<CFStringRef> s(CFStringCreateWithCharacters(nullptr, name.unicode, name.length));
  char buf[1024];
  return CFStringGetCString(s.get(), buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "?";
}

const UniChar* Chars(const std::u16string& s) { return reinterpret_cast<const UniChar*>(s.data()); }

std::string PathOf(const FSRef& ref) {
  UInt8 buf[1024];
  return FSRefMakePath(&ref, buf, sizeof buf) == noErr ? reinterpret_cast<char*>(buf) : "<error>";
}

// A temporary system root with the Library folder made through the File Manager.
class CarbonRoot : public platform_test::TempRootTest {
 protected:
  CarbonRoot() : TempRootTest("carbontest") {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
    m_oldMask = ::umask(002);
    ASSERT_EQ(FSFindFolder(kLocalDomain, kDomainLibraryFolderType, kCreateFolder, &m_library), noErr);
  }
  void TearDown() override {
    ::umask(m_oldMask);
    TempRootTest::TearDown();
  }
  std::string Host(const std::string& mac) const { return m_root + mac; }
  OSErr MakeDir(const FSRef& parent, const char* name, FSRef* o_ref = nullptr) {
    std::u16string n = U(name);
    return FSCreateDirectoryUnicode(&parent, n.size(), Chars(n), kFSCatInfoNone, nullptr, o_ref, nullptr, nullptr);
  }
  OSErr MakeFile(const FSRef& parent, const char* name, FSRef* o_ref = nullptr) {
    std::u16string n = U(name);
    return FSCreateFileUnicode(&parent, n.size(), Chars(n), kFSCatInfoNone, nullptr, o_ref, nullptr);
  }
  OSErr Lookup(const FSRef& parent, const char* name, FSRef* o_ref) {
    std::u16string n = U(name);
    return FSMakeFSRefUnicode(&parent, n.size(), Chars(n), kTextEncodingUnicodeDefault, o_ref);
  }

  mode_t m_oldMask = 0;
  FSRef m_library{};
};

struct Listed {
  std::string name;
  bool isDir;
  std::string path;
};

TEST_F(CarbonRoot, BulkIterationHandsOutEveryItemThenTheEndCode) {
  FSRef dir;
  ASSERT_EQ(MakeDir(m_library, "Root", &dir), noErr);
  // 23 items: 21 files and two folders, one of which holds an item that must not show.
  std::vector<Listed> expected;
  for (int i = 0; i < 21; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file %02d", i);
    ASSERT_EQ(MakeFile(dir, name), noErr);
    expected.push_back({name, false, std::string("/Library/Root/") + name});
  }
  FSRef sub;
  ASSERT_EQ(MakeDir(dir, "Folder A", &sub), noErr);
  ASSERT_EQ(MakeFile(sub, "inner"), noErr);
  ASSERT_EQ(MakeDir(dir, ".Trashes"), noErr);
  expected.insert(expected.begin(), {".Trashes", true, "/Library/Root/.Trashes"});
  expected.insert(expected.begin() + 1, {"Folder A", true, "/Library/Root/Folder A"});

  struct Case {
    const char* what;
    ItemCount perCall;
    bool paramBlock;
    std::vector<ItemCount> batches;
  } cases[] = {
      {"1 per call, parameter block", 1, true, std::vector<ItemCount>(23, 1)},
      {"20 per call, parameter block", 20, true, {20, 3}},
      {"20 per call, direct", 20, false, {20, 3}},
  };
  for (const auto& c : cases) {
    FSIterator it = nullptr;
    ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr) << c.what;
    std::vector<FSCatalogInfo> infos(c.perCall);
    std::vector<FSRef> refs(c.perCall);
    std::vector<HFSUniStr255> names(c.perCall);
    std::vector<Listed> got;
    std::vector<ItemCount> batches;
    OSErr err = noErr;
    for (int guard = 0; guard < 100; ++guard) {
      ItemCount actual = 99;
      if (c.paramBlock) {
        FSCatalogBulkParam pb{};
        pb.iterator = it;
        pb.maximumItems = c.perCall;
        pb.whichInfo = kFSCatInfoNodeFlags;
        pb.catalogInfo = infos.data();
        pb.refs = refs.data();
        pb.names = names.data();
        err = PBGetCatalogInfoBulkSync(&pb);
        EXPECT_EQ(pb.ioResult, err);
        actual = pb.actualItems;
      } else {
        err = FSGetCatalogInfoBulk(it, c.perCall, &actual, nullptr, kFSCatInfoNodeFlags, infos.data(), refs.data(),
                                   nullptr, names.data());
      }
      if (err != noErr) {
        EXPECT_EQ(actual, 0u) << c.what;
        break;
      }
      batches.push_back(actual);
      for (ItemCount i = 0; i < actual; ++i)
        got.push_back({UTF8(names[i]), (infos[i].nodeFlags & kFSNodeIsDirectoryMask) != 0, PathOf(refs[i])});
    }
    EXPECT_EQ(err, errFSNoMoreItems) << c.what;
    EXPECT_EQ(batches, c.batches) << c.what;
    ASSERT_EQ(got.size(), expected.size()) << c.what;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, expected[i].name) << c.what;
      EXPECT_EQ(got[i].isDir, expected[i].isDir) << c.what << " " << got[i].name;
      EXPECT_EQ(got[i].path, expected[i].path) << c.what;
    }
    // Asking again after the end keeps answering the end.
    ItemCount actual = 5;
    EXPECT_EQ(FSGetCatalogInfoBulk(it, 1, &actual, nullptr, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr),
              errFSNoMoreItems);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(FSCloseIterator(it), noErr);
    EXPECT_EQ(FSCloseIterator(it), errFSIteratorNotFound) << c.what;
  }
}

TEST_F(CarbonRoot, ItemsDeletedDuringAWalkAreLeftOut) {
  FSRef dir;
  ASSERT_EQ(MakeDir(m_library, "Walk", &dir), noErr);
  for (const char* n : {"a", "b", "c", "d"}) ASSERT_EQ(MakeFile(dir, n), noErr);
  FSIterator it = nullptr;
  ASSERT_EQ(FSOpenIterator(&dir, kFSIterateFlat, &it), noErr);
  std::vector<std::string> got;
  FSRef ref;
  HFSUniStr255 name;
  ItemCount actual = 0;
  Boolean changed = false;
  while (FSGetCatalogInfoBulk(it, 1, &actual, &changed, kFSCatInfoNone, nullptr, &ref, nullptr, &name) == noErr) {
    got.push_back(UTF8(name));
    // Deleting what was handed out, and one item ahead, as a walk that removes files does.
    EXPECT_EQ(FSDeleteObject(&ref), noErr);
    if (got.size() == 1) fs::remove(Host("/Library/Walk/c"));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(FSCloseIterator(it), noErr);
  EXPECT_TRUE(fs::is_empty(Host("/Library/Walk")));
}

TEST_F(CarbonRoot, CreationFollowsTheMaskAndRefusesExistingNames) {
  struct Case {
    mode_t mask;
    bool folder;
    unsigned mode;
  } cases[] = {{002, true, 0775}, {002, false, 0664}, {022, true, 0755}, {077, false, 0600}};
  int n = 0;
  for (const auto& c : cases) {
    ::umask(c.mask);
    std::string name = "item" + std::to_string(n++);
    FSRef ref;
    ASSERT_EQ(c.folder ? MakeDir(m_library, name.c_str(), &ref) : MakeFile(m_library, name.c_str(), &ref), noErr);
    EXPECT_EQ(PathOf(ref), "/Library/" + name);
    struct stat st {};
    ASSERT_EQ(::stat(Host("/Library/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << name;
    EXPECT_EQ(S_ISDIR(st.st_mode), c.folder) << name;
    // The same name again, as a file or a folder, is refused and leaves the item alone.
    FSRef again;
    std::memset(&again, 0xAB, sizeof again);
    EXPECT_EQ(MakeFile(m_library, name.c_str(), &again), dupFNErr) << name;
    EXPECT_EQ(MakeDir(m_library, name.c_str()), dupFNErr) << name;
    FSRef zero{};
    EXPECT_EQ(std::memcmp(&again, &zero, sizeof zero), 0) << "out-parameter cleared";
  }
}

TEST_F(CarbonRoot, LookupsAndNamesAnswerWithDistinctErrors) {
  FSRef file, zeroRef{};
  ASSERT_EQ(MakeFile(m_library, "Info.plist", &file), noErr);
  std::u16string withNul = u"a";
  withNul += u'\0';
  struct Case {
    const char* what;
    const FSRef* parent;
    std::u16string name;
    OSErr err;
  } cases[] = {
      {"present", &m_library, u"Info.plist", noErr},
      {"absent", &m_library, u"Changers", fnfErr},
      {"parent is a file", &file, u"x", errFSNotAFolder},
      {"parent not a reference", &zeroRef, u"x", nsvErr},
      {"no parent", nullptr, u"x", paramErr},
      {"empty name", &m_library, u"", bdNamErr},
      {"colon in name", &m_library, u"a:b", bdNamErr},
      {"dot", &m_library, u".", bdNamErr},
      {"dot dot", &m_library, u"..", bdNamErr},
      {"NUL in name", &m_library, withNul, bdNamErr},
      {"256 characters", &m_library, std::u16string(256, u'x'), errFSNameTooLong},
      {"over 255 bytes on disk", &m_library, std::u16string(128, u'\u00E9'), errFSNameTooLong},
  };
  for (const auto& c : cases) {
    FSRef ref;
    EXPECT_EQ(FSMakeFSRefUnicode(c.parent, c.name.size(), Chars(c.name), 0, &ref), c.err) << c.what;
  }
  UInt8 path[64];
  EXPECT_EQ(FSRefMakePath(&zeroRef, path, sizeof path), nsvErr);
  ASSERT_EQ(FSDeleteObject(&file), noErr);
  EXPECT_EQ(FSRefMakePath(&file, path, sizeof path), fnfErr) << "a reference to a deleted item";
}

TEST_F(CarbonRoot, SlashInNamesIsColonOnDisk) {
  FSRef created;
  ASSERT_EQ(MakeFile(m_library, "A/B", &created), noErr);
  EXPECT_TRUE(fs::exists(Host("/Library/A:B")));
  EXPECT_EQ(PathOf(created), "/Library/A:B");
  std::ofstream(Host("/Library/C:D")).put('x');

  HFSUniStr255 name;
  ASSERT_EQ(FSGetCatalogInfo(&created, kFSCatInfoNone, nullptr, &name, nullptr, nullptr), noErr);
  EXPECT_EQ(UTF8(name), "A/B");
  FSRef found;
  ASSERT_EQ(Lookup(m_library, "C/D", &found), noErr);
  EXPECT_EQ(PathOf(found), "/Library/C:D");

  std::vector<std::string> listed;
  FSIterator it = nullptr;
  ASSERT_EQ(FSOpenIterator(&m_library, kFSIterateFlat, &it), noErr);
  ItemCount actual = 0;
  while (FSGetCatalogInfoBulk(it, 1, &actual, nullptr, kFSCatInfoNone, nullptr, nullptr, nullptr, &name) == noErr)
    listed.push_back(UTF8(name));
  FSCloseIterator(it);
  EXPECT_EQ(listed, (std::vector<std::string>{"A/B", "C/D"}));

  FSRef renamed;
  std::u16string newName = U("E/F");
  ASSERT_EQ(FSRenameUnicode(&found, newName.size(), Chars(newName), 0, &renamed), noErr);
  EXPECT_EQ(PathOf(renamed), "/Library/E:F");
  EXPECT_TRUE(fs::exists(Host("/Library/E:F")));
}

TEST_F(CarbonRoot, RenameAndDeleteAsTheMacDoes) {
  FSRef a, b, folder, inner;
  ASSERT_EQ(MakeFile(m_library, "a", &a), noErr);
  ASSERT_EQ(MakeFile(m_library, "b", &b), noErr);
  ASSERT_EQ(MakeDir(m_library, "folder", &folder), noErr);
  ASSERT_EQ(MakeFile(folder, "inner", &inner), noErr);

  std::u16string toB = u"b", toC = u"c", toBad = u"x:y";
  FSRef renamed;
  EXPECT_EQ(FSRenameUnicode(&a, toB.size(), Chars(toB), 0, &renamed), dupFNErr);
  EXPECT_TRUE(fs::exists(Host("/Library/a")));
  EXPECT_EQ(FSRenameUnicode(&a, toBad.size(), Chars(toBad), 0, &renamed), bdNamErr);
  ASSERT_EQ(FSRenameUnicode(&a, toC.size(), Chars(toC), 0, &renamed), noErr);
  EXPECT_EQ(PathOf(renamed), "/Library/c");
  EXPECT_FALSE(fs::exists(Host("/Library/a")));
  FSRef stale;
  EXPECT_EQ(FSRenameUnicode(&a, toC.size(), Chars(toC), 0, &stale), fnfErr) << "the old name is gone";

  struct Case {
    const char* what;
    const FSRef* ref;
    OSErr err;
    const char* gone;
  } cases[] = {
      {"folder with an item", &folder, fBsyErr, nullptr},
      {"file", &inner, noErr, "/Library/folder/inner"},
      {"empty folder", &folder, noErr, "/Library/folder"},
      {"deleted already", &folder, fnfErr, nullptr},
      {"renamed file", &renamed, noErr, "/Library/c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FSDeleteObject(c.ref), c.err) << c.what;
    if (c.gone) {
      EXPECT_FALSE(fs::exists(Host(c.gone))) << c.what;
    }
  }
  EXPECT_TRUE(fs::exists(Host("/Library/b")));
}

TEST_F(CarbonRoot, PathsNeedRoomForTheirTerminator) {
  FSRef dir;
  ASSERT_EQ(MakeDir(m_library, "Changers", &dir), noErr);
  const std::string path = "/Library/Changers";
  UInt8 buf[64];
  struct Case {
    UInt32 size;
    OSStatus err;
    std::string text;
  } cases[] = {
      {static_cast<UInt32>(path.size() + 1), noErr, path},
      {static_cast<UInt32>(path.size()), paramErr, ""},
      {1, paramErr, ""},
  };
  for (const auto& c : cases) {
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(FSRefMakePath(&dir, buf, c.size), c.err) << c.size;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), c.text) << c.size;
  }
  EXPECT_EQ(FSRefMakePath(&dir, buf, 0), paramErr);
}

TEST_F(CarbonRoot, FindFolderMakesTheLibraryUnderTheRoot) {
  fs::remove_all(Host("/Library"));
  FSRef ref;
  struct Case {
    SInt16 domain;
    OSType type;
    Boolean create;
    OSErr err;
    const char* path;
  } cases[] = {
      {kLocalDomain, kDomainLibraryFolderType, kDontCreateFolder, fnfErr, nullptr},
      {kLocalDomain, kDomainLibraryFolderType, kCreateFolder, noErr, "/Library"},
      {kOnSystemDisk, kDomainLibraryFolderType, kDontCreateFolder, noErr, "/Library"},
      {kSystemDomain, kDomainLibraryFolderType, kCreateFolder, noErr, "/System/Library"},
      {kLocalDomain, 0x74656D70 /* 'temp' */, kCreateFolder, fnfErr, nullptr},
      {-32763 /* user domain */, kDomainLibraryFolderType, kCreateFolder, fnfErr, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FSFindFolder(c.domain, c.type, c.create, &ref), c.err) << c.domain << " " << c.type;
    if (c.path) {
      EXPECT_EQ(PathOf(ref), c.path);
      EXPECT_TRUE(fs::is_directory(Host(c.path))) << c.path;
    }
  }
  struct stat st {};
  ASSERT_EQ(::stat(Host("/Library").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);
}

TEST_F(CarbonRoot, CatalogInformationReadsAndSetsPermissions) {
  FSRef file;
  ASSERT_EQ(MakeFile(m_library, "device", &file), noErr);
  FSCatalogInfo info;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(info.permissions.mode & 07777, 0664);
  EXPECT_TRUE(S_ISREG(info.permissions.mode));
  EXPECT_EQ(info.permissions.userID, ::geteuid());
  // What a device file gets: execute for everyone added.
  info.permissions.mode |= 0111;
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info), noErr);
  struct stat st {};
  ASSERT_EQ(::stat(Host("/Library/device").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0775u);

  if (::geteuid() == 0) {
    info.permissions.userID = 1;
    info.permissions.groupID = 2;
    ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info), noErr);
    ASSERT_EQ(::stat(Host("/Library/device").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1u);
    EXPECT_EQ(st.st_gid, 2u);
  }

  // Everything read may be written back; Finder information the file system cannot keep may not.
  FSCatalogInfo all;
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoGettableInfo, &all, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoSettableInfo, &all), noErr);
  all.finderInfo[0] = 'T';
  EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoSettableInfo, &all), errFSBadInfoBitmap);
  EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoPermissions, nullptr), paramErr);

  // A content modification date set is read back.
  all.contentModDate = UTCDateTime{0, 3000000000u, 0};
  ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoContentMod, &all), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoContentMod, &info, nullptr, nullptr, nullptr), noErr);
  EXPECT_EQ(info.contentModDate.lowSeconds, 3000000000u);
  ASSERT_EQ(::stat(Host("/Library/device").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 3000000000LL - 2082844800LL);
}

TEST_F(CarbonRoot, ParentsVolumesSpecsAndURLs) {
  fs::create_directories(Host("/Volumes/Changer/Photos"));
  FSRef volume, item, parent, fromPath;
  Boolean isDir = false;
  ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>("/Volumes/Changer/./Photos/.."), &volume, &isDir), noErr);
  EXPECT_TRUE(isDir);
  EXPECT_EQ(PathOf(volume), "/Volumes/Changer");
  EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>("/Volumes/none"), &item, &isDir), fnfErr);
  ASSERT_EQ(Lookup(volume, "Photos", &item), noErr);

  FSCatalogInfo info;
  HFSUniStr255 name;
  FSSpec fsSpec;
  ASSERT_EQ(FSGetCatalogInfo(&item, kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID, &info, &name,
                             &fsSpec, &parent),
            noErr);
  EXPECT_EQ(UTF8(name), "Photos");
  EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, kFSNodeIsDirectoryMask);
  EXPECT_EQ(info.parentDirID, static_cast<UInt32>(fsRtDirID));
  EXPECT_EQ(FSCompareFSRefs(&parent, &volume), noErr);
  EXPECT_EQ(FSCompareFSRefs(&item, &volume), errFSRefsDifferent);
  EXPECT_EQ(FSCompareFSRefs(&item, &m_library), diffVolErr);

  // An item is the root of its volume exactly when its volume's root folder is the same item.
  FSRef volRoot, itemAgain;
  FSSpec volSpec;
  ASSERT_EQ(FSpMakeFSRef(&fsSpec, &itemAgain), noErr);
  EXPECT_EQ(FSCompareFSRefs(&itemAgain, &item), noErr);
  ASSERT_EQ(FSMakeFSSpec(fsSpec.vRefNum, fsRtDirID, nullptr, &volSpec), noErr);
  ASSERT_EQ(FSpMakeFSRef(&volSpec, &volRoot), noErr);
  EXPECT_EQ(PathOf(volRoot), "/Volumes/Changer");
  EXPECT_NE(FSCompareFSRefs(&item, &volRoot), noErr);
  ASSERT_EQ(FSGetCatalogInfo(&volume, kFSCatInfoNone, nullptr, &name, &volSpec, &parent), noErr);
  EXPECT_EQ(UTF8(name), "Changer");
  ASSERT_EQ(FSpMakeFSRef(&volSpec, &volRoot), noErr);
  EXPECT_EQ(FSCompareFSRefs(&volume, &volRoot), noErr);

  // A name too long for an FSSpec, or with no Mac OS Roman form, still leads back to its item.
  for (const char* longName : {"Photos from the summer of 1999, the second disc\x01" "00A0B0C0D0E0F001000C0002",
                               "\xE5\x86\x99\xE7\x9C\x9F"}) {
    FSRef longRef, back;
    ASSERT_EQ(MakeFile(item, longName, &longRef), noErr);
    ASSERT_EQ(FSGetCatalogInfo(&longRef, kFSCatInfoNone, nullptr, nullptr, &fsSpec, nullptr), noErr);
    EXPECT_LE(fsSpec.name[0], 63);
    ASSERT_EQ(FSpMakeFSRef(&fsSpec, &back), noErr);
    EXPECT_EQ(FSCompareFSRefs(&back, &longRef), noErr);
  }
  // An FSSpec may name an item that does not exist yet.
  const unsigned char missing[] = "\x07Missing";
  ASSERT_EQ(FSMakeFSSpec(fsSpec.vRefNum, fsSpec.parID, missing, &fsSpec), fnfErr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(fsSpec.name + 1), fsSpec.name[0]), "Missing");
  EXPECT_EQ(FSpMakeFSRef(&fsSpec, &fromPath), fnfErr);

  CFRef<CFURLRef> url(CFURLCreateFromFSRef(nullptr, &item));
  ASSERT_TRUE(url);
  CFRef<CFStringRef> urlPath(CFURLCopyPath(url.get()));
  char buf[256];
  ASSERT_TRUE(CFStringGetCString(urlPath.get(), buf, sizeof buf, kCFStringEncodingUTF8));
  EXPECT_STREQ(buf, "/Volumes/Changer/Photos/");
  ASSERT_TRUE(CFURLGetFSRef(url.get(), &fromPath));
  EXPECT_EQ(FSCompareFSRefs(&fromPath, &item), noErr);
  CFRef<CFURLRef> none(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Volumes/none"), kCFURLPOSIXPathStyle, false));
  EXPECT_FALSE(CFURLGetFSRef(none.get(), &fromPath));
}

TEST_F(CarbonRoot, ReferencesSurviveCopiesAndLongPaths) {
  // Deeper than the 80 bytes of a reference can spell out.
  FSRef ref = m_library;
  std::string expected = "/Library";
  for (int i = 0; i < 6; ++i) {
    std::string name = std::string(40, static_cast<char>('a' + i));
    FSRef next;
    ASSERT_EQ(MakeDir(ref, name.c_str(), &next), noErr);
    ref = next;
    expected += "/" + name;
  }
  FSRef copy;
  std::memcpy(&copy, &ref, sizeof ref);
  EXPECT_EQ(PathOf(copy), expected);
  EXPECT_EQ(FSCompareFSRefs(&copy, &ref), noErr);
}

}  // namespace
