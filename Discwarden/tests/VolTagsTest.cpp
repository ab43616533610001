#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ChangerInfoFiles.h"
#include "platform/Log.h"

namespace {

std::string Padded(const std::string& i_text) { return i_text + std::string(32 - i_text.size(), ' '); }

TEST(VolTags, TagTextFromName) {
  struct Case {
    const char* what;
    const char* name;
    std::string tag;
  } cases[] = {
      {"short name padded", "Photos", Padded("Photos")},
      {"40 characters cut to 32", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
      {"Mac OS Roman byte replaced", "Caf\xC3\xA9", Padded("Caf_")},
      {"outside Mac OS Roman: every UTF-8 byte replaced", "Disc \xE6\x97\xA5", Padded("Disc ___")},
      {"one character outside Mac OS Roman makes the whole name UTF-8", "Caf\xC3\xA9 \xE6\x97\xA5",
       Padded("Caf__ ___")},
      {"question mark", "What?", Padded("What_")},
      {"asterisk", "a*b", Padded("a_b")},
      {"empty name", "", Padded("")},
  };
  for (const auto& c : cases) {
    char* tagP = nullptr;
    ASSERT_TRUE(ComputeVolTagFromDeviceName(c.name, &tagP)) << c.what;
    EXPECT_EQ(std::string(tagP), c.tag) << c.what;
    free(tagP);
  }
}

TEST(VolTags, NameThatIsNotTextFails) {
  platform::log::Capture capture;
  char* tagP = reinterpret_cast<char*>(1);
  EXPECT_FALSE(ComputeVolTagFromDeviceName("bad \xFF byte", &tagP));
  EXPECT_EQ(tagP, nullptr);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "ComputeVolTagFromDeviceName: unable to allocate a CFString for the device name "
                                 "string.\n"});
}

TEST(VolTags, OlderProductTagRecognised) {
  struct Case {
    const char* what;
    std::string tag;
    bool recognised;
    const char* name;
  } cases[] = {
      {"##0A", Padded("Archive 1999").substr(0, 28) + "##0A", true, "Archive 1999"},
      {"lower-case digits", "Backup" + std::string(22, ' ') + "##ff", true, "Backup"},
      {"28 characters of name", std::string(28, 'N') + "##12", true, "NNNNNNNNNNNNNNNNNNNNNNNNNNNN"},
      {"first character always kept", std::string(28, ' ') + "##00", true, " "},
      {"##0G", Padded("Archive 1999").substr(0, 28) + "##0G", false, ""},
      {"#-0A", Padded("Archive 1999").substr(0, 28) + "#-0A", false, ""},
      {"ordinary tag", Padded("Photos"), false, ""},
      {"shorter than 32", "Archive##0A", false, ""},
  };
  for (const auto& c : cases) {
    char name[29] = "garbage";
    EXPECT_EQ(GetSH9VolTagName(c.tag.c_str(), name), c.recognised) << c.what;
    EXPECT_STREQ(name, c.name) << c.what;
  }
}

TEST(VolTags, DiscTypeCodes) {
  struct Case {
    const char* mediaType;
    UInt16 code;
  } cases[] = {
      {"CD-ROM", 8},  {"CD-R", 9},    {"CD-RW", 10},  {"DVD-ROM", 16}, {"DVD-R", 17},
      {"DVD-RAM", 18}, {"DVD+RW", 18}, {"DVD-RW", 19}, {"BD-ROM", 0},   {"", 0},
      {"dvd-r", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(DiscTypeCodeForMediaType(c.mediaType), c.code) << c.mediaType;
}

}  // namespace
