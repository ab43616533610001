// simhostctl's logic: commands for people and tests, sent to the host of a system root as
// control requests, with human-readable output or JSON (--json). See simhost/README.md.
#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "platform/CoreFoundation.h"

namespace simhost {

// Exit statuses: 0 done, 1 the host refused or failed, 64 bad arguments, 69 no host serves the root.
int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A property-list value as JSON (data as base64).
std::string ToJSON(CFTypeRef value);

}  // namespace simhost
