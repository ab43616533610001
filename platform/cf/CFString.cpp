#include <iconv.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "CFInternal.h"
#include "platform/ThreadAnnotations.h"

// ---------------------------------------------------------------- UTF-8 / UTF-16

bool IsValidUTF8(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    int len;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (int k = 1; k < len; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::u16string UTF8ToUTF16(const std::string& s) {
  std::u16string out;
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    uint32_t cp;
    int len = 1;
    if (c < 0x80) cp = c;
    else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; len = 2; }
    else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; len = 3; }
    else { cp = c & 0x07; len = 4; }
    for (int k = 1; k < len && i + k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool UTF16ToUTF8(const std::u16string& u, std::string& o_utf8) {
  o_utf8.clear();
  for (size_t i = 0; i < u.size(); ++i) {
    uint32_t cp = u[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= u.size() || u[i + 1] < 0xDC00 || u[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) o_utf8 += static_cast<char>(cp);
    else if (cp < 0x800) { o_utf8 += static_cast<char>(0xC0 | (cp >> 6)); o_utf8 += static_cast<char>(0x80 | (cp & 0x3F)); }
    else if (cp < 0x10000) {
      o_utf8 += static_cast<char>(0xE0 | (cp >> 12));
      o_utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      o_utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      o_utf8 += static_cast<char>(0xF0 | (cp >> 18));
      o_utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      o_utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      o_utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return true;
}

// ---------------------------------------------------------------- encodings

namespace {

// glibc's iconv knows Mac OS Roman as "MACINTOSH". One converter per direction, used under a lock.
bool Iconv(const char* to, const char* from, const std::string& in, std::string& o_out) {
  static platform::Mutex m;
  platform::MutexLock lock(m);
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(in.size() * 4 + 16, '\0');
  char* inP = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  char* outP = out.data();
  size_t outLeft = out.size();
  size_t r = iconv(cd, &inP, &inLeft, &outP, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || r != 0 || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  o_out = std::move(out);
  return true;
}

}  // namespace

bool CFStringEncode(const std::string& utf8, CFStringEncoding encoding, std::string& o_bytes) {
  o_bytes.clear();
  switch (encoding) {
    case kCFStringEncodingUTF8:
      o_bytes = utf8;
      return true;
    case kCFStringEncodingASCII:
      for (char c : utf8)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
      o_bytes = utf8;
      return true;
    case kCFStringEncodingMacRoman:
      return Iconv("MACINTOSH", "UTF-8", utf8, o_bytes);
    case kCFStringEncodingISOLatin1:
      return Iconv("ISO-8859-1", "UTF-8", utf8, o_bytes);
    case kCFStringEncodingUnicode: {
      std::u16string u = UTF8ToUTF16(utf8);
      o_bytes.assign(reinterpret_cast<const char*>(u.data()), u.size() * 2);
      return true;
    }
    default:
      return false;
  }
}

bool CFStringDecode(const std::string& bytes, CFStringEncoding encoding, std::string& o_utf8) {
  o_utf8.clear();
  switch (encoding) {
    case kCFStringEncodingUTF8:
      if (!IsValidUTF8(bytes)) return false;
      o_utf8 = bytes;
      return true;
    case kCFStringEncodingASCII:
      for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
      o_utf8 = bytes;
      return true;
    case kCFStringEncodingMacRoman:
      return Iconv("UTF-8", "MACINTOSH", bytes, o_utf8);
    case kCFStringEncodingISOLatin1:
      return Iconv("UTF-8", "ISO-8859-1", bytes, o_utf8);
    case kCFStringEncodingUnicode: {
      if (bytes.size() % 2) return false;
      std::u16string u(bytes.size() / 2, u'\0');
      std::memcpy(u.data(), bytes.data(), bytes.size());
      return UTF16ToUTF8(u, o_utf8);
    }
    default:
      return false;
  }
}

// ---------------------------------------------------------------- CFString

CFTypeID CFStringGetTypeID() { return kTypeIDString; }

bool __CFString::Equal(const __CFObject& other) const {
  return m_utf8 == static_cast<const __CFString&>(other).m_utf8;
}

CFHashCode __CFString::Hash() const { return std::hash<std::string>()(m_utf8); }

CFStringRef CFStringFromUTF8(const std::string& utf8) { return new __CFString(utf8); }

const std::string& CFStringUTF8(CFStringRef str) {
  static const std::string empty;
  return str ? str->m_utf8 : empty;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  static platform::Mutex m;
  static std::unordered_map<std::string, std::unique_ptr<__CFString>> table GUARDED_BY(m);
  platform::MutexLock lock(m);
  auto& slot = table[cStr];
  if (!slot) {
    slot = std::make_unique<__CFString>(cStr);
    slot->MarkImmortal();
  }
  return slot.get();
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  std::string utf8;
  if (!CFStringDecode(cStr, encoding, utf8)) return nullptr;
  return new __CFString(std::move(utf8));
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
  if (numBytes < 0 || (numBytes > 0 && !bytes)) return nullptr;
  std::string utf8;
  if (!CFStringDecode(std::string(reinterpret_cast<const char*>(bytes), numBytes), encoding, utf8)) return nullptr;
  return new __CFString(std::move(utf8));
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
  if (numChars < 0 || (numChars > 0 && !chars)) return nullptr;
  std::string utf8;
  if (!UTF16ToUTF8(std::u16string(reinterpret_cast<const char16_t*>(chars), numChars), utf8)) return nullptr;
  return new __CFString(std::move(utf8));
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef str) {
  return str ? new __CFString(str->m_utf8) : nullptr;
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex) { return new __CFString(""); }

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef str) {
  return new __CFString(str ? str->m_utf8 : "");
}

void CFStringAppend(CFMutableStringRef str, CFStringRef appended) {
  if (str && appended) str->m_utf8 += appended->m_utf8;
}

void CFStringAppendCString(CFMutableStringRef str, const char* cStr, CFStringEncoding encoding) {
  std::string utf8;
  if (str && cStr && CFStringDecode(cStr, encoding, utf8)) str->m_utf8 += utf8;
}

CFIndex CFStringGetLength(CFStringRef str) {
  return str ? static_cast<CFIndex>(UTF8ToUTF16(str->m_utf8).size()) : 0;
}

UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx) {
  if (!str) return 0;
  std::u16string u = UTF8ToUTF16(str->m_utf8);
  return idx >= 0 && static_cast<size_t>(idx) < u.size() ? u[idx] : 0;
}

void CFStringGetCharacters(CFStringRef str, CFRange range, UniChar* buffer) {
  if (!str || !buffer || range.location < 0 || range.length < 0) return;
  std::u16string u = UTF8ToUTF16(str->m_utf8);
  if (static_cast<size_t>(range.location + range.length) > u.size()) return;
  std::memcpy(buffer, u.data() + range.location, range.length * sizeof(UniChar));
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
  if (!str || !buffer || bufferSize <= 0) return false;
  buffer[0] = '\0';
  std::string bytes;
  if (!CFStringEncode(str->m_utf8, encoding, bytes)) return false;
  if (static_cast<CFIndex>(bytes.size()) + 1 > bufferSize) return false;
  std::memcpy(buffer, bytes.data(), bytes.size());
  buffer[bytes.size()] = '\0';
  return true;
}

const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding) {
  if (!str) return nullptr;
  if (encoding == kCFStringEncodingUTF8) return str->m_utf8.c_str();
  if (encoding == kCFStringEncodingASCII) {
    for (char c : str->m_utf8)
      if (static_cast<unsigned char>(c) >= 0x80) return nullptr;
    return str->m_utf8.c_str();
  }
  return nullptr;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  switch (encoding) {
    case kCFStringEncodingUTF8: return length * 3;
    case kCFStringEncodingUnicode: return length * 2;
    default: return length;
  }
}

namespace {

// Simple case folding per UTF-16 unit, independent of the C locale; enough for Latin, Greek and
// Cyrillic names.
char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if (c <= 0xDE && c != 0xD7) return c + 0x20;
  if (c >= 0x100 && c <= 0x137 && !(c & 1)) return c + 1;
  if (c >= 0x139 && c <= 0x148 && (c & 1)) return c + 1;
  if (c >= 0x14A && c <= 0x177 && !(c & 1)) return c + 1;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

std::u16string Folded(const std::string& utf8) {
  std::u16string u = UTF8ToUTF16(utf8);
  for (auto& c : u) c = FoldCase(c);
  return u;
}

}  // namespace

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFOptionFlags options) {
  std::u16string ua = (options & kCFCompareCaseInsensitive) ? Folded(CFStringUTF8(a)) : UTF8ToUTF16(CFStringUTF8(a));
  std::u16string ub = (options & kCFCompareCaseInsensitive) ? Folded(CFStringUTF8(b)) : UTF8ToUTF16(CFStringUTF8(b));
  int c = ua.compare(ub);
  return c < 0 ? kCFCompareLessThan : c > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

Boolean CFStringHasPrefix(CFStringRef str, CFStringRef prefix) {
  const std::string& s = CFStringUTF8(str);
  const std::string& p = CFStringUTF8(prefix);
  return s.compare(0, p.size(), p) == 0;
}

Boolean CFStringHasSuffix(CFStringRef str, CFStringRef suffix) {
  const std::string& s = CFStringUTF8(str);
  const std::string& p = CFStringUTF8(suffix);
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef str, CFStringEncoding encoding,
                                               UInt8 lossByte) {
  if (!str) return nullptr;
  std::string bytes;
  if (!CFStringEncode(str->m_utf8, encoding, bytes)) {
    if (lossByte == 0) return nullptr;
    // Character by character, with the loss byte for what has no form.
    bytes.clear();
    std::u16string u = UTF8ToUTF16(str->m_utf8);
    for (char16_t c : u) {
      std::string one, enc;
      if (UTF16ToUTF8(std::u16string(1, c), one) && CFStringEncode(one, encoding, enc)) bytes += enc;
      else bytes += static_cast<char>(lossByte);
    }
  }
  return CFDataCreate(alloc, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
}

// ---------------------------------------------------------------- formatting

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFDictionaryRef, CFStringRef format,
                                                 va_list arguments) {
  if (!format) return nullptr;
  const std::string& f = format->m_utf8;
  std::string out;
  va_list ap;
  va_copy(ap, arguments);
  for (size_t i = 0; i < f.size();) {
    if (f[i] != '%') {
      out += f[i++];
      continue;
    }
    size_t start = i++;
    // flags, width, precision
    while (i < f.size() && std::strchr("-+ #0", f[i])) ++i;
    bool starWidth = false, starPrec = false;
    if (i < f.size() && f[i] == '*') { starWidth = true; ++i; }
    while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) ++i;
    if (i < f.size() && f[i] == '.') {
      ++i;
      if (i < f.size() && f[i] == '*') { starPrec = true; ++i; }
      while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) ++i;
    }
    std::string length;
    while (i < f.size() && std::strchr("hlLqjzt", f[i])) length += f[i++];
    if (i >= f.size()) break;
    char conv = f[i++];
    std::string spec = f.substr(start, i - start);
    if (conv == '%') { out += '%'; continue; }
    if (conv == '@') {
      CFTypeRef obj = va_arg(ap, CFTypeRef);
      out += obj ? CFObj(obj)->Describe() : "(null)";
      continue;
    }
    int width = starWidth ? va_arg(ap, int) : 0;
    int prec = starPrec ? va_arg(ap, int) : 0;
    char buf[512];
    // The caller's format, taken apart one checked conversion at a time: it cannot be a literal.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    auto put = [&](auto value) {
      if (starWidth && starPrec) std::snprintf(buf, sizeof buf, spec.c_str(), width, prec, value);
      else if (starWidth) std::snprintf(buf, sizeof buf, spec.c_str(), width, value);
      else if (starPrec) std::snprintf(buf, sizeof buf, spec.c_str(), prec, value);
      else std::snprintf(buf, sizeof buf, spec.c_str(), value);
      out += buf;
    };
    switch (conv) {
      case 'd': case 'i': case 'o': case 'u': case 'x': case 'X': case 'c':
        if (length == "ll" || length == "q" || length == "j") put(va_arg(ap, long long));
        else if (length == "l" || length == "z" || length == "t") put(va_arg(ap, long));
        else put(va_arg(ap, int));
        break;
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        if (length == "L") put(va_arg(ap, long double));
        else put(va_arg(ap, double));
        break;
      case 's': {
        const char* s = va_arg(ap, const char*);
        if (!s) s = "(null)";
        if (!starWidth && !starPrec && spec == "%s") out += s;
        else put(s);
        break;
      }
      case 'p':
        put(va_arg(ap, void*));
        break;
      default:
        out += spec;  // unknown conversion: kept as written
        break;
    }
#pragma GCC diagnostic pop
  }
  va_end(ap);
  return new __CFString(std::move(out));
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...) {
  va_list ap;
  va_start(ap, format);
  CFStringRef s = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, ap);
  va_end(ap);
  return s;
}
