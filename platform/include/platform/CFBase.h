// Core Foundation object model: reference-counted values with Mac names and semantics.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned char Boolean;
typedef int32_t SInt32;
typedef uint32_t UInt32;
typedef int16_t SInt16;
typedef uint16_t UInt16;
typedef int8_t SInt8;
typedef uint8_t UInt8;
typedef int64_t SInt64;
typedef uint64_t UInt64;
typedef SInt32 OSStatus;
typedef SInt16 OSErr;
typedef double CFTimeInterval;
typedef double CFAbsoluteTime;
typedef UInt32 FourCharCode;
typedef FourCharCode OSType;

typedef const struct __CFAllocator* CFAllocatorRef;
#define kCFAllocatorDefault ((CFAllocatorRef) nullptr)
#define kCFAllocatorNull ((CFAllocatorRef) nullptr)

typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;
typedef const struct __CFNumber* CFNumberRef;
typedef const struct __CFBoolean* CFBooleanRef;
typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;
typedef const struct __CFArray* CFArrayRef;
typedef struct __CFArray* CFMutableArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFURL* CFURLRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef CFTypeRef CFPropertyListRef;

typedef struct {
  CFIndex location;
  CFIndex length;
} CFRange;
inline CFRange CFRangeMake(CFIndex loc, CFIndex len) { return CFRange{loc, len}; }

enum { kCFNotFound = -1 };

typedef CFIndex CFComparisonResult;
enum { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };
typedef CFComparisonResult (*CFComparatorFunction)(const void* val1, const void* val2, void* context);

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
[[nodiscard]] Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);
// A readable description (strings as themselves, numbers in decimal, containers recursively).
CFStringRef CFCopyDescription(CFTypeRef cf);

// Objects alive in this process (tests check that paths release what they create).
long CFLiveObjectCount();
