// Named message ports for synchronous request and reply between processes of one system root.
// A local port is a stream socket at "/var/run/ports/<name>" under the root; each request
// travels on a connection of its own, so client threads may send in parallel.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFRunLoop.h"
#include "platform/CFTypes.h"

typedef struct __CFMessagePort* CFMessagePortRef;

typedef struct {
  CFIndex version;
  void* info;
  const void* (*retain)(const void* info);
  void (*release)(const void* info);
  CFStringRef (*copyDescription)(const void* info);
} CFMessagePortContext;

// Returns the reply (null for none); the port releases it after sending. `data` is null when the
// request carried none.
typedef CFDataRef (*CFMessagePortCallBack)(CFMessagePortRef local, SInt32 msgid, CFDataRef data, void* info);

enum : SInt32 {
  kCFMessagePortSuccess = 0,
  kCFMessagePortSendTimeout = -1,
  kCFMessagePortReceiveTimeout = -2,
  kCFMessagePortIsInvalid = -3,
  kCFMessagePortTransportError = -4,
  kCFMessagePortBecameInvalidError = -5,
};

CFTypeID CFMessagePortGetTypeID();
// Null when a live port has that name (a socket file left by a dead process is replaced), or when
// the name is empty or holds '/'. `shouldFreeInfo`, when given, is set to true when no port was
// made (the context's info is then still the caller's).
CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef alloc, CFStringRef name, CFMessagePortCallBack callout,
                                          CFMessagePortContext* context, Boolean* shouldFreeInfo);
// Null when no port of that name is listening.
CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef alloc, CFStringRef name);
[[nodiscard]] Boolean CFMessagePortIsRemote(CFMessagePortRef port);
CFStringRef CFMessagePortGetName(CFMessagePortRef port);
// A remote port turns invalid once a request finds its server gone.
[[nodiscard]] Boolean CFMessagePortIsValid(CFMessagePortRef port);
// A local port stops serving and gives up its name; requests waiting for it fail.
void CFMessagePortInvalidate(CFMessagePortRef port);

// Time-outs are seconds on the platform clock. With a null replyMode or returnData the request
// is sent one way and no reply is awaited; otherwise *returnData receives the reply, which may be
// null with kCFMessagePortSuccess.
[[nodiscard]] SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data, CFTimeInterval sendTimeout,
                                CFTimeInterval rcvTimeout, CFStringRef replyMode, CFDataRef* returnData);

// Requests reach the callout on the thread of the loop holding this source, one at a time, in
// the order they arrived. Null for a remote or invalid port.
CFRunLoopSourceRef CFMessagePortCreateRunLoopSource(CFAllocatorRef alloc, CFMessagePortRef local, CFIndex order);
