#include <sys/wait.h>

#include <functional>
#include <random>

#include "CNIDChecker.h"
#include "CNIDTestSupport.h"

namespace {

using namespace cnidtest;
using Bytes = std::vector<UInt8>;
using Lines = std::vector<std::string>;

Lines Texts(const SCNIDErrorEntryHeader& list) {
  Lines texts;
  for (SCNIDErrorEntry* entry = list.head; entry != nullptr; entry = entry->next) {
    char text[128];
    snprintf(text, sizeof text, kCNIDErrorStrings[entry->error], long(entry->cnid));
    texts.push_back(text);
  }
  return texts;
}

struct ToolResult {
  int status = -1;
  std::string out, err;
};

// Runs the built cnidverify in the test's system root.
ToolResult RunTool(const std::string& root, const std::vector<std::string>& args) {
  std::string outFile = root + "/tool.out", errFile = root + "/tool.err";
  std::string command = "SHELVONX_SYSROOT='" + root + "' '" CNIDVERIFY_PATH "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " >'" + outFile + "' 2>'" + errFile + "'";
  int wait = std::system(command.c_str());
  ToolResult result;
  result.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
  Bytes out = ReadBytes(outFile), err = ReadBytes(errFile);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
  return result;
}

// Items: 16 "a" and 17 "c" below the root, 18 "b" below "a". Root's list: 17, 16.
class CNIDChecker : public ChangerFixture {
 protected:
  void SetUp() override {
    ChangerFixture::SetUp();
    ASSERT_EQ(Lookup(k_rootCNID, "a"), 16u);
    ASSERT_EQ(Lookup(k_rootCNID, "c"), 17u);
    ASSERT_EQ(Lookup(16, "b"), 18u);
    ASSERT_TRUE(DisposeCNIDTable(m_changer));
    m_map = ReadBytes(MapFile());
    m_soup = ReadBytes(SoupFile());
  }

  void Write(const Bytes& map, const Bytes& soup) {
    WriteBytes(MapFile(), map);
    WriteBytes(SoupFile(), soup);
  }

  static void Link(Bytes& map, CNID cnid, size_t field, UInt32 value) { PutBE32(map, 16 + 20 * cnid + field, value); }
  enum { k_name = 4, k_parent = 8, k_sibling = 12, k_child = 16 };

  Bytes m_map, m_soup;
};

TEST_F(CNIDChecker, FindsEachKindOfDamage) {
  struct Case {
    const char* what;
    std::function<void(Bytes& map, Bytes& soup)> damage;
    Lines expected;
  };
  const Case cases[] = {
      {"intact", [](Bytes&, Bytes&) {}, {}},
      {"CNIDs cut by one byte", [](Bytes& map, Bytes&) { map.resize(615); },
       {"CNIDs file size is incorrect/inconsistant"}},
      {"file names cut by one byte", [](Bytes&, Bytes& soup) { soup.resize(10007); },
       {"file name file size is incorrect/inconsistant"}},
      {"child naming another parent", [](Bytes& map, Bytes&) { Link(map, 18, k_parent, 17); },
       // The walk stops at the item with the error, so its child is not reached from the root.
       {"18 has a bad parent link", "18 is unreachable from the root"}},
      {"siblings of each other", [](Bytes& map, Bytes&) { Link(map, 16, k_sibling, 17); },
       {"17 is part of a loop"}},
      {"unreachable highest item", [](Bytes& map, Bytes&) { Link(map, 2, k_child, 16); },
       {"17 is unreachable from the root"}},
      {"null name link", [](Bytes& map, Bytes&) { Link(map, 18, k_name, 0); }, {"18 has a null name link"}},
      {"name link above the used soup", [](Bytes& map, Bytes&) { Link(map, 18, k_name, 9000); },
       {"18 has a bad name link"}},
      {"child link above the highest", [](Bytes& map, Bytes&) { Link(map, 18, k_child, 500); },
       {"18 has a bad child link"}},
      {"sibling record free", [](Bytes& map, Bytes&) { Link(map, 16, k_sibling, 10); },
       {"16 has a bad sibling link", "18 is unreachable from the root"}},
      {"sibling under another parent", [](Bytes& map, Bytes&) { Link(map, 18, k_sibling, 17); },
       {"18 has a parent/sibling mismatch"}},
      // A sibling past the file, met while walking on from 17: the error is 17's, where the walk
      // started, not 16's, whose link it is.
      {"sibling past the file", [](Bytes& map, Bytes&) { Link(map, 16, k_sibling, 30), PutBE32(map, 12, 31); },
       {"CNIDs file header is incorrect/inconsistant", "17 has a bad sibling link"}},
      // What the daemon refuses to use.
      {"highest CNID equal to the capacity", [](Bytes& map, Bytes&) { PutBE32(map, 12, 30); },
       {"CNIDs file header is incorrect/inconsistant"}},
      {"next CNID equal to the capacity", [](Bytes& map, Bytes&) { PutBE32(map, 8, 30); },
       {"CNIDs file header is incorrect/inconsistant"}},
      {"name soup used beyond its size", [](Bytes&, Bytes& soup) { PutBE32(soup, 0, 10001); },
       {"file name file header is incorrect/inconsistant"}},
      {"next CNID in use", [](Bytes& map, Bytes&) { PutBE32(map, 8, 17); }, {"17 is in use at or above the next CNID"}},
      {"live record above the highest", [](Bytes& map, Bytes&) { PutBE32(map, 8, 18), PutBE32(map, 12, 17); },
       {"18 is in use at or above the next CNID", "16 has a bad child link"}},
      // Read as they are: nothing is wiped or written.
      {"zeroed header", [](Bytes& map, Bytes&) { std::fill(map.begin(), map.begin() + 16, 0), PutBE32(map, 4, 30); },
       {"CNIDs file header is incorrect/inconsistant", "16 is in use at or above the next CNID",
        "2 is an illegal CNID value"}},
      {"file names empty", [](Bytes&, Bytes& soup) { soup.clear(); },
       {"file name file header is incorrect/inconsistant", "2 has a bad name link", "16 is unreachable from the root",
        "16 has a bad name link", "17 is unreachable from the root", "17 has a bad name link",
        "18 is unreachable from the root", "18 has a bad name link"}},
      {"both files empty", [](Bytes& map, Bytes& soup) { map.clear(), soup.clear(); }, {}},
  };
  for (const Case& c : cases) {
    Bytes map = m_map, soup = m_soup;
    c.damage(map, soup);
    Write(map, soup);
    SCNIDErrorEntryHeader list = {0, nullptr, nullptr};
    EXPECT_EQ(CheckCNIDDBByPath(k_changerDir, &list), c.expected.empty()) << c.what;
    EXPECT_EQ(Texts(list), c.expected) << c.what;
    EXPECT_EQ(list.errorCount, SInt32(c.expected.size())) << c.what;
    FreeCNIDErrorList(&list);
    // The checker only reads.
    EXPECT_EQ(ReadBytes(MapFile()), map) << c.what;
    EXPECT_EQ(ReadBytes(SoupFile()), soup) << c.what;
    // The tool prints the same list.
    std::string report;
    for (const std::string& line : c.expected) report += line + "\n";
    ToolResult result = RunTool(m_root, {"-v", k_changerDir});
    EXPECT_EQ(result.status, c.expected.empty() ? 0 : 1) << c.what;
    EXPECT_EQ(result.out, c.expected.empty() ? "No errors found\n" : report) << c.what;
    EXPECT_EQ(result.err, "") << c.what;
  }
}

TEST_F(CNIDChecker, ToolStatusesAndOutput) {
  Bytes cut = m_map;
  cut.resize(615);
  const std::string dir = k_changerDir;
  const std::string usage = "\nUsage:\n\ncnidverify [-v] <Path to databases>\n\n";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::vector<std::string> args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {"clean, verbose", [] {}, {"-v", dir}, 0, "No errors found\n", ""},
      {"clean, quiet", [] {}, {dir}, 0, "", ""},
      {"cut file, verbose", [&] { WriteBytes(MapFile(), cut); }, {"-v", "-v", dir}, 1,
       "CNIDs file size is incorrect/inconsistant\n", ""},
      {"cut file, quiet", [&] { WriteBytes(MapFile(), cut); }, {dir}, 1, "", ""},
      {"no argument", [] {}, {}, 1, "", usage},
      {"two arguments", [] {}, {dir, dir}, 1, "", usage},
      {"unknown option", [] {}, {"-x", dir}, 1, "", usage},
      {"combined options", [] {}, {"-vv", dir}, 1, "", usage},
      {"option after the path", [] {}, {dir, "-v"}, 1, "", usage},
      {"no such directory", [] {}, {"/Library/Changers/none"}, 2, "", "/Library/Changers/none not found.\n"},
      {"no CNIDs", [&] { std::filesystem::remove(MapFile()); }, {dir}, 3, "", dir + "/CNIDs not found.\n"},
      {"no file names", [&] { std::filesystem::remove(SoupFile()); }, {"-v", dir}, 4, "",
       dir + "/file names not found.\n"},
      {"CNIDs that cannot be opened", [&] {
         std::filesystem::remove(MapFile());
         std::filesystem::create_directory(MapFile());
       }, {"-v", dir}, 1, "", "unable to check the CNID database in " + dir + ".\n"},
  };
  for (const Case& c : cases) {
    Write(m_map, m_soup);
    c.prepare();
    ToolResult result = RunTool(m_root, c.args);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
    if (std::filesystem::is_directory(MapFile())) std::filesystem::remove(MapFile());
  }
}

// Any content, any length: the check ends, and its result agrees with its list.
TEST_F(CNIDChecker, SurvivesRandomAndTruncatedFiles) {
  std::mt19937 random(20261211);
  auto check = [&](const Bytes& map, const Bytes& soup, const std::string& what) {
    Write(map, soup);
    SCNIDErrorEntryHeader list = {0, nullptr, nullptr};
    bool isClean = CheckCNIDDBByPath(k_changerDir, &list);
    SInt32 length = 0;
    for (SCNIDErrorEntry* entry = list.head; entry != nullptr; entry = entry->next) {
      ++length;
      EXPECT_LE(int(entry->error), int(eCNIDError_NextCNIDInUse)) << what;
    }
    EXPECT_EQ(list.errorCount, length) << what;
    EXPECT_EQ(isClean, length == 0) << what;
    FreeCNIDErrorList(&list);
    return length;
  };
  // Every cut of "CNIDs" inside its records is found as a size error, and only that.
  for (size_t size = 16; size < m_map.size(); size += 7) {
    Bytes map(m_map.begin(), m_map.begin() + long(size));
    EXPECT_EQ(check(map, m_soup, "cut at " + std::to_string(size)), 1);
  }
  for (size_t size = 1; size < 16; ++size) check(Bytes(m_map.begin(), m_map.begin() + long(size)), m_soup, "header cut");
  for (size_t size = 1; size < 40; ++size) check(m_map, Bytes(m_soup.begin(), m_soup.begin() + long(size)), "soup cut");
  // Random bytes, whole files and flips in a valid table.
  for (int round = 0; round < 300; ++round) {
    Bytes map = m_map, soup = m_soup;
    if (round % 3 == 0) {
      map.resize(random() % 2000);
      for (UInt8& byte : map) byte = UInt8(random());
      // Small header values more often, so that the record walk is reached.
      if (map.size() >= 16 && round % 2 == 0) {
        PutBE32(map, 4, UInt32((map.size() - 16) / 20));
        PutBE32(map, 12, UInt32(random() % 120));
      }
    } else {
      for (int flips = 0; flips < 1 + round % 8; ++flips) map[16 + random() % (map.size() - 16)] = UInt8(random() % 40);
      if (round % 5 == 0) PutBE32(soup, 0, UInt32(random()));
    }
    check(map, soup, "round " + std::to_string(round));
  }
  // And the tool itself, as a process, on random files.
  for (int round = 0; round < 20; ++round) {
    Bytes map(random() % 1500), soup(random() % 64);
    for (UInt8& byte : map) byte = UInt8(random() % 64);
    for (UInt8& byte : soup) byte = UInt8(random() % 4);
    Write(map, soup);
    ToolResult result = RunTool(m_root, {"-v", k_changerDir});
    EXPECT_TRUE(result.status == 0 || result.status == 1) << round << ": " << result.status;
    // Nothing else on standard error: a sanitizer's report would show here.
    EXPECT_TRUE(result.err.empty() || result.err.rfind("unable to check the CNID database", 0) == 0)
        << round << ": " << result.err;
  }
}

}  // namespace
