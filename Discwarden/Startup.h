// Startup: what `main` checks and installs before it starts the daemon's services: the system
// check that sets `g_runningOnTiger` (LogMessage.h), the user alert for an unsupported system,
// and the termination signals, whose clean-up runs on the main thread's run loop.
#pragma once
#include "platform/CoreFoundation.h"

#define k_productVersion "1.0.6 rc 1"

// Reads the system version with Gestalt and checks it.
[[nodiscard]] bool AssertSystemCompatibility();
// The check on a version already read (binary-coded decimal, 0x1025 is 10.2.5).
[[nodiscard]] bool AssertSystemCompatibility(SInt32 i_systemVersion);
[[nodiscard]] bool NotifyUserOfFailure(CFStringRef i_alertMessageRef);
// Run on the main thread before its run loop runs: the handler only wakes that loop, which then
// cleans up and ends the process. A host that goes away ends the daemon the same way, logged.
[[nodiscard]] bool StartSignalHandler();
void SignalHandler(int i_signalRaised);
// Ends the process with status 0 at once, whatever the other threads are doing.
[[noreturn]] void ExitDaemon();
