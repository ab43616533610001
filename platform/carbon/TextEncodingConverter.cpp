// The Text Encoding Converter between UTF-16 and the byte encodings that CFString knows, with
// the CFString encoders doing the work.
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "cf/CFInternal.h"
#include "platform/Carbon.h"
#include "platform/ThreadAnnotations.h"

struct OpaqueUnicodeToTextInfo {
  TextEncoding other;
};
struct OpaqueTextToUnicodeInfo {
  TextEncoding other;
};

namespace {

bool IsUnicode16(TextEncoding e) {
  UInt32 base = GetTextEncodingBase(e);
  return base >= kTextEncodingUnicodeDefault && base <= 0x01FF && GetTextEncodingFormat(e) == kUnicode16BitFormat;
}

// Only encodings CFString converts without loss both ways; Unicode itself is not "text" here.
bool IsSupportedText(TextEncoding e) {
  switch (GetTextEncodingBase(e)) {
    case kTextEncodingMacRoman:
    case kTextEncodingISOLatin1:
    case kTextEncodingUS_ASCII:
      return true;
    default:
      return false;
  }
}

OSStatus CheckMapping(const UnicodeMapping* mapping) {
  if (!mapping) return paramErr;
  if (!IsUnicode16(mapping->unicodeEncoding)) return kTextUnsupportedEncodingErr;
  if (!IsSupportedText(mapping->otherEncoding)) return kTECNoConversionPathErr;
  return noErr;
}

// Converters handed out and not disposed of yet.
template <class T>
struct InfoTable {
  platform::Mutex mutex;
  std::unordered_map<T*, std::unique_ptr<T>> live GUARDED_BY(mutex);

  T* Add(TextEncoding other) {
    auto info = std::make_unique<T>(T{other});
    T* p = info.get();
    platform::MutexLock lock(mutex);
    live.emplace(p, std::move(info));
    return p;
  }
  [[nodiscard]] bool Find(T* p, TextEncoding& o_other) {
    platform::MutexLock lock(mutex);
    auto it = live.find(p);
    if (it == live.end()) return false;
    o_other = it->second->other;
    return true;
  }
  bool Remove(T* p) {
    platform::MutexLock lock(mutex);
    return live.erase(p) != 0;
  }
};

InfoTable<OpaqueUnicodeToTextInfo>& ToTextInfos() {
  static InfoTable<OpaqueUnicodeToTextInfo> t;
  return t;
}

InfoTable<OpaqueTextToUnicodeInfo>& ToUnicodeInfos() {
  static InfoTable<OpaqueTextToUnicodeInfo> t;
  return t;
}

}  // namespace

TextEncoding CreateTextEncoding(UInt32 encodingBase, UInt32 encodingVariant, UInt32 encodingFormat) {
  return (encodingBase & 0xFFFF) | ((encodingVariant & 0x3F) << 16) | ((encodingFormat & 0xF) << 26);
}

UInt32 GetTextEncodingBase(TextEncoding encoding) { return encoding & 0xFFFF; }

UInt32 GetTextEncodingFormat(TextEncoding encoding) { return (encoding >> 26) & 0xF; }

OSStatus CreateUnicodeToTextInfo(const UnicodeMapping* iUnicodeMapping, UnicodeToTextInfo* oUnicodeToTextInfo) {
  if (!oUnicodeToTextInfo) return paramErr;
  *oUnicodeToTextInfo = nullptr;
  OSStatus err = CheckMapping(iUnicodeMapping);
  if (err != noErr) return err;
  *oUnicodeToTextInfo = ToTextInfos().Add(iUnicodeMapping->otherEncoding);
  return noErr;
}

OSStatus CreateUnicodeToTextInfoByEncoding(TextEncoding iEncoding, UnicodeToTextInfo* oUnicodeToTextInfo) {
  UnicodeMapping mapping{kTextEncodingUnicodeDefault, iEncoding, kUnicodeUseLatestMapping};
  return CreateUnicodeToTextInfo(&mapping, oUnicodeToTextInfo);
}

OSStatus CreateTextToUnicodeInfo(const UnicodeMapping* iUnicodeMapping, TextToUnicodeInfo* oTextToUnicodeInfo) {
  if (!oTextToUnicodeInfo) return paramErr;
  *oTextToUnicodeInfo = nullptr;
  OSStatus err = CheckMapping(iUnicodeMapping);
  if (err != noErr) return err;
  *oTextToUnicodeInfo = ToUnicodeInfos().Add(iUnicodeMapping->otherEncoding);
  return noErr;
}

OSStatus CreateTextToUnicodeInfoByEncoding(TextEncoding iEncoding, TextToUnicodeInfo* oTextToUnicodeInfo) {
  UnicodeMapping mapping{kTextEncodingUnicodeDefault, iEncoding, kUnicodeUseLatestMapping};
  return CreateTextToUnicodeInfo(&mapping, oTextToUnicodeInfo);
}

OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo* ioUnicodeToTextInfo) {
  if (!ioUnicodeToTextInfo || !ToTextInfos().Remove(*ioUnicodeToTextInfo)) return paramErr;
  *ioUnicodeToTextInfo = nullptr;
  return noErr;
}

OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo* ioTextToUnicodeInfo) {
  if (!ioTextToUnicodeInfo || !ToUnicodeInfos().Remove(*ioTextToUnicodeInfo)) return paramErr;
  *ioTextToUnicodeInfo = nullptr;
  return noErr;
}

OSStatus ConvertFromUnicodeToPString(UnicodeToTextInfo iUnicodeToTextInfo, ByteCount iUnicodeLen,
                                     const UniChar* iUnicodeStr, Str255 oPascalStr) {
  if (!oPascalStr) return paramErr;
  oPascalStr[0] = 0;
  TextEncoding other = 0;
  if (!ToTextInfos().Find(iUnicodeToTextInfo, other) || (!iUnicodeStr && iUnicodeLen)) return paramErr;
  if (iUnicodeLen % sizeof(UniChar)) return kTextMalformedInputErr;
  std::u16string unicode(reinterpret_cast<const char16_t*>(iUnicodeStr), iUnicodeLen / sizeof(UniChar));
  std::string utf8, bytes;
  if (!UTF16ToUTF8(unicode, utf8)) return kTextMalformedInputErr;
  if (!CFStringEncode(utf8, static_cast<CFStringEncoding>(GetTextEncodingBase(other)), bytes))
    return kTECUnmappableElementErr;
  if (bytes.size() > 255) return kTECOutputBufferFullStatus;
  oPascalStr[0] = static_cast<unsigned char>(bytes.size());
  std::memcpy(oPascalStr + 1, bytes.data(), bytes.size());
  return noErr;
}

OSStatus ConvertFromPStringToUnicode(TextToUnicodeInfo iTextToUnicodeInfo, ConstStr255Param iPascalStr,
                                     ByteCount iOutputBufLen, ByteCount* oUnicodeLen, UniChar* oUnicodeStr) {
  if (oUnicodeLen) *oUnicodeLen = 0;
  TextEncoding other = 0;
  if (!ToUnicodeInfos().Find(iTextToUnicodeInfo, other) || !iPascalStr || !oUnicodeLen ||
      (!oUnicodeStr && iOutputBufLen))
    return paramErr;
  std::string bytes(reinterpret_cast<const char*>(iPascalStr + 1), iPascalStr[0]);
  std::string utf8;
  if (!CFStringDecode(bytes, static_cast<CFStringEncoding>(GetTextEncodingBase(other)), utf8))
    return kTextUndefinedElementErr;
  std::u16string unicode = UTF8ToUTF16(utf8);
  ByteCount size = unicode.size() * sizeof(UniChar);
  if (size > iOutputBufLen) return kTECOutputBufferFullStatus;
  if (size) std::memcpy(oUnicodeStr, unicode.data(), size);
  *oUnicodeLen = size;
  return noErr;
}
