// The volume tags the daemon writes to the changer for each disc.
#include "ChangerInfoFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ChangerDriver.h"
#include "ChangerStore.h"
#include "LogMessage.h"
#include "platform/IOKit.h"

static const size_t k_volTagLen = 32;
static const size_t k_SH9VolTagNameLen = 28;

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

// ================================================================ volume tags: computing and writing

bool FindFirstIdentifiedDevice(MountData* i_mountDataP, DeviceData** o_deviceDataP) {
  *o_deviceDataP = nullptr;
  for (DeviceData* deviceDataP = i_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
       deviceDataP = deviceDataP->m_nextP) {
    if (deviceDataP->m_isIdentifiedDevice) {
      *o_deviceDataP = deviceDataP;
      return true;
    }
  }
  if (i_mountDataP->m_hasAnIdentifiedDevice) {
    LogMessage("%s: mount data indicated that it had an identified device, but none was found.\n", __func__);
    return false;
  }
  *o_deviceDataP = i_mountDataP->m_firstDeviceP;
  return *o_deviceDataP != nullptr;
}

bool SaveSH9PrimaryVolTag(MountData* i_mountDataP, CFDictionaryRef i_itemInfoRef) {
  free(i_mountDataP->m_SH9PrimaryVolTagP);
  i_mountDataP->m_SH9PrimaryVolTagP = nullptr;
  CFTypeRef tagRef = CFDictionaryGetValue(i_itemInfoRef, CFSTR(k_primaryVolTagProp));
  if (!IsString(tagRef)) {
    LogMessage("%s: unable to get the primary volume tag string.\n", __func__);
    return false;
  }
  char tag[k_volTagLen + 1];
  if (!CFStringGetCString(static_cast<CFStringRef>(tagRef), tag, sizeof tag, kCFStringEncodingASCII)) {
    LogMessage("%s: unable to get ASCII representation of the primary volume tag.\n", __func__);
    return false;
  }
  char name[k_SH9VolTagNameLen + 1];
  if (!GetSH9VolTagName(tag, name)) return true;
  i_mountDataP->m_SH9PrimaryVolTagP = strdup(name);
  if (i_mountDataP->m_SH9PrimaryVolTagP == nullptr) {
    LogMessage("%s: unable to allocate storage for Shelvon9 volume tag.\n", __func__);
    return false;
  }
  return true;
}

bool ComputePrimaryVolTag(MountData* i_mountDataP, CFDictionaryRef /*i_itemInfoRef*/) {
  DeviceData* deviceDataP = nullptr;
  if (!FindFirstIdentifiedDevice(i_mountDataP, &deviceDataP)) {
    LogMessage("%s: unable to find the first identified device.\n", __func__);
    return false;
  }
  char* nameP = nullptr;
  if (deviceDataP->m_deviceMountPointNameP != nullptr) {
    nameP = strdup(deviceDataP->m_deviceMountPointNameP);
    if (nameP == nullptr) {
      LogMessage("%s: unable to allocate storage for temporary name holder.\n", __func__);
      return false;
    }
    char* separatorP = strrchr(nameP, k_deviceFileSeparator);
    if (separatorP != nullptr) *separatorP = '\0';
  }
  char* volTagP = nullptr;
  bool computed = ComputeVolTagFromDeviceName(nameP != nullptr ? nameP : deviceDataP->m_deviceNameP, &volTagP);
  free(nameP);
  if (!computed) {
    LogMessage("%s: unable to compute the volume tag from the device name.\n", __func__);
    return false;
  }
  free(i_mountDataP->m_primaryVolTagP);
  i_mountDataP->m_primaryVolTagP = volTagP;
  UInt16 discType = 0;
  if (!ComputeDiscType(i_mountDataP, &discType)) LogMessage("%s: unable to compute the disc type.\n", __func__);
  i_mountDataP->m_primaryVolSeq = discType;
  return true;
}

bool ComputeAlternateVolTag(MountData* i_mountDataP, CFDictionaryRef i_itemInfoRef) {
  DeviceData* deviceDataP = nullptr;
  if (!FindFirstIdentifiedDevice(i_mountDataP, &deviceDataP)) {
    LogMessage("%s: unable to find the first identified device.\n", __func__);
    return false;
  }
  char* volTagP = nullptr;
  if (!ComputeVolTagFromDeviceName(deviceDataP->m_deviceNameP, &volTagP)) {
    LogMessage("%s: unable to compute the new alternate volume tag.\n", __func__);
    return false;
  }
  free(i_mountDataP->m_alternateVolTagP);
  i_mountDataP->m_alternateVolTagP = volTagP;
  CFTypeRef sequenceRef = CFDictionaryGetValue(i_itemInfoRef, CFSTR(k_alternateVolSeqProp));
  if (sequenceRef == nullptr) {
    LogMessage("%s: unable to get the alterate volume tag sequence property.\n", __func__);
    return false;
  }
  if (!GetDriverUInt16(sequenceRef, &i_mountDataP->m_alternateVolSeq)) {
    LogMessage("%s: unable to convert alternate volume sequence number to an integer.\n", __func__);
    return false;
  }
  return true;
}

bool ComputeVolTags(MountData* i_mountDataP) {
  bool haveProperty = false;
  CFRef<CFDictionaryRef> entryRef(
      CopyStorageElemInfoEntry(i_mountDataP->m_changerDataP, i_mountDataP->m_storageElem, &haveProperty));
  if (!haveProperty) {
    LogMessage("%s: unable to get the storage element info array from the robotics service.\n", __func__);
    return false;
  }
  if (!entryRef) {
    LogMessage("%s: unable to get volume tag info array element %d.\n", __func__, i_mountDataP->m_storageElem);
    return false;
  }
  // Before anything is written: the tag seen here is the one the changer had for the disc.
  if (!SaveSH9PrimaryVolTag(i_mountDataP, entryRef.get())) {
    LogMessage("%s: unable to save the Shelvon 9 primary volume tag.\n", __func__);
    return false;
  }
  if (!ComputePrimaryVolTag(i_mountDataP, entryRef.get())) {
    LogMessage("%s: unable to compute the primary volume tag.\n", __func__);
    return false;
  }
  if (!ComputeAlternateVolTag(i_mountDataP, entryRef.get())) {
    LogMessage("%s: unable to compute the alternate volume tag.\n", __func__);
    return false;
  }
  return true;
}

bool AddSetVolTagsProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_requestDictRef) {
  CFRef<CFNumberRef> storageElemRef(CreateSInt16Number(i_mountDataP->m_storageElem));
  if (!storageElemRef) {
    LogMessage("%s: unable to create a CFNumberRef for the storage element.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR(k_storageElemNumberProp), storageElemRef.get());
  CFRef<CFStringRef> primaryRef(
      i_mountDataP->m_primaryVolTagP != nullptr
          ? CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_primaryVolTagP, kCFStringEncodingASCII)
          : nullptr);
  if (!primaryRef) {
    LogMessage("%s: unable to create a CFString containing the primary volume tag.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR(k_primaryVolTagProp), primaryRef.get());
  CFRef<CFStringRef> alternateRef(
      i_mountDataP->m_alternateVolTagP != nullptr
          ? CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_alternateVolTagP, kCFStringEncodingASCII)
          : nullptr);
  if (!alternateRef) {
    LogMessage("%s: unable to create a CFString containing the alternate volume tag.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR(k_alternateVolTagProp), alternateRef.get());
  CFRef<CFNumberRef> primarySeqRef(CreateSInt16Number(i_mountDataP->m_primaryVolSeq));
  if (!primarySeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the primary volume sequence.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR(k_primaryVolSeqProp), primarySeqRef.get());
  CFRef<CFNumberRef> alternateSeqRef(CreateSInt16Number(i_mountDataP->m_alternateVolSeq));
  if (!alternateSeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the alternate volume sequence.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR(k_alternateVolSeqProp), alternateSeqRef.get());
  return true;
}

bool SetVolTagsOnChanger(MountData* i_mountDataP) {
  CFRef<CFMutableDictionaryRef> requestDictRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!requestDictRef) {
    LogMessage("%s: unable to allocate a dictionary for the set volume tags command.\n", __func__);
    return false;
  }
  if (!AddSetVolTagsProperties(i_mountDataP, requestDictRef.get())) {
    LogMessage("%s: unable to add the properties for the set volume tags command.\n", __func__);
    return false;
  }
  kern_return_t result =
      IORegistryEntrySetCFProperty(i_mountDataP->m_changerDataP->m_changerRoboticsService,
                                   CFSTR(k_setStorageElemVolTagsRequestProp), requestDictRef.get());
  if (result != 0) {
    LogMessage("%s: attempt to set volume tags failed (err = %X).\n", __func__, static_cast<unsigned>(result));
    return false;
  }
  return true;
}

bool HandleMediaVolTags(MountData* i_mountDataP) {
  if (!ComputeVolTags(i_mountDataP)) {
    LogMessage("%s: unable to compute volume tags.\n", __func__);
    return false;
  }
  if (!SetVolTagsOnChanger(i_mountDataP)) {
    LogMessage("%s: unable to set new volume tags.\n", __func__);
    return false;
  }
  return true;
}

bool UpdateChangerVolTags(MountData* i_mountDataP) {
  if (!HandleMediaVolTags(i_mountDataP)) {
    LogMessage("%s: unable to handle the new media volume tags.\n", __func__);
    return false;
  }
  ChangerData* changerDataP = i_mountDataP->m_changerDataP;
  if (!UpdateMountInfoArr(changerDataP, i_mountDataP->m_storageElem)) {
    LogMessage("%s: unable to update the mount info array.\n", __func__);
    return false;
  }
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(&changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem, mediaDictRef.out()) ||
      !mediaDictRef) {
    LogMessage("%s: unable to read in the media info file.\n", __func__);
    return false;
  }
  CFDictionaryRemoveValue(mediaDictRef.get(), CFSTR("primary volume tag"));
  CFDictionaryRemoveValue(mediaDictRef.get(), CFSTR("alternate volume tag"));
  CFDictionaryRemoveValue(mediaDictRef.get(), CFSTR("primary volume sequence number"));
  CFDictionaryRemoveValue(mediaDictRef.get(), CFSTR("alternate volume sequence number"));
  if (!AddMediaVolTagProperties(i_mountDataP, mediaDictRef.get())) {
    LogMessage("%s: unable to add the media volume tag properties.\n", __func__);
    return false;
  }
  return ReplaceMediaInfoFile(__func__, &changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem,
                              mediaDictRef.get(), "%s: unable to get the FSRef for the media info file.\n");
}

bool SetVolTag(ChangerData* i_changerDataP, CFStringRef i_tagKeyRef, UInt16 i_storageElem, const char* i_volTagP) {
  if (i_volTagP == nullptr) {
    LogMessage("%s: new volume tag string is NULL.\n", __func__);
    return false;
  }
  // The request is a copy of the slot's item info; the array itself is refreshed from the driver
  // by the caller (UpdateMountInfoArr) and never carries the request's extra key.
  CFRef<CFMutableDictionaryRef> requestDictRef;
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    CFArrayRef mediaInfoArr = i_changerDataP->m_mediaInfoArr;
    CFTypeRef itemInfoRef = (mediaInfoArr != nullptr && i_storageElem < CFArrayGetCount(mediaInfoArr))
                                ? CFArrayGetValueAtIndex(mediaInfoArr, i_storageElem)
                                : nullptr;
    if (IsDictionary(itemInfoRef))
      requestDictRef.reset(
          CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, static_cast<CFDictionaryRef>(itemInfoRef)));
  }
  if (!requestDictRef) {
    LogMessage("%s: unable to get volume tag information for storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  CFRef<CFNumberRef> storageElemRef(CreateSInt16Number(i_storageElem));
  if (!storageElemRef) {
    LogMessage("%s: unable to create a CFNumber for the storage element.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> volTagRef(CFStringCreateWithCString(kCFAllocatorDefault, i_volTagP, kCFStringEncodingASCII));
  if (!volTagRef) {
    LogMessage("%s: unable to allocate a CFString with the new volume tag.\n", __func__);
    return false;
  }
  CFDictionarySetValue(requestDictRef.get(), CFSTR(k_storageElemNumberProp), storageElemRef.get());
  CFDictionarySetValue(requestDictRef.get(), i_tagKeyRef, volTagRef.get());
  kern_return_t result = IORegistryEntrySetCFProperty(
      i_changerDataP->m_changerRoboticsService, CFSTR(k_setStorageElemVolTagsRequestProp), requestDictRef.get());
  if (result != 0) {
    LogMessage("%s: attempt to set volume tags failed (err = %X).\n", __func__, static_cast<unsigned>(result));
    return false;
  }
  return true;
}

bool SetPrimaryVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP) {
  return SetVolTag(i_changerDataP, CFSTR(k_primaryVolTagProp), i_storageElem, i_volTagP);
}

bool SetAlternateVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP) {
  return SetVolTag(i_changerDataP, CFSTR(k_alternateVolTagProp), i_storageElem, i_volTagP);
}

