#include "ChangerInfoFiles.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LogMessage.h"

static const char k_deviceFileSeparator = 0x01;
static const size_t k_maxDeviceBaseNameLen = 225;
static const size_t k_volTagLen = 32;
static const size_t k_SH9VolTagNameLen = 28;

// ================================================================ process set-up and strings

bool SetupChangerFileHandling() {
  // Group-writable files and folders, so that members of admin may manage the store.
  umask(002);
  return true;
}

char* AllocCStringFromCFString(CFStringRef i_stringRef, CFStringEncoding i_encoding) {
  if (i_stringRef == nullptr) return nullptr;
  CFIndex bufferSize = CFStringGetMaximumSizeForEncoding(CFStringGetLength(i_stringRef), i_encoding) + 1;
  char* stringP = static_cast<char*>(malloc(bufferSize));
  if (stringP == nullptr) {
    LogMessage("%s: unable to allocate storage for the C string.\n", __func__);
    return nullptr;
  }
  if (!CFStringGetCString(i_stringRef, stringP, bufferSize, i_encoding)) {
    free(stringP);
    return nullptr;
  }
  return stringP;
}

// ================================================================ volume tags

bool ComputeVolTagFromDeviceName(const char* i_deviceNameP, char** o_volTagP) {
  *o_volTagP = nullptr;
  CFRef<CFStringRef> nameRef(
      i_deviceNameP ? CFStringCreateWithCString(kCFAllocatorDefault, i_deviceNameP, kCFStringEncodingUTF8) : nullptr);
  if (!nameRef) {
    LogMessage("%s: unable to allocate a CFString for the device name string.\n", __func__);
    return false;
  }
  char* bytesP = AllocCStringFromCFString(nameRef.get(), kCFStringEncodingMacRoman);
  if (bytesP == nullptr) bytesP = AllocCStringFromCFString(nameRef.get(), kCFStringEncodingUTF8);
  if (bytesP == nullptr) {
    LogMessage("%s: unable to get the device name in either MacRoman or UTF-8 encoding.\n", __func__);
    return false;
  }
  char* volTagP = static_cast<char*>(malloc(k_volTagLen + 1));
  if (volTagP == nullptr) {
    LogMessage("%s: unable to allocate storage for volume tag string.\n", __func__);
    free(bytesP);
    return false;
  }
  snprintf(volTagP, k_volTagLen + 1, "%-32.32s", bytesP);
  free(bytesP);
  // The changer stores tags as plain ASCII and gives '?' and '*' a meaning of its own.
  for (size_t i = 0; i < k_volTagLen; ++i) {
    unsigned char c = static_cast<unsigned char>(volTagP[i]);
    if (c >= 0x80 || c == '?' || c == '*') volTagP[i] = '_';
  }
  *o_volTagP = volTagP;
  return true;
}

bool GetSH9VolTagName(const char* i_primaryVolTagP, char* o_nameP) {
  o_nameP[0] = '\0';
  if (i_primaryVolTagP == nullptr || strlen(i_primaryVolTagP) < k_volTagLen) return false;
  static const char k_hexDigits[] = "abcdefABCDEF01234567890";
  if (i_primaryVolTagP[28] != '#' || i_primaryVolTagP[29] != '#') return false;
  if (strchr(k_hexDigits, i_primaryVolTagP[30]) == nullptr || strchr(k_hexDigits, i_primaryVolTagP[31]) == nullptr)
    return false;
  size_t end = k_SH9VolTagNameLen;
  while (end > 1 && i_primaryVolTagP[end - 1] == ' ') --end;
  memcpy(o_nameP, i_primaryVolTagP, end);
  o_nameP[end] = '\0';
  return true;
}

// ================================================================ media info files

UInt16 DiscTypeCodeForMediaType(const char* i_mediaTypeP) {
  static const struct {
    const char* m_mediaTypeP;
    UInt16 m_code;
  } k_discTypes[] = {
      {"CD-ROM", 8},   {"CD-R", 9},     {"CD-RW", 10},   {"DVD-ROM", 16},
      {"DVD-R", 17},   {"DVD-RAM", 18}, {"DVD+RW", 18},  {"DVD-RW", 19},
  };
  if (i_mediaTypeP == nullptr) return 0;
  for (const auto& discType : k_discTypes)
    if (strcmp(i_mediaTypeP, discType.m_mediaTypeP) == 0) return discType.m_code;
  return 0;
}

// ================================================================ device mount-point file names

size_t DeviceBaseNameLength(const char* i_deviceNameP) {
  size_t len = strlen(i_deviceNameP);
  if (len <= k_maxDeviceBaseNameLen) return len;
  len = k_maxDeviceBaseNameLen;
  // A cut inside a character would leave a name the file system refuses: cut before it.
  while (len > 0 && (static_cast<unsigned char>(i_deviceNameP[len]) & 0xC0) == 0x80) --len;
  return len;
}

bool FormatDeviceFileName(const char* i_baseNameP, size_t i_baseNameLen, UInt16 i_suffix, UInt64 i_changerGUID,
                          UInt16 i_storageElem, UInt16 i_device, char** o_deviceFileNameP) {
  *o_deviceFileNameP = nullptr;
  // Base, " 65535", separator, 24 digits, NUL.
  size_t size = i_baseNameLen + 6 + 1 + 24 + 1;
  char* nameP = static_cast<char*>(malloc(size));
  if (nameP == nullptr) return false;
  int baseLen = static_cast<int>(i_baseNameLen);
  if (i_suffix == 1)
    snprintf(nameP, size, "%.*s%c%016llX%04X%04X", baseLen, i_baseNameP, k_deviceFileSeparator,
             static_cast<unsigned long long>(i_changerGUID), i_storageElem, i_device);
  else
    snprintf(nameP, size, "%.*s %u%c%016llX%04X%04X", baseLen, i_baseNameP, i_suffix, k_deviceFileSeparator,
             static_cast<unsigned long long>(i_changerGUID), i_storageElem, i_device);
  for (char* p = nameP; *p != '\0'; ++p)
    if (*p == ':') *p = '/';
  *o_deviceFileNameP = nameP;
  return true;
}

bool DisplayNamesCollide(const char* i_entryNameP, const char* i_candidateP) {
  const char* separatorP = strrchr(i_entryNameP, k_deviceFileSeparator);
  if (separatorP == nullptr) return false;
  size_t displayLen = static_cast<size_t>(separatorP - i_entryNameP);
  if (strlen(i_candidateP) != displayLen) return false;
  // ASCII letters only, whatever the process locale.
  auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < displayLen; ++i)
    if (fold(i_entryNameP[i]) != fold(i_candidateP[i])) return false;
  return true;
}
