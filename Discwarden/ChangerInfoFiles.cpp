// The changer folders under "Library/Changers" and each changer's "Info.plist".
#include "ChangerInfoFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CNIDTables.h"
#include "ChangerStore.h"
#include "LogMessage.h"
#include "platform/BSD.h"

// ================================================================ changer directory and Info.plist

// A descriptor of the folder at the path, never of a link's target; -1 otherwise.
[[nodiscard]] static int OpenRealDirectory(const char* i_pathP) {
  return bsd::open(i_pathP, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// Anything but a real folder at the path (a link above all) is removed, so that what the store
// then writes, deletes or gives away lands in a folder of its own. True when nothing is left
// there but a folder or nothing at all; o_removedP tells whether something went.
static bool RemoveAllButFolderAt(const char* i_functionP, const char* i_pathP, bool* o_removedP) {
  *o_removedP = false;
  struct stat status;
  if (bsd::lstat(i_pathP, &status) != 0 || S_ISDIR(status.st_mode)) return true;
  LogMessage("%s: replacing %s, which is not a directory.\n", i_functionP, i_pathP);
  if (bsd::unlink(i_pathP) != 0) {
    LogMessage("%s: error removing %s (err = %ld).\n", i_functionP, i_pathP, static_cast<long>(errno));
    return false;
  }
  *o_removedP = true;
  return true;
}

bool CreateNewChangerDirectory(const FSRef* i_parentDirRefP, CFStringRef i_nameRef, FSRef* o_dirRefP) {
  HFSUniStr255 name;
  if (!MakeHFSName(i_nameRef, &name)) {
    LogMessage("%s: unable to make an FSRef for folder (err = %ld).\n", __func__, static_cast<long>(errFSNameTooLong));
    return false;
  }
  OSErr err = FSMakeFSRefUnicode(i_parentDirRefP, name.length, name.unicode, kTextEncodingUnicodeDefault, o_dirRefP);
  if (err == noErr) {
    char existingPath[k_posixPathSize];
    OSStatus status = FSRefMakePath(o_dirRefP, reinterpret_cast<UInt8*>(existingPath), sizeof existingPath);
    if (status != noErr) {
      LogMessage("%s: unable to create path from ref (err = %ld).\n", __func__, static_cast<long>(status));
      return false;
    }
    bool removed = false;
    if (!RemoveAllButFolderAt(__func__, existingPath, &removed)) return false;
    if (!removed) return true;
    err = fnfErr;
  }
  if (err != fnfErr) {
    LogMessage("%s: unable to make an FSRef for folder (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  err = FSCreateDirectoryUnicode(i_parentDirRefP, name.length, name.unicode, kFSCatInfoNone, nullptr, o_dirRefP,
                                 nullptr, nullptr);
  if (err != noErr) {
    LogMessage("%s: unable to create folder (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  // The folder exists from here on; giving it to group admin is a courtesy that may fail.
  char path[k_posixPathSize];
  OSStatus status = FSRefMakePath(o_dirRefP, reinterpret_cast<UInt8*>(path), sizeof path);
  if (status != noErr) {
    LogMessage("%s: unable to create path from ref (err = %ld).\n", __func__, static_cast<long>(status));
    return true;
  }
  errno = 0;
  struct group* groupP = bsd::getgrnam("admin");
  if (groupP == nullptr) {
    LogMessage("%s: unable to find group id for group admin (err = %ld).\n", __func__, static_cast<long>(errno));
    return true;
  }
  gid_t adminGroup = groupP->gr_gid;
  // Through a descriptor of the folder itself: a link put at its name is never followed.
  int fd = OpenRealDirectory(path);
  if (fd < 0 || fchown(fd, static_cast<uid_t>(-1), adminGroup) != 0)
    LogMessage("%s: unable to set Changers directory to group %ld (err = %ld).\n", __func__,
               static_cast<long>(adminGroup), static_cast<long>(errno));
  if (fd >= 0) close(fd);
  return true;
}

bool LocateChangerRootDirectory(ChangerData* i_changerDataP) {
  FSRef libraryRef;
  OSErr err = FSFindFolder(kLocalDomain, kDomainLibraryFolderType, kCreateFolder, &libraryRef);
  if (err != noErr) {
    LogMessage("%s: unable to locate and/or create the library folder (err = %d).\n", __func__, err);
    return false;
  }
  FSRef changersRef;
  if (!CreateNewChangerDirectory(&libraryRef, CFSTR("Changers"), &changersRef)) {
    LogMessage("%s: unable to make an FSRef for \"%s\" directory.\n", __func__, "Changers");
    return false;
  }
  char guidText[17];
  snprintf(guidText, sizeof guidText, "%016llX", static_cast<unsigned long long>(i_changerDataP->m_changerGUID));
  CFRef<CFStringRef> guidRef(CFStringCreateWithCString(kCFAllocatorDefault, guidText, kCFStringEncodingASCII));
  if (!guidRef) {
    LogMessage("%s: unable to create a CFString from the string %s.\n", __func__, guidText);
    return false;
  }
  if (!CreateNewChangerDirectory(&changersRef, guidRef.get(), &i_changerDataP->m_changerDir)) {
    LogMessage("%s: unable to make an FSRef for the changer's \"%s\" directory.\n", __func__, guidText);
    return false;
  }
  return true;
}

bool LocateChangerMediaDirectory(ChangerData* i_changerDataP) {
  if (!CreateNewChangerDirectory(&i_changerDataP->m_changerDir, CFSTR("Discs"), &i_changerDataP->m_changerMediaDir)) {
    LogMessage("%s: unable to create changer \"%s\" directory.\n", __func__, "Discs");
    return false;
  }
  return true;
}

bool LocateChangerDevicesDirectory(ChangerData* i_changerDataP) {
  if (!CreateNewChangerDirectory(&i_changerDataP->m_changerDir, CFSTR("Root"), &i_changerDataP->m_changerDevicesDir)) {
    LogMessage("%s: unable to create changer \"%s\" directory.\n", __func__, "Root");
    return false;
  }
  return true;
}

bool CheckChangerDevicesTrashDirectory(ChangerData* i_changerDataP) {
  char path[k_posixPathSize];
  OSStatus status = FSRefMakePath(&i_changerDataP->m_changerDevicesDir, reinterpret_cast<UInt8*>(path), sizeof path);
  if (status == noErr && strlen(path) + strlen("/.Trashes") >= sizeof path) status = errFSNameTooLong;
  if (status != noErr) {
    LogMessage("%s: error creating path for media directory. (err == %ld)\n", __func__, static_cast<long>(status));
    return false;
  }
  strcat(path, "/.Trashes");
  // The owner and mode below must land on the trash itself.
  bool removed = false;
  if (!RemoveAllButFolderAt(__func__, path, &removed)) return false;
  if (bsd::mkdir(path, 0) != 0 && errno != EEXIST) {
    LogMessage("%s: error making %s directory (err = %ld).\n", __func__, path, static_cast<long>(errno));
    return false;
  }
  int fd = OpenRealDirectory(path);
  if (fd < 0) {
    LogMessage("%s: error setting owner of %s directory (err = %ld).\n", __func__, path, static_cast<long>(errno));
    return false;
  }
  // Owner and mode are both applied even when the other fails, so that nobody can use the
  // changer volume's trash.
  bool succeeded = true;
  if (fchown(fd, 0, 0) != 0) {
    LogMessage("%s: error setting owner of %s directory (err = %ld).\n", __func__, path, static_cast<long>(errno));
    succeeded = false;
  }
  if (fchmod(fd, 0) != 0) {
    LogMessage("%s: error setting permissions of %s directory (err = %ld).\n", __func__, path,
               static_cast<long>(errno));
    succeeded = false;
  }
  close(fd);
  return succeeded;
}

bool LocateChangerInfoFiles(ChangerData* i_changerDataP) {
  if (!LocateChangerRootDirectory(i_changerDataP)) {
    LogMessage("%s: unable to locate changer root directory.\n", __func__);
    return false;
  }
  if (!LocateChangerMediaDirectory(i_changerDataP)) {
    LogMessage("%s: unable to locate changer media directory.\n", __func__);
    return false;
  }
  if (!LocateChangerDevicesDirectory(i_changerDataP)) {
    LogMessage("%s: unable to locate changer devices directory.\n", __func__);
    return false;
  }
  // What a crash left half-written is of no use to anyone.
  bool removedStale = RemoveStaleAsideFiles(__func__, &i_changerDataP->m_changerDir);
  removedStale = RemoveStaleAsideFiles(__func__, &i_changerDataP->m_changerMediaDir) && removedStale;
  if (!removedStale)
    LogMessage("%s: unable to remove the stale files of the changer folders.\n", __func__);
  if (!CheckChangerDevicesTrashDirectory(i_changerDataP))
    LogMessage("%s: unable to set permissions on trash directory.\n", __func__);
  if (!LoadPersistantChangerInfo(i_changerDataP)) {
    LogMessage("%s: unable to read in persistant changer data.\n", __func__);
    return false;
  }
  (void)CountEmptyStorageElements(i_changerDataP);  // logs its own failure; the count stays as it was
  if (i_changerDataP->m_CNIDTableP == nullptr && !InitializeCNIDTable(i_changerDataP)) {
    LogMessage("%s: unable to setup CNID table mapping.\n", __func__);
    return false;
  }
  return true;
}

static const char* const k_changerInfoFileName = "Info.plist";

bool GetFSRefForChangerInfoFile(const FSRef* i_changerDirRefP, bool i_shouldCreate, FSRef* o_fileRefP) {
  OSErr err = MakeFSRefForName(i_changerDirRefP, CFSTR("Info.plist"), o_fileRefP);
  if (err == noErr) return true;
  if (err == fnfErr) {
    if (!i_shouldCreate) return false;
    HFSUniStr255 name;
    if (!MakeHFSName(CFSTR("Info.plist"), &name)) {
      LogMessage("%s: unable to make the name \"%s\".\n", __func__, k_changerInfoFileName);
      return false;
    }
    err = FSCreateFileUnicode(i_changerDirRefP, name.length, name.unicode, kFSCatInfoNone, nullptr, o_fileRefP,
                              nullptr);
    if (err != noErr) {
      LogMessage("%s: unable to create file \"%s\" (err = %ld).\n", __func__, k_changerInfoFileName,
                 static_cast<long>(err));
      return false;
    }
    return true;
  }
  LogMessage("%s: unable to make an FSRef (err = %ld).\n", __func__, static_cast<long>(err));
  return false;
}

bool WriteChangerInfoFile(ChangerData* i_changerDataP, CFDictionaryRef i_infoDictRef) {
  // Not created empty first: a crash before the write would leave an empty file that every
  // later start refuses to read.
  return WriteDictionaryFileAside(__func__, &i_changerDataP->m_changerDir, k_changerInfoFileName, i_infoDictRef, true,
                                  "%s: unable to get an FSRef for the changer info file.\n", k_changerInfoFileTexts);
}

bool ReadChangerInfoFile(ChangerData* i_changerDataP, CFMutableDictionaryRef* o_infoDictRefP) {
  *o_infoDictRefP = nullptr;
  FSRef fileRef;
  if (!GetFSRefForChangerInfoFile(&i_changerDataP->m_changerDir, false, &fileRef)) return true;
  return ReadDictionaryFile(__func__, &fileRef, k_changerInfoFileTexts, o_infoDictRefP);
}

bool SavePersistantChangerInfo(ChangerData* i_changerDataP) {
  CFRef<CFMutableDictionaryRef> infoDictRef(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (!infoDictRef) {
    LogMessage("%s: unable to create the property dictionary for the changer info.\n", __func__);
    return false;
  }
  const char* nameP = i_changerDataP->m_newChangerNameP.load();
  if (nameP == nullptr) nameP = i_changerDataP->m_changerNameP.load();
  if (nameP == nullptr) {
    LogMessage("%s: changer name is NULL!\n", __func__);
    return false;
  }
  CFRef<CFStringRef> nameRef(CreateUTF8String(nameP));
  if (!nameRef) {
    LogMessage("%s: unable to create a CFStringRef for the changer name.\n", __func__);
    return false;
  }
  CFDictionarySetValue(infoDictRef.get(), CFSTR("changer name"), nameRef.get());
  CFDictionarySetValue(infoDictRef.get(), CFSTR("do not automount changer"),
                       i_changerDataP->m_dontAutoMountFileSystem ? kCFBooleanTrue : kCFBooleanFalse);
  CFDictionarySetValue(infoDictRef.get(), CFSTR("do passive media probe"),
                       i_changerDataP->m_doPassiveMediaProbes ? kCFBooleanTrue : kCFBooleanFalse);
  if (!WriteChangerInfoFile(i_changerDataP, infoDictRef.get())) {
    LogMessage("%s: unable to write changer info file to disk.\n", __func__);
    return false;
  }
  return true;
}

// True only for the property-list value true; any other value or type reads as false.
[[nodiscard]] static bool IsTrue(CFTypeRef i_valueRef) {
  return i_valueRef != nullptr && CFGetTypeID(i_valueRef) == CFBooleanGetTypeID() &&
         CFBooleanGetValue(static_cast<CFBooleanRef>(i_valueRef));
}

bool LoadPersistantChangerInfo(ChangerData* i_changerDataP) {
  CFRef<CFMutableDictionaryRef> infoDictRef;
  if (!ReadChangerInfoFile(i_changerDataP, infoDictRef.out())) {
    LogMessage("%s: unable to read changer info file.\n", __func__);
    return false;
  }
  if (!infoDictRef) return true;
  CFTypeRef nameRef = CFDictionaryGetValue(infoDictRef.get(), CFSTR("changer name"));
  if (nameRef != nullptr) {
    (void)ReplaceChangerString(i_changerDataP, i_changerDataP->m_changerNameP, nullptr);  // clearing cannot fail
    char* nameP = IsString(nameRef) ? AllocCStringFromCFString(static_cast<CFStringRef>(nameRef),
                                                               kCFStringEncodingUTF8)
                                    : nullptr;
    if (nameP == nullptr) {
      LogMessage("%s: unable to get C string representation of changer name.\n", __func__);
      return false;
    }
    i_changerDataP->m_changerNameP = nameP;
  }
  CFTypeRef dontAutoMountRef = CFDictionaryGetValue(infoDictRef.get(), CFSTR("do not automount changer"));
  if (dontAutoMountRef != nullptr) i_changerDataP->m_dontAutoMountFileSystem = g_runningOnTiger || IsTrue(dontAutoMountRef);
  CFTypeRef passiveRef = CFDictionaryGetValue(infoDictRef.get(), CFSTR("do passive media probe"));
  if (passiveRef != nullptr) i_changerDataP->m_doPassiveMediaProbes = IsTrue(passiveRef);
  return true;
}
