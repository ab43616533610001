#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/CFPropertyList.h"
#include "platform/CFRef.h"
#include "platform/CoreFoundation.h"

namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;
using Lines = std::vector<std::string>;

const std::string k_changerA = "/Library/Changers/00A0B0C0D0E0F001";
const std::string k_changerB = "/Library/Changers/00A0B0C0D0E0F002";
const std::string k_photosOld = "00A0B0C0D0E0F001000C0002#Photos";
const std::string k_photosNew = "Photos\x01" "00A0B0C0D0E0F001000C0002";
const std::string k_current = "Current\x01" "00A0B0C0D0E0F001000C0006";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string MediaFile(const std::vector<std::string>& keys) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "<key>volume tag</key><string>TAG 1</string>\n<key>partitions</key>\n<dict>\n";
  for (const std::string& key : keys)
    xml += "<key>" + key + "</key><dict><key>partition name</key><string>" + key.substr(0, 3) + "</string></dict>\n";
  return xml + "</dict>\n</dict>\n</plist>\n";
}

class FixChangerNames : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/fixnames.XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    m_root = templ;
    fs::create_directories(m_root + "/var/log");
  }
  void TearDown() override { fs::remove_all(m_root); }

  std::string Host(const std::string& macPath) const { return m_root + macPath; }

  void BuildChangers() {
    const std::string rootA = Host(k_changerA + "/Root/");
    for (const std::string& name : {k_photosOld, std::string("00a0B0C0D0E0F001000C0003#lower"),
                                    std::string("00A0B0C0D0E0F001000C000#Short"),
                                    std::string("00A0B0C0D0E0F001000C0005#\xE6\x97\xA5\xE6\x9C\xAC"), k_current,
                                    std::string("Folder/00A0B0C0D0E0F001000D0000#Old")})
      Put(rootA + name, "");
    Put(Host(k_changerA + "/Discs/00012.plist"), MediaFile({k_photosOld, k_current}));
    Put(Host(k_changerA + "/CNIDs"), "cnids A");
    Put(Host(k_changerA + "/file names"), "names A");
    Put(Host(k_changerB + "/Root/Keep\x01" "00A0B0C0D0E0F002000100000"), "");
    Put(Host(k_changerB + "/Discs/00001.plist"), MediaFile({"00A0B0C0D0E0F002000100000#Keep"}));
    Put(Host(k_changerB + "/CNIDs"), "cnids B");
    Put(Host(k_changerB + "/file names"), "names B");
  }

  int Run() {
    // Bounded, so that a run that blocks fails the test rather than hanging it.
    std::string command = "SHELVONX_SYSROOT='" + m_root + "' timeout 60 '" FIXCHANGERNAMES_PATH "' ignored arguments";
    int wait = std::system(command.c_str());
    return WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
  }

  // The texts logged since the last call.
  Lines LogTexts() {
    std::string log = Slurp(Host("/var/log/system.log"));
    Lines texts;
    size_t start = m_logRead;
    for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = log.substr(start, end - start);
      texts.push_back(line.substr(line.find("]: ") + 3));
    }
    m_logRead = log.size();
    return texts;
  }

  Names Entries(const std::string& macDir) const {
    Names names;
    for (const auto& entry : fs::directory_iterator(Host(macDir))) names.insert(entry.path().filename().string());
    return names;
  }

  Names PartitionKeys(const std::string& macFile) const {
    std::string xml = Slurp(Host(macFile));
    CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(xml.data()), CFIndex(xml.size())));
    CFRef<CFPropertyListRef> plist(CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, nullptr));
    Names keys;
    if (!plist) return keys;
    CFDictionaryRef partitions =
        static_cast<CFDictionaryRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(plist.get()), CFSTR("partitions")));
    std::vector<const void*> k(size_t(CFDictionaryGetCount(partitions))), v(k.size());
    CFDictionaryGetKeysAndValues(partitions, k.data(), v.data());
    for (size_t i = 0; i < k.size(); ++i) {
      char key[512], name[64];
      (void)CFStringGetCString(static_cast<CFStringRef>(k[i]), key, sizeof key, kCFStringEncodingUTF8);  // "" shows below
      CFStringRef partitionName = static_cast<CFStringRef>(
          CFDictionaryGetValue(static_cast<CFDictionaryRef>(v[i]), CFSTR("partition name")));
      (void)CFStringGetCString(partitionName, name, sizeof name, kCFStringEncodingUTF8);  // "" shows below
      keys.insert(std::string(key) + " = " + name);
    }
    return keys;
  }

  std::string m_root;
  size_t m_logRead = 0;
};

TEST_F(FixChangerNames, ConvertsOldNamesAndDeletesThatChangersDatabase) {
  BuildChangers();
  const std::string mediaB = Slurp(Host(k_changerB + "/Discs/00001.plist"));
  const Names rootB = Entries(k_changerB + "/Root");
  const Names unconverted = {"00a0B0C0D0E0F001000C0003#lower", "00A0B0C0D0E0F001000C000#Short",
                             "00A0B0C0D0E0F001000C0005#\xE6\x97\xA5\xE6\x9C\xAC", k_current};
  Names convertedRoot = unconverted;
  convertedRoot.insert({k_photosNew, "Folder"});
  const Names convertedKeys = {k_photosNew + " = 00A", k_current + " = Cur"};
  const Lines everyRunLogs = {"FixName: unable to convert name Unicode string to a pascal string."};

  struct Round {
    const char* what;
    Lines logs;
  };
  const Round rounds[] = {
      {"first run", {everyRunLogs[0], "FixMediaDictDeviceEntry: unable to fix the unicode device dict key.",
                     "FixMediaDict: unable to fix the media dictionary device entry."}},
      {"second run", everyRunLogs},
  };
  for (const Round& round : rounds) {
    if (std::string(round.what) == "second run") {
      // A database made since then must survive: nothing converts any more.
      Put(Host(k_changerA + "/CNIDs"), "new cnids A");
      Put(Host(k_changerA + "/file names"), "new names A");
    }
    EXPECT_EQ(Run(), 0) << round.what;
    EXPECT_EQ(Entries(k_changerA + "/Root"), convertedRoot) << round.what;
    EXPECT_EQ(Entries(k_changerA + "/Root/Folder"), Names{"Old\x01" "00A0B0C0D0E0F001000D0000"}) << round.what;
    EXPECT_EQ(PartitionKeys(k_changerA + "/Discs/00012.plist"), convertedKeys) << round.what;
    bool firstRun = std::string(round.what) == "first run";
    EXPECT_EQ(fs::exists(Host(k_changerA + "/CNIDs")), !firstRun) << round.what;
    EXPECT_EQ(fs::exists(Host(k_changerA + "/file names")), !firstRun) << round.what;
    // The other changer had nothing to convert: untouched, although it comes after one that had.
    EXPECT_EQ(Entries(k_changerB + "/Root"), rootB) << round.what;
    EXPECT_EQ(Slurp(Host(k_changerB + "/Discs/00001.plist")), mediaB) << round.what;
    EXPECT_EQ(Slurp(Host(k_changerB + "/CNIDs")), "cnids B") << round.what;
    EXPECT_EQ(Slurp(Host(k_changerB + "/file names")), "names B") << round.what;
    EXPECT_EQ(LogTexts(), round.logs) << round.what;
  }
}

TEST_F(FixChangerNames, WithoutAChangersFolderDoesNothing) {
  EXPECT_EQ(Run(), 0);
  EXPECT_FALSE(fs::exists(Host("/Library/Changers")));
  EXPECT_EQ(LogTexts(), Lines{});
}

// A FIFO among the media info files is never opened for good: the run goes on and ends.
TEST_F(FixChangerNames, FIFOAmongTheMediaFilesIsPassedOver) {
  BuildChangers();
  const std::string fifo = Host(k_changerA + "/Discs/00013.plist");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(PartitionKeys(k_changerA + "/Discs/00012.plist"), (Names{k_photosNew + " = 00A", k_current + " = Cur"}));
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(LogTexts(), (Lines{"FixName: unable to convert name Unicode string to a pascal string.",
                               "FixMediaDictDeviceEntry: unable to fix the unicode device dict key.",
                               "FixMediaDict: unable to fix the media dictionary device entry.",
                               "ReadMediaFile: unable to open the read stream for the media info file."}));
}

}  // namespace
