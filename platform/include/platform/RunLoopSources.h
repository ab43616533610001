// Run-loop sources for the other platform services (notification ports, Disk Arbitration,
// message and Mach ports). Each returns a +1 reference that the caller releases.
#pragma once
#include <functional>

#include "platform/CFRunLoop.h"

namespace platform {

// Calls `onReadable` on the thread of the loop that holds the source whenever `fd` is readable
// (level-triggered: an unread fd calls again). Invalidating the source stops the calls; the fd
// stays open and belongs to the caller, who closes it after invalidating.
CFRunLoopSourceRef CreateFdSource(int fd, std::function<void()> onReadable, CFIndex order = 0);

// A source that another thread signals: `perform` runs once on the loop's thread for each batch
// of signals (several signals before it runs count once).
CFRunLoopSourceRef CreateCallbackSource(std::function<void()> perform, CFIndex order = 0);
// Marks the source and wakes every loop that holds it. Safe from any thread.
void SignalSource(CFRunLoopSourceRef source);

}  // namespace platform
