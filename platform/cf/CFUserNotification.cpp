#include "platform/CFUserNotification.h"

#include "CFInternal.h"
#include "platform/HostLink.h"

namespace {

enum : CFTypeID { kTypeIDUserNotification = kTypeIDFirstService + 60 };

}  // namespace

struct __CFUserNotification : __CFObject {
  __CFUserNotification() : __CFObject(kTypeIDUserNotification) {}
};

const CFStringRef kCFUserNotificationIconURLKey = CFSTR("IconURL");
const CFStringRef kCFUserNotificationAlertHeaderKey = CFSTR("AlertHeader");
const CFStringRef kCFUserNotificationAlertMessageKey = CFSTR("AlertMessage");
const CFStringRef kCFUserNotificationDefaultButtonTitleKey = CFSTR("DefaultButtonTitle");
const CFStringRef kCFUserNotificationAlternateButtonTitleKey = CFSTR("AlternateButtonTitle");
const CFStringRef kCFUserNotificationOtherButtonTitleKey = CFSTR("OtherButtonTitle");

CFTypeID CFUserNotificationGetTypeID() { return kTypeIDUserNotification; }

CFUserNotificationRef CFUserNotificationCreate(CFAllocatorRef, CFTimeInterval, CFOptionFlags flags, SInt32* error,
                                               CFDictionaryRef dictionary) {
  if (error) *error = 0;
  CFRef<CFMutableDictionaryRef> request(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(request.get(), CFSTR("op"), CFSTR("userNotification"));
  struct Field {
    CFStringRef key;
    CFStringRef wire;
  } fields[] = {{kCFUserNotificationAlertHeaderKey, CFSTR("header")},
                {kCFUserNotificationAlertMessageKey, CFSTR("message")},
                {kCFUserNotificationDefaultButtonTitleKey, CFSTR("defaultButton")}};
  for (const Field& f : fields) {
    CFTypeRef v = dictionary ? CFDictionaryGetValue(dictionary, f.key) : nullptr;
    if (v && CFGetTypeID(v) == CFStringGetTypeID()) CFDictionarySetValue(request.get(), f.wire, v);
  }
  CFTypeRef icon = dictionary ? CFDictionaryGetValue(dictionary, kCFUserNotificationIconURLKey) : nullptr;
  if (icon && CFGetTypeID(icon) == CFURLGetTypeID()) {
    CFRef<CFStringRef> path(CFURLCopyFileSystemPath(static_cast<CFURLRef>(icon), kCFURLPOSIXPathStyle));
    if (path) CFDictionarySetValue(request.get(), CFSTR("iconURL"), path.get());
  } else if (icon && CFGetTypeID(icon) == CFStringGetTypeID()) {
    CFDictionarySetValue(request.get(), CFSTR("iconURL"), icon);
  }
  int64_t level = static_cast<int64_t>(flags & 3);
  CFRef<CFNumberRef> levelNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &level));
  CFDictionarySetValue(request.get(), CFSTR("level"), levelNumber.get());
  CFRef<CFDictionaryRef> reply = platform::hostlink::Call(request.get());
  int kr = platform::hostlink::ReplyStatus(reply.get(), -1);
  if (kr != 0) {
    if (error) *error = kr;
    return nullptr;
  }
  return new __CFUserNotification();
}
