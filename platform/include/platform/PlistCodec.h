// Property lists to and from bytes (XML 1.0 or binary), for the platform and the simulated host.
#pragma once
#include <cstddef>
#include <string>

#include "platform/CFPropertyList.h"

namespace platform::plist {

// Deepest nesting of arrays and dictionaries accepted in either direction.
inline constexpr int kMaxDepth = 512;

// The encoded bytes; false with a reason in o_error when `plist` holds something a property
// list cannot (a URL, a non-string key, a string with a NUL, nesting deeper than kMaxDepth).
[[nodiscard]] bool Encode(CFPropertyListRef plist, CFPropertyListFormat format, std::string& o_bytes, std::string* o_error);
// Empty when the value cannot be encoded.
std::string EncodeBinary(CFPropertyListRef plist);
std::string EncodeXML(CFPropertyListRef plist);

// Reads XML or binary bytes. `mutability` is kCFPropertyListImmutable, ...MutableContainers or
// ...MutableContainersAndLeaves. Returns a +1 reference, or null with the reason in o_error
// (malformed, truncated, too deep, or holding dates or UIDs, which this system never stores).
CFPropertyListRef Decode(const void* bytes, size_t n, CFOptionFlags mutability, std::string* o_error);
// As Decode, and reports in o_format which of the two formats the bytes were in.
CFPropertyListRef Decode(const void* bytes, size_t n, CFOptionFlags mutability, std::string* o_error,
                         CFPropertyListFormat* o_format);

}  // namespace platform::plist
