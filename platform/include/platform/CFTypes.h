// Core Foundation value types: strings, numbers, booleans, data, arrays, dictionaries, URLs, UUIDs.
#pragma once
#include "platform/CFBase.h"

// ---- CFString
typedef UInt32 CFStringEncoding;
enum : CFStringEncoding {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUTF8 = 0x08000100,
  kCFStringEncodingUnicode = 0x0100,
  kCFStringEncodingISOLatin1 = 0x0201,
};
enum : CFOptionFlags {
  kCFCompareCaseInsensitive = 1,
  kCFCompareBackwards = 4,
  kCFCompareAnchored = 8,
  kCFCompareNonliteral = 16,
  kCFCompareNumerically = 64,
};
typedef uint16_t UniChar;

CFTypeID CFStringGetTypeID();
// Null when `cStr` is not valid in `encoding`.
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars);
// printf formats plus %@ (CFCopyDescription of the argument).
CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...);
CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                                 CFStringRef format, va_list arguments);
CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef str);
CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength, CFStringRef str);
void CFStringAppend(CFMutableStringRef str, CFStringRef appended);
void CFStringAppendCString(CFMutableStringRef str, const char* cStr, CFStringEncoding encoding);
// Length in UTF-16 units.
CFIndex CFStringGetLength(CFStringRef str);
UniChar CFStringGetCharacterAtIndex(CFStringRef str, CFIndex idx);
void CFStringGetCharacters(CFStringRef str, CFRange range, UniChar* buffer);
// False when the buffer is too small (NUL included) or the text has no form in `encoding`.
[[nodiscard]] Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
// Fast path: the internal C string when the encoding allows it, else null.
const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFOptionFlags options);
[[nodiscard]] Boolean CFStringHasPrefix(CFStringRef str, CFStringRef prefix);
[[nodiscard]] Boolean CFStringHasSuffix(CFStringRef str, CFStringRef suffix);
// Mac-style external representation (no BOM for UTF-8); null when lossy and lossByte is 0.
CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef str,
                                               CFStringEncoding encoding, UInt8 lossByte);

// Compile-time constant strings, as CFSTR("text") on the Mac (uniqued, never freed).
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

// ---- CFNumber
typedef CFIndex CFNumberType;
enum : CFNumberType {
  kCFNumberSInt8Type = 1,
  kCFNumberSInt16Type = 2,
  kCFNumberSInt32Type = 3,
  kCFNumberSInt64Type = 4,
  kCFNumberFloat32Type = 5,
  kCFNumberFloat64Type = 6,
  kCFNumberCharType = 7,
  kCFNumberShortType = 8,
  kCFNumberIntType = 9,
  kCFNumberLongType = 10,
  kCFNumberLongLongType = 11,
  kCFNumberFloatType = 12,
  kCFNumberDoubleType = 13,
  kCFNumberCFIndexType = 14,
  kCFNumberMaxType = 14,
};
CFTypeID CFNumberGetTypeID();
CFNumberRef CFNumberCreate(CFAllocatorRef alloc, CFNumberType theType, const void* valuePtr);
CFNumberType CFNumberGetType(CFNumberRef number);
CFIndex CFNumberGetByteSize(CFNumberRef number);
[[nodiscard]] Boolean CFNumberIsFloatType(CFNumberRef number);
// Stores the value converted to `theType`; false when that conversion loses value.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr);
CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void* context);

// ---- CFBoolean
CFTypeID CFBooleanGetTypeID();
extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
[[nodiscard]] Boolean CFBooleanGetValue(CFBooleanRef boolean);

// ---- CFData
CFTypeID CFDataGetTypeID();
CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFDataRef data);
CFIndex CFDataGetLength(CFDataRef data);
const UInt8* CFDataGetBytePtr(CFDataRef data);
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef data);
void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer);
void CFDataAppendBytes(CFMutableDataRef data, const UInt8* bytes, CFIndex length);
void CFDataSetLength(CFMutableDataRef data, CFIndex length);

// ---- CFArray (values retained; the callbacks argument picks that behaviour)
typedef struct {
  CFIndex version;
  void* retain;
  void* release;
  void* copyDescription;
  void* equal;
} CFArrayCallBacks;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
CFTypeID CFArrayGetTypeID();
CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks);
CFArrayRef CFArrayCreateCopy(CFAllocatorRef alloc, CFArrayRef array);
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef alloc, CFIndex capacity, const CFArrayCallBacks* callBacks);
CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFArrayRef array);
CFIndex CFArrayGetCount(CFArrayRef array);
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex idx);
void CFArrayGetValues(CFArrayRef array, CFRange range, const void** values);
[[nodiscard]] Boolean CFArrayContainsValue(CFArrayRef array, CFRange range, const void* value);
CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef array, CFRange range, const void* value);
void CFArrayAppendValue(CFMutableArrayRef array, const void* value);
void CFArrayInsertValueAtIndex(CFMutableArrayRef array, CFIndex idx, const void* value);
void CFArraySetValueAtIndex(CFMutableArrayRef array, CFIndex idx, const void* value);
void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex idx);
void CFArrayRemoveAllValues(CFMutableArrayRef array);
void CFArraySortValues(CFMutableArrayRef array, CFRange range, CFComparatorFunction comparator, void* context);

// ---- CFDictionary (keys and values retained)
typedef struct {
  CFIndex version;
  void* retain;
  void* release;
  void* copyDescription;
  void* equal;
  void* hash;
} CFDictionaryKeyCallBacks;
typedef struct {
  CFIndex version;
  void* retain;
  void* release;
  void* copyDescription;
  void* equal;
} CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CFTypeID CFDictionaryGetTypeID();
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef alloc, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);
CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef alloc, CFDictionaryRef dict);
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef alloc, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFDictionaryRef dict);
CFIndex CFDictionaryGetCount(CFDictionaryRef dict);
const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key);
[[nodiscard]] Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dict, const void* key, const void** value);
[[nodiscard]] Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key);
// Keys and values in one consistent order (insertion order here).
void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values);
void CFDictionaryAddValue(CFMutableDictionaryRef dict, const void* key, const void* value);
void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key, const void* value);
void CFDictionaryReplaceValue(CFMutableDictionaryRef dict, const void* key, const void* value);
void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key);
void CFDictionaryRemoveAllValues(CFMutableDictionaryRef dict);
typedef void (*CFDictionaryApplierFunction)(const void* key, const void* value, void* context);
void CFDictionaryApplyFunction(CFDictionaryRef dict, CFDictionaryApplierFunction applier, void* context);

// ---- CFURL (file URLs hold Mac paths)
typedef CFIndex CFURLPathStyle;
enum : CFURLPathStyle { kCFURLPOSIXPathStyle = 0 };
CFTypeID CFURLGetTypeID();
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef alloc, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);
// Relative URL: its path is relative to `baseURL` (bundle resource directories are made so).
CFURLRef CFURLCreateWithFileSystemPathRelativeToBase(CFAllocatorRef alloc, CFStringRef filePath,
                                                     CFURLPathStyle pathStyle, Boolean isDirectory, CFURLRef baseURL);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef alloc, CFURLRef url, CFStringRef pathComponent,
                                               Boolean isDirectory);
CFURLRef CFURLCopyAbsoluteURL(CFURLRef url);
// The URL's own (possibly relative) path, percent-escaped, "/" at the end of directories.
CFStringRef CFURLCopyPath(CFURLRef url);
// The absolute Mac path without trailing "/".
CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle pathStyle);
CFStringRef CFURLGetString(CFURLRef url);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
[[nodiscard]] Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);

// ---- CFUUID
typedef struct {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7, byte8, byte9, byte10, byte11, byte12, byte13,
      byte14, byte15;
} CFUUIDBytes;
CFTypeID CFUUIDGetTypeID();
CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr);
// Uniqued and never freed, like the Mac's constant UUIDs.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                         UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11,
                                         UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
