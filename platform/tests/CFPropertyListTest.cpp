#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../cf/CFInternal.h"
#include "platform/CoreFoundation.h"
#include "platform/PlistCodec.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

CFNumberRef __CFNumberCreateUnsigned64(uint64_t v);

namespace {

namespace pl = platform::plist;

CFRef<CFStringRef> Str(const std::string& s) {
  return CFRef(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()), s.size(),
                                       kCFStringEncodingUTF8, false));
}
CFRef<CFNumberRef> I64(int64_t v) { return CFRef(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
CFRef<CFNumberRef> I16(int16_t v) { return CFRef(CFNumberCreate(nullptr, kCFNumberSInt16Type, &v)); }
CFRef<CFNumberRef> F64(double v) { return CFRef(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }
CFRef<CFMutableDictionaryRef> Dict() {
  return CFRef(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}
CFRef<CFMutableArrayRef> Array() { return CFRef(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks)); }

// Exact text of a value with its kinds, so a round trip that turns 2.0 into 2 or -1 into
// 2^64-1 shows; dictionary keys sorted because the formats do not promise an order.
std::string Typed(CFTypeRef v) {
  CFTypeID t = CFGetTypeID(v);
  if (t == CFStringGetTypeID()) return "s\"" + std::string(CFStringGetCStringPtr(static_cast<CFStringRef>(v), kCFStringEncodingUTF8)) + "\"";
  if (t == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  if (t == CFNumberGetTypeID()) {
    auto n = static_cast<CFNumberRef>(v);
    char buf[64];
    if (CFNumberIsFloatType(n)) {
      double d = 0;
      CFNumberGetValue(n, kCFNumberFloat64Type, &d);
      std::snprintf(buf, sizeof buf, "f%.17g", d);
      return buf;
    }
    CFRef<CFStringRef> text(CFCopyDescription(v));
    return "i" + std::string(CFStringGetCStringPtr(text.get(), kCFStringEncodingUTF8));
  }
  if (t == CFDataGetTypeID()) {
    CFRef<CFStringRef> text(CFCopyDescription(v));
    return "d" + std::string(CFStringGetCStringPtr(text.get(), kCFStringEncodingUTF8));
  }
  if (t == CFArrayGetTypeID()) {
    std::string s = "[";
    for (CFIndex i = 0; i < CFArrayGetCount(static_cast<CFArrayRef>(v)); ++i)
      s += Typed(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(v), i)) + ",";
    return s + "]";
  }
  if (t == CFDictionaryGetTypeID()) {
    auto d = static_cast<CFDictionaryRef>(v);
    std::vector<const void*> keys(CFDictionaryGetCount(d)), values(keys.size());
    CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
    std::vector<std::string> entries;
    for (size_t i = 0; i < keys.size(); ++i) entries.push_back(Typed(keys[i]) + ":" + Typed(values[i]));
    std::sort(entries.begin(), entries.end());
    std::string s = "{";
    for (auto& e : entries) s += e + ",";
    return s + "}";
  }
  return "?";
}

// One of everything a property list holds, nested.
CFRef<CFDictionaryRef> Everything() {
  auto root = Dict();
  CFDictionarySetValue(root.get(), CFSTR("ascii"), CFSTR("Changer <1> & \"2\""));
  CFDictionarySetValue(root.get(), CFSTR("empty string"), CFSTR(""));
  CFDictionarySetValue(root.get(), Str("cl\xC3\xA9 \xE2\x86\x92").get(), Str("\xC3\x89tag\xC3\xA8re \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5").get());
  CFDictionarySetValue(root.get(), CFSTR("zero"), I64(0).get());
  CFDictionarySetValue(root.get(), CFSTR("minus one"), I64(-1).get());
  CFDictionarySetValue(root.get(), CFSTR("int64 min"), I64(INT64_MIN).get());
  CFDictionarySetValue(root.get(), CFSTR("int64 max"), I64(INT64_MAX).get());
  CFDictionarySetValue(root.get(), CFSTR("sint16"), I16(-300).get());
  CFRef<CFNumberRef> big(__CFNumberCreateUnsigned64(UINT64_MAX)), above(__CFNumberCreateUnsigned64(1ull << 63));
  CFDictionarySetValue(root.get(), CFSTR("uint64 max"), big.get());
  CFDictionarySetValue(root.get(), CFSTR("2^63"), above.get());
  CFDictionarySetValue(root.get(), CFSTR("tenth"), F64(0.1).get());
  CFDictionarySetValue(root.get(), CFSTR("two"), F64(2.0).get());
  CFDictionarySetValue(root.get(), CFSTR("negative real"), F64(-1.5e300).get());
  CFDictionarySetValue(root.get(), CFSTR("yes"), kCFBooleanTrue);
  CFDictionarySetValue(root.get(), CFSTR("no"), kCFBooleanFalse);
  const UInt8 bytes[] = {0, 1, 0xFF, 0x80, '<', 0};
  CFRef<CFDataRef> data(CFDataCreate(nullptr, bytes, sizeof bytes)), noData(CFDataCreate(nullptr, nullptr, 0));
  CFDictionarySetValue(root.get(), CFSTR("data"), data.get());
  CFDictionarySetValue(root.get(), CFSTR("no data"), noData.get());
  CFDictionarySetValue(root.get(), CFSTR("empty array"), Array().get());
  CFDictionarySetValue(root.get(), CFSTR("empty dict"), Dict().get());
  auto slots = Array();
  for (int16_t i = 0; i < 3; ++i) {
    auto slot = Dict();
    CFDictionarySetValue(slot.get(), CFSTR("slot"), I16(i).get());
    auto names = Array();
    CFArrayAppendValue(names.get(), Str("Disc " + std::to_string(i)).get());
    CFArrayAppendValue(names.get(), Dict().get());
    CFDictionarySetValue(slot.get(), CFSTR("names"), names.get());
    CFArrayAppendValue(slots.get(), slot.get());
  }
  CFDictionarySetValue(root.get(), CFSTR("slots"), slots.get());
  return CFRef<CFDictionaryRef>(root.release());
}

const char* const kEverythingTyped =
    "{s\"2^63\":i9223372036854775808,s\"ascii\":s\"Changer <1> & \"2\"\",s\"cl\xC3\xA9 \xE2\x86\x92\":"
    "s\"\xC3\x89tag\xC3\xA8re \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xB5\",s\"data\":d<0001ff803c00>,"
    "s\"empty array\":[],s\"empty dict\":{},s\"empty string\":s\"\",s\"int64 max\":i9223372036854775807,"
    "s\"int64 min\":i-9223372036854775808,s\"minus one\":i-1,s\"negative real\":f-1.5000000000000001e+300,"
    "s\"no data\":d<>,s\"no\":false,s\"sint16\":i-300,"
    "s\"slots\":[{s\"names\":[s\"Disc 0\",{},],s\"slot\":i0,},{s\"names\":[s\"Disc 1\",{},],s\"slot\":i1,},"
    "{s\"names\":[s\"Disc 2\",{},],s\"slot\":i2,},],s\"tenth\":f0.10000000000000001,s\"two\":f2,"
    "s\"uint64 max\":i18446744073709551615,s\"yes\":true,s\"zero\":i0,}";

TEST(PlistCodec, EveryTypeRoundTripsInBothFormats) {
  long before = CFLiveObjectCount();
  {
    auto original = Everything();
    ASSERT_EQ(Typed(original.get()), kEverythingTyped);
    struct Case {
      const char* name;
      CFPropertyListFormat format;
    } cases[] = {{"XML", kCFPropertyListXMLFormat_v1_0}, {"binary", kCFPropertyListBinaryFormat_v1_0}};
    for (const auto& c : cases) {
      std::string bytes, error;
      ASSERT_TRUE(pl::Encode(original.get(), c.format, bytes, &error)) << c.name << ": " << error;
      CFPropertyListFormat format = 0;
      CFRef<CFPropertyListRef> back(pl::Decode(bytes.data(), bytes.size(), kCFPropertyListImmutable, &error, &format));
      ASSERT_TRUE(back) << c.name << ": " << error;
      EXPECT_EQ(format, c.format) << c.name;
      EXPECT_EQ(Typed(back.get()), kEverythingTyped) << c.name;
      EXPECT_TRUE(CFEqual(back.get(), original.get())) << c.name;
      // Integers come back as SInt64 whatever they were written as.
      auto sint16 = static_cast<CFNumberRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(back.get()), CFSTR("sint16")));
      EXPECT_EQ(CFNumberGetType(sint16), kCFNumberSInt64Type) << c.name;
    }
    EXPECT_EQ(pl::EncodeXML(original.get()).substr(0, 38), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_EQ(pl::EncodeBinary(original.get()).substr(0, 8), "bplist00");
  }
  EXPECT_EQ(CFLiveObjectCount(), before);
}

TEST(PlistCodec, XMLTextIsTheVersionOneFormat) {
  auto d = Dict();
  CFDictionarySetValue(d.get(), CFSTR("changer name"), Str("T\xC3\xBCr & <Tor>").get());
  CFDictionarySetValue(d.get(), CFSTR("do not automount changer"), kCFBooleanFalse);
  CFDictionarySetValue(d.get(), CFSTR("count"), I64(-3).get());
  EXPECT_EQ(pl::EncodeXML(d.get()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n"
            "<dict>\n"
            "\t<key>changer name</key>\n"
            "\t<string>T\xC3\xBCr &amp; &lt;Tor&gt;</string>\n"
            "\t<key>do not automount changer</key>\n"
            "\t<false/>\n"
            "\t<key>count</key>\n"
            "\t<integer>-3</integer>\n"
            "</dict>\n"
            "</plist>\n");
}

TEST(PlistCodec, MutabilityOptionReachesEveryContainer) {
  auto inner = Array();
  CFArrayAppendValue(inner.get(), CFSTR("leaf"));
  auto root = Dict();
  CFDictionarySetValue(root.get(), CFSTR("inner"), inner.get());
  std::string bytes = pl::EncodeBinary(root.get());
  struct Case {
    CFOptionFlags option;
    bool mutableContainers;
  } cases[] = {{kCFPropertyListImmutable, false},
               {kCFPropertyListMutableContainers, true},
               {kCFPropertyListMutableContainersAndLeaves, true}};
  for (const auto& c : cases) {
    CFRef<CFPropertyListRef> back(pl::Decode(bytes.data(), bytes.size(), c.option, nullptr));
    ASSERT_TRUE(back);
    auto d = static_cast<const __CFDictionary*>(back.get());
    auto a = static_cast<const __CFArray*>(CFDictionaryGetValue(d, CFSTR("inner")));
    EXPECT_EQ(d->m_mutable, c.mutableContainers) << c.option;
    EXPECT_EQ(a->m_mutable, c.mutableContainers) << c.option;
  }
}

// A binary property list written object by object, for shapes no writer produces.
std::string HandBinary(const std::vector<std::string>& objects, uint64_t top) {
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  uint64_t table = out.size();
  for (uint64_t off : offsets) {
    out += static_cast<char>(off >> 8);
    out += static_cast<char>(off);
  }
  std::string trailer(32, '\0');
  trailer[6] = 2;  // offset size
  trailer[7] = 2;  // reference size
  auto put64 = [&](int at, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) trailer[at + i] = static_cast<char>(v & 0xFF);
  };
  put64(8, objects.size());
  put64(16, top);
  put64(24, table);
  return out + trailer;
}
std::string Ref(uint16_t i) { return std::string{static_cast<char>(i >> 8), static_cast<char>(i & 0xFF)}; }

TEST(PlistCodec, BadInputFailsWithAReason) {
  std::string deepXML = "<plist version=\"1.0\">";
  for (int i = 0; i < 600; ++i) deepXML += "<array>";
  for (int i = 0; i < 600; ++i) deepXML += "</array>";
  deepXML += "</plist>";
  std::string okDeepXML = "<plist version=\"1.0\">";
  for (int i = 0; i < 512; ++i) okDeepXML += "<array>";
  for (int i = 0; i < 512; ++i) okDeepXML += "</array>";
  okDeepXML += "</plist>";
  std::vector<std::string> chain;  // object i is an array holding object i + 1
  for (uint16_t i = 0; i < 600; ++i) chain.push_back("\xA1" + Ref(i + 1));
  chain.push_back(std::string("\xA0", 1));
  std::vector<std::string> doubling;  // 2^60 objects once expanded
  for (uint16_t i = 0; i < 60; ++i) doubling.push_back("\xA2" + Ref(i + 1) + Ref(i + 1));
  doubling.push_back("\x09");
  std::string xmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  std::string repeatedRef;
  for (int i = 0; i < 70000; ++i) repeatedRef += Ref(0);
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
  } cases[] = {
      {"empty", "", "property list data is empty"},
      {"text", "hello, world", "malformed XML property list"},
      {"unclosed XML", xmlHead + "<dict><key>a</key><string>b</string>", "malformed XML property list"},
      {"bad header", "bplist15" + std::string(40, '\0'), "malformed binary property list"},
      {"short binary", "bplist00\x09", "malformed binary property list"},
      {"reference out of range", HandBinary({"\xA1" + Ref(5)}, 0), "malformed binary property list"},
      {"offset into the table", HandBinary({"\x09"}, 0).replace(9, 2, std::string("\x00\x09", 2)), "malformed binary property list"},
      {"NUL in a binary key", HandBinary({"\xD1" + Ref(1) + Ref(2), std::string("\x53" "a\0b", 4), "\x09"}, 0),
       "malformed binary property list"},
      {"number as a binary key", HandBinary({"\xD1" + Ref(1) + Ref(1), "\x10\x07"}, 0), "malformed binary property list"},
      {"NUL in XML", xmlHead + std::string("<string>a\0b</string></plist>", 29), "malformed XML property list"},
      {"array holds itself", HandBinary({"\xA1" + Ref(0)}, 0), "binary property list refers to itself"},
      {"deep binary", HandBinary(chain, 0), "property list nested deeper than 512 levels"},
      {"deep XML", deepXML, "property list nested deeper than 512 levels"},
      {"shared children", HandBinary(doubling, 0), "property list holds too many objects"},
      {"date", xmlHead + "<date>2004-06-01T12:00:00Z</date></plist>", "property list holds a date, which is not supported"},
      {"invalid UTF-8", HandBinary({"\x52\xC3\x28"}, 0), "property list holds a string that is not valid UTF-8"},
      // 70 000 references to one kilobyte: 70 MB once each is copied.
      {"shared data", HandBinary({std::string("\x4F\x11\x03\xE8", 4) + std::string(1000, 'x'),
                                  std::string("\xAF\x12\x00\x01\x11\x70", 6) + repeatedRef}, 1),
       "property list holds too much data"},
      // An array claiming 2^20 references where the file holds two.
      {"container count exceeds the file",
       HandBinary({std::string("\xAF\x12\x00\x10\x00\x00", 6) + Ref(1) + Ref(1), "\x09"}, 0),
       "malformed binary property list"},
  };
  for (const auto& c : cases) {
    std::string error = "unset";
    CFPropertyListRef p = pl::Decode(c.bytes.data(), c.bytes.size(), kCFPropertyListImmutable, &error);
    EXPECT_EQ(p, nullptr) << c.name;
    if (p) CFRelease(p);
    EXPECT_EQ(error, c.error) << c.name;
  }
  // The limit itself is allowed.
  CFRef<CFPropertyListRef> ok(pl::Decode(okDeepXML.data(), okDeepXML.size(), 0, nullptr));
  EXPECT_TRUE(ok);
}

TEST(PlistCodec, UnstorableValuesAreRefusedWithAReason) {
  CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Library"), kCFURLPOSIXPathStyle, true));
  auto withURL = Dict();
  CFDictionarySetValue(withURL.get(), CFSTR("where"), url.get());
  auto numberKey = Dict();
  CFDictionarySetValue(numberKey.get(), I64(1).get(), CFSTR("one"));
  auto nul = Array();
  CFArrayAppendValue(nul.get(), Str(std::string("a\0b", 3)).get());
  auto deep = Array();
  for (int i = 0; i < 600; ++i) {
    auto outer = Array();
    CFArrayAppendValue(outer.get(), deep.get());
    deep = outer;
  }
  auto cycle = Array();
  CFArrayAppendValue(cycle.get(), cycle.get());
  struct Case {
    const char* name;
    CFTypeRef value;
    const char* error;
  } cases[] = {
      {"URL", withURL.get(), "value of type 29 cannot be stored in a property list"},
      {"number key", numberKey.get(), "property list dictionary key is not a string"},
      {"NUL in string", nul.get(), "property list string holds a NUL character"},
      {"too deep", deep.get(), "property list nested deeper than 512 levels"},
      {"holds itself", cycle.get(), "property list nested deeper than 512 levels"},
      {"null", nullptr, "property list holds a null value"},
  };
  for (const auto& c : cases) {
    for (CFPropertyListFormat f : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
      std::string bytes = "unset", error;
      EXPECT_FALSE(pl::Encode(c.value, f, bytes, &error)) << c.name;
      EXPECT_EQ(bytes, "") << c.name;
      EXPECT_EQ(error, c.error) << c.name << " " << f;
    }
  }
  EXPECT_EQ(pl::EncodeBinary(withURL.get()), "");
  CFArrayRemoveAllValues(cycle.get());
}

// Whatever the bytes, a read either fails with a reason or yields a value; it never crashes or
// reads outside the buffer (each attempt gets a buffer of exactly its size, for the sanitizers).
// A binary list of `count` references to objects `first`..., each four bytes wide.
std::string WideBinary(const std::vector<std::string>& objects, uint64_t top) {
  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  for (const auto& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  auto put = [](std::string& s, uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  uint64_t table = out.size();
  for (uint64_t off : offsets) put(out, off, 4);
  out += std::string(6, '\0');
  out += '\x04';  // offset size
  out += '\x04';  // reference size
  put(out, objects.size(), 8);
  put(out, top, 8);
  put(out, table, 8);
  return out;
}

std::string WideContainer(char marker, uint64_t count, uint64_t firstRef, uint64_t step) {
  std::string o(1, static_cast<char>(marker | 0x0F));
  o += "\x12";  // count as a four-byte integer
  for (int i = 3; i >= 0; --i) o += static_cast<char>((count >> (8 * i)) & 0xFF);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t ref = firstRef + i * step;
    for (int k = 3; k >= 0; --k) o += static_cast<char>((ref >> (8 * k)) & 0xFF);
  }
  return o;
}

// Containers near the object limit, as one frame of the host's socket may hold: a decode that
// indexes or searches from the start for every element runs for hours on these, a single pass
// for well under a second.
TEST(PlistCodec, LargeContainersDecodeInOnePass) {
  constexpr uint64_t kArrayCount = 1000000, kDictCount = 300000;
  // One array referring a million times to the same number: four megabytes.
  std::string array = WideBinary({WideContainer('\xA0', kArrayCount, 1, 0), "\x10\x07"}, 0);
  // A dictionary of distinct keys, each mapping to the same value.
  std::vector<std::string> objects{std::string(), "\x09"};
  std::string dictObject(1, '\xDF');
  dictObject += "\x12";
  for (int i = 3; i >= 0; --i) dictObject += static_cast<char>((kDictCount >> (8 * i)) & 0xFF);
  for (int half = 0; half < 2; ++half)
    for (uint64_t i = 0; i < kDictCount; ++i) {
      uint64_t ref = half ? 1 : 2 + i;
      for (int k = 3; k >= 0; --k) dictObject += static_cast<char>((ref >> (8 * k)) & 0xFF);
    }
  objects[0] = dictObject;
  for (uint64_t i = 0; i < kDictCount; ++i) {
    std::string key = "k" + std::to_string(i);
    objects.push_back(static_cast<char>(0x50 | key.size()) + key);
  }
  std::string dict = WideBinary(objects, 0);
  constexpr uint64_t kXMLCount = 100000;
  std::string xml = "<plist version=\"1.0\"><array>";
  for (uint64_t i = 0; i < kXMLCount; ++i) xml += "<integer>" + std::to_string(i) + "</integer>";
  xml += "</array></plist>";

  struct Case {
    const char* name;
    const std::string& bytes;
    CFIndex count;
  } cases[] = {{"binary array", array, kArrayCount}, {"binary dictionary", dict, kDictCount}, {"XML array", xml, kXMLCount}};
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    std::string error;
    CFRef<CFPropertyListRef> back(pl::Decode(c.bytes.data(), c.bytes.size(), 0, &error));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(back) << c.name << ": " << error;
    std::printf("%s: %zu bytes decoded in %.3f s\n", c.name, c.bytes.size(), seconds);
    // Generous: a sanitizer build on a busy machine takes seconds, a per-element search hours.
    EXPECT_LT(seconds, 120.0) << c.name;
    if (CFGetTypeID(back.get()) == CFArrayGetTypeID()) {
      auto a = static_cast<CFArrayRef>(back.get());
      ASSERT_EQ(c.count, CFArrayGetCount(a)) << c.name;
      int64_t last = 0;
      CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(a, c.count - 1)), kCFNumberSInt64Type, &last);
      EXPECT_EQ(c.bytes[0] == 'b' ? 7 : c.count - 1, last) << c.name;
    } else {
      auto d = static_cast<CFDictionaryRef>(back.get());
      ASSERT_EQ(c.count, CFDictionaryGetCount(d)) << c.name;
      for (CFIndex k : {CFIndex{0}, c.count - 1})
        EXPECT_EQ(kCFBooleanTrue, CFDictionaryGetValue(d, Str("k" + std::to_string(k)).get())) << k;
    }
  }
}

TEST(PlistCodec, TruncatedAndGarbageInputNeverCrashes) {
  auto original = Everything();
  const std::string files[] = {pl::EncodeXML(original.get()), pl::EncodeBinary(original.get())};
  auto attempt = [](const std::string& bytes, CFPropertyListRef* o_result) {
    std::vector<char> exact(bytes.begin(), bytes.end());
    std::string error;
    *o_result = pl::Decode(exact.empty() ? nullptr : exact.data(), exact.size(), 2, &error);
    return *o_result != nullptr || !error.empty();
  };
  for (const auto& file : files) {
    ASSERT_FALSE(file.empty());
    for (size_t n = 0; n < file.size(); ++n) {
      CFPropertyListRef p = nullptr;
      EXPECT_TRUE(attempt(file.substr(0, n), &p)) << n;
      // An XML prefix may end after the root element; then it must be the whole value.
      if (p) {
        EXPECT_TRUE(CFEqual(p, original.get())) << "prefix " << n << " of " << file.substr(0, 8);
        CFRelease(p);
      }
    }
  }
  std::mt19937 rng(20040601);
  int parsed = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string bytes;
    if (i % 3 == 2) {
      bytes.resize(rng() % 300);
      for (char& c : bytes) c = static_cast<char>(rng());
      if (i % 2) bytes.insert(0, "bplist00");
    } else {
      bytes = files[i % 2];
      for (int k = 1 + rng() % 4; k > 0; --k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    }
    CFPropertyListRef p = nullptr;
    EXPECT_TRUE(attempt(bytes, &p)) << i;
    if (p) {
      ++parsed;
      CFRelease(p);
    }
  }
  EXPECT_GT(parsed, 0);  // some mutations only change a string's content
}

// ---------------------------------------------------------------- streams and the Mac calls

namespace fs = std::filesystem;

class PlistFiles : public platform_test::TempRootTest {
 protected:
  PlistFiles() : TempRootTest("plisttest") {}
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
    fs::create_directories(m_root + "/Library/Changers");
  }
  static CFRef<CFURLRef> URL(const std::string& mac) {
    return CFRef(CFURLCreateWithFileSystemPath(nullptr, Str(mac).get(), kCFURLPOSIXPathStyle, false));
  }
  std::string HostBytes(const std::string& mac) const {
    std::ifstream in(m_root + mac, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void PutHostBytes(const std::string& mac, const std::string& bytes) const {
    std::ofstream(m_root + mac, std::ios::binary) << bytes;
  }
  // Writes through a fresh write stream; the bytes-written result and the error text.
  static CFIndex WriteFile(const std::string& mac, CFPropertyListRef plist, CFPropertyListFormat format,
                           std::string* o_error) {
    CFRef<CFWriteStreamRef> ws(CFWriteStreamCreateWithFile(nullptr, URL(mac).get()));
    if (!ws || !CFWriteStreamOpen(ws.get())) return -1;
    CFStringRef error = CFSTR("unset");
    CFIndex n = CFPropertyListWriteToStream(plist, ws.get(), format, &error);
    *o_error = error ? CFStringGetCStringPtr(error, kCFStringEncodingUTF8) : "NULL";
    if (error) CFRelease(error);
    CFWriteStreamClose(ws.get());
    return n;
  }
  static CFPropertyListRef ReadFile(const std::string& mac, CFIndex length, CFOptionFlags option,
                                    CFPropertyListFormat* o_format, std::string* o_error) {
    CFRef<CFReadStreamRef> rs(CFReadStreamCreateWithFile(nullptr, URL(mac).get()));
    if (!rs || !CFReadStreamOpen(rs.get())) return nullptr;
    CFStringRef error = CFSTR("unset");
    CFPropertyListRef p = CFPropertyListCreateFromStream(nullptr, rs.get(), length, option, o_format, &error);
    *o_error = error ? CFStringGetCStringPtr(error, kCFStringEncodingUTF8) : "NULL";
    if (error) CFRelease(error);
    CFReadStreamClose(rs.get());
    return p;
  }

};

TEST_F(PlistFiles, RoundTripThroughFileStreamsUnderTheRoot) {
  long before = CFLiveObjectCount();
  {
    auto original = Everything();
    struct Case {
      CFPropertyListFormat format;
      CFOptionFlags option;
    } cases[] = {{kCFPropertyListXMLFormat_v1_0, kCFPropertyListImmutable},
                 {kCFPropertyListXMLFormat_v1_0, kCFPropertyListMutableContainersAndLeaves},
                 {kCFPropertyListBinaryFormat_v1_0, kCFPropertyListMutableContainers},
                 {kCFPropertyListBinaryFormat_v1_0, kCFPropertyListMutableContainersAndLeaves}};
    for (const auto& c : cases) {
      std::string error;
      CFIndex written = WriteFile("/Library/Changers/Info.plist", original.get(), c.format, &error);
      std::string expected = c.format == kCFPropertyListXMLFormat_v1_0 ? pl::EncodeXML(original.get())
                                                                        : pl::EncodeBinary(original.get());
      EXPECT_EQ(written, static_cast<CFIndex>(expected.size())) << c.format;
      EXPECT_EQ(error, "NULL");
      EXPECT_EQ(HostBytes("/Library/Changers/Info.plist"), expected) << c.format;
      CFPropertyListFormat format = 0;
      CFRef<CFPropertyListRef> back(ReadFile("/Library/Changers/Info.plist", 0, c.option, &format, &error));
      ASSERT_TRUE(back) << error;
      EXPECT_EQ(error, "NULL");
      EXPECT_EQ(format, c.format);
      EXPECT_EQ(Typed(back.get()), kEverythingTyped);
      EXPECT_EQ(static_cast<const __CFDictionary*>(back.get())->m_mutable, c.option != kCFPropertyListImmutable);
    }
    // A shorter list written over a longer one replaces the whole content.
    auto small = Dict();
    CFDictionarySetValue(small.get(), CFSTR("changer name"), CFSTR("A"));
    std::string error;
    WriteFile("/Library/Changers/Info.plist", small.get(), kCFPropertyListXMLFormat_v1_0, &error);
    EXPECT_EQ(HostBytes("/Library/Changers/Info.plist"), pl::EncodeXML(small.get()));
  }
  EXPECT_EQ(CFLiveObjectCount(), before);
}

TEST_F(PlistFiles, ReadFailuresGiveNullAndAReason) {
  auto d = Dict();
  CFDictionarySetValue(d.get(), CFSTR("k"), CFSTR("v"));
  std::string binary = pl::EncodeBinary(d.get());
  PutHostBytes("/Library/Changers/damaged.plist", "this is not a property list\n");
  PutHostBytes("/Library/Changers/empty.plist", "");
  PutHostBytes("/Library/Changers/tail.plist", binary + "trailing");
  struct Case {
    const char* file;
    CFIndex length;
    const char* error;
  } cases[] = {
      {"/Library/Changers/damaged.plist", 0, "malformed XML property list"},
      {"/Library/Changers/empty.plist", 0, "property list data is empty"},
      {"/Library/Changers/tail.plist", 0, "malformed binary property list"},
      {"/Library/Changers/tail.plist", static_cast<CFIndex>(binary.size()), "NULL"},  // the length given stops it
  };
  for (const auto& c : cases) {
    std::string error;
    CFRef<CFPropertyListRef> p(ReadFile(c.file, c.length, kCFPropertyListImmutable, nullptr, &error));
    EXPECT_EQ(static_cast<bool>(p), std::string(c.error) == "NULL") << c.file;
    EXPECT_EQ(error, c.error) << c.file;
  }

  // A missing file: opening fails with the POSIX error; reading an unopened stream says so.
  CFRef<CFReadStreamRef> rs(CFReadStreamCreateWithFile(nullptr, URL("/Library/Changers/none.plist").get()));
  ASSERT_TRUE(rs);
  EXPECT_EQ(CFReadStreamGetStatus(rs.get()), kCFStreamStatusNotOpen);
  EXPECT_FALSE(CFReadStreamOpen(rs.get()));
  EXPECT_EQ(CFReadStreamGetStatus(rs.get()), kCFStreamStatusError);
  EXPECT_EQ(CFReadStreamGetError(rs.get()).domain, kCFStreamErrorDomainPOSIX);
  EXPECT_EQ(CFReadStreamGetError(rs.get()).error, ENOENT);
  CFStringRef error = nullptr;
  EXPECT_EQ(CFPropertyListCreateFromStream(nullptr, rs.get(), 0, 0, nullptr, &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(CFStringGetCStringPtr(error, kCFStringEncodingUTF8), "property list stream is not open");
  CFRelease(error);
}

TEST_F(PlistFiles, WriteFailuresGiveZeroAndAReason) {
  CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Library"), kCFURLPOSIXPathStyle, true));
  auto bad = Dict();
  CFDictionarySetValue(bad.get(), CFSTR("where"), url.get());
  auto good = Dict();
  CFDictionarySetValue(good.get(), CFSTR("k"), CFSTR("v"));
  fs::create_symlink("/dev/full", m_root + "/Library/Changers/full.plist");
  struct Case {
    const char* file;
    CFPropertyListRef plist;
    CFPropertyListFormat format;
    const char* error;
  } cases[] = {
      {"/Library/Changers/bad.plist", bad.get(), kCFPropertyListXMLFormat_v1_0,
       "value of type 29 cannot be stored in a property list"},
      {"/Library/Changers/old.plist", good.get(), kCFPropertyListOpenStepFormat,
       "property list format 1 cannot be written"},
      {"/Library/Changers/full.plist", good.get(), kCFPropertyListXMLFormat_v1_0,
       "property list stream write failed: No space left on device"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(WriteFile(c.file, c.plist, c.format, &error), 0) << c.file;
    EXPECT_EQ(error, c.error) << c.file;
  }
  EXPECT_EQ(HostBytes("/Library/Changers/bad.plist"), "");  // opened (so emptied), nothing written

  // No directory for the file: the stream does not open.
  CFRef<CFWriteStreamRef> ws(CFWriteStreamCreateWithFile(nullptr, URL("/Library/Nowhere/Info.plist").get()));
  EXPECT_FALSE(CFWriteStreamOpen(ws.get()));
  EXPECT_EQ(CFWriteStreamGetError(ws.get()).error, ENOENT);
  CFStringRef error = nullptr;
  EXPECT_EQ(CFPropertyListWriteToStream(good.get(), ws.get(), kCFPropertyListXMLFormat_v1_0, &error), 0);
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(CFStringGetCStringPtr(error, kCFStringEncodingUTF8), "property list stream is not open");
  CFRelease(error);
  EXPECT_FALSE(fs::exists(m_root + "/Library/Nowhere"));
}

TEST(CFPropertyList, DataCopiesAndValidity) {
  long before = CFLiveObjectCount();
  {
    auto original = Everything();
    CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, original.get()));
    ASSERT_TRUE(xml);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(xml.get())), CFDataGetLength(xml.get())),
              pl::EncodeXML(original.get()));
    CFStringRef error = CFSTR("unset");
    CFRef<CFPropertyListRef> fromXML(CFPropertyListCreateFromXMLData(nullptr, xml.get(), 0, &error));
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(Typed(fromXML.get()), kEverythingTyped);
    std::string binary = pl::EncodeBinary(original.get());
    CFRef<CFDataRef> bin(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(binary.data()), binary.size()));
    CFRef<CFPropertyListRef> fromBinary(CFPropertyListCreateFromXMLData(nullptr, bin.get(), 0, nullptr));
    EXPECT_EQ(Typed(fromBinary.get()), kEverythingTyped);

    // Deep copies keep number types (the codec turns every integer into SInt64) and copy every container.
    for (CFOptionFlags option : {kCFPropertyListImmutable, kCFPropertyListMutableContainersAndLeaves}) {
      CFRef<CFPropertyListRef> copy(CFPropertyListCreateDeepCopy(nullptr, original.get(), option));
      ASSERT_TRUE(copy);
      EXPECT_EQ(Typed(copy.get()), kEverythingTyped);
      auto d = static_cast<CFDictionaryRef>(copy.get());
      EXPECT_EQ(CFNumberGetType(static_cast<CFNumberRef>(CFDictionaryGetValue(d, CFSTR("sint16")))), kCFNumberSInt16Type);
      CFTypeRef slots = CFDictionaryGetValue(d, CFSTR("slots"));
      EXPECT_NE(slots, CFDictionaryGetValue(original.get(), CFSTR("slots")));
      EXPECT_EQ(static_cast<const __CFArray*>(slots)->m_mutable, option != kCFPropertyListImmutable);
    }

    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Library"), kCFURLPOSIXPathStyle, true));
    auto withURL = Array();
    CFArrayAppendValue(withURL.get(), url.get());
    EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, withURL.get(), 0), nullptr);
    EXPECT_EQ(CFPropertyListCreateXMLData(nullptr, withURL.get()), nullptr);
    struct Case {
      CFPropertyListRef plist;
      CFPropertyListFormat format;
      bool valid;
    } cases[] = {
        {original.get(), kCFPropertyListXMLFormat_v1_0, true},
        {original.get(), kCFPropertyListBinaryFormat_v1_0, true},
        {original.get(), kCFPropertyListOpenStepFormat, false},
        {withURL.get(), kCFPropertyListXMLFormat_v1_0, false},
        {CFSTR("text"), kCFPropertyListBinaryFormat_v1_0, true},
    };
    for (const auto& c : cases) EXPECT_EQ(static_cast<bool>(CFPropertyListIsValid(c.plist, c.format)), c.valid) << c.format;
  }
  EXPECT_EQ(CFLiveObjectCount(), before);
}

}  // namespace
