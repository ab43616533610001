// Type ids of the run-loop and port objects. Shared by the cf/ sources only.
#pragma once
#include "CFInternal.h"

enum : CFTypeID {
  kTypeIDRunLoop = kTypeIDFirstService + 20,
  kTypeIDRunLoopSource,
  kTypeIDRunLoopTimer,
  kTypeIDMessagePort,
  kTypeIDMachPort,
};
