// changerscan: answers through its exit status whether any changer is connected: 1 when the
// registry holds a changer's robotics device, 0 otherwise and on every failure. Arguments are
// ignored; nothing is printed.
#include <cstdarg>

#include "platform/IOKit.h"
#include "platform/IOObjectRef.h"
#include "platform/Syslog.h"

#define k_changerRoboticsClass "TavrinChangerRoboticsDevice"

static void LogMessage(const char* i_formatStrP, ...) __attribute__((format(printf, 1, 2)));
static void LogMessage(const char* i_formatStrP, ...) {
  va_list args;
  va_start(args, i_formatStrP);
  bsd::vsyslog(LOG_ALERT, i_formatStrP, args);
  va_end(args);
}

[[nodiscard]] static bool AreChangersConnected() {
  mach_port_t masterPort = MACH_PORT_NULL;
  if (IOMasterPort(MACH_PORT_NULL, &masterPort) != KERN_SUCCESS || masterPort == MACH_PORT_NULL) {
    LogMessage("%s: unable to get the IOKit master port.\n", __func__);
    return false;
  }
  CFMutableDictionaryRef matchingRef = IOServiceMatching(k_changerRoboticsClass);
  if (matchingRef == nullptr) {
    LogMessage("%s: unable to build a matching dictionary for the " k_changerRoboticsClass ".\n", __func__);
    return false;
  }
  io_iterator_t iterator = 0;
  kern_return_t kr = IOServiceGetMatchingServices(masterPort, matchingRef, &iterator);
  IOObjectRef iteratorRef(iterator);
  if (kr != KERN_SUCCESS || iterator == 0 || !IOIteratorIsValid(iterator)) return false;
  IOObjectRef changerRef(IOIteratorNext(iterator));
  return static_cast<bool>(changerRef);
}

int main(int /*i_argc*/, char** /*i_argvArr*/) { return AreChangersConnected() ? 1 : 0; }
