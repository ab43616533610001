// IOKit as the system code calls it: the registry of the simulated host, reached over the
// process's host link. Objects are per-process handles; a service handed out twice gets the
// same handle with one more reference. Every call fails cleanly (an error, a null object) when
// the host cannot be reached.
#pragma once
#include <cstdint>

#include "platform/CoreFoundation.h"
#if __has_include("platform/Mach.h")
#include "platform/Mach.h"
#else
typedef int kern_return_t;
typedef uint32_t natural_t;
typedef natural_t mach_port_t;
enum : kern_return_t { KERN_SUCCESS = 0 };
#define MACH_PORT_NULL ((mach_port_t)0)
#endif
#include "platform/CFRunLoop.h"

typedef kern_return_t IOReturn;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_connect_t;
typedef UInt32 IOOptionBits;
typedef char io_name_t[128];
typedef const char* const_io_name_t;
typedef char io_struct_inband_t[4096];

enum : IOReturn {
  kIOReturnSuccess = 0,
  kIOReturnError = static_cast<IOReturn>(0xE00002BC),
  kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD),
  kIOReturnNoResources = static_cast<IOReturn>(0xE00002BE),
  kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0),
  kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2),
  kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7),
  kIOReturnBusy = static_cast<IOReturn>(0xE00002D5),
  kIOReturnNotReady = static_cast<IOReturn>(0xE00002D8),
  kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2),
  kIOReturnNoMedia = static_cast<IOReturn>(0xE00002E4),
  kIOReturnAborted = static_cast<IOReturn>(0xE00002EB),
  kIOReturnNotResponding = static_cast<IOReturn>(0xE00002ED),
};

// Interest message types the changer driver sends.
enum : natural_t {
  kIOMessageServiceIsTerminated = 0xE0000010,
};

#define kIOMasterPortDefault ((mach_port_t)0)
#define kIOServicePlane "IOService"
#define kIOPublishNotification "IOServicePublish"
#define kIOFirstPublishNotification "IOServiceFirstPublish"
#define kIOMatchedNotification "IOServiceMatched"
#define kIOFirstMatchNotification "IOServiceFirstMatch"
#define kIOTerminatedNotification "IOServiceTerminate"
#define kIOGeneralInterest "IOGeneralInterest"
#define kIOProviderClassKey "IOProviderClass"
#define kIOPropertyMatchKey "IOPropertyMatch"
#define kIOBSDNameKey "BSD Name"

enum : IOOptionBits {
  kIORegistryIterateRecursively = 0x00000001,
  kIORegistryIterateParents = 0x00000002,
};

typedef struct IONotificationPort* IONotificationPortRef;
typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

// The master port: fails (kIOReturnNotResponding) when the host cannot be reached.
[[nodiscard]] kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* o_masterPort);

// ---- objects
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
[[nodiscard]] kern_return_t IOObjectGetClass(io_object_t object, io_name_t o_className);
[[nodiscard]] Boolean IOObjectConformsTo(io_object_t object, const io_name_t className);
[[nodiscard]] Boolean IOObjectIsEqualTo(io_object_t object, io_object_t anObject);

// ---- iterators
io_object_t IOIteratorNext(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);
[[nodiscard]] Boolean IOIteratorIsValid(io_iterator_t iterator);

// ---- matching
// {"IOProviderClass": name}
CFMutableDictionaryRef IOServiceMatching(const char* name);
// {"BSD Name": bsdName}: the medium carrying that BSD name.
CFMutableDictionaryRef IOBSDNameMatching(mach_port_t masterPort, UInt32 options, const char* bsdName);
// Both consume one reference to `matching`, whatever happens.
[[nodiscard]] kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* o_existing);
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);
[[nodiscard]] kern_return_t IOServiceMatchPropertyTable(io_service_t service, CFDictionaryRef matching, Boolean* o_matches);

// ---- notifications; callbacks run on the thread whose run loop holds the port's source
IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);
// Consumes one reference to `matching`. The iterator holds the services already present; the
// notification is armed once it has been drained, and again after each later drain.
[[nodiscard]] kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const io_name_t notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* o_notification);
[[nodiscard]] kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const io_name_t interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* o_notification);

// ---- registry entries
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);
[[nodiscard]] kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* o_properties,
                                                CFAllocatorRef allocator, IOOptionBits options);
// The entry's own property, else (kIORegistryIterateRecursively | kIORegistryIterateParents)
// its nearest ancestor's, or (kIORegistryIterateRecursively alone) the first descendant's.
CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t plane, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
[[nodiscard]] kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName, CFTypeRef property);
[[nodiscard]] kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* o_parent);
[[nodiscard]] kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane, IOOptionBits options,
                                            io_iterator_t* o_iterator);
