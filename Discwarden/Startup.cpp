#include "Startup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ChangerNotifications.h"
#include "LogMessage.h"
#include "platform/CFBundle.h"
#include "platform/CFUserNotification.h"
#include "platform/Gestalt.h"
#include "platform/HostLink.h"
#include "platform/RunLoopSources.h"

enum : SInt32 {
  k_minimumSystemVersion = 0x1025,
  k_firstTigerVersion = 0x1040,
  k_lastTigerVersion = 0x104F,
};

// ================================================================ system check

bool AssertSystemCompatibility() {
  SInt32 systemVersion = 0;
  OSErr err = Gestalt(gestaltSystemVersion, &systemVersion);
  if (err != noErr) {
    LogMessage("%s: unable to get system version with Gestalt (%ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  return AssertSystemCompatibility(systemVersion);
}

bool AssertSystemCompatibility(SInt32 i_systemVersion) {
  if (i_systemVersion < k_minimumSystemVersion) {
    if (!NotifyUserOfFailure(CFSTR("Shelvon X requires Mac OS X 10.2.5 or later.\n")))
      LogMessage("%s: unable to notify user that the minimum system requirement test failed.\n", __func__);
    return false;
  }
  if (i_systemVersion > k_lastTigerVersion) {
    if (!NotifyUserOfFailure(CFSTR("This version of Shelvon X is not compatible with Mac OS X 10.5 or later.\n")))
      LogMessage("%s: unable to notify user that the maximum system requirement test failed.\n", __func__);
    return false;
  }
  g_runningOnTiger = i_systemVersion >= k_firstTigerVersion;
  return true;
}

// ================================================================ user alert

bool NotifyUserOfFailure(CFStringRef i_alertMessageRef) {
  CFRef<CFMutableDictionaryRef> optionsRef(
      CFDictionaryCreateMutable(kCFAllocatorDefault, 4, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!optionsRef) {
    LogMessage("%s: unable to allocate options dictionary for CFUserNotification.\n", __func__);
    return false;
  }
  CFBundleRef bundleRef = CFBundleGetMainBundle();
  CFRef<CFURLRef> iconURLRef(bundleRef != nullptr ? CFBundleCopyResourceURL(bundleRef, CFSTR("d40"), CFSTR("icns"), nullptr)
                                                  : nullptr);
  if (!iconURLRef) {
    LogMessage("%s: unable to create a CFURL for the icon file.\n", __func__);
    return false;
  }
  CFDictionarySetValue(optionsRef.get(), kCFUserNotificationAlertHeaderKey, CFSTR("Brennix Shelvon X"));
  CFDictionarySetValue(optionsRef.get(), kCFUserNotificationAlertMessageKey, i_alertMessageRef);
  CFDictionarySetValue(optionsRef.get(), kCFUserNotificationDefaultButtonTitleKey, CFSTR("OK"));
  CFDictionarySetValue(optionsRef.get(), kCFUserNotificationIconURLKey, iconURLRef.get());
  // Nobody waits for the answer: the alert is released as soon as it is up.
  SInt32 err = 0;
  CFRef<CFUserNotificationRef> notificationRef(
      CFUserNotificationCreate(kCFAllocatorDefault, 0, kCFUserNotificationCautionAlertLevel, &err, optionsRef.get()));
  if (err != 0) {
    LogMessage("%s: unable to display the notification alert\n", __func__);
    return false;
  }
  if (!notificationRef) {
    LogMessage("%s: unable to allocate notificationRef.\n", __func__);
    return false;
  }
  return true;
}

// ================================================================ signals

// The handler writes the signal to this pipe; the main thread's run loop reads it. Clean-up
// cannot run in the handler itself: it talks to the host and frees memory. A host that goes
// away writes k_hostGoneByte: without it nothing the daemon does can work, and a host started
// again would start a second daemon beside this one.
static int g_signalPipe[2] = {-1, -1};
static const unsigned char k_hostGoneByte = 0;

void SignalHandler(int i_signalRaised) {
  int savedErrno = errno;
  unsigned char signalByte = static_cast<unsigned char>(i_signalRaised);
  ssize_t written = write(g_signalPipe[1], &signalByte, 1);
  (void)written;  // a full pipe already holds a signal to act on
  errno = savedErrno;
}

// On the host link's reader thread, which must not block.
static void WakeForHostGone() {
  ssize_t written = write(g_signalPipe[1], &k_hostGoneByte, 1);
  (void)written;  // a full pipe already holds an end to act on
}

[[noreturn]] static void EndWithHostGone() {
  LogMessage("%s: the host has gone away; Discwarden ends.\n", __func__);
  CleanupChangerNotifications();
}

static void HandleRaisedSignal() {
  bool isHostGone = false;
  unsigned char endByte = 0;
  while (read(g_signalPipe[0], &endByte, 1) == 1)
    if (endByte == k_hostGoneByte) isHostGone = true;
  if (isHostGone) EndWithHostGone();
  // The pid file goes with the command port's clean-up once the command port exists; the
  // changer notifications' clean-up ends the process.
  CleanupChangerNotifications();
}

bool StartSignalHandler() {
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    LogMessage("%s: unable to create the signal pipe (err = %d).\n", __func__, errno);
    return false;
  }
  CFRunLoopSourceRef sourceRef = platform::CreateFdSource(g_signalPipe[0], HandleRaisedSignal);
  if (sourceRef == nullptr) {
    LogMessage("%s: unable to watch the signal pipe.\n", __func__);
    return false;
  }
  // The source lives as long as the process.
  CFRunLoopAddSource(CFRunLoopGetCurrent(), sourceRef, kCFRunLoopDefaultMode);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    if (signal(signalNumber, SignalHandler) == SIG_ERR) {
      LogMessage("%s: error occurred in call to signal.\n", __func__);
      return false;
    }
  }
  platform::hostlink::SetHostGoneHandler(WakeForHostGone);
  return true;
}

void ExitDaemon() {
  // Other threads keep running until the end: no static destructors, no exit handlers.
  fflush(nullptr);
  _exit(0);
}
