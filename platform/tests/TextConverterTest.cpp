#include <gtest/gtest.h>

#include <string>

#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"

namespace {

std::u16string U(const char* utf8) {
  CFRef<CFStringRef> s(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
  std::u16string out(static_cast<size_t>(CFStringGetLength(s.get())), u'\0');
  CFStringGetCharacters(s.get(), CFRangeMake(0, CFStringGetLength(s.get())), reinterpret_cast<UniChar*>(out.data()));
  return out;
}

std::string Bytes(const Str255 p) { return std::string(reinterpret_cast<const char*>(p + 1), p[0]); }

// The two converters a tool creates once, with the default Unicode and the latest mapping.
class MacRoman : public ::testing::Test {
 protected:
  void SetUp() override {
    UnicodeMapping mapping{CreateTextEncoding(kTextEncodingUnicodeDefault, kTextEncodingDefaultVariant,
                                              kUnicode16BitFormat),
                           CreateTextEncoding(kTextEncodingMacRoman, kTextEncodingDefaultVariant,
                                              kTextEncodingDefaultFormat),
                           kUnicodeUseLatestMapping};
    ASSERT_EQ(CreateUnicodeToTextInfo(&mapping, &m_toText), noErr);
    ASSERT_EQ(CreateTextToUnicodeInfo(&mapping, &m_toUnicode), noErr);
  }
  void TearDown() override {
    EXPECT_EQ(DisposeUnicodeToTextInfo(&m_toText), noErr);
    EXPECT_EQ(DisposeTextToUnicodeInfo(&m_toUnicode), noErr);
    EXPECT_EQ(m_toText, nullptr);
    EXPECT_EQ(m_toUnicode, nullptr);
  }
  OSStatus ToPString(const std::u16string& text, Str255 o_p) {
    return ConvertFromUnicodeToPString(m_toText, text.size() * sizeof(UniChar),
                                       reinterpret_cast<const UniChar*>(text.data()), o_p);
  }
  UnicodeToTextInfo m_toText = nullptr;
  TextToUnicodeInfo m_toUnicode = nullptr;
};

TEST_F(MacRoman, RoundTripsTextThatHasAMacRomanForm) {
  struct Case {
    const char* utf8;
    std::string macRoman;
  } cases[] = {
      {"Caf\xC3\xA9 No\xC3\xABl", "Caf\x8E No\x91l"},
      {"\xC3\x86r\xC3\xB8sk\xC3\xB8" "bing \xE2\x82\xAC 5", "\xAEr\xBFsk\xBF" "bing \xDB 5"},
      {"Photos\x01" "00A0B0C0D0E0F001000C0002", "Photos\x01" "00A0B0C0D0E0F001000C0002"},
      {"", ""},
  };
  for (const auto& c : cases) {
    Str255 p;
    ASSERT_EQ(ToPString(U(c.utf8), p), noErr) << c.utf8;
    EXPECT_EQ(Bytes(p), c.macRoman) << c.utf8;
    UniChar back[256];
    ByteCount len = 12345;
    ASSERT_EQ(ConvertFromPStringToUnicode(m_toUnicode, p, sizeof back, &len, back), noErr) << c.utf8;
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back), len / sizeof(UniChar)), U(c.utf8)) << c.utf8;
  }
}

TEST_F(MacRoman, TextWithoutAMacRomanFormIsRefused) {
  std::u16string lone = u"ab";
  lone += static_cast<char16_t>(0xD800);
  struct Case {
    const char* what;
    std::u16string text;
    ByteCount byteLength;
    OSStatus err;
  } cases[] = {
      {"CJK", U("\xE5\x86\x99\xE7\x9C\x9F"), 4, kTECUnmappableElementErr},
      {"Polish l with stroke", U("\xC5\x81\xC3\xB3" "d\xC5\xBA"), 8, kTECUnmappableElementErr},
      {"decomposed e acute", U("e\xCC\x81"), 4, kTECUnmappableElementErr},
      {"unpaired surrogate", lone, 6, kTextMalformedInputErr},
      {"odd byte count", u"abc", 5, kTextMalformedInputErr},
      {"256 characters", std::u16string(256, u'x'), 512, kTECOutputBufferFullStatus},
  };
  for (const auto& c : cases) {
    Str255 p;
    p[0] = 7;
    EXPECT_EQ(ConvertFromUnicodeToPString(m_toText, c.byteLength, reinterpret_cast<const UniChar*>(c.text.data()), p),
              c.err)
        << c.what;
    EXPECT_EQ(p[0], 0) << c.what;
  }
  Str255 p;
  ASSERT_EQ(ToPString(std::u16string(255, u'x'), p), noErr);
  EXPECT_EQ(p[0], 255);
}

TEST_F(MacRoman, UnicodeOutputMustFitItsBuffer) {
  const unsigned char text[] = "\x05" "Caf\x8E!";
  UniChar out[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  ByteCount len = 99;
  EXPECT_EQ(ConvertFromPStringToUnicode(m_toUnicode, text, 9, &len, out), kTECOutputBufferFullStatus);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(out[0], 1) << "nothing written";
  ASSERT_EQ(ConvertFromPStringToUnicode(m_toUnicode, text, 10, &len, out), noErr);
  EXPECT_EQ(len, 10u);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out), 5), u"Caf\u00E9!");
}

TEST(TextEncodingConverter, ConvertersExistOnlyForSupportedEncodings) {
  struct Case {
    const char* what;
    TextEncoding unicode, other;
    OSStatus err;
  } cases[] = {
      {"Mac OS Roman", kTextEncodingUnicodeDefault, kTextEncodingMacRoman, noErr},
      {"Unicode 2.0 to ASCII", kTextEncodingUnicodeV2_0, kTextEncodingUS_ASCII, noErr},
      {"Latin-1", kTextEncodingUnicodeDefault, kTextEncodingISOLatin1, noErr},
      {"Japanese", kTextEncodingUnicodeDefault, 1 /* Mac Japanese */, kTECNoConversionPathErr},
      {"Unicode side not Unicode", kTextEncodingMacRoman, kTextEncodingMacRoman, kTextUnsupportedEncodingErr},
      {"UTF-8 format on the Unicode side", CreateTextEncoding(kTextEncodingUnicodeDefault, 0, 2),
       kTextEncodingMacRoman, kTextUnsupportedEncodingErr},
  };
  for (const auto& c : cases) {
    UnicodeMapping mapping{c.unicode, c.other, kUnicodeUseLatestMapping};
    UnicodeToTextInfo toText = reinterpret_cast<UnicodeToTextInfo>(1);
    TextToUnicodeInfo toUnicode = reinterpret_cast<TextToUnicodeInfo>(1);
    EXPECT_EQ(CreateUnicodeToTextInfo(&mapping, &toText), c.err) << c.what;
    EXPECT_EQ(CreateTextToUnicodeInfo(&mapping, &toUnicode), c.err) << c.what;
    EXPECT_EQ(toText != nullptr, c.err == noErr) << c.what;
    EXPECT_EQ(toUnicode != nullptr, c.err == noErr) << c.what;
    if (toText) {
      EXPECT_EQ(DisposeUnicodeToTextInfo(&toText), noErr);
    }
    if (toUnicode) {
      EXPECT_EQ(DisposeTextToUnicodeInfo(&toUnicode), noErr);
    }
  }

  // By encoding, with ASCII: what is outside ASCII has no form.
  UnicodeToTextInfo ascii = nullptr;
  ASSERT_EQ(CreateUnicodeToTextInfoByEncoding(kTextEncodingUS_ASCII, &ascii), noErr);
  std::u16string cafe = u"Caf\u00E9";
  Str255 p;
  EXPECT_EQ(ConvertFromUnicodeToPString(ascii, 8, reinterpret_cast<const UniChar*>(cafe.data()), p),
            kTECUnmappableElementErr);
  UnicodeToTextInfo stale = ascii;
  ASSERT_EQ(DisposeUnicodeToTextInfo(&ascii), noErr);
  EXPECT_EQ(DisposeUnicodeToTextInfo(&stale), paramErr) << "disposed twice";
  EXPECT_EQ(ConvertFromUnicodeToPString(stale, 8, reinterpret_cast<const UniChar*>(cafe.data()), p), paramErr);
  TextToUnicodeInfo roman = nullptr;
  ASSERT_EQ(CreateTextToUnicodeInfoByEncoding(kTextEncodingMacRoman, &roman), noErr);
  EXPECT_EQ(DisposeTextToUnicodeInfo(&roman), noErr);
}

}  // namespace
