// Gestalt: the system version, from the root's SystemVersion.plist.
#pragma once
#include "platform/CFBase.h"

enum : OSType {
  gestaltSystemVersion = 0x73797376,  // 'sysv'
};
enum : OSErr {
  gestaltUnknownErr = -5550,        // the answer could not be had (file missing, damaged, bad version)
  gestaltUndefSelectorErr = -5551,  // a selector this system does not answer
};

// 'sysv': "ProductVersion" of "/System/Library/CoreServices/SystemVersion.plist" as BCD
// (10.3.9 -> 0x1039; a minor or bug-fix number above 9 reads as 9). *response is 0 on failure;
// a null response is paramErr (-50).
[[nodiscard]] OSErr Gestalt(OSType selector, SInt32* response);
