// The Mac face of the property-list codec: streams, data, deep copies.
#include "platform/CFPropertyList.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "CFInternal.h"
#include "platform/CFRef.h"
#include "platform/PlistCodec.h"

namespace {

namespace pl = platform::plist;

// Far beyond any file of this system; it keeps a runaway stream from filling memory.
constexpr size_t kMaxStreamBytes = 64u << 20;

void SetErrorString(CFStringRef* errorString, const std::string& text) {
  if (errorString) *errorString = CFStringFromUTF8(text);
}

CFTypeRef DeepCopy(CFTypeRef value, bool mutableContainers, int depth) {
  if (!value) return nullptr;
  switch (CFGetTypeID(value)) {
    case kTypeIDString: return CFStringFromUTF8(CFStringUTF8(static_cast<CFStringRef>(value)));
    case kTypeIDBoolean: return CFRetain(value);
    case kTypeIDNumber: {
      auto* from = static_cast<const __CFNumber*>(value);
      auto* n = new __CFNumber();
      n->m_type = from->m_type;
      n->m_isFloat = from->m_isFloat;
      n->m_int = from->m_int;
      n->m_double = from->m_double;
      return n;
    }
    case kTypeIDData: {
      auto* d = new __CFData();
      d->m_bytes = static_cast<const __CFData*>(value)->m_bytes;
      return d;
    }
    case kTypeIDArray: {
      if (depth >= pl::kMaxDepth) return nullptr;
      auto* a = new __CFArray();
      CFRef<CFTypeRef> hold(a);
      for (CFTypeRef v : static_cast<const __CFArray*>(value)->m_values) {
        CFTypeRef copy = DeepCopy(v, mutableContainers, depth + 1);
        if (!copy) return nullptr;
        a->m_values.push_back(copy);
      }
      a->m_mutable = mutableContainers;
      return hold.release();
    }
    case kTypeIDDictionary: {
      if (depth >= pl::kMaxDepth) return nullptr;
      auto* d = new __CFDictionary();
      CFRef<CFTypeRef> hold(d);
      for (const auto& [k, v] : static_cast<const __CFDictionary*>(value)->m_entries) {
        if (CFGetTypeID(k) != kTypeIDString) return nullptr;
        CFRef<CFTypeRef> key(DeepCopy(k, false, depth + 1));
        CFRef<CFTypeRef> copy(DeepCopy(v, mutableContainers, depth + 1));
        if (!key || !copy) return nullptr;
        d->m_entries.emplace_back(key.release(), copy.release());
      }
      d->m_mutable = mutableContainers;
      return hold.release();
    }
    default: return nullptr;
  }
}

}  // namespace

CFPropertyListRef CFPropertyListCreateFromStream(CFAllocatorRef, CFReadStreamRef stream, CFIndex streamLength,
                                                 CFOptionFlags mutabilityOption, CFPropertyListFormat* format,
                                                 CFStringRef* errorString) {
  if (format) *format = 0;
  if (errorString) *errorString = nullptr;
  CFStreamStatus status = CFReadStreamGetStatus(stream);
  if (!stream || (status != kCFStreamStatusOpen && status != kCFStreamStatusAtEnd)) {
    SetErrorString(errorString, "property list stream is not open");
    return nullptr;
  }
  if (streamLength < 0) {
    SetErrorString(errorString, "property list stream length is negative");
    return nullptr;
  }
  std::string bytes;
  size_t wanted = streamLength > 0 ? static_cast<size_t>(streamLength) : 0;
  UInt8 buffer[16384];
  for (;;) {
    size_t chunk = sizeof buffer;
    if (wanted) {
      if (bytes.size() >= wanted) break;
      chunk = std::min(chunk, wanted - bytes.size());
    }
    CFIndex n = CFReadStreamRead(stream, buffer, static_cast<CFIndex>(chunk));
    if (n < 0) {
      SetErrorString(errorString, std::string("property list stream read failed: ") +
                                      std::strerror(CFReadStreamGetError(stream).error));
      return nullptr;
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > kMaxStreamBytes) {
      SetErrorString(errorString, "property list stream is longer than 64 MiB");
      return nullptr;
    }
    bytes.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
  std::string error;
  CFPropertyListRef plist = pl::Decode(bytes.data(), bytes.size(), mutabilityOption, &error, format);
  if (!plist) SetErrorString(errorString, error);
  return plist;
}

CFIndex CFPropertyListWriteToStream(CFPropertyListRef propertyList, CFWriteStreamRef stream,
                                    CFPropertyListFormat format, CFStringRef* errorString) {
  if (errorString) *errorString = nullptr;
  if (!stream || CFWriteStreamGetStatus(stream) != kCFStreamStatusOpen) {
    SetErrorString(errorString, "property list stream is not open");
    return 0;
  }
  std::string bytes, error;
  if (!pl::Encode(propertyList, format, bytes, &error)) {
    SetErrorString(errorString, error);
    return 0;
  }
  CFIndex written = CFWriteStreamWrite(stream, reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size()));
  if (written != static_cast<CFIndex>(bytes.size())) {
    SetErrorString(errorString, std::string("property list stream write failed: ") +
                                    std::strerror(CFWriteStreamGetError(stream).error));
    return 0;
  }
  return written;
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData, CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
  if (errorString) *errorString = nullptr;
  std::string error;
  CFPropertyListRef plist =
      pl::Decode(CFDataGetBytePtr(xmlData), static_cast<size_t>(CFDataGetLength(xmlData)), mutabilityOption, &error);
  if (!plist) SetErrorString(errorString, error);
  return plist;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc, CFPropertyListRef propertyList) {
  std::string bytes = pl::EncodeXML(propertyList);
  if (bytes.empty()) return nullptr;
  return CFDataCreate(alloc, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()));
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
  return DeepCopy(propertyList, mutabilityOption != kCFPropertyListImmutable, 0);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
  std::string bytes;
  return pl::Encode(plist, format, bytes, nullptr);
}
