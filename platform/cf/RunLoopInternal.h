// Type ids of the run-loop and port objects, and the source kind the ports build on. Shared by
// the cf/ sources only.
#pragma once
#include <functional>

#include "CFInternal.h"
#include "platform/CFRunLoop.h"

enum : CFTypeID {
  kTypeIDRunLoop = kTypeIDFirstService + 20,
  kTypeIDRunLoopSource,
  kTypeIDRunLoopTimer,
  kTypeIDMessagePort,
  kTypeIDMachPort,
};

namespace platform {

// An fd source that also stops once `alive()` turns false: a port invalidates its sources this
// way without holding them (they hold the port). `alive` may be called from any thread.
CFRunLoopSourceRef CreateLinkedFdSource(int fd, std::function<void()> onReadable, CFIndex order,
                                        std::function<bool()> alive);

}  // namespace platform
