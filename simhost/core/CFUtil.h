// Small conveniences for building and reading Core Foundation values in the host.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/CoreFoundation.h"

namespace simhost::cf {

CFRef<CFStringRef> Str(const std::string& utf8);
CFRef<CFNumberRef> Int16(int16_t v);
CFRef<CFNumberRef> Int32(int32_t v);
CFRef<CFNumberRef> Int64(int64_t v);
CFRef<CFNumberRef> Double(double v);
CFRef<CFMutableDictionaryRef> Dict();
CFRef<CFMutableArrayRef> Array();
CFBooleanRef Bool(bool v);

void Set(CFMutableDictionaryRef dict, const std::string& key, CFTypeRef value);
void Set(CFMutableDictionaryRef dict, const std::string& key, const std::string& value);
// Without this, a C string would be taken for a CFTypeRef.
void Set(CFMutableDictionaryRef dict, const std::string& key, const char* value);
void Set(CFMutableDictionaryRef dict, const std::string& key, int64_t value);
void SetBool(CFMutableDictionaryRef dict, const std::string& key, bool value);
void Append(CFMutableArrayRef array, CFTypeRef value);

// Lookups that check the type; nullopt when absent or of another type.
CFTypeRef Get(CFDictionaryRef dict, const std::string& key);
std::optional<std::string> GetString(CFDictionaryRef dict, const std::string& key);
std::optional<int64_t> GetInt(CFDictionaryRef dict, const std::string& key);
std::optional<double> GetReal(CFDictionaryRef dict, const std::string& key);
std::optional<bool> GetBool(CFDictionaryRef dict, const std::string& key);
CFDictionaryRef GetDict(CFDictionaryRef dict, const std::string& key);
CFArrayRef GetArray(CFDictionaryRef dict, const std::string& key);

[[nodiscard]] bool IsString(CFTypeRef v);
[[nodiscard]] bool IsNumber(CFTypeRef v);
[[nodiscard]] bool IsBool(CFTypeRef v);
[[nodiscard]] bool IsDict(CFTypeRef v);
[[nodiscard]] bool IsArray(CFTypeRef v);
std::optional<std::string> ToString(CFTypeRef v);
// Exact integer value (a real with a fraction is not one).
std::optional<int64_t> ToInt(CFTypeRef v);
std::vector<std::string> Keys(CFDictionaryRef dict);

}  // namespace simhost::cf
