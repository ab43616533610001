// Run loops: one per thread, created on first use. Sources are file descriptors, signalled
// callbacks and ports; timers follow the platform clock, so an accelerated clock fires them sooner.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"

typedef struct __CFRunLoop* CFRunLoopRef;
typedef struct __CFRunLoopSource* CFRunLoopSourceRef;
typedef struct __CFRunLoopTimer* CFRunLoopTimerRef;

// Seconds since 1 January 2001 on the platform clock.
CFAbsoluteTime CFAbsoluteTimeGetCurrent();
extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;

// Items added in the common modes run in the default mode and in every mode added with
// CFRunLoopAddCommonMode; any other mode runs only what was added to it by name.
extern const CFStringRef kCFRunLoopDefaultMode;
extern const CFStringRef kCFRunLoopCommonModes;

enum : SInt32 {
  kCFRunLoopRunFinished = 1,
  kCFRunLoopRunStopped = 2,
  kCFRunLoopRunTimedOut = 3,
  kCFRunLoopRunHandledSource = 4,
};

CFTypeID CFRunLoopGetTypeID();
// Not retained: the loop lives as long as its thread (the main loop for ever).
CFRunLoopRef CFRunLoopGetCurrent();
CFRunLoopRef CFRunLoopGetMain();
// The mode the loop runs in now (null when it is not running); the caller releases it.
CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl);
void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFStringRef mode);

// Runs the current thread's loop in the default mode until it is stopped or has nothing to run.
void CFRunLoopRun();
SInt32 CFRunLoopRunInMode(CFStringRef mode, CFTimeInterval seconds, Boolean returnAfterSourceHandled);
// Safe from any thread (the caller keeps `rl` retained if its thread may end meanwhile); a stop
// sent while the loop is not running ends its next run at once.
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);
[[nodiscard]] Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);

// ---- sources
CFTypeID CFRunLoopSourceGetTypeID();
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
[[nodiscard]] Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode);
CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source);
// Removes the source from every loop; its callback never starts again.
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
[[nodiscard]] Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);

// ---- timers
typedef struct {
  CFIndex version;
  void* info;
  const void* (*retain)(const void* info);
  void (*release)(const void* info);
  CFStringRef (*copyDescription)(const void* info);
} CFRunLoopTimerContext;
typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void* info);

CFTypeID CFRunLoopTimerGetTypeID();
// A repeating timer (interval > 0) fires at fireDate + k * interval, skipping dates already
// missed; a one-shot timer is invalidated after it fires.
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef alloc, CFAbsoluteTime fireDate, CFTimeInterval interval,
                                       CFOptionFlags flags, CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context);
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
[[nodiscard]] Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
[[nodiscard]] Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer);
CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer);
[[nodiscard]] Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer);
CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer);
