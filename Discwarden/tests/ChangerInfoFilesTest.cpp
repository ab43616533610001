#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ChangerInfoFiles.h"
#include "StoreFixture.h"

namespace {

using discwarden::test::ChangerPtr;
using discwarden::test::ReadFile;
using discwarden::test::Entries;
using discwarden::test::StoreFixture;
using discwarden::test::WriteFile;

std::string Name(const std::string& i_display, const std::string& i_id) { return i_display + '\x01' + i_id; }

TEST(DeviceFileNameGrammar, Formats) {
  struct Case {
    const char* what;
    std::string base;
    UInt16 suffix;
    UInt64 guid;
    UInt16 storageElem;
    UInt16 device;
    std::string name;
  } cases[] = {
      {"first of its name", "Photos", 1, 0x00A0B0C0D0E0F001ULL, 12, 2, Name("Photos", "00A0B0C0D0E0F001000C0002")},
      {"suffix written", "photos", 2, 0x00A0B0C0D0E0F001ULL, 3, 0, Name("photos 2", "00A0B0C0D0E0F0010003" "0000")},
      {"colon becomes slash", "A:B", 1, 0x2A, 0xFFFF, 0x8000, Name("A/B", "000000000000002AFFFF8000")},
      {"large numbers", "X", 65535, 0xFFFFFFFFFFFFFFFFULL, 0xFFFF, 0xFFFF,
       Name("X 65535", "FFFFFFFFFFFFFFFFFFFFFFFF")},
  };
  for (const auto& c : cases) {
    char* nameP = nullptr;
    ASSERT_TRUE(FormatDeviceFileName(c.base.c_str(), c.base.size(), c.suffix, c.guid, c.storageElem, c.device, &nameP))
        << c.what;
    EXPECT_EQ(std::string(nameP), c.name) << c.what;
    free(nameP);
  }
}

TEST(DeviceFileNameGrammar, BaseNameCutAt225BytesOnACharacterBoundary) {
  struct Case {
    const char* what;
    std::string name;
    size_t len;
  } cases[] = {
      {"short", "Backup", 6},
      {"225 bytes", std::string(225, 'a'), 225},
      {"300 bytes", std::string(300, 'a'), 225},
      // 224 ASCII bytes, then a two-byte character across the cut.
      {"cut inside a two-byte character", std::string(224, 'a') + "\xC3\xA9" + "zz", 224},
      // 223 ASCII bytes, then a three-byte character across the cut.
      {"cut inside a three-byte character", std::string(223, 'a') + "\xE6\x97\xA5", 223},
      {"character ends at the cut", std::string(223, 'a') + "\xC3\xA9" + "zz", 225},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceBaseNameLength(c.name.c_str()), c.len) << c.what;
}

TEST(DeviceFileNameGrammar, DisplayNameCollision) {
  struct Case {
    const char* what;
    std::string entry;
    const char* candidate;
    bool collides;
  } cases[] = {
      {"equal", Name("Backup", "0000000000000001000C0002"), "Backup", true},
      {"ASCII case ignored", Name("Backup", "0000000000000001000C0002"), "backup", true},
      {"suffixed display name", Name("Backup 2", "0000000000000001000C0002"), "BACKUP 2", true},
      {"prefix only", Name("Backup 2", "0000000000000001000C0002"), "Backup", false},
      {"non-ASCII case not folded", Name("CAF\xC3\x89", "0000000000000001000C0002"), "caf\xC3\xA9", false},
      {"no separator never collides", "Old discs", "Old discs", false},
      {"display name before the last separator", Name(Name("A", "x"), "0000000000000001000C0002"),
       "A\x01x", true},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayNamesCollide(c.entry.c_str(), c.candidate), c.collides) << c.what;
}

TEST(ChangerFileHandling, AllocCStringIsLossless) {
  CFRef<CFStringRef> cafe(CFStringCreateWithCString(nullptr, "Caf\xC3\xA9", kCFStringEncodingUTF8));
  CFRef<CFStringRef> kanji(CFStringCreateWithCString(nullptr, "\xE6\x97\xA5", kCFStringEncodingUTF8));
  struct Case {
    const char* what;
    CFStringRef string;
    CFStringEncoding encoding;
    const char* result;
  } cases[] = {
      {"UTF-8", cafe.get(), kCFStringEncodingUTF8, "Caf\xC3\xA9"},
      {"Mac OS Roman", cafe.get(), kCFStringEncodingMacRoman, "Caf\x8E"},
      {"not ASCII", cafe.get(), kCFStringEncodingASCII, nullptr},
      {"not Mac OS Roman", kanji.get(), kCFStringEncodingMacRoman, nullptr},
      {"three-byte character in UTF-8", kanji.get(), kCFStringEncodingUTF8, "\xE6\x97\xA5"},
  };
  for (const auto& c : cases) {
    char* textP = AllocCStringFromCFString(c.string, c.encoding);
    if (c.result == nullptr) {
      EXPECT_EQ(textP, nullptr) << c.what;
    } else {
      ASSERT_NE(textP, nullptr) << c.what;
      EXPECT_STREQ(textP, c.result) << c.what;
    }
    free(textP);
  }
}

TEST(ChangerFileHandling, MaskIsGroupWritable) {
  mode_t before = umask(077);
  EXPECT_TRUE(SetupChangerFileHandling());
  EXPECT_EQ(umask(before), 002u);
}

}  // namespace

// ---------------------------------------------------------------- changer directory and Info.plist

namespace {

const char* const k_noLoadedCount =
    "CountEmptyStorageElements: unable to get the count of loaded storage elements from the robotics service.\n";

std::string InfoPlist(const std::string& i_body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         i_body + "</dict>\n</plist>\n";
}

struct stat StatOf(const std::string& i_path) {
  struct stat st {};
  EXPECT_EQ(::stat(i_path.c_str(), &st), 0) << i_path;
  return st;
}

class ChangerStore : public StoreFixture {};

TEST_F(ChangerStore, FirstRunCreatesTheTree) {
  ChangerPtr changerP = MakeChanger(0x2A);
  platform::log::Capture capture;
  ASSERT_TRUE(LocateChangerInfoFiles(changerP.get()));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{k_noLoadedCount});
  std::string dir = ChangerDir(0x2A);
  EXPECT_EQ(dir, m_root + "/Library/Changers/000000000000002A");
  for (const std::string& path : {m_root + "/Library/Changers", dir, dir + "/Discs", dir + "/Root"}) {
    struct stat st = StatOf(path);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
    EXPECT_EQ(st.st_gid, k_adminGroup) << path;
    EXPECT_EQ(st.st_mode & 07777, 0775u) << path;
  }
  struct stat trash = StatOf(dir + "/Root/.Trashes");
  EXPECT_TRUE(S_ISDIR(trash.st_mode));
  EXPECT_EQ(trash.st_uid, 0u);
  EXPECT_EQ(trash.st_gid, 0u);
  EXPECT_EQ(trash.st_mode & 07777, 0u);
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"CNIDs", "Discs", "Root", "file names"}));
  EXPECT_EQ(changerP->m_changerNameP.load(), nullptr);
}

TEST_F(ChangerStore, ExistingFoldersKeepTheirGroupAndTheTrashIsReset) {
  std::string dir = ChangerDir(0x2A);
  std::filesystem::create_directories(dir + "/Root/.Trashes");
  ASSERT_EQ(::chown((m_root + "/Library/Changers").c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod((m_root + "/Library/Changers").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((dir + "/Root/.Trashes").c_str(), 0755), 0);
  ChangerPtr changerP = MakeChanger(0x2A);
  ASSERT_TRUE(LocateChangerInfoFiles(changerP.get()));
  struct stat changers = StatOf(m_root + "/Library/Changers");
  EXPECT_EQ(changers.st_gid, 0u);
  EXPECT_EQ(changers.st_mode & 07777, 0700u);
  EXPECT_EQ(StatOf(dir + "/Root/.Trashes").st_mode & 07777, 0u);
  // A repeat finds everything in place.
  platform::log::Capture capture;
  EXPECT_TRUE(LocateChangerInfoFiles(changerP.get()));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{k_noLoadedCount});
}

TEST_F(ChangerStore, MissingAdminGroupIsLoggedAndTheFoldersStillCount) {
  WriteFile(m_root + "/etc/group", "wheel:*:0:root\n");
  ChangerPtr changerP = MakeChanger(0x2A);
  platform::log::Capture capture;
  ASSERT_TRUE(LocateChangerInfoFiles(changerP.get()));
  const std::string noGroup = "CreateNewChangerDirectory: unable to find group id for group admin (err = 0).\n";
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{noGroup, noGroup, noGroup, noGroup, k_noLoadedCount}));
  EXPECT_EQ(StatOf(ChangerDir(0x2A) + "/Discs").st_gid, 0u);
}

TEST_F(ChangerStore, InfoFileReading) {
  const std::string k_readFailed = "LoadPersistantChangerInfo: unable to read changer info file.\n";
  const std::string k_parseFailed = "ReadChangerInfoFile: unable to create the CFPropertyList from the read stream.\n";
  struct Case {
    const char* what;
    bool exists;
    std::string content;
    bool tiger;
    bool loads;
    const char* name;
    UInt32 dontAutoMount;
    UInt32 passive;
    std::vector<std::string> log;
  } cases[] = {
      {"no file: fields unchanged", false, "", false, true, "Old", 1, 1, {}},
      {"all three keys",
       true,
       InfoPlist("\t<key>changer name</key>\n\t<string>Jukebox \xE2\x84\x96" "1</string>\n"
                 "\t<key>do not automount changer</key>\n\t<true/>\n"
                 "\t<key>do passive media probe</key>\n\t<false/>\n"),
       false, true, "Jukebox \xE2\x84\x96" "1", 1, 0, {}},
      {"absent keys keep their fields, extra keys ignored", true,
       InfoPlist("\t<key>colour</key>\n\t<string>red</string>\n"), false, true, "Old", 1, 1, {}},
      {"options of other types read as false", true,
       InfoPlist("\t<key>do not automount changer</key>\n\t<string>true</string>\n"
                 "\t<key>do passive media probe</key>\n\t<integer>1</integer>\n"),
       false, true, "Old", 0, 0, {}},
      {"stored false reads as true on 10.4", true,
       InfoPlist("\t<key>do not automount changer</key>\n\t<false/>\n"), true, true, "Old", 1, 1, {}},
      {"stored false on 10.3", true, InfoPlist("\t<key>do not automount changer</key>\n\t<false/>\n"), false,
       true, "Old", 0, 1, {}},
      {"not a property list", true, "changer name = Jukebox\n", false, false, "Old", 1, 1,
       {k_parseFailed, k_readFailed}},
      {"truncated", true, InfoPlist("\t<key>changer name</key>\n\t<string>Juke").substr(0, 200), false, false,
       "Old", 1, 1, {k_parseFailed, k_readFailed}},
      {"root is not a dictionary", true,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array/>\n</plist>\n", false, false,
       "Old", 1, 1, {k_parseFailed, k_readFailed}},
      {"name of another type", true, InfoPlist("\t<key>changer name</key>\n\t<integer>7</integer>\n"), false,
       false, nullptr, 1, 1,
       {"LoadPersistantChangerInfo: unable to get C string representation of changer name.\n"}},
  };
  for (const auto& c : cases) {
    ChangerPtr changerP = MakeLocatedChanger(0x2A);
    std::string path = ChangerDir(0x2A) + "/Info.plist";
    std::filesystem::remove(path);
    if (c.exists) WriteFile(path, c.content);
    ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "Old"));
    changerP->m_dontAutoMountFileSystem = 1;
    changerP->m_doPassiveMediaProbes = 1;
    g_runningOnTiger = c.tiger;
    platform::log::Capture capture;
    EXPECT_EQ(LoadPersistantChangerInfo(changerP.get()), c.loads) << c.what;
    EXPECT_EQ(capture.Lines(), c.log) << c.what;
    const char* nameP = changerP->m_changerNameP.load();
    if (c.name == nullptr) EXPECT_EQ(nameP, nullptr) << c.what;
    else EXPECT_STREQ(nameP, c.name) << c.what;
    EXPECT_EQ(changerP->m_dontAutoMountFileSystem.load(), c.dontAutoMount) << c.what;
    EXPECT_EQ(changerP->m_doPassiveMediaProbes.load(), c.passive) << c.what;
    EXPECT_EQ(ReadFile(path), c.exists ? c.content : "") << c.what << ": the file is never repaired";
    g_runningOnTiger = false;
  }
}

TEST_F(ChangerStore, SavedNameIsTheNewNameUntilTheNextLoad) {
  ChangerPtr changerP = MakeLocatedChanger(0x2A);
  ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "Brennix E40"));
  changerP->m_doPassiveMediaProbes = 1;
  ASSERT_TRUE(SavePersistantChangerInfo(changerP.get()));
  std::string path = ChangerDir(0x2A) + "/Info.plist";
  EXPECT_EQ(ReadFile(path), InfoPlist("\t<key>changer name</key>\n\t<string>Brennix E40</string>\n"
                                      "\t<key>do not automount changer</key>\n\t<false/>\n"
                                      "\t<key>do passive media probe</key>\n\t<true/>\n"));
  ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_newChangerNameP, "Archive"));
  ASSERT_TRUE(SavePersistantChangerInfo(changerP.get()));
  EXPECT_STREQ(changerP->m_changerNameP.load(), "Brennix E40");
  EXPECT_NE(ReadFile(path).find("<string>Archive</string>"), std::string::npos);
  ASSERT_TRUE(LoadPersistantChangerInfo(changerP.get()));
  EXPECT_STREQ(changerP->m_changerNameP.load(), "Archive");
  EXPECT_EQ(Entries(ChangerDir(0x2A)), (std::vector<std::string>{"Discs", "Info.plist", "Root"}));
}

TEST_F(ChangerStore, SaveWithoutAnyNameFailsAndKeepsTheFile) {
  ChangerPtr changerP = MakeLocatedChanger(0x2A);
  std::string path = ChangerDir(0x2A) + "/Info.plist";
  WriteFile(path, "earlier");
  platform::log::Capture capture;
  EXPECT_FALSE(SavePersistantChangerInfo(changerP.get()));
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{"SavePersistantChangerInfo: changer name is NULL!\n"});
  EXPECT_EQ(ReadFile(path), "earlier");
}

TEST_F(ChangerStore, FailedWriteLeavesTheEarlierFileWhole) {
  ChangerPtr changerP = MakeLocatedChanger(0x2A);
  ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "First"));
  ASSERT_TRUE(SavePersistantChangerInfo(changerP.get()));
  std::string path = ChangerDir(0x2A) + "/Info.plist";
  std::string saved = ReadFile(path);
  // The file written beside the real one cannot be created.
  std::filesystem::create_directory(ChangerDir(0x2A) + "/.Info.plist.new");
  ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_newChangerNameP, "Second"));
  platform::log::Capture capture;
  EXPECT_FALSE(SavePersistantChangerInfo(changerP.get()));
  EXPECT_EQ(capture.Lines(),
            (std::vector<std::string>{
                "WriteChangerInfoFile: unable to open the write stream for the changer info file.\n",
                "SavePersistantChangerInfo: unable to write changer info file to disk.\n"}));
  EXPECT_EQ(ReadFile(path), saved);
}

// The folder's own group for every file the daemon makes, and writable by that group.
TEST_F(ChangerStore, CreatedFilesTakeTheirFolderGroup) {
  ChangerPtr changerP = MakeLocatedChanger(0x2A);
  ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "Jukebox"));
  ASSERT_TRUE(SavePersistantChangerInfo(changerP.get()));
  struct stat info = StatOf(ChangerDir(0x2A) + "/Info.plist");
  EXPECT_EQ(info.st_gid, k_adminGroup);
  EXPECT_EQ(info.st_mode & 07777, 0664u);
}

// A name planted where the daemon writes aside is never written through, and never becomes the file.
TEST_F(ChangerStore, AsideNameIsNeverWrittenThrough) {
  const std::string victim = m_root + "/etc/victim";
  struct Case {
    const char* what;
    bool symlink;  // else a hard link
  } cases[] = {{"symbolic link", true}, {"hard link", false}};
  for (const auto& c : cases) {
    WriteFile(victim, "precious");
    ChangerPtr changerP = MakeLocatedChanger(0x2A);
    std::string aside = ChangerDir(0x2A) + "/.Info.plist.new";
    std::filesystem::remove(aside);
    if (c.symlink) std::filesystem::create_symlink(victim, aside);
    else std::filesystem::create_hard_link(victim, aside);
    ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "Jukebox"));
    EXPECT_TRUE(SavePersistantChangerInfo(changerP.get())) << c.what;
    EXPECT_EQ(ReadFile(victim), "precious") << c.what;
    std::string path = ChangerDir(0x2A) + "/Info.plist";
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path))) << c.what;
    EXPECT_NE(ReadFile(path).find("<string>Jukebox</string>"), std::string::npos) << c.what;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(aside))) << c.what;
  }
}

TEST_F(ChangerStore, StaleAsideFilesGoAtStart) {
  std::string dir = ChangerDir(0x2A);
  WriteFile(m_root + "/etc/victim", "precious");
  WriteFile(dir + "/.Info.plist.new", "half");
  WriteFile(dir + "/Discs/.00003.plist.new", "half");
  std::filesystem::create_directories(dir + "/Discs");
  std::filesystem::create_symlink(m_root + "/etc/victim", dir + "/Discs/.00004.plist.new");
  std::filesystem::create_directories(dir + "/Discs/.00005.plist.new");
  ChangerPtr changerP = MakeChanger(0x2A);
  platform::log::Capture capture;
  ASSERT_TRUE(LocateChangerInfoFiles(changerP.get()));
  std::vector<std::string> lines = capture.Lines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{k_noLoadedCount,
                                             "LocateChangerInfoFiles: removed the stale file \".00003.plist.new\".\n",
                                             "LocateChangerInfoFiles: removed the stale file \".00004.plist.new\".\n",
                                             "LocateChangerInfoFiles: removed the stale file \".Info.plist.new\".\n"}));
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"CNIDs", "Discs", "Root", "file names"}));
  EXPECT_EQ(Entries(dir + "/Discs"), std::vector<std::string>{".00005.plist.new"});
  EXPECT_EQ(ReadFile(m_root + "/etc/victim"), "precious");
}

// Whatever sits at the trash's name, owner and mode land on a real folder there, never elsewhere.
TEST_F(ChangerStore, TrashThatIsNoFolderIsReplaced) {
  const std::string elsewhere = m_root + "/etc/elsewhere";
  struct Case {
    const char* what;
    bool link;  // else a plain file
  } cases[] = {{"link to a folder", true}, {"plain file", false}};
  for (const auto& c : cases) {
    std::filesystem::create_directories(elsewhere);
    ASSERT_EQ(::chmod(elsewhere.c_str(), 0755), 0);
    ASSERT_EQ(::chown(elsewhere.c_str(), 501, 20), 0);
    ChangerPtr changerP = MakeLocatedChanger(0x2A);
    std::string trash = ChangerDir(0x2A) + "/Root/.Trashes";
    std::filesystem::remove_all(trash);
    if (c.link) std::filesystem::create_directory_symlink(elsewhere, trash);
    else WriteFile(trash, "not a folder");
    platform::log::Capture capture;
    EXPECT_TRUE(CheckChangerDevicesTrashDirectory(changerP.get())) << c.what;
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{"CheckChangerDevicesTrashDirectory: replacing "
                                       "/Library/Changers/000000000000002A/Root/.Trashes, which is not a directory.\n"})
        << c.what;
    struct stat st {};
    ASSERT_EQ(::lstat(trash.c_str(), &st), 0) << c.what;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0u) << c.what;
    EXPECT_EQ(st.st_uid, 0u) << c.what;
    struct stat other = StatOf(elsewhere);
    EXPECT_EQ(other.st_mode & 07777, 0755u) << c.what;
    EXPECT_EQ(other.st_uid, 501u) << c.what;
    EXPECT_EQ(other.st_gid, 20u) << c.what;
  }
}

// The store's folders are group-writable: a link or a file planted at a folder's name is
// replaced by a real folder, so nothing is ever written or deleted through it.
TEST_F(ChangerStore, FolderThatIsNoFolderIsReplaced) {
  const std::string elsewhere = m_root + "/etc/elsewhere";
  struct Case {
    const char* folder;
    bool (*locate)(ChangerData*);
    bool link;  // else a plain file
  } cases[] = {{"Discs", LocateChangerMediaDirectory, true},
               {"Root", LocateChangerDevicesDirectory, true},
               {"Discs", LocateChangerMediaDirectory, false}};
  for (const auto& c : cases) {
    std::filesystem::create_directories(elsewhere);
    ChangerPtr changerP = MakeLocatedChanger(0x2A);
    std::string folder = ChangerDir(0x2A) + "/" + c.folder;
    std::filesystem::remove_all(folder);
    if (c.link) std::filesystem::create_directory_symlink(elsewhere, folder);
    else WriteFile(folder, "not a folder");
    platform::log::Capture capture;
    EXPECT_TRUE(c.locate(changerP.get())) << c.folder;
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"CreateNewChangerDirectory: replacing "
                                                        "/Library/Changers/000000000000002A/" +
                                                        std::string(c.folder) + ", which is not a directory.\n"})
        << c.folder;
    struct stat st {};
    ASSERT_EQ(::lstat(folder.c_str(), &st), 0) << c.folder;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.folder;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << c.folder;
  }
}

// A FIFO, a folder or a link at the info file's name is refused at once, never waited on.
TEST_F(ChangerStore, InfoFileThatIsNoPlainFileIsRefused) {
  const std::string k_openFailed = "ReadChangerInfoFile: unable to open the read stream for the changer info file.\n";
  const std::string k_readFailed = "LoadPersistantChangerInfo: unable to read changer info file.\n";
  WriteFile(m_root + "/etc/other.plist", InfoPlist("\t<key>changer name</key>\n\t<string>Planted</string>\n"));
  struct Case {
    const char* what;
    int kind;  // 0 FIFO, 1 folder, 2 link to a good file
  } cases[] = {{"FIFO", 0}, {"folder", 1}, {"link", 2}};
  for (const auto& c : cases) {
    ChangerPtr changerP = MakeLocatedChanger(0x2A);
    std::string path = ChangerDir(0x2A) + "/Info.plist";
    std::filesystem::remove_all(path);
    if (c.kind == 0) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0);
    }
    if (c.kind == 1) std::filesystem::create_directory(path);
    if (c.kind == 2) std::filesystem::create_symlink(m_root + "/etc/other.plist", path);
    ASSERT_TRUE(ReplaceChangerString(changerP.get(), changerP->m_changerNameP, "Old"));
    platform::log::Capture capture;
    EXPECT_FALSE(LoadPersistantChangerInfo(changerP.get())) << c.what;
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{k_openFailed, k_readFailed})) << c.what;
    EXPECT_STREQ(changerP->m_changerNameP.load(), "Old") << c.what;
  }
}

}  // namespace
