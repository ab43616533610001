#include "platform/Gestalt.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/CFRef.h"
#include "platform/CFTypes.h"
#include "platform/PlistCodec.h"
#include "platform/SysRoot.h"

namespace {

// Digits only, no sign, at most a few of them.
bool ParseComponent(const std::string& text, int& o_value) {
  if (text.empty() || text.size() > 4) return false;
  o_value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    o_value = o_value * 10 + (c - '0');
  }
  return true;
}

bool ReadProductVersion(std::string& o_version) {
  o_version.clear();
  std::ifstream in(platform::MacToHost("/System/Library/CoreServices/SystemVersion.plist"), std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CFRef<CFPropertyListRef> plist(platform::plist::Decode(bytes.data(), bytes.size(), 0, nullptr));
  if (!plist || CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) return false;
  CFTypeRef v = CFDictionaryGetValue(static_cast<CFDictionaryRef>(plist.get()), CFSTR("ProductVersion"));
  if (!v || CFGetTypeID(v) != CFStringGetTypeID()) return false;
  const char* text = CFStringGetCStringPtr(static_cast<CFStringRef>(v), kCFStringEncodingUTF8);
  if (!text) return false;
  o_version = text;
  return true;
}

// "major.minor[.bugfix]" as BCD; false when the text is not such a version.
bool SystemVersionBCD(const std::string& productVersion, SInt32& o_bcd) {
  o_bcd = 0;
  std::vector<std::string> parts(1);
  for (char c : productVersion) {
    if (c == '.') parts.emplace_back();
    else parts.back() += c;
  }
  if (parts.size() < 2 || parts.size() > 3) return false;
  int major, minor, bugFix = 0;
  if (!ParseComponent(parts[0], major) || !ParseComponent(parts[1], minor) ||
      (parts.size() == 3 && !ParseComponent(parts[2], bugFix)))
    return false;
  if (major < 1 || major > 99) return false;
  o_bcd = ((major / 10) << 12) | ((major % 10) << 8) | (std::min(minor, 9) << 4) | std::min(bugFix, 9);
  return true;
}

}  // namespace

OSErr Gestalt(OSType selector, SInt32* response) {
  if (response) *response = 0;
  if (selector != gestaltSystemVersion) return gestaltUndefSelectorErr;
  if (!response) return -50;  // paramErr
  std::string version;
  SInt32 bcd;
  if (!ReadProductVersion(version) || !SystemVersionBCD(version, bcd)) return gestaltUnknownErr;
  *response = bcd;
  return 0;
}
