#include "CFUtil.h"

#include <cmath>

namespace simhost::cf {

CFRef<CFStringRef> Str(const std::string& utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                                    static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}
CFRef<CFNumberRef> Int16(int16_t v) { return CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt16Type, &v)); }
CFRef<CFNumberRef> Int32(int32_t v) { return CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt32Type, &v)); }
CFRef<CFNumberRef> Int64(int64_t v) { return CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
CFRef<CFNumberRef> Double(double v) { return CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }
CFRef<CFMutableDictionaryRef> Dict() {
  return CFRef<CFMutableDictionaryRef>(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}
CFRef<CFMutableArrayRef> Array() { return CFRef<CFMutableArrayRef>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks)); }
CFBooleanRef Bool(bool v) { return v ? kCFBooleanTrue : kCFBooleanFalse; }

void Set(CFMutableDictionaryRef dict, const std::string& key, CFTypeRef value) {
  CFRef<CFStringRef> k = Str(key);
  if (value)
    CFDictionarySetValue(dict, k.get(), value);
  else
    CFDictionaryRemoveValue(dict, k.get());
}
void Set(CFMutableDictionaryRef dict, const std::string& key, const std::string& value) {
  Set(dict, key, Str(value).get());
}
void Set(CFMutableDictionaryRef dict, const std::string& key, const char* value) {
  Set(dict, key, Str(value).get());
}
void Set(CFMutableDictionaryRef dict, const std::string& key, int64_t value) { Set(dict, key, Int64(value).get()); }
void SetBool(CFMutableDictionaryRef dict, const std::string& key, bool value) { Set(dict, key, Bool(value)); }
void Append(CFMutableArrayRef array, CFTypeRef value) { CFArrayAppendValue(array, value); }

CFTypeRef Get(CFDictionaryRef dict, const std::string& key) {
  if (!dict) return nullptr;
  CFRef<CFStringRef> k = Str(key);
  return CFDictionaryGetValue(dict, k.get());
}

bool IsString(CFTypeRef v) { return v && CFGetTypeID(v) == CFStringGetTypeID(); }
bool IsNumber(CFTypeRef v) { return v && CFGetTypeID(v) == CFNumberGetTypeID(); }
bool IsBool(CFTypeRef v) { return v && CFGetTypeID(v) == CFBooleanGetTypeID(); }
bool IsDict(CFTypeRef v) { return v && CFGetTypeID(v) == CFDictionaryGetTypeID(); }
bool IsArray(CFTypeRef v) { return v && CFGetTypeID(v) == CFArrayGetTypeID(); }

std::optional<std::string> ToString(CFTypeRef v) {
  if (!IsString(v)) return std::nullopt;
  auto s = static_cast<CFStringRef>(v);
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
  std::string buf(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(s, buf.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

std::optional<int64_t> ToInt(CFTypeRef v) {
  if (!IsNumber(v)) return std::nullopt;
  int64_t out = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt64Type, &out)) return std::nullopt;
  return out;
}

std::optional<std::string> GetString(CFDictionaryRef dict, const std::string& key) { return ToString(Get(dict, key)); }
std::optional<int64_t> GetInt(CFDictionaryRef dict, const std::string& key) { return ToInt(Get(dict, key)); }
std::optional<double> GetReal(CFDictionaryRef dict, const std::string& key) {
  CFTypeRef v = Get(dict, key);
  if (!IsNumber(v)) return std::nullopt;
  double d = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &d);
  if (!std::isfinite(d)) return std::nullopt;
  return d;
}
std::optional<bool> GetBool(CFDictionaryRef dict, const std::string& key) {
  CFTypeRef v = Get(dict, key);
  if (!IsBool(v)) return std::nullopt;
  return CFBooleanGetValue(static_cast<CFBooleanRef>(v)) != 0;
}
CFDictionaryRef GetDict(CFDictionaryRef dict, const std::string& key) {
  CFTypeRef v = Get(dict, key);
  return IsDict(v) ? static_cast<CFDictionaryRef>(v) : nullptr;
}
CFArrayRef GetArray(CFDictionaryRef dict, const std::string& key) {
  CFTypeRef v = Get(dict, key);
  return IsArray(v) ? static_cast<CFArrayRef>(v) : nullptr;
}

std::vector<std::string> Keys(CFDictionaryRef dict) {
  std::vector<std::string> out;
  if (!dict) return out;
  CFIndex n = CFDictionaryGetCount(dict);
  std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
  for (const void* k : keys)
    if (auto s = ToString(k)) out.push_back(*s);
  return out;
}

}  // namespace simhost::cf
