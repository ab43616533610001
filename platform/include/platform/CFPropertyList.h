// Property lists: XML and binary files read and written through file streams.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum : CFOptionFlags {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2,
};

typedef CFIndex CFPropertyListFormat;
enum : CFPropertyListFormat {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200,
};

// ---- file streams (the URL holds a Mac path)
typedef struct __CFReadStream* CFReadStreamRef;
typedef struct __CFWriteStream* CFWriteStreamRef;

typedef CFIndex CFStreamStatus;
enum : CFStreamStatus {
  kCFStreamStatusNotOpen = 0,
  kCFStreamStatusOpening = 1,
  kCFStreamStatusOpen = 2,
  kCFStreamStatusReading = 3,
  kCFStreamStatusWriting = 4,
  kCFStreamStatusAtEnd = 5,
  kCFStreamStatusClosed = 6,
  kCFStreamStatusError = 7,
};
typedef CFIndex CFStreamErrorDomain;
enum : CFStreamErrorDomain { kCFStreamErrorDomainPOSIX = 1 };
typedef struct {
  CFStreamErrorDomain domain;  // 0 when there is no error
  SInt32 error;                // an errno value
} CFStreamError;

CFTypeID CFReadStreamGetTypeID();
CFTypeID CFWriteStreamGetTypeID();
// Null for a URL that is not a file path. Nothing is touched until the stream is opened.
CFReadStreamRef CFReadStreamCreateWithFile(CFAllocatorRef alloc, CFURLRef fileURL);
// Opening creates the file or empties it: the stream replaces its whole content.
CFWriteStreamRef CFWriteStreamCreateWithFile(CFAllocatorRef alloc, CFURLRef fileURL);
[[nodiscard]] Boolean CFReadStreamOpen(CFReadStreamRef stream);
[[nodiscard]] Boolean CFWriteStreamOpen(CFWriteStreamRef stream);
void CFReadStreamClose(CFReadStreamRef stream);
void CFWriteStreamClose(CFWriteStreamRef stream);
CFStreamStatus CFReadStreamGetStatus(CFReadStreamRef stream);
CFStreamStatus CFWriteStreamGetStatus(CFWriteStreamRef stream);
CFStreamError CFReadStreamGetError(CFReadStreamRef stream);
CFStreamError CFWriteStreamGetError(CFWriteStreamRef stream);
// Bytes read, 0 at the end, -1 on error (the stream's status becomes kCFStreamStatusError).
CFIndex CFReadStreamRead(CFReadStreamRef stream, UInt8* buffer, CFIndex bufferLength);
// Bytes written (all of them unless an error stops it), -1 on error.
CFIndex CFWriteStreamWrite(CFWriteStreamRef stream, const UInt8* buffer, CFIndex bufferLength);

// ---- property lists
// Reads an XML or binary property list from an open stream: `streamLength` bytes, or to the
// end when 0. Null on failure with the reason in *errorString (the caller releases it).
CFPropertyListRef CFPropertyListCreateFromStream(CFAllocatorRef alloc, CFReadStreamRef stream, CFIndex streamLength,
                                                 CFOptionFlags mutabilityOption, CFPropertyListFormat* format,
                                                 CFStringRef* errorString);
// Writes to an open stream in XML 1.0 or binary format. Returns the bytes written, or 0 with
// the reason in *errorString (the caller releases it).
CFIndex CFPropertyListWriteToStream(CFPropertyListRef propertyList, CFWriteStreamRef stream,
                                    CFPropertyListFormat format, CFStringRef* errorString);
// Accepts binary data as well as XML.
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef alloc, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption, CFStringRef* errorString);
CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc, CFPropertyListRef propertyList);
// Every container and leaf copied; null when the value is not a property list.
CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef alloc, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption);
// True when the value can be written in `format` (XML 1.0 or binary).
[[nodiscard]] Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);
