#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/CoreFoundation.h"

namespace {

CFRef<CFNumberRef> Num(CFNumberType type, long long v) {
  switch (type) {
    case kCFNumberSInt8Type: { int8_t x = static_cast<int8_t>(v); return CFRef(CFNumberCreate(nullptr, type, &x)); }
    case kCFNumberSInt16Type: { int16_t x = static_cast<int16_t>(v); return CFRef(CFNumberCreate(nullptr, type, &x)); }
    case kCFNumberSInt32Type: { int32_t x = static_cast<int32_t>(v); return CFRef(CFNumberCreate(nullptr, type, &x)); }
    default: { int64_t x = v; return CFRef(CFNumberCreate(nullptr, kCFNumberSInt64Type, &x)); }
  }
}

CFRef<CFStringRef> Str(const char* s) { return CFRef(CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8)); }

TEST(CFEqual, Table) {
  std::vector<CFRef<CFNumberRef>> keep;
  auto N = [&](CFNumberType t, long long v) {
    keep.push_back(Num(t, v));
    return keep.back().get();
  };
  CFRef<CFStringRef> photos = Str("Photos"), lowerPhotos = Str("photos");
  double half = 0.5, five = 5.0;
  CFRef<CFNumberRef> dHalf(CFNumberCreate(nullptr, kCFNumberFloat64Type, &half));
  CFRef<CFNumberRef> dFive(CFNumberCreate(nullptr, kCFNumberFloat64Type, &five));
  const void* k1[] = {CFSTR("a"), CFSTR("b")};
  const void* v1[] = {N(kCFNumberSInt16Type, 5), CFSTR("x")};
  const void* v2[] = {N(kCFNumberSInt64Type, 5), CFSTR("x")};
  const void* k3[] = {CFSTR("a")};
  CFRef<CFDictionaryRef> d1(CFDictionaryCreate(nullptr, k1, v1, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CFDictionaryRef> d2(CFDictionaryCreate(nullptr, k1, v2, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CFDictionaryRef> d3(CFDictionaryCreate(nullptr, k3, v1, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  const void* a1[] = {d1.get(), kCFBooleanTrue};
  const void* a2[] = {d2.get(), kCFBooleanTrue};
  const void* a3[] = {kCFBooleanTrue, d2.get()};
  CFRef<CFArrayRef> arr1(CFArrayCreate(nullptr, a1, 2, &kCFTypeArrayCallBacks));
  CFRef<CFArrayRef> arr2(CFArrayCreate(nullptr, a2, 2, &kCFTypeArrayCallBacks));
  CFRef<CFArrayRef> arr3(CFArrayCreate(nullptr, a3, 2, &kCFTypeArrayCallBacks));
  struct Case {
    const char* what;
    CFTypeRef a, b;
    bool equal;
  } cases[] = {
      {"SInt16 5 vs SInt64 5", N(kCFNumberSInt16Type, 5), N(kCFNumberSInt64Type, 5), true},
      {"SInt8 -1 vs SInt32 -1", N(kCFNumberSInt8Type, -1), N(kCFNumberSInt32Type, -1), true},
      {"SInt16 -1 vs SInt64 65535", N(kCFNumberSInt16Type, -1), N(kCFNumberSInt64Type, 65535), false},
      {"double 5.0 vs SInt32 5", dFive.get(), N(kCFNumberSInt32Type, 5), true},
      {"double 0.5 vs SInt32 0", dHalf.get(), N(kCFNumberSInt32Type, 0), false},
      {"same text", photos.get(), CFSTR("Photos"), true},
      {"case differs", lowerPhotos.get(), CFSTR("Photos"), false},
      {"string vs number", CFSTR("5"), N(kCFNumberSInt32Type, 5), false},
      {"true vs false", kCFBooleanTrue, kCFBooleanFalse, false},
      {"dicts numeric across types", d1.get(), d2.get(), true},
      {"dicts with other key sets", d1.get(), d3.get(), false},
      {"arrays of dicts", arr1.get(), arr2.get(), true},
      {"arrays in other order", arr1.get(), arr3.get(), false},
      {"null vs object", nullptr, CFSTR("x"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<bool>(CFEqual(c.a, c.b)), c.equal) << c.what;
    EXPECT_EQ(static_cast<bool>(CFEqual(c.b, c.a)), c.equal) << c.what << " (reversed)";
  }
}

TEST(CFNumber, ConversionReportsLoss) {
  struct Case {
    long long value;
    CFNumberType to;
    bool exact;
  } cases[] = {
      {32767, kCFNumberSInt16Type, true},   {32768, kCFNumberSInt16Type, false},
      {-1, kCFNumberSInt16Type, true},      {65535, kCFNumberSInt16Type, false},
      {-32768, kCFNumberSInt16Type, true},  {0x7FFFFFFFLL, kCFNumberSInt32Type, true},
      {0x80000000LL, kCFNumberSInt32Type, false}, {-5000000000LL, kCFNumberSInt64Type, true},
  };
  for (const auto& c : cases) {
    auto n = Num(kCFNumberSInt64Type, c.value);
    int64_t out64 = 0;
    int32_t out32 = 0;
    int16_t out16 = 0;
    void* out = c.to == kCFNumberSInt16Type ? static_cast<void*>(&out16)
                : c.to == kCFNumberSInt32Type ? static_cast<void*>(&out32) : static_cast<void*>(&out64);
    EXPECT_EQ(static_cast<bool>(CFNumberGetValue(n.get(), c.to, out)), c.exact) << c.value;
  }
  double half = 2.5;
  CFRef<CFNumberRef> d(CFNumberCreate(nullptr, kCFNumberDoubleType, &half));
  int32_t i = 0;
  EXPECT_FALSE(CFNumberGetValue(d.get(), kCFNumberSInt32Type, &i));
  EXPECT_EQ(i, 2);
  EXPECT_EQ(CFNumberGetType(Num(kCFNumberSInt16Type, 1).get()), kCFNumberSInt16Type);
}

TEST(CFString, MacRomanAndBufferLimits) {
  CFRef<CFStringRef> cafe = Str("Caf\xC3\xA9");
  char buf[16];
  ASSERT_TRUE(CFStringGetCString(cafe.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
  EXPECT_STREQ(buf, "Caf\x8E");
  CFRef<CFStringRef> back(CFStringCreateWithCString(nullptr, buf, kCFStringEncodingMacRoman));
  EXPECT_TRUE(CFEqual(back.get(), cafe.get()));
  EXPECT_FALSE(CFStringGetCString(cafe.get(), buf, sizeof buf, kCFStringEncodingASCII));
  // "Caf\xC3\xA9" is 5 bytes in UTF-8: a 5-byte buffer has no room for the NUL.
  EXPECT_FALSE(CFStringGetCString(cafe.get(), buf, 5, kCFStringEncodingUTF8));
  EXPECT_TRUE(CFStringGetCString(cafe.get(), buf, 6, kCFStringEncodingUTF8));
  CFRef<CFStringRef> greek = Str("\xCE\xB1\xCE\xB2");  // no Mac OS Roman form
  EXPECT_FALSE(CFStringGetCString(greek.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3\x28", kCFStringEncodingUTF8), nullptr);
  EXPECT_EQ(CFStringCreateWithCString(nullptr, "\x80", kCFStringEncodingASCII), nullptr);
  EXPECT_EQ(CFStringGetLength(cafe.get()), 4);
}

TEST(CFString, FormatAndCompare) {
  CFRef<CFStringRef> s(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("Discwarden-%d %016llX %@ %s|%5s|%%"), 42,
                                                0xABCDEFULL, CFSTR("obj"), "txt", "ab"));
  EXPECT_STREQ(CFStringGetCStringPtr(s.get(), kCFStringEncodingUTF8), "Discwarden-42 0000000000ABCDEF obj txt|   ab|%");
  EXPECT_EQ(CFStringCompare(CFSTR("backup"), CFSTR("Backup"), kCFCompareCaseInsensitive), kCFCompareEqualTo);
  EXPECT_NE(CFStringCompare(CFSTR("backup"), CFSTR("Backup"), 0), kCFCompareEqualTo);
  CFRef<CFStringRef> e1 = Str("\xC3\xA9t\xC3\xA9");
  CFRef<CFStringRef> e2 = Str("\xC3\x89T\xC3\x89");
  EXPECT_EQ(CFStringCompare(e1.get(), e2.get(), kCFCompareCaseInsensitive), kCFCompareEqualTo);
}

TEST(CFCollections, MutableCopiesAreDeepEnoughAndReleased) {
  long before = CFLiveObjectCount();
  {
    CFRef<CFMutableDictionaryRef> d(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(d.get(), CFSTR("k"), Num(kCFNumberSInt16Type, 1).get());
    CFDictionarySetValue(d.get(), CFSTR("k"), Num(kCFNumberSInt16Type, 2).get());
    CFDictionaryAddValue(d.get(), CFSTR("k"), Num(kCFNumberSInt16Type, 3).get());  // present: ignored
    EXPECT_EQ(CFDictionaryGetCount(d.get()), 1);
    int16_t v = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(d.get(), CFSTR("k"))), kCFNumberSInt16Type, &v);
    EXPECT_EQ(v, 2);
    CFRef<CFMutableArrayRef> a(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(a.get(), d.get());
    CFArrayAppendValue(a.get(), CFSTR("x"));
    CFRef<CFMutableArrayRef> copy(CFArrayCreateMutableCopy(nullptr, 0, a.get()));
    CFArrayRemoveValueAtIndex(copy.get(), 0);
    EXPECT_EQ(CFArrayGetCount(a.get()), 2);
    EXPECT_EQ(CFArrayGetCount(copy.get()), 1);
    EXPECT_TRUE(CFArrayContainsValue(a.get(), CFRangeMake(0, 2), CFSTR("x")));
    EXPECT_EQ(CFArrayGetValueAtIndex(a.get(), 5), nullptr);
  }
  EXPECT_EQ(CFLiveObjectCount(), before);
}

TEST(CFURL, PathsAndRelativeURLs) {
  CFRef<CFURLRef> bundle(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/System/Library/Filesystems/hfs.fs"),
                                                       kCFURLPOSIXPathStyle, true));
  CFRef<CFURLRef> res(CFURLCreateWithFileSystemPathRelativeToBase(nullptr, CFSTR("Contents/Resources"),
                                                                  kCFURLPOSIXPathStyle, true, bundle.get()));
  CFRef<CFStringRef> rel(CFURLCopyPath(res.get()));
  EXPECT_STREQ(CFStringGetCStringPtr(rel.get(), kCFStringEncodingUTF8), "Contents/Resources/");
  UInt8 buf[256];
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(res.get(), true, buf, sizeof buf));
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "/System/Library/Filesystems/hfs.fs/Contents/Resources");
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(res.get(), true, buf, 10));
}

TEST(CFUUID, ConstantsAreUniqued) {
  CFUUIDRef a = CFUUIDGetConstantUUIDWithBytes(nullptr, 0x2F, 0x65, 0x22, 0xE9, 0x3E, 0x66, 0x11, 0xD5, 0x80, 0xA7,
                                               0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC);
  CFUUIDRef b = CFUUIDGetConstantUUIDWithBytes(nullptr, 0x2F, 0x65, 0x22, 0xE9, 0x3E, 0x66, 0x11, 0xD5, 0x80, 0xA7,
                                               0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC);
  EXPECT_EQ(a, b);
  CFRef<CFUUIDRef> c(CFUUIDCreateFromString(nullptr, CFSTR("2F6522E9-3E66-11D5-80A7-003065B300BC")));
  EXPECT_TRUE(CFEqual(a, c.get()));
  CFRef<CFStringRef> s(CFUUIDCreateString(nullptr, c.get()));
  EXPECT_TRUE(CFEqual(s.get(), CFSTR("2F6522E9-3E66-11D5-80A7-003065B300BC")));
}

}  // namespace
