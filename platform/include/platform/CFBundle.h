// Bundles: "X.bundle/Contents/{Info.plist,Resources/,MacOS/}" at Mac paths under the system root.
// A directory without "Contents" is a flat bundle: Info.plist, resources and executable sit in it.
#pragma once
#include <string>

#include "platform/CFBase.h"
#include "platform/CFTypes.h"

typedef struct __CFBundle* CFBundleRef;

extern const CFStringRef kCFBundleIdentifierKey;  // "CFBundleIdentifier"
extern const CFStringRef kCFBundleExecutableKey;  // "CFBundleExecutable"

CFTypeID CFBundleGetTypeID();
// The bundle of the running program (not retained): ".../X.bundle" for an executable at
// ".../X.bundle/Contents/MacOS/X", else the executable's directory.
CFBundleRef CFBundleGetMainBundle();
// Null when the directory does not exist. One bundle object per directory while it lives.
CFBundleRef CFBundleCreate(CFAllocatorRef alloc, CFURLRef bundleURL);
// Among the live bundles of this process and the main bundle (not retained).
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
// Relative to the bundle URL: its CFURLCopyPath is "Contents/Resources/" ("./" when flat).
CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
// The resource "name.type" in the resources directory (or its `subDirName`), then in its
// "English.lproj" and "en.lproj". Null when no such file exists. `resourceType` may be null.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName);
// Null when the executable file is missing.
CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle);
// Read once per bundle object; an empty dictionary when the bundle has no readable Info.plist.
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
// Reads the Info.plist of the bundle at that URL afresh; null when it is missing or damaged.
CFDictionaryRef CFBundleCopyInfoDictionaryInDirectory(CFURLRef bundleURL);

namespace platform {
// The main bundle follows this Mac path instead of the running executable ("" restores it).
// For tests that run a program's code in-process with its bundle inside their system root.
void SetMainBundleExecutable(const std::string& macExecutablePath);
}  // namespace platform
