// The device mount-point files in a changer's "Root" folder and their names.
#include "ChangerInfoFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ChangerStore.h"
#include "LogMessage.h"
#include "platform/BSD.h"

static const size_t k_maxDeviceBaseNameLen = 225;
static const UInt16 k_maxDeviceFileSuffix = 9999;  // keeps every name within 255 UTF-16 units

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

// ================================================================ device mount-point files

bool ShouldRecordInfoAboutDevice(MountData* i_mountDataP, DeviceData* i_deviceDataP) {
  return i_deviceDataP->m_isIdentifiedDevice ||
         (!i_mountDataP->m_hasAnIdentifiedDevice && i_deviceDataP == i_mountDataP->m_firstDeviceP);
}

bool ShouldCreateDeviceMountPointFile(DeviceData* i_deviceDataP) { return i_deviceDataP->m_isIdentifiedDevice; }

bool CheckForNameCollision(const HFSUniStr255* i_entryNameP, const char* i_candidateP, bool* o_collidesP) {
  *o_collidesP = false;
  CFRef<CFStringRef> entryNameRef(CreateStringFromHFSName(i_entryNameP));
  if (!entryNameRef) {
    LogMessage("%s: unable to create a CFString from the device file name.\n", __func__);
    return false;
  }
  char* entryNameP = AllocCStringFromCFString(entryNameRef.get(), kCFStringEncodingUTF8);
  if (entryNameP == nullptr) {
    LogMessage("%s: unable to get UTF-8 encoded string from device file name string.\n", __func__);
    return false;
  }
  *o_collidesP = DisplayNamesCollide(entryNameP, i_candidateP);
  free(entryNameP);
  return true;
}

bool CheckForNameCollisionInDevicesDir(MountData* i_mountDataP, const char* i_candidateP, bool* o_collidesP) {
  *o_collidesP = false;
  const char* const functionP = __func__;
  static const DirectoryWalk k_walk = {
      __func__, "%s: unable to open iterator to changer devices directory (err = %ld).\n", false, true};
  WalkStep result = WalkDirectory(k_walk, &i_mountDataP->m_changerDataP->m_changerDevicesDir,
                                  [&](const FSRef&, const HFSUniStr255& i_name) {
                                    bool collides = false;
                                    if (!CheckForNameCollision(&i_name, i_candidateP, &collides)) {
                                      LogMessage("%s: unable to check for a name collision.\n", functionP);
                                      return WalkStep::k_fail;
                                    }
                                    return collides ? WalkStep::k_stop : WalkStep::k_next;
                                  });
  *o_collidesP = result == WalkStep::k_stop;
  return result != WalkStep::k_fail;
}

bool FindUnusedDeviceMountPointSuffix(MountData* i_mountDataP, const char* i_baseNameP, const char* i_oldDisplayNameP,
                                      UInt16* o_suffixP) {
  *o_suffixP = 0;
  size_t candidateSize = strlen(i_baseNameP) + 7;
  char* candidateP = static_cast<char*>(malloc(candidateSize));
  if (candidateP == nullptr) {
    LogMessage("%s: unable to allocate storage for the candidate name.\n", __func__);
    return false;
  }
  for (UInt16 suffix = 1; suffix <= k_maxDeviceFileSuffix; ++suffix) {
    if (suffix == 1) snprintf(candidateP, candidateSize, "%s", i_baseNameP);
    else snprintf(candidateP, candidateSize, "%s %u", i_baseNameP, static_cast<unsigned>(suffix));
    // Compared as it will be written, so that "A:B" meets the "A/B" files it produces.
    for (char* p = candidateP; *p != '\0'; ++p)
      if (*p == ':') *p = '/';
    bool collides = false;
    if (i_oldDisplayNameP == nullptr || strcmp(candidateP, i_oldDisplayNameP) != 0) {
      if (!CheckForNameCollisionInDevicesDir(i_mountDataP, candidateP, &collides)) {
        LogMessage("%s: unable to check for name collisions for \"%s\".\n", __func__, candidateP);
        free(candidateP);
        return false;
      }
    }
    if (!collides) {
      *o_suffixP = suffix;
      free(candidateP);
      return true;
    }
  }
  LogMessage("%s: no unused suffix is left for \"%s\".\n", __func__, i_baseNameP);
  free(candidateP);
  return false;
}

bool GetDeviceFileName(MountData* i_mountDataP, DeviceData* i_deviceDataP, const char* i_oldDeviceFileNameP,
                       char** o_deviceFileNameP) {
  *o_deviceFileNameP = nullptr;
  char* oldDisplayNameP = nullptr;
  if (i_oldDeviceFileNameP != nullptr) {
    oldDisplayNameP = strdup(i_oldDeviceFileNameP);
    if (oldDisplayNameP == nullptr) {
      LogMessage("%s: unable to allocate storage for the truncated old device file name.\n", __func__);
      return false;
    }
    char* separatorP = strchr(oldDisplayNameP, k_deviceFileSeparator);
    if (separatorP == nullptr) {
      LogMessage("%s: unable to locate the device name separator character.\n", __func__);
      free(oldDisplayNameP);
      return false;
    }
    *separatorP = '\0';
  }
  const char* fullBaseNameP = (i_deviceDataP->m_device == 0 && i_mountDataP->m_SH9PrimaryVolTagP != nullptr)
                                  ? i_mountDataP->m_SH9PrimaryVolTagP
                                  : (i_deviceDataP->m_deviceNameP != nullptr ? i_deviceDataP->m_deviceNameP : "");
  size_t baseNameLen = DeviceBaseNameLength(fullBaseNameP);
  char* baseNameP = strndup(fullBaseNameP, baseNameLen);
  if (baseNameP == nullptr) {
    LogMessage("%s: unable to allocate a string to hold the device file name.\n", __func__);
    free(oldDisplayNameP);
    return false;
  }
  UInt16 suffix = 0;
  bool found = FindUnusedDeviceMountPointSuffix(i_mountDataP, baseNameP, oldDisplayNameP, &suffix);
  free(oldDisplayNameP);
  if (!found) {
    LogMessage("%s: unable to find unused device mount point suffix.\n", __func__);
    free(baseNameP);
    return false;
  }
  bool formatted = FormatDeviceFileName(baseNameP, baseNameLen, suffix, i_mountDataP->m_changerDataP->m_changerGUID,
                                        i_mountDataP->m_storageElem, i_deviceDataP->m_device, o_deviceFileNameP);
  free(baseNameP);
  if (!formatted) {
    LogMessage("%s: unable to allocate a string to hold the device file name.\n", __func__);
    return false;
  }
  return true;
}

// So that members of the folder's group may manage it, as on the Mac; a failure is only logged.
static void GiveDeviceFileItsFolderGroup(const FSRef* i_devicesDirRefP, const FSRef* i_fileRefP) {
  char dirPath[k_posixPathSize];
  char filePath[k_posixPathSize];
  if (FSRefMakePath(i_devicesDirRefP, reinterpret_cast<UInt8*>(dirPath), sizeof dirPath) != noErr ||
      FSRefMakePath(i_fileRefP, reinterpret_cast<UInt8*>(filePath), sizeof filePath) != noErr) {
    LogMessage("%s: unable to get the path of the device file.\n", __func__);
    return;
  }
  int dirFd = bsd::open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int fileFd = OpenRegularFile(filePath);
  if (dirFd < 0 || fileFd < 0)
    LogMessage("%s: unable to open the device file (err = %ld).\n", __func__, static_cast<long>(errno));
  else
    (void)GiveFileItsFolderGroup(__func__, fileFd, dirFd);  // logged; nothing else to undo
  if (dirFd >= 0) close(dirFd);
  if (fileFd >= 0) close(fileFd);
}

bool CreateDeviceMountPointFile(const FSRef* i_devicesDirRefP, CFStringRef i_nameRef) {
  HFSUniStr255 name;
  FSRef fileRef;
  OSErr err = MakeHFSName(i_nameRef, &name)
                  ? FSCreateFileUnicode(i_devicesDirRefP, name.length, name.unicode, kFSCatInfoNone, nullptr,
                                        &fileRef, nullptr)
                  : static_cast<OSErr>(errFSNameTooLong);
  if (err != noErr) {
    LogMessage("%s: unable to create device mount point file (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  FSCatalogInfo catalogInfo;
  err = FSGetCatalogInfo(&fileRef, kFSCatInfoPermissions, &catalogInfo, nullptr, nullptr, nullptr);
  if (err != noErr) {
    LogMessage("%s: unable to get permissions of device file (err = %d).\n", __func__, err);
    return false;
  }
  catalogInfo.permissions.mode |= 0111;
  err = FSSetCatalogInfo(&fileRef, kFSCatInfoPermissions, &catalogInfo);
  if (err != noErr) {
    LogMessage("%s: unable to set permissions of device file (err = %d).\n", __func__, err);
    return false;
  }
  GiveDeviceFileItsFolderGroup(i_devicesDirRefP, &fileRef);
  return true;
}

bool CreateMediaDeviceInfoFiles(MountData* i_mountDataP) {
  for (DeviceData* deviceDataP = i_mountDataP->m_firstDeviceP; deviceDataP != nullptr;
       deviceDataP = deviceDataP->m_nextP) {
    if (!ShouldRecordInfoAboutDevice(i_mountDataP, deviceDataP)) continue;
    char* fileNameP = nullptr;
    if (!GetDeviceFileName(i_mountDataP, deviceDataP, nullptr, &fileNameP)) {
      LogMessage("%s: unable to get device file name.\n", __func__);
      return false;
    }
    free(deviceDataP->m_deviceMountPointNameP);
    deviceDataP->m_deviceMountPointNameP = fileNameP;
    if (!ShouldCreateDeviceMountPointFile(deviceDataP)) continue;
    CFRef<CFStringRef> nameRef(CreateUTF8String(fileNameP));
    if (!nameRef) {
      LogMessage("%s: unable to create a CFString from the device mount point name \"%s\".\n", __func__, fileNameP);
      return false;
    }
    if (!CreateDeviceMountPointFile(&i_mountDataP->m_changerDataP->m_changerDevicesDir, nameRef.get())) {
      LogMessage("%s: unable to create device mount point file \"%s\"\n", __func__, fileNameP);
      return false;
    }
  }
  return true;
}

bool IterateDirectoryForFile(const FSRef* i_dirRefP, CFStringRef i_nameRef, FSRef* o_fileRefP) {
  // A sub-folder that cannot be read is passed over: the file may still be found elsewhere.
  static const DirectoryWalk k_walk = {"IterateDirectoryForFile",
                                       "%s: unable to open iterator to directory (err = %ld).\n", true, false};
  return WalkDirectory(k_walk, i_dirRefP, [&](const FSRef& i_ref, const HFSUniStr255& i_name) {
           CFRef<CFStringRef> entryNameRef(CreateStringFromHFSName(&i_name));
           if (!entryNameRef) {
             LogMessage("%s: unable to create a CFString from the Unicode file name.\n", "IterateDirectoryForFile");
             return WalkStep::k_fail;
           }
           if (CFStringCompare(entryNameRef.get(), i_nameRef, kCFCompareCaseInsensitive) != kCFCompareEqualTo)
             return WalkStep::k_next;
           *o_fileRefP = i_ref;
           return WalkStep::k_stop;
         }) == WalkStep::k_stop;
}

bool GetFSRefForDeviceFile(const FSRef* i_devicesDirRefP, const char* i_deviceFileNameP, FSRef* o_fileRefP) {
  CFRef<CFStringRef> nameRef(CreateUTF8String(i_deviceFileNameP));
  if (!nameRef) {
    LogMessage("%s: unable to create CFString for the device file name string \"%s\".\n", __func__,
               i_deviceFileNameP != nullptr ? i_deviceFileNameP : "");
    return false;
  }
  return IterateDirectoryForFile(i_devicesDirRefP, nameRef.get(), o_fileRefP);
}

bool RenameDeviceMountPointFile(ChangerData* i_changerDataP, DeviceData* i_deviceDataP, const char* i_oldNameP,
                                const char* i_newNameP) {
  CFRef<CFStringRef> newNameRef(CreateUTF8String(i_newNameP));
  HFSUniStr255 newName;
  if (!newNameRef || !MakeHFSName(newNameRef.get(), &newName)) {
    LogMessage("%s: unable to create CFString for the new device file name \"%s\".\n", __func__,
               i_newNameP != nullptr ? i_newNameP : "");
    return false;
  }
  FSRef fileRef;
  if (!GetFSRefForDeviceFile(&i_changerDataP->m_changerDevicesDir, i_oldNameP, &fileRef)) {
    // The changer volume always gets a file under the new name.
    if (!CreateDeviceMountPointFile(&i_changerDataP->m_changerDevicesDir, newNameRef.get())) {
      LogMessage("%s: unable to create device mount point file \"%s\".\n", __func__, i_newNameP);
      return false;
    }
    return true;
  }
  OSErr err = FSRenameUnicode(&fileRef, newName.length, newName.unicode, kTextEncodingUnicodeDefault, nullptr);
  if (err != noErr) {
    LogMessage("%s: unable to rename the device mount point file to %s (err = %ld).\n", __func__, i_newNameP,
               static_cast<long>(err));
    return false;
  }
  if (i_deviceDataP != nullptr && i_deviceDataP->m_finishedState == deviceFinishedStateIsFinished &&
      g_updateChangerFileSystemDeviceFileNameP != nullptr &&
      !g_updateChangerFileSystemDeviceFileNameP(i_changerDataP, i_oldNameP, i_newNameP)) {
    LogMessage("%s: unable to update the changer file system device file name.\n", __func__);
    return false;
  }
  return true;
}

// The "partitions" dictionary of a media info file, or null.
static CFMutableDictionaryRef GetPartitionsDict(CFMutableDictionaryRef i_mediaDictRef) {
  CFTypeRef partitionsRef = CFDictionaryGetValue(i_mediaDictRef, CFSTR("partitions"));
  return IsDictionary(partitionsRef) ? static_cast<CFMutableDictionaryRef>(const_cast<void*>(partitionsRef))
                                     : nullptr;
}

bool SetDeviceMountPointName(DeviceData* i_deviceDataP, const char* i_oldNameP, const char* i_newNameP,
                             bool i_shouldRenameFile) {
  CFRef<CFStringRef> oldNameRef(CreateUTF8String(i_oldNameP));
  if (!oldNameRef) {
    LogMessage("%s: unable to create CFStringRef for old device name.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> newNameRef(CreateUTF8String(i_newNameP));
  if (!newNameRef) {
    LogMessage("%s: unable to create CFStringRef for new device name.\n", __func__);
    return false;
  }
  UInt64 changerGUID = 0;
  UInt16 storageElem = 0, device = 0;
  if (!GetDeviceInfoFromName(i_oldNameP, &changerGUID, &storageElem, &device)) {
    LogMessage("%s: unable to get device info from the file name.\n", __func__);
    return false;
  }
  ChangerData* changerDataP = nullptr;
  if (!GetChangerData(changerGUID, &changerDataP)) {
    LogMessage("%s: unable to get data about changer %llX.\n", __func__, static_cast<unsigned long long>(changerGUID));
    return false;
  }
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(&changerDataP->m_changerMediaDir, storageElem, mediaDictRef.out()) || !mediaDictRef) {
    LogMessage("%s: unable to read in media info file.\n", __func__);
    return false;
  }
  CFMutableDictionaryRef partitionsRef = GetPartitionsDict(mediaDictRef.get());
  if (partitionsRef == nullptr) {
    LogMessage("%s: unable to get devices dictionary from the media info dictionary.\n", __func__);
    return false;
  }
  CFRef<CFTypeRef> deviceDictRef(CFRef<CFTypeRef>::Retain(CFDictionaryGetValue(partitionsRef, oldNameRef.get())));
  if (!deviceDictRef) {
    LogMessage("%s: unable to get device info dictionary from the device list dictionary.\n", __func__);
    return false;
  }
  CFDictionaryRemoveValue(partitionsRef, oldNameRef.get());
  CFDictionarySetValue(partitionsRef, newNameRef.get(), deviceDictRef.get());
  if (!ReplaceMediaInfoFile(__func__, &changerDataP->m_changerMediaDir, storageElem, mediaDictRef.get(),
                            "%s: unable to get the FSRef for the media info file.\n"))
    return false;
  if (i_shouldRenameFile && !RenameDeviceMountPointFile(changerDataP, i_deviceDataP, i_oldNameP, i_newNameP)) {
    LogMessage("%s: unable to rename the device mount point file.\n", __func__);
    return false;
  }
  return true;
}

bool SetDevicePartitionName(MountData* i_mountDataP, DeviceData* i_deviceDataP, const char* /*i_partitionNameP*/) {
  CFRef<CFStringRef> keyRef(CreateUTF8String(i_deviceDataP->m_deviceMountPointNameP));
  if (!keyRef) {
    LogMessage("%s: unable to create a CFStringRef for the device mount point name.\n", __func__);
    return false;
  }
  ChangerData* changerDataP = i_mountDataP->m_changerDataP;
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(&changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem, mediaDictRef.out()) ||
      !mediaDictRef) {
    LogMessage("%s: unable to read in the media info file.\n", __func__);
    return false;
  }
  CFMutableDictionaryRef partitionsRef = GetPartitionsDict(mediaDictRef.get());
  if (partitionsRef == nullptr) {
    LogMessage("%s: unable to get the devices dictionary from the media info dictionary.\n", __func__);
    return false;
  }
  CFDictionaryRemoveValue(partitionsRef, keyRef.get());
  CFRef<CFMutableDictionaryRef> deviceDictRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!deviceDictRef) {
    LogMessage("%s: unable to create a new empty device info dictionary.\n", __func__);
    return false;
  }
  if (!AddDeviceProperties(i_mountDataP, i_deviceDataP, deviceDictRef.get(), nullptr)) {
    LogMessage("%s: unable to add the device properties to the device info dictionary.\n", __func__);
    return false;
  }
  CFDictionarySetValue(partitionsRef, keyRef.get(), deviceDictRef.get());
  return ReplaceMediaInfoFile(__func__, &changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem,
                              mediaDictRef.get(), "%s: unable to get the FSRef for the media info file.\n");
}

bool GetDeviceMountPointName(MountData* i_mountDataP, DeviceData* i_deviceDataP, char** o_deviceMountPointNameP) {
  *o_deviceMountPointNameP = nullptr;
  if (i_deviceDataP->m_deviceMountPointNameP != nullptr) {
    *o_deviceMountPointNameP = strdup(i_deviceDataP->m_deviceMountPointNameP);
    if (*o_deviceMountPointNameP == nullptr) {
      LogMessage("%s: unable to allocate storage to hold the device mount point name.\n", __func__);
      return false;
    }
    return true;
  }
  ChangerData* changerDataP = i_mountDataP->m_changerDataP;
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(&changerDataP->m_changerMediaDir, i_mountDataP->m_storageElem, mediaDictRef.out())) {
    LogMessage("%s: unable to read the media info file for the storage element %d.\n", __func__,
               i_mountDataP->m_storageElem);
    return false;
  }
  if (!mediaDictRef) {
    LogMessage("%s: unable to get the media file property list.\n", __func__);
    return false;
  }
  CFMutableDictionaryRef partitionsRef = GetPartitionsDict(mediaDictRef.get());
  if (partitionsRef == nullptr) {
    LogMessage("%s: unable to get the array of devices from the media info file.\n", __func__);
    return false;
  }
  CFIndex keyCount = CFDictionaryGetCount(partitionsRef);
  std::vector<const void*> keys(static_cast<size_t>(keyCount));
  CFDictionaryGetKeysAndValues(partitionsRef, keys.data(), nullptr);
  char* foundP = nullptr;
  for (const void* keyRef : keys) {
    char* keyP = IsString(keyRef) ? AllocCStringFromCFString(static_cast<CFStringRef>(keyRef), kCFStringEncodingUTF8)
                                  : nullptr;
    if (keyP == nullptr) {
      LogMessage("%s: unable to get the device's name as a UTF-8 encoded string.\n", __func__);
      free(foundP);
      return false;
    }
    UInt64 changerGUID = 0;
    UInt16 storageElem = 0, device = 0;
    if (!GetDeviceInfoFromName(keyP, &changerGUID, &storageElem, &device)) {
      LogMessage("%s: unable to get device information from the device name.\n", __func__);
      free(keyP);
      free(foundP);
      return false;
    }
    if (changerGUID != changerDataP->m_changerGUID || storageElem != i_mountDataP->m_storageElem) {
      LogMessage("%s: changer GUID or storage element number do not match!\n", __func__);
      free(keyP);
      free(foundP);
      return false;
    }
    if (device == i_deviceDataP->m_device) {
      free(foundP);
      foundP = keyP;
    } else {
      free(keyP);
    }
  }
  *o_deviceMountPointNameP = foundP;
  return foundP != nullptr;
}

bool DeleteDeviceFileIfNecessary(ChangerData* i_changerDataP, UInt16 i_storageElem, const FSRef* i_fileRefP,
                                 const HFSUniStr255* i_fileNameP) {
  CFRef<CFStringRef> nameRef(CreateStringFromHFSName(i_fileNameP));
  if (!nameRef) {
    LogMessage("%s: unable to make a CFString from the HFSUniStr255.\n", __func__);
    return false;
  }
  char* nameP = AllocCStringFromCFString(nameRef.get(), kCFStringEncodingUTF8);
  if (nameP == nullptr) {
    LogMessage("%s: unable to get a UTF-8 encoding string from the device file name string.\n", __func__);
    return false;
  }
  bool succeeded = true;
  UInt64 changerGUID = 0;
  UInt16 storageElem = 0, device = 0;
  if (!ValidateDeviceFileName(nameP)) {
    // Not a device file (".Trashes", a user's file): never touched.
  } else if (!GetDeviceInfoFromName(nameP, &changerGUID, &storageElem, &device)) {
    LogMessage("%s: unable to get device info from device file name.\n", __func__);
    succeeded = false;
  } else if (storageElem == i_storageElem) {
    CFRef<CFURLRef> urlRef(CFURLCreateFromFSRef(kCFAllocatorDefault, i_fileRefP));
    if (!urlRef) {
      // A host name that is not UTF-8 has no path here: passed over, so that the clean-up goes on.
      LogMessage("%s: skipping a device file of storage element %d whose name is not valid UTF-8.\n", __func__,
                 storageElem);
      free(nameP);
      return true;
    }
    if (g_notifyAndDeleteFSDeviceInfoByDeviceFileP != nullptr)
      g_notifyAndDeleteFSDeviceInfoByDeviceFileP(i_changerDataP, nameP, false);
    succeeded = RemoveFileByRef(__func__, i_fileRefP);
  }
  free(nameP);
  return succeeded;
}

bool DeleteDeviceFilesInDir(ChangerData* i_changerDataP, UInt16 i_storageElem, const FSRef* i_dirRefP) {
  static const DirectoryWalk k_walk = {"DeleteDeviceFilesInDir",
                                       "%s: unable to open iterator to directory (err = %ld).\n", true, true};
  return WalkDirectory(k_walk, i_dirRefP, [&](const FSRef& i_ref, const HFSUniStr255& i_name) {
           if (DeleteDeviceFileIfNecessary(i_changerDataP, i_storageElem, &i_ref, &i_name)) return WalkStep::k_next;
           LogMessage("%s: unable to delete a device file if necessary.\n", "DeleteDeviceFilesInDir");
           return WalkStep::k_fail;
         }) != WalkStep::k_fail;
}

bool DeleteDeviceFiles(ChangerData* i_changerDataP, UInt16 i_storageElem) {
  if (!DeleteDeviceFilesInDir(i_changerDataP, i_storageElem, &i_changerDataP->m_changerDevicesDir)) {
    LogMessage("%s: unable to delete the device files for storage element %d.\n", __func__, i_storageElem);
    return false;
  }
  return true;
}

bool RemoveOldDeviceFiles(ChangerData* i_changerDataP) {
  for (UInt16 storageElem = 0; storageElem < i_changerDataP->m_changerStorageElemCount; ++storageElem) {
    FSRef fileRef;
    if (GetFSRefForMediaFile(&i_changerDataP->m_changerMediaDir, storageElem, &fileRef)) continue;
    if (!DeleteDeviceFiles(i_changerDataP, storageElem)) {
      LogMessage("%s: unable to delete device files for storage element %d.\n", __func__, storageElem);
      return false;
    }
  }
  return true;
}
