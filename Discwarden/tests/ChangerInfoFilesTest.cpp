#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "ChangerInfoFiles.h"

namespace {

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
