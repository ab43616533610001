// User notifications (alerts). The simulated host records each one (header, message, default
// button, icon URL, level) for `simhostctl alerts`; nobody answers them.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"

typedef struct __CFUserNotification* CFUserNotificationRef;

enum : CFOptionFlags {
  kCFUserNotificationStopAlertLevel = 0,
  kCFUserNotificationNoteAlertLevel = 1,
  kCFUserNotificationCautionAlertLevel = 2,
  kCFUserNotificationPlainAlertLevel = 3,
};

extern const CFStringRef kCFUserNotificationIconURLKey;
extern const CFStringRef kCFUserNotificationAlertHeaderKey;
extern const CFStringRef kCFUserNotificationAlertMessageKey;
extern const CFStringRef kCFUserNotificationDefaultButtonTitleKey;
extern const CFStringRef kCFUserNotificationAlternateButtonTitleKey;
extern const CFStringRef kCFUserNotificationOtherButtonTitleKey;

CFTypeID CFUserNotificationGetTypeID();
// Null with *error non-zero when the host refuses (its "alerts-fail" knob) or cannot be reached.
// The level is flags & 3.
CFUserNotificationRef CFUserNotificationCreate(CFAllocatorRef allocator, CFTimeInterval timeout, CFOptionFlags flags,
                                               SInt32* error, CFDictionaryRef dictionary);
