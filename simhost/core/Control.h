// The host's control requests ("op" = "control"), which simhostctl and tests send: inspect the
// registry and the changers, add and unplug changers, put discs in and take them out, set fault
// knobs, send interest messages, list alerts, move the clock.
#pragma once
#include "platform/CoreFoundation.h"

namespace simhost {

class Server;

// The reply to one control request: "kr" 0 and the command's results, or a non-zero "kr" with
// "error" saying what is wrong.
CFRef<CFMutableDictionaryRef> HandleControl(Server& server, CFDictionaryRef request);

}  // namespace simhost
