// Core Foundation as the system code sees it.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"
#include "platform/CFRef.h"
#if __has_include("platform/CFPropertyList.h")
#include "platform/CFPropertyList.h"
#endif
#if __has_include("platform/CFBundle.h")
#include "platform/CFBundle.h"
#endif
#if __has_include("platform/CFRunLoop.h")
#include "platform/CFRunLoop.h"
#endif
#if __has_include("platform/CFMessagePort.h")
#include "platform/CFMessagePort.h"
#endif
#if __has_include("platform/CFMachPort.h")
#include "platform/CFMachPort.h"
#endif
#if __has_include("platform/CFUserNotification.h")
#include "platform/CFUserNotification.h"
#endif
#if __has_include("platform/CFPlugIn.h")
#include "platform/CFPlugIn.h"
#endif
