#include "ChangerInfoFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "CNIDTables.h"
#include "ChangerDriver.h"
#include "LogMessage.h"
#include "platform/BSD.h"
#include "platform/CFPropertyList.h"
#include "platform/IOKit.h"

static const char k_deviceFileSeparator = 0x01;
static const size_t k_maxDeviceBaseNameLen = 225;
static const size_t k_volTagLen = 32;
static const size_t k_SH9VolTagNameLen = 28;
static const UInt16 k_maxDeviceFileSuffix = 9999;  // keeps every name within 255 UTF-16 units
static const ItemCount k_directoryEntriesPerCall = 20;
static const int k_maxDirectoryDepth = 64;
static const size_t k_posixPathSize = 1024;
static const size_t k_fileSystemPathSize = 2048;

std::mutex g_mediaInfoArrMutex;
bool (*g_updateChangerFileSystemDeviceFileNameP)(ChangerData* i_changerDataP, const char* i_oldDeviceNameP,
                                                 const char* i_newDeviceNameP) = nullptr;
bool (*g_notifyAndDeleteFSDeviceInfoByDeviceFileP)(ChangerData* i_changerDataP, const char* i_deviceFileNameP,
                                                   bool i_haveListRWLock) = nullptr;

// ================================================================ helpers

static CFStringRef CreateUTF8String(const char* i_textP) {
  return i_textP != nullptr ? CFStringCreateWithCString(kCFAllocatorDefault, i_textP, kCFStringEncodingUTF8) : nullptr;
}

static CFNumberRef CreateSInt16Number(UInt16 i_value) {
  SInt16 value = static_cast<SInt16>(i_value);
  return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt16Type, &value);
}

static bool IsDictionary(CFTypeRef i_valueRef) {
  return i_valueRef != nullptr && CFGetTypeID(i_valueRef) == CFDictionaryGetTypeID();
}

static bool IsString(CFTypeRef i_valueRef) {
  return i_valueRef != nullptr && CFGetTypeID(i_valueRef) == CFStringGetTypeID();
}

// A file name as the File Manager takes it; false when it has more than 255 UTF-16 units.
static bool MakeHFSName(CFStringRef i_nameRef, HFSUniStr255* o_nameP) {
  o_nameP->length = 0;
  CFIndex len = CFStringGetLength(i_nameRef);
  if (len > 255) return false;
  CFStringGetCharacters(i_nameRef, CFRangeMake(0, len), o_nameP->unicode);
  o_nameP->length = static_cast<UInt16>(len);
  return true;
}

static OSErr MakeFSRefForName(const FSRef* i_dirRefP, CFStringRef i_nameRef, FSRef* o_refP) {
  HFSUniStr255 name;
  if (!MakeHFSName(i_nameRef, &name)) return errFSNameTooLong;
  return FSMakeFSRefUnicode(i_dirRefP, name.length, name.unicode, kTextEncodingUnicodeDefault, o_refP);
}

static CFStringRef CreateStringFromHFSName(const HFSUniStr255* i_nameP) {
  return CFStringCreateWithCharacters(kCFAllocatorDefault, i_nameP->unicode, i_nameP->length);
}

static CFTypeRef CopyRoboticsProperty(ChangerData* i_changerDataP, CFStringRef i_keyRef) {
  return IORegistryEntryCreateCFProperty(i_changerDataP->m_changerRoboticsService, i_keyRef, kCFAllocatorDefault, 0);
}

// The driver's "Storage Element Info" entry of a slot, or null.
static CFDictionaryRef CopyStorageElemInfoEntry(ChangerData* i_changerDataP, UInt16 i_storageElem,
                                               bool* o_havePropertyP) {
  *o_havePropertyP = false;
  CFRef<CFTypeRef> infoRef(CopyRoboticsProperty(i_changerDataP, CFSTR("Storage Element Info")));
  if (!infoRef || CFGetTypeID(infoRef.get()) != CFArrayGetTypeID()) return nullptr;
  *o_havePropertyP = true;
  CFArrayRef infoArr = static_cast<CFArrayRef>(infoRef.get());
  if (i_storageElem >= CFArrayGetCount(infoArr)) return nullptr;
  CFTypeRef entryRef = CFArrayGetValueAtIndex(infoArr, i_storageElem);
  if (!IsDictionary(entryRef)) return nullptr;
  CFRetain(entryRef);
  return static_cast<CFDictionaryRef>(entryRef);
}

// Closes a folder iterator on every path.
struct DirectoryIterator {
  FSIterator m_iterator = nullptr;
  ~DirectoryIterator() {
    if (m_iterator != nullptr) FSCloseIterator(m_iterator);
  }
};

// One batch of a folder's entries.
struct DirectoryBatch {
  FSCatalogInfo m_infos[k_directoryEntriesPerCall];
  FSRef m_refs[k_directoryEntriesPerCall];
  HFSUniStr255 m_names[k_directoryEntriesPerCall];
  ItemCount m_count = 0;
};

// Reads the next batch; noErr with entries, errFSNoMoreItems at the end, or another error.
static OSErr ReadDirectoryBatch(FSIterator i_iterator, DirectoryBatch* o_batchP) {
  FSCatalogBulkParam param{};
  param.iterator = i_iterator;
  param.maximumItems = k_directoryEntriesPerCall;
  param.whichInfo = kFSCatInfoNodeFlags;
  param.catalogInfo = o_batchP->m_infos;
  param.refs = o_batchP->m_refs;
  param.names = o_batchP->m_names;
  OSErr err = PBGetCatalogInfoBulkSync(&param);
  o_batchP->m_count = (err == noErr || err == errFSNoMoreItems) ? param.actualItems : 0;
  return err;
}

// What a visitor tells the walk after one entry.
enum class WalkStep { k_next, k_stop, k_fail };

// How a walk reads a folder: the caller's name and open-failure text for its logs, whether it
// descends into sub-folders (visiting files only), and whether a sub-folder it cannot read ends it.
struct DirectoryWalk {
  const char* m_functionP;
  const char* m_openFailTextP;
  bool m_recursive;
  bool m_subfolderFailureEndsWalk;
};

using DirectoryVisitor = std::function<WalkStep(const FSRef& i_ref, const HFSUniStr255& i_name)>;

// Walks a folder batch by batch; sub-folders past k_maxDirectoryDepth are left unread.
// k_stop when a visitor stopped the walk, k_fail when a read or a visitor failed.
static WalkStep WalkDirectoryAtDepth(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, int i_depth,
                                     const DirectoryVisitor& i_visit) {
  if (i_depth > k_maxDirectoryDepth) return WalkStep::k_next;
  DirectoryIterator iterator;
  OSErr err = FSOpenIterator(i_dirRefP, kFSIterateFlat, &iterator.m_iterator);
  if (err != noErr) {
    LogMessage(i_walk.m_openFailTextP, i_walk.m_functionP, static_cast<long>(err));
    return WalkStep::k_fail;
  }
  DirectoryBatch batch;
  do {
    err = ReadDirectoryBatch(iterator.m_iterator, &batch);
    if (err != noErr && err != errFSNoMoreItems) {
      LogMessage("%s: unable to execute PBGetCatalogInfoBulkSync (err = %ld).\n", i_walk.m_functionP,
                 static_cast<long>(err));
      return WalkStep::k_fail;
    }
    for (ItemCount i = 0; i < batch.m_count; ++i) {
      WalkStep step;
      if (i_walk.m_recursive && (batch.m_infos[i].nodeFlags & kFSNodeIsDirectoryMask)) {
        step = WalkDirectoryAtDepth(i_walk, &batch.m_refs[i], i_depth + 1, i_visit);
        if (step == WalkStep::k_fail && !i_walk.m_subfolderFailureEndsWalk) step = WalkStep::k_next;
      } else {
        step = i_visit(batch.m_refs[i], batch.m_names[i]);
      }
      if (step != WalkStep::k_next) return step;
    }
  } while (err == noErr);
  return WalkStep::k_next;
}

static WalkStep WalkDirectory(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, const DirectoryVisitor& i_visit) {
  return WalkDirectoryAtDepth(i_walk, i_dirRefP, 0, i_visit);
}

// ---- property-list files

struct PlistFileTexts {
  const char* m_urlFailP;
  const char* m_createReadStreamFailP;
  const char* m_openReadStreamFailP;
  const char* m_parseFailP;
  const char* m_createWriteStreamFailP;
  const char* m_openWriteStreamFailP;
};

static const PlistFileTexts k_changerInfoFileTexts = {
    "%s: unable to convert the changer info file FSRef to a CFURLRef.\n",
    "%s: unable to create a read stream for the changer info file.\n",
    "%s: unable to open the read stream for the changer info file.\n",
    "%s: unable to create the CFPropertyList from the read stream.\n",
    "%s: unable to create a write stream for the changer info file.\n",
    "%s: unable to open the write stream for the changer info file.\n",
};

static const PlistFileTexts k_mediaInfoFileTexts = {
    "%s: unable to convert the media info file FSRef to a CFURLRef.\n",
    "%s: unable to create a read stream for the media info file.\n",
    "%s: unable to open the read stream for the media info file.\n",
    "%s: unable to create the CFPropertyList from the read stream.\n",
    "%s: unable to create a write stream for the media info file.\n",
    "%s: unable to open the write stream for the media info file.\n",
};

// Reads a file whose root must be a dictionary, with mutable containers and leaves. A file that
// is not a property list, or not a dictionary, fails like a parse error.
static bool ReadDictionaryFile(const char* i_functionP, const FSRef* i_fileRefP, const PlistFileTexts& i_texts,
                               CFMutableDictionaryRef* o_dictRefP) {
  *o_dictRefP = nullptr;
  CFRef<CFURLRef> urlRef(CFURLCreateFromFSRef(kCFAllocatorDefault, i_fileRefP));
  if (!urlRef) {
    LogMessage(i_texts.m_urlFailP, i_functionP);
    return false;
  }
  CFRef<CFReadStreamRef> streamRef(CFReadStreamCreateWithFile(kCFAllocatorDefault, urlRef.get()));
  if (!streamRef) {
    LogMessage(i_texts.m_createReadStreamFailP, i_functionP);
    return false;
  }
  if (!CFReadStreamOpen(streamRef.get())) {
    LogMessage(i_texts.m_openReadStreamFailP, i_functionP);
    return false;
  }
  CFRef<CFStringRef> errorRef;
  CFRef<CFPropertyListRef> plistRef(CFPropertyListCreateFromStream(
      kCFAllocatorDefault, streamRef.get(), 0, kCFPropertyListMutableContainersAndLeaves, nullptr, errorRef.out()));
  CFReadStreamClose(streamRef.get());
  if (!plistRef || !IsDictionary(plistRef.get())) {
    LogMessage(i_texts.m_parseFailP, i_functionP);
    return false;
  }
  *o_dictRefP = static_cast<CFMutableDictionaryRef>(const_cast<void*>(plistRef.release()));
  return true;
}

// Writes the property list next to its final name and then moves it into place, so that a
// crash mid-write leaves the earlier file (or none) but never a partial one. With
// i_mayReplace false an existing file is refused before anything is written.
static std::mutex g_asideWriteMutex;

static bool WriteDictionaryFileAside(const char* i_functionP, const FSRef* i_dirRefP, const char* i_fileNameP,
                                     CFPropertyListRef i_plistRef, bool i_mayReplace, const char* i_dirFailTextP,
                                     const PlistFileTexts& i_texts) {
  std::lock_guard lock(g_asideWriteMutex);
  char dirPath[k_posixPathSize];
  if (FSRefMakePath(i_dirRefP, reinterpret_cast<UInt8*>(dirPath), sizeof dirPath) != noErr) {
    LogMessage(i_dirFailTextP, i_functionP);
    return false;
  }
  char finalPath[k_posixPathSize + 256];
  char asidePath[k_posixPathSize + 256];
  snprintf(finalPath, sizeof finalPath, "%s/%s", dirPath, i_fileNameP);
  snprintf(asidePath, sizeof asidePath, "%s/.%s.new", dirPath, i_fileNameP);
  struct stat existing;
  if (!i_mayReplace && bsd::lstat(finalPath, &existing) == 0) {
    LogMessage("%s: unable to create file \"%s\" (err = %ld).\n", i_functionP, i_fileNameP,
               static_cast<long>(dupFNErr));
    return false;
  }
  CFRef<CFURLRef> urlRef(CFURLCreateFromFileSystemRepresentation(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(asidePath), strlen(asidePath), false));
  if (!urlRef) {
    LogMessage(i_texts.m_urlFailP, i_functionP);
    return false;
  }
  CFRef<CFWriteStreamRef> streamRef(CFWriteStreamCreateWithFile(kCFAllocatorDefault, urlRef.get()));
  if (!streamRef) {
    LogMessage(i_texts.m_createWriteStreamFailP, i_functionP);
    return false;
  }
  if (!CFWriteStreamOpen(streamRef.get())) {
    LogMessage(i_texts.m_openWriteStreamFailP, i_functionP);
    return false;
  }
  CFRef<CFStringRef> errorRef;
  CFIndex written =
      CFPropertyListWriteToStream(i_plistRef, streamRef.get(), kCFPropertyListXMLFormat_v1_0, errorRef.out());
  CFWriteStreamClose(streamRef.get());
  if (written == 0) {
    const char* errorTextP = errorRef ? CFStringGetCStringPtr(errorRef.get(), kCFStringEncodingUTF8) : nullptr;
    LogMessage("%s: unable to write property list (%s).\n", i_functionP, errorTextP != nullptr ? errorTextP : "NULL");
    bsd::unlink(asidePath);
    return false;
  }
  int fd = bsd::open(asidePath, O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  if (bsd::rename(asidePath, finalPath) != 0) {
    LogMessage("%s: unable to move \"%s\" into place (err = %ld).\n", i_functionP, i_fileNameP,
               static_cast<long>(errno));
    bsd::unlink(asidePath);
    return false;
  }
  return true;
}

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

// ================================================================ changer directory and Info.plist

bool CreateNewChangerDirectory(const FSRef* i_parentDirRefP, CFStringRef i_nameRef, FSRef* o_dirRefP) {
  HFSUniStr255 name;
  if (!MakeHFSName(i_nameRef, &name)) {
    LogMessage("%s: unable to make an FSRef for folder (err = %ld).\n", __func__, static_cast<long>(errFSNameTooLong));
    return false;
  }
  OSErr err = FSMakeFSRefUnicode(i_parentDirRefP, name.length, name.unicode, kTextEncodingUnicodeDefault, o_dirRefP);
  if (err == noErr) return true;
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
  if (bsd::chown(path, static_cast<uid_t>(-1), adminGroup) != 0)
    LogMessage("%s: unable to set Changers directory to group %ld (err = %ld).\n", __func__,
               static_cast<long>(adminGroup), static_cast<long>(errno));
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
  if (bsd::mkdir(path, 0) != 0 && errno != EEXIST) {
    LogMessage("%s: error making %s directory (err = %ld).\n", __func__, path, static_cast<long>(errno));
    return false;
  }
  // Owner and mode are both applied even when the other fails, so that nobody can use the
  // changer volume's trash.
  bool succeeded = true;
  if (bsd::chown(path, 0, 0) != 0) {
    LogMessage("%s: error setting owner of %s directory (err = %ld).\n", __func__, path, static_cast<long>(errno));
    succeeded = false;
  }
  if (bsd::chmod(path, 0) != 0) {
    LogMessage("%s: error setting permissions of %s directory (err = %ld).\n", __func__, path,
               static_cast<long>(errno));
    succeeded = false;
  }
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
  if (!CheckChangerDevicesTrashDirectory(i_changerDataP))
    LogMessage("%s: unable to set permissions on trash directory.\n", __func__);
  if (!LoadPersistantChangerInfo(i_changerDataP)) {
    LogMessage("%s: unable to read in persistant changer data.\n", __func__);
    return false;
  }
  CountEmptyStorageElements(i_changerDataP);
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
    MakeHFSName(CFSTR("Info.plist"), &name);
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
static bool IsTrue(CFTypeRef i_valueRef) {
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
    ReplaceChangerString(i_changerDataP, i_changerDataP->m_changerNameP, nullptr);
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

// Rewrites an existing media info file: the new content is written beside it and replaces it
// in one step, so a failed write keeps the old record.
static bool ReplaceMediaInfoFile(const char* i_functionP, const FSRef* i_mediaDirRefP, UInt16 i_storageElem,
                                 CFDictionaryRef i_mediaDictRef, const char* i_findFailTextP) {
  FSRef fileRef;
  if (!GetFSRefForMediaFile(i_mediaDirRefP, i_storageElem, &fileRef)) {
    LogMessage(i_findFailTextP, i_functionP);
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
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Media In Storage Element"), kCFBooleanTrue);
  const struct {
    CFStringRef m_fileKeyRef;
    CFStringRef m_itemKeyRef;
    const char* m_missingTextP;
  } k_keys[] = {
      {CFSTR("primary volume tag"), CFSTR("Primary Volume Tag"),
       "%s: unable to get the primary volume tag from the media info file.\n"},
      {CFSTR("alternate volume tag"), CFSTR("Alternate Volume Tag"),
       "%s: unable to get the alternate volume tag from the media info file.\n"},
      {CFSTR("primary volume sequence number"), CFSTR("Primary Volume Sequence"),
       "%s: unable to get the primary volume sequence from the media info file.\n"},
      {CFSTR("alternate volume sequence number"), CFSTR("Alternate Volume Sequence"),
       "%s: unable to get the alternate volume sequence from the media info file.\n"},
  };
  for (const auto& key : k_keys) {
    const void* valueRef = CFDictionaryGetValue(i_mediaDictRef, key.m_fileKeyRef);
    if (valueRef == nullptr) {
      LogMessage(key.m_missingTextP, __func__);
      return false;
    }
    CFDictionarySetValue(itemInfoRef.get(), key.m_itemKeyRef, valueRef);
  }
  *o_itemInfoRefP = itemInfoRef.release();
  return true;
}

bool GetMediaInfo(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFMutableDictionaryRef* o_itemInfoRefP) {
  *o_itemInfoRefP = nullptr;
  CFRef<CFMutableDictionaryRef> mediaDictRef;
  if (!ReadMediaInfoFile(i_mediaDirRefP, i_storageElem, mediaDictRef.out())) {
    // An unreadable record counts as none: the slot is identified again.
    LogMessage("%s: unable to read media info file.\n", __func__);
    return true;
  }
  if (!mediaDictRef) return true;
  if (!ConvertMediaFilePropertyListToItemInfoDict(mediaDictRef.get(), o_itemInfoRefP)) {
    LogMessage("%s: unable to convert the CFPropertyList to a item information dictionary.\n", __func__);
    return false;
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
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Media In Storage Element"), kCFBooleanFalse);
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Primary Volume Tag"), emptyRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Alternate Volume Tag"), emptyRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Primary Volume Sequence"), zeroRef.get());
  CFDictionarySetValue(itemInfoRef.get(), CFSTR("Alternate Volume Sequence"), zeroRef.get());
  *o_itemInfoRefP = itemInfoRef.release();
  return true;
}

// Puts the newly built array in place of the old one.
static void InstallMediaInfoArray(ChangerData* i_changerDataP, CFMutableArrayRef i_mediaInfoArr) {
  CFMutableArrayRef oldArr = nullptr;
  {
    std::lock_guard lock(g_mediaInfoArrMutex);
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
    std::lock_guard lock(g_mediaInfoArrMutex);
    CFArrayAppendValue(mediaInfoArr, itemInfoRef.get());
  }
  return true;
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
  std::lock_guard lock(g_mediaInfoArrMutex);
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
  CFRef<CFTypeRef> loadedRef(CopyRoboticsProperty(i_changerDataP, CFSTR("Loaded Storage Element Count")));
  if (!loadedRef) {
    LogMessage("%s: unable to get the count of loaded storage elements from the robotics service.\n", __func__);
    return true;
  }
  SInt16 loadedCount = 0;
  if (CFGetTypeID(loadedRef.get()) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(loadedRef.get()), kCFNumberSInt16Type, &loadedCount)) {
    LogMessage("%s: unable to get the count of loaded storage elements.\n", __func__);
    return true;
  }
  i_changerDataP->m_changerEmptyStorageElemCount =
      static_cast<UInt16>(i_changerDataP->m_changerStorageElemCount - static_cast<UInt16>(loadedCount));
  return true;
}

// Removes a file found through the File Manager by its path.
static bool RemoveFileByRef(const char* i_functionP, const FSRef* i_fileRefP) {
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
    const char* m_missingTextP;
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
        LogMessage(probe.m_missingTextP, __func__, static_cast<int>(i));
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
  CFTypeRef tagRef = CFDictionaryGetValue(i_itemInfoRef, CFSTR("Primary Volume Tag"));
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
  CFTypeRef sequenceRef = CFDictionaryGetValue(i_itemInfoRef, CFSTR("Alternate Volume Sequence"));
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
  CFDictionarySetValue(io_requestDictRef, CFSTR("Storage Element Number"), storageElemRef.get());
  CFRef<CFStringRef> primaryRef(
      i_mountDataP->m_primaryVolTagP != nullptr
          ? CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_primaryVolTagP, kCFStringEncodingASCII)
          : nullptr);
  if (!primaryRef) {
    LogMessage("%s: unable to create a CFString containing the primary volume tag.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR("Primary Volume Tag"), primaryRef.get());
  CFRef<CFStringRef> alternateRef(
      i_mountDataP->m_alternateVolTagP != nullptr
          ? CFStringCreateWithCString(kCFAllocatorDefault, i_mountDataP->m_alternateVolTagP, kCFStringEncodingASCII)
          : nullptr);
  if (!alternateRef) {
    LogMessage("%s: unable to create a CFString containing the alternate volume tag.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR("Alternate Volume Tag"), alternateRef.get());
  CFRef<CFNumberRef> primarySeqRef(CreateSInt16Number(i_mountDataP->m_primaryVolSeq));
  if (!primarySeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the primary volume sequence.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR("Primary Volume Sequence"), primarySeqRef.get());
  CFRef<CFNumberRef> alternateSeqRef(CreateSInt16Number(i_mountDataP->m_alternateVolSeq));
  if (!alternateSeqRef) {
    LogMessage("%s: unable to create a CFNumberRef for the alternate volume sequence.\n", __func__);
    return false;
  }
  CFDictionarySetValue(io_requestDictRef, CFSTR("Alternate Volume Sequence"), alternateSeqRef.get());
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
                                   CFSTR("Set Storage Element Volume Tags"), requestDictRef.get());
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
    std::lock_guard lock(g_mediaInfoArrMutex);
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
  CFDictionarySetValue(requestDictRef.get(), CFSTR("Storage Element Number"), storageElemRef.get());
  CFDictionarySetValue(requestDictRef.get(), i_tagKeyRef, volTagRef.get());
  kern_return_t result = IORegistryEntrySetCFProperty(
      i_changerDataP->m_changerRoboticsService, CFSTR("Set Storage Element Volume Tags"), requestDictRef.get());
  if (result != 0) {
    LogMessage("%s: attempt to set volume tags failed (err = %X).\n", __func__, static_cast<unsigned>(result));
    return false;
  }
  return true;
}

bool SetPrimaryVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP) {
  return SetVolTag(i_changerDataP, CFSTR("Primary Volume Tag"), i_storageElem, i_volTagP);
}

bool SetAlternateVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP) {
  return SetVolTag(i_changerDataP, CFSTR("Alternate Volume Tag"), i_storageElem, i_volTagP);
}
