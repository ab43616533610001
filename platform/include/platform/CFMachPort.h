// A Mach receive right as a run-loop source: every message that arrives is handed to the
// callout on the thread of the loop that holds the source, one at a time.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFRunLoop.h"
#include "platform/Mach.h"

typedef struct __CFMachPort* CFMachPortRef;

typedef struct {
  CFIndex version;
  void* info;
  const void* (*retain)(const void* info);
  void (*release)(const void* info);
  CFStringRef (*copyDescription)(const void* info);
} CFMachPortContext;

// `msg` is the received message (header as the receiver sees it); it lives until the callout
// returns.
typedef void (*CFMachPortCallBack)(CFMachPortRef port, void* msg, CFIndex size, void* info);

CFTypeID CFMachPortGetTypeID();
// Wraps an existing port name; the Mach rights stay the caller's. `shouldFreeInfo`, when given,
// is set to false: the port keeps the context.
CFMachPortRef CFMachPortCreateWithPort(CFAllocatorRef alloc, mach_port_t portNum, CFMachPortCallBack callout,
                                       CFMachPortContext* context, Boolean* shouldFreeInfo);
mach_port_t CFMachPortGetPort(CFMachPortRef port);
void CFMachPortGetContext(CFMachPortRef port, CFMachPortContext* context);
// Stops every source of the port; the Mach port itself is left alone.
void CFMachPortInvalidate(CFMachPortRef port);
// False once invalidated or once the receive right it wraps is destroyed.
[[nodiscard]] Boolean CFMachPortIsValid(CFMachPortRef port);
// Null for a port without a receive right. The source keeps the port alive.
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef alloc, CFMachPortRef port, CFIndex order);
