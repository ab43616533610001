// The media info files in a changer's "Discs" folder and the media info array built from them.
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
#include "platform/BSD.h"

static const size_t k_fileSystemPathSize = 2048;

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

// ================================================================ media info files: reading and writing

bool GetMediaFileName(UInt16 i_storageElem, char** o_fileNameP) {
  *o_fileNameP = static_cast<char*>(malloc(12));
  if (*o_fileNameP == nullptr) {
    LogMessage("%s: unable to malloc storage for output string.\n", __func__);
    return false;
  }
  snprintf(*o_fileNameP, 12, "%05u.plist", static_cast<unsigned>(i_storageElem));
  return true;
}

bool GetFSRefForMediaFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, FSRef* o_fileRefP) {
  char fileName[12];
  snprintf(fileName, sizeof fileName, "%05u.plist", static_cast<unsigned>(i_storageElem));
  CFRef<CFStringRef> nameRef(CreateUTF8String(fileName));
  OSErr err = nameRef ? MakeFSRefForName(i_mediaDirRefP, nameRef.get(), o_fileRefP) : static_cast<OSErr>(memFullErr);
  if (err == noErr) return true;
  if (err != fnfErr) LogMessage("%s: unable to make an FSRef (err = %ld).\n", __func__, static_cast<long>(err));
  return false;
}

bool CheckForExistingMediaFiles(MountData* i_mountDataP) {
  FSRef fileRef;
  return GetFSRefForMediaFile(&i_mountDataP->m_changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem,
                              &fileRef);
}

bool ReadMediaInfoFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFMutableDictionaryRef* o_mediaDictRefP) {
  *o_mediaDictRefP = nullptr;
  FSRef fileRef;
  if (!GetFSRefForMediaFile(i_mediaDirRefP, i_storageElem, &fileRef)) return true;
  return ReadDictionaryFile(__func__, &fileRef, k_mediaInfoFileTexts, o_mediaDictRefP);
}

bool WriteMediaInfoFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFPropertyListRef i_propertyListRef) {
  char* fileNameP = nullptr;
  if (!GetMediaFileName(i_storageElem, &fileNameP)) {
    LogMessage("%s: unable to get media file name.\n", __func__);
    return false;
  }
  bool succeeded = WriteDictionaryFileAside(__func__, i_mediaDirRefP, fileNameP, i_propertyListRef, false,
                                            "%s: unable to convert the media info file FSRef to a CFURLRef.\n",
                                            k_mediaInfoFileTexts);
  free(fileNameP);
  return succeeded;
}

bool ReplaceMediaInfoFile(const char* i_functionP, const FSRef* i_mediaDirRefP, UInt16 i_storageElem,
                          CFDictionaryRef i_mediaDictRef, LogText<"s"> i_findFailText) {
  FSRef fileRef;
  if (!GetFSRefForMediaFile(i_mediaDirRefP, i_storageElem, &fileRef)) {
    LogMessage(i_findFailText, i_functionP);
    return false;
  }
  char fileName[12];
  snprintf(fileName, sizeof fileName, "%05u.plist", static_cast<unsigned>(i_storageElem));
  if (!WriteDictionaryFileAside(i_functionP, i_mediaDirRefP, fileName, i_mediaDictRef, true,
                                "%s: unable to convert the media info file FSRef to a CFURLRef.\n",
                                k_mediaInfoFileTexts)) {
    LogMessage("%s: unable to write out the new media info file.\n", i_functionP);
    return false;
  }
  return true;
}

bool SetStrValueInMediaInfoFile(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_keyP,
                                const char* i_valueP) {
  CFRef<CFStringRef> keyRef(CreateUTF8String(i_keyP));
  if (!keyRef) {
    LogMessage("%s: unable to create a CFString for the key string.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> valueRef(CreateUTF8String(i_valueP));
  if (!valueRef) {
    LogMessage("%s: unable to create a CFString for the value string.\n", __func__);
    return false;
  }
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(&i_changerDataP->m_changerMediaDir, i_storageElem, mediaDictRef.out()) || !mediaDictRef) {
    LogMessage("%s: unable to read in the media info file.\n", __func__);
    return false;
  }
  CFDictionarySetValue(mediaDictRef.get(), keyRef.get(), valueRef.get());
  return ReplaceMediaInfoFile(__func__, &i_changerDataP->m_changerMediaDir, i_storageElem, mediaDictRef.get(),
                              "%s: unable to get the FSRef for the media file.\n");
}

// ================================================================ media info files: building a record

bool ComputeDiscType(MountData* i_mountDataP, UInt16* o_discTypeP) {
  *o_discTypeP = 0;
  if (i_mountDataP->m_mediaTypeP == nullptr) {
    LogMessage("%s: media type field is NULL.\n", __func__);
    return false;
  }
  *o_discTypeP = DiscTypeCodeForMediaType(i_mountDataP->m_mediaTypeP);
  return true;
}

bool AddMediaVolTagProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_mediaDictRef) {
  if (i_mountDataP->m_primaryVolTagP == nullptr || i_mountDataP->m_alternateVolTagP == nullptr) {
    LogMessage("%s: primary or alternate volume tag field is NULL.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> primaryRef(
      CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_primaryVolTagP, kCFStringEncodingASCII));
  if (!primaryRef) {
    LogMessage("%s: unable to create a CFStringRef for the primary volume tag.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> alternateRef(
      CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_alternateVolTagP, kCFStringEncodingASCII));
  if (!alternateRef) {
    LogMessage("%s: unable to create a CFStringRef for the alternate volume tag.\n", __func__);
    return false;
  }
  CFRef<CFNumberRef> primarySeqRef(CreateSInt16Number(i_mountDataP->m_primaryVolSeq));
  if (!primarySeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the primary volume sequence number.\n", __func__);
    return false;
  }
  CFRef<CFNumberRef> alternateSeqRef(CreateSInt16Number(i_mountDataP->m_alternateVolSeq));
  if (!alternateSeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the alternate volume sequence number.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_mediaDictRef, CFSTR("primary volume tag"), primaryRef.get());
  CFDictionarySetValue(io_mediaDictRef, CFSTR("alternate volume tag"), alternateRef.get());
  CFDictionarySetValue(io_mediaDictRef, CFSTR("primary volume sequence number"), primarySeqRef.get());
  CFDictionarySetValue(io_mediaDictRef, CFSTR("alternate volume sequence number"), alternateSeqRef.get());
  return true;
}

bool AddMediaProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_mediaDictRef) {
  CFRef<CFNumberRef> storageElemRef(CreateSInt16Number(i_mountDataP->m_storageElem));
  if (!storageElemRef) {
    LogMessage("%s: unable to create a CFNumberRef for storage element.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_mediaDictRef, CFSTR("storage element"), storageElemRef.get());
  CFRef<CFStringRef> mediaTypeRef(CreateUTF8String(i_mountDataP->m_mediaTypeP));
  if (!mediaTypeRef) {
    LogMessage("%s: unable to create a CFStringRef for the disk type.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_mediaDictRef, CFSTR("media type"), mediaTypeRef.get());
  if (!AddMediaVolTagProperties(i_mountDataP, io_mediaDictRef)) {
    LogMessage("%s: unable to add the media volume tag properties.\n", __func__);
    return false;
  }
  return true;
}

bool AddDeviceProperties(MountData* /*i_mountDataP*/, DeviceData* i_deviceDataP,
                         CFMutableDictionaryRef io_deviceDictRef, CFStringRef* o_deviceKeyRefP) {
  if (o_deviceKeyRefP != nullptr) *o_deviceKeyRefP = nullptr;
  CFRef<CFStringRef> nameRef(CreateUTF8String(i_deviceDataP->m_deviceNameP));
  if (!nameRef) {
    LogMessage("%s: unable to allocate CFStringRef for 8-bit device name.\n", __func__);
    return false;
  }
  CFRef<CFNumberRef> deviceRef(CreateSInt16Number(i_deviceDataP->m_device));
  if (!deviceRef) {
    LogMessage("%s: unable to allocate NumberRef for device.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_deviceDictRef, CFSTR("partition name"), nameRef.get());
  CFDictionarySetValue(io_deviceDictRef, CFSTR("partition number"), deviceRef.get());
  if (o_deviceKeyRefP != nullptr) {
    *o_deviceKeyRefP = CreateUTF8String(i_deviceDataP->m_deviceMountPointNameP);
    if (*o_deviceKeyRefP == nullptr) {
      LogMessage("%s: unable to create a CFString for the device file name.\n", __func__);
      return false;
    }
  }
  return true;
}

bool BuildMediaPropertyList(MountData* i_mountDataP, CFMutableDictionaryRef* o_mediaDictRefP) {
  *o_mediaDictRefP = nullptr;
  CFRef<CFMutableDictionaryRef> mediaDictRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!mediaDictRef) {
    LogMessage("%s: unable to create the property dictionary for the media property list.\n", __func__);
    return false;
  }
  if (!AddMediaProperties(i_mountDataP, mediaDictRef.get())) {
    LogMessage("%s: unable to add media properties to the properties dictionary.\n", __func__);
    return false;
  }
  CFRef<CFMutableDictionaryRef> partitionsRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!partitionsRef) {
    LogMessage("%s: unable to create empty dictionary of devices.\n", __func__);
    return false;
  }
  for (DeviceData* deviceDataP = i_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
       deviceDataP = deviceDataP->m_nextP) {
    if (!ShouldRecordInfoAboutDevice(i_mountDataP, deviceDataP)) continue;
    CFRef<CFMutableDictionaryRef> deviceDictRef(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!deviceDictRef) {
      LogMessage("%s: unable to create the property dictionary for the device.\n", __func__);
      return false;
    }
    CFRef<CFStringRef> keyRef;
    if (!AddDeviceProperties(i_mountDataP, deviceDataP, deviceDictRef.get(), keyRef.out())) {
      LogMessage("%s: unable to add device properties to the properties dictionary.\n", __func__);
      return false;
    }
    CFDictionarySetValue(partitionsRef.get(), keyRef.get(), deviceDictRef.get());
  }
  CFDictionarySetValue(mediaDictRef.get(), CFSTR("partitions"), partitionsRef.get());
  *o_mediaDictRefP = mediaDictRef.release();
  return true;
}

bool CreateMediaInfoFiles(MountData* i_mountDataP) {
  if (!CreateMediaDeviceInfoFiles(i_mountDataP)) LogMessage("%s: unable to create media device files.\n", __func__);
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!BuildMediaPropertyList(i_mountDataP, mediaDictRef.out())) {
    LogMessage("%s: unable to build media property list.\n", __func__);
    return false;
  }
  if (!WriteMediaInfoFile(&i_mountDataP->m_changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem,
                          mediaDictRef.get())) {
    LogMessage("%s: unable to create media info files.\n", __func__);
    return false;
  }
  return true;
}

bool SaveMediaInfoForMount(MountData* i_mountDataP) {
  if (CheckForExistingMediaFiles(i_mountDataP)) return true;
  if (!HandleMediaVolTags(i_mountDataP)) {
    LogMessage("%s: unable to handle the media volume tags.\n", __func__);
    return false;
  }
  if (!CreateMediaInfoFiles(i_mountDataP)) {
    LogMessage("%s: unable to create media info file.\n", __func__);
    return false;
  }
  if (!UpdateMountInfoArr(i_mountDataP->m_changerDataP, i_mountDataP->m_storageElem)) {
    LogMessage("%s: unable to update the media information array.\n", __func__);
    return false;
  }
  return true;
}

// ================================================================ media info files: item info

bool ConvertMediaFilePropertyListToItemInfoDict(CFDictionaryRef i_mediaDictRef, CFMutableDictionaryRef* o_itemInfoRefP) {
  *o_itemInfoRefP = nullptr;
  CFRef<CFMutableDictionaryRef> itemInfoRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!itemInfoRef) {
    LogMessage("%s: unable to create the property dictionary for the item information.\n", __func__);
    return false;
  }
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_mediaInStorageElemProp), kCFBooleanTrue);
  const struct {
    CFStringRef m_fileKeyRef;
    CFStringRef m_itemKeyRef;
    LogText<"s"> m_missingText;
  } k_keys[] = {
      {CFSTR("primary volume tag"), CFSTR(k_primaryVolTagProp),
       "%s: unable to get the primary volume tag from the media info file.\n"},
      {CFSTR("alternate volume tag"), CFSTR(k_alternateVolTagProp),
       "%s: unable to get the alternate volume tag from the media info file.\n"},
      {CFSTR("primary volume sequence number"), CFSTR(k_primaryVolSeqProp),
       "%s: unable to get the primary volume sequence from the media info file.\n"},
      {CFSTR("alternate volume sequence number"), CFSTR(k_alternateVolSeqProp),
       "%s: unable to get the alternate volume sequence from the media info file.\n"},
  };
  for (const auto& key : k_keys) {
    const void* valueRef = CFDictionaryGetValue(i_mediaDictRef, key.m_fileKeyRef);
    if (valueRef == nullptr) {
      LogMessage(key.m_missingText, __func__);
      return false;
    }
    CFDictionarySetValue(itemInfoRef.get(), key.m_itemKeyRef, valueRef);
  }
  *o_itemInfoRefP = itemInfoRef.release();
  return true;
}

// Keeps a damaged record for inspection under another name, so that the slot reads as unknown
// and is identified again.
static void SetDamagedMediaInfoFileAside(const FSRef* i_mediaDirRefP, UInt16 i_storageElem) {
  char dirPath[k_posixPathSize];
  if (FSRefMakePath(i_mediaDirRefP, reinterpret_cast<UInt8*>(dirPath), sizeof dirPath) != noErr) {
    LogMessage("%s: unable to get the path of the media directory.\n", __func__);
    return;
  }
  char path[k_posixPathSize + 32];
  char damagedPath[k_posixPathSize + 32];
  snprintf(path, sizeof path, "%s/%05u.plist", dirPath, static_cast<unsigned>(i_storageElem));
  snprintf(damagedPath, sizeof damagedPath, "%s/%05u.plist.damaged", dirPath, static_cast<unsigned>(i_storageElem));
  if (bsd::rename(path, damagedPath) != 0) {
    LogMessage("%s: unable to set aside the media info file of storage element %d (err = %ld).\n", __func__,
               i_storageElem, static_cast<long>(errno));
    return;
  }
  LogMessage("%s: set aside the damaged media info file of storage element %d as \"%05u.plist.damaged\".\n",
             __func__, i_storageElem, static_cast<unsigned>(i_storageElem));
}

bool GetMediaInfo(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFMutableDictionaryRef* o_itemInfoRefP) {
  *o_itemInfoRefP = nullptr;
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(i_mediaDirRefP, i_storageElem, mediaDictRef.out())) {
    // An unreadable record counts as none: the slot is identified again.
    LogMessage("%s: unable to read media info file.\n", __func__);
    SetDamagedMediaInfoFileAside(i_mediaDirRefP, i_storageElem);
    return true;
  }
  if (!mediaDictRef) return true;
  if (!ConvertMediaFilePropertyListToItemInfoDict(mediaDictRef.get(), o_itemInfoRefP)) {
    LogMessage("%s: unable to convert the CFPropertyList to a item information dictionary.\n", __func__);
    SetDamagedMediaInfoFileAside(i_mediaDirRefP, i_storageElem);
    return true;
  }
  return true;
}

bool MakeEmptyMediaInfo(CFMutableDictionaryRef* o_itemInfoRefP) {
  *o_itemInfoRefP = nullptr;
  CFRef<CFMutableDictionaryRef> itemInfoRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!itemInfoRef) {
    LogMessage("%s: unable to create the property dictionary for the empty element item information.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> emptyRef(CreateUTF8String(""));
  if (!emptyRef) {
    LogMessage("%s: unable to allocate a CFString for the empty string.\n", __func__);
    return false;
  }
  CFRef<CFNumberRef> zeroRef(CreateSInt16Number(0));
  if (!zeroRef) {
    LogMessage("%s: unable to allocate a CFNumber for the zero value.\n", __func__);
    return false;
  }
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_mediaInStorageElemProp), kCFBooleanFalse);
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_primaryVolTagProp), emptyRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_alternateVolTagProp), emptyRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_primaryVolSeqProp), zeroRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR(k_alternateVolSeqProp), zeroRef.get());
  *o_itemInfoRefP = itemInfoRef.release();
  return true;
}

// Puts the newly built array in place of the old one.
static void InstallMediaInfoArray(ChangerData* i_changerDataP, CFMutableArrayRef i_mediaInfoArr) {
  CFMutableArrayRef oldArr = nullptr;
  {
    platform::MutexLock lock(g_mediaInfoArrMutex);
    oldArr = i_changerDataP->m_mediaInfoArr;
    i_changerDataP->m_mediaInfoArr = i_mediaInfoArr;
  }
  if (oldArr != nullptr) CFRelease(oldArr);
}

bool BuildMediaInfoArray(ChangerData* i_changerDataP) {
  UInt16 storageElemCount = i_changerDataP->m_changerStorageElemCount;
  CFMutableArrayRef mediaInfoArr = CFArrayCreateMutable(kCFAllocatorDefault, storageElemCount, &kCFTypeArrayCallBacks);
  InstallMediaInfoArray(i_changerDataP, mediaInfoArr);
  if (mediaInfoArr == nullptr) {
    LogMessage("%s: unable to create empty array of media info records.\n", __func__);
    return false;
  }
  // Entries are read outside the lock and appended one at a time, so that a failure part-way
  // keeps those before it.
  for (UInt16 storageElem = 0; storageElem < storageElemCount; ++storageElem) {
    CFRef<CFMutableDictionaryRef> itemInfoRef;
    if (!GetMediaInfo(&i_changerDataP->m_changerMediaDir, storageElem, itemInfoRef.out())) {
      LogMessage("%s: unable to read in the contents of the media info file for storage element number %d.\n",
                 __func__, storageElem);
      return false;
    }
    if (!itemInfoRef && !MakeEmptyMediaInfo(itemInfoRef.out())) {
      LogMessage("%s: unable to make an empty media info.\n", __func__);
      return false;
    }
    platform::MutexLock lock(g_mediaInfoArrMutex);
    CFArrayAppendValue(mediaInfoArr, itemInfoRef.get());
  }
  return true;
}

bool HasWholeMediaInfoArray(ChangerData* i_changerDataP) {
  platform::MutexLock lock(g_mediaInfoArrMutex);
  CFArrayRef mediaInfoArr = i_changerDataP->m_mediaInfoArr;
  return mediaInfoArr != nullptr && CFArrayGetCount(mediaInfoArr) >= i_changerDataP->m_changerStorageElemCount;
}

bool UpdateMountInfoArr(ChangerData* i_changerDataP, UInt16 i_storageElem) {
  bool haveProperty = false;
  CFRef<CFDictionaryRef> entryRef(CopyStorageElemInfoEntry(i_changerDataP, i_storageElem, &haveProperty));
  if (!haveProperty) {
    LogMessage("%s: unable to get the media info array from the robotics service.\n", __func__);
    return false;
  }
  if (!entryRef) {
    LogMessage("%s: unable to get media info array element %d.\n", __func__, i_storageElem);
    return false;
  }
  platform::MutexLock lock(g_mediaInfoArrMutex);
  CFMutableArrayRef mediaInfoArr = i_changerDataP->m_mediaInfoArr;
  // An array left short by a failed build has no place for this slot yet.
  if (mediaInfoArr == nullptr || i_storageElem >= CFArrayGetCount(mediaInfoArr)) {
    LogMessage("%s: media info array holds no entry for storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  CFArraySetValueAtIndex(mediaInfoArr, i_storageElem, entryRef.get());
  return true;
}

// ================================================================ media info files: counting and removal

bool CountEmptyStorageElements(ChangerData* i_changerDataP) {
  CFRef<CFTypeRef> loadedRef(CopyRoboticsProperty(i_changerDataP, CFSTR(k_loadedStorageElemCountProp)));
  if (!loadedRef) {
    LogMessage("%s: unable to get the count of loaded storage elements from the robotics service.\n", __func__);
    return true;
  }
  UInt16 loadedCount = 0;
  UInt16 storageElemCount = i_changerDataP->m_changerStorageElemCount;
  // More discs than slots is no count at all: the difference would wrap.
  if (!GetDriverUInt16(loadedRef.get(), &loadedCount) || loadedCount > storageElemCount) {
    LogMessage("%s: unable to get the count of loaded storage elements.\n", __func__);
    return true;
  }
  i_changerDataP->m_changerEmptyStorageElemCount = static_cast<UInt16>(storageElemCount - loadedCount);
  return true;
}

bool RemoveFileByRef(const char* i_functionP, const FSRef* i_fileRefP) {
  CFRef<CFURLRef> urlRef(CFURLCreateFromFSRef(kCFAllocatorDefault, i_fileRefP));
  if (!urlRef) {
    LogMessage("%s: unable to convert the device file FSRef to a CFURLRef.\n", i_functionP);
    return false;
  }
  char path[k_fileSystemPathSize];
  if (!CFURLGetFileSystemRepresentation(urlRef.get(), true, reinterpret_cast<UInt8*>(path), sizeof path)) {
    LogMessage("%s: unable to get the file system representation for the device file CFURL.\n", i_functionP);
    return false;
  }
  if (bsd::remove(path) != 0) {
    LogMessage("%s: unable to remove( \"%s\" ) (err = %ld).\n", i_functionP, path, static_cast<long>(errno));
    return false;
  }
  return true;
}

bool DeleteMediaFiles(ChangerData* i_changerDataP, UInt16 i_storageElem) {
  FSRef fileRef;
  if (GetFSRefForMediaFile(&i_changerDataP->m_changerMediaDir, i_storageElem, &fileRef) &&
      !RemoveFileByRef(__func__, &fileRef))
    return false;
  if (!DeleteDeviceFiles(i_changerDataP, i_storageElem)) {
    LogMessage("%s: unable to delete device files for storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  return true;
}

bool RemoveOldMediaInfoFiles(ChangerData* i_changerDataP) {
  const struct {
    CFArrayRef m_probeArr;
    LogText<"s d"> m_missingText;
  } k_probeArrays[] = {
      {i_changerDataP->m_storageElemsToActiveProbeArr,
       "%s: unable to get CFNumber stored at index %d of active probe array.\n"},
      {i_changerDataP->m_storageElemsToPassiveProbeArr, "%s: unable to get CFNumber stored at index %d.\n"},
  };
  for (const auto& probe : k_probeArrays) {
    CFIndex count = probe.m_probeArr != nullptr ? CFArrayGetCount(probe.m_probeArr) : 0;
    for (CFIndex i = 0; i < count; ++i) {
      CFTypeRef storageElemRef = CFArrayGetValueAtIndex(probe.m_probeArr, i);
      if (storageElemRef == nullptr) {
        LogMessage(probe.m_missingText, __func__, static_cast<int>(i));
        return false;
      }
      UInt16 storageElem = 0;
      if (!GetDriverUInt16(storageElemRef, &storageElem)) {
        LogMessage("%s: unable to get the value of the CFNumber stored at index %d.\n", __func__, static_cast<int>(i));
        return false;
      }
      // The slots after a failing one are left for the next scan.
      if (!DeleteMediaFiles(i_changerDataP, storageElem)) return true;
    }
  }
  return true;
}

