// Property-list decoding of hostile bytes: both formats, every mutability, and what the system
// does next with a decoded value (re-encode it, copy it, read it back through a stream).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/CFRef.h"
#include "platform/CoreFoundation.h"
#include "platform/PlistCodec.h"

namespace pl = platform::plist;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFOptionFlags mutability = size ? data[0] % 3 : 0;
  std::string error;
  CFPropertyListFormat format = 0;
  CFRef<CFPropertyListRef> plist(pl::Decode(data, size, mutability, &error, &format));
  if (!plist) {
    // A refusal always says why.
    if (error.empty()) __builtin_trap();
    return 0;
  }
  // A decoded value encodes again in the format it came in, and those bytes decode.
  std::string bytes;
  if (!pl::Encode(plist.get(), format, bytes, &error)) return 0;
  CFRef<CFPropertyListRef> again(pl::Decode(bytes.data(), bytes.size(), mutability, &error));
  if (!again) __builtin_trap();
  CFRef<CFPropertyListRef> copy(CFPropertyListCreateDeepCopy(nullptr, plist.get(), mutability));
  if (!copy) __builtin_trap();

  // The Mac entry point the daemon reads files through.
  CFRef<CFDataRef> asData(CFDataCreate(nullptr, data, static_cast<CFIndex>(size)));
  CFStringRef why = nullptr;
  CFRef<CFPropertyListRef> viaData(CFPropertyListCreateFromXMLData(nullptr, asData.get(), mutability, &why));
  if (why) CFRelease(why);
  if (!viaData) __builtin_trap();
  return 0;
}
