// The changer file store's shared plumbing (see ChangerStore.h) and its process set-up.
#include "ChangerStore.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "platform/BSD.h"
#include "platform/CFPropertyList.h"
#include "platform/IOKit.h"

static const ItemCount k_directoryEntriesPerCall = 20;
static const int k_maxDirectoryDepth = 64;

platform::Mutex g_mediaInfoArrMutex;
bool (*g_updateChangerFileSystemDeviceFileNameP)(ChangerData* i_changerDataP, const char* i_oldDeviceNameP,
                                                 const char* i_newDeviceNameP) = nullptr;
bool (*g_notifyAndDeleteFSDeviceInfoByDeviceFileP)(ChangerData* i_changerDataP, const char* i_deviceFileNameP,
                                                   bool i_haveListRWLock) = nullptr;

// ================================================================ helpers

CFStringRef CreateUTF8String(const char* i_textP) {
  return i_textP != nullptr ? CFStringCreateWithCString(kCFAllocatorDefault, i_textP, kCFStringEncodingUTF8) : nullptr;
}

CFNumberRef CreateSInt16Number(UInt16 i_value) {
  SInt16 value = static_cast<SInt16>(i_value);
  return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt16Type, &value);
}

bool IsDictionary(CFTypeRef i_valueRef) {
  return i_valueRef != nullptr && CFGetTypeID(i_valueRef) == CFDictionaryGetTypeID();
}

bool IsString(CFTypeRef i_valueRef) {
  return i_valueRef != nullptr && CFGetTypeID(i_valueRef) == CFStringGetTypeID();
}

bool MakeHFSName(CFStringRef i_nameRef, HFSUniStr255* o_nameP) {
  o_nameP->length = 0;
  CFIndex len = CFStringGetLength(i_nameRef);
  if (len > 255) return false;
  CFStringGetCharacters(i_nameRef, CFRangeMake(0, len), o_nameP->unicode);
  o_nameP->length = static_cast<UInt16>(len);
  return true;
}

OSErr MakeFSRefForName(const FSRef* i_dirRefP, CFStringRef i_nameRef, FSRef* o_refP) {
  HFSUniStr255 name;
  if (!MakeHFSName(i_nameRef, &name)) return errFSNameTooLong;
  return FSMakeFSRefUnicode(i_dirRefP, name.length, name.unicode, kTextEncodingUnicodeDefault, o_refP);
}

CFStringRef CreateStringFromHFSName(const HFSUniStr255* i_nameP) {
  return CFStringCreateWithCharacters(kCFAllocatorDefault, i_nameP->unicode, i_nameP->length);
}

CFTypeRef CopyRoboticsProperty(ChangerData* i_changerDataP, CFStringRef i_keyRef) {
  return CopyDriverProperty(i_changerDataP->m_changerRoboticsService, i_keyRef);
}

CFDictionaryRef CopyStorageElemInfoEntry(ChangerData* i_changerDataP, UInt16 i_storageElem,
                                         bool* o_havePropertyP) {
  *o_havePropertyP = false;
  CFRef<CFTypeRef> infoRef(CopyRoboticsProperty(i_changerDataP, CFSTR(k_storageElemInfoProp)));
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
[[nodiscard]] static OSErr ReadDirectoryBatch(FSIterator i_iterator, DirectoryBatch* o_batchP) {
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

// Walks a folder batch by batch; sub-folders past k_maxDirectoryDepth are left unread.
// k_stop when a visitor stopped the walk, k_fail when a read or a visitor failed.
static WalkStep WalkDirectoryAtDepth(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, int i_depth,
                                    const DirectoryVisitor& i_visit) {
  if (i_depth > k_maxDirectoryDepth) return WalkStep::k_next;
  DirectoryIterator iterator;
  OSErr err = FSOpenIterator(i_dirRefP, kFSIterateFlat, &iterator.m_iterator);
  if (err != noErr) {
    LogMessage(i_walk.m_openFailText, i_walk.m_functionP, static_cast<long>(err));
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

WalkStep WalkDirectory(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, const DirectoryVisitor& i_visit) {
  return WalkDirectoryAtDepth(i_walk, i_dirRefP, 0, i_visit);
}

// ---- property-list files

int OpenRegularFile(const char* i_pathP) {
  int fd = bsd::open(i_pathP, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Larger than any record the daemon writes; a bigger file is not one of ours.
static const off_t k_maxPropertyListFileSize = 16 * 1024 * 1024;

CFPropertyListRef CreatePropertyListFromStoreFile(const FSRef* i_fileRefP, bool* o_openedP) {
  *o_openedP = false;
  char path[k_posixPathSize];
  if (FSRefMakePath(i_fileRefP, reinterpret_cast<UInt8*>(path), sizeof path) != noErr) return nullptr;
  int fd = OpenRegularFile(path);
  if (fd < 0) return nullptr;
  *o_openedP = true;
  std::vector<UInt8> bytes;
  struct stat status;
  bool readWhole = fstat(fd, &status) == 0 && status.st_size <= k_maxPropertyListFileSize;
  if (readWhole) {
    bytes.resize(static_cast<size_t>(status.st_size) + 1);
    size_t used = 0;
    // One byte more than the size, so that a file that grew is seen rather than cut.
    while (used < bytes.size()) {
      ssize_t got = read(fd, bytes.data() + used, bytes.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        readWhole = got == 0;
        break;
      }
      used += static_cast<size_t>(got);
    }
    readWhole = readWhole && used <= static_cast<size_t>(status.st_size);
    bytes.resize(used);
  }
  close(fd);
  if (!readWhole) return nullptr;
  CFRef<CFDataRef> dataRef(CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size())));
  if (!dataRef) return nullptr;
  CFRef<CFStringRef> errorRef;
  return CFPropertyListCreateFromXMLData(kCFAllocatorDefault, dataRef.get(), kCFPropertyListMutableContainersAndLeaves,
                                         errorRef.out());
}

bool ReadDictionaryFile(const char* i_functionP, const FSRef* i_fileRefP, const PlistFileTexts& i_texts,
                        CFMutableDictionaryRef* o_dictRefP) {
  *o_dictRefP = nullptr;
  bool opened = false;
  CFRef<CFPropertyListRef> plistRef(CreatePropertyListFromStoreFile(i_fileRefP, &opened));
  if (!opened) {
    LogMessage(i_texts.m_openReadStreamFailText, i_functionP);
    return false;
  }
  if (!plistRef || !IsDictionary(plistRef.get())) {
    LogMessage(i_texts.m_parseFailText, i_functionP);
    return false;
  }
  *o_dictRefP = static_cast<CFMutableDictionaryRef>(const_cast<void*>(plistRef.release()));
  return true;
}

// Closes a descriptor on every path.
struct ScopedFd {
  int m_fd = -1;
  ~ScopedFd() {
    if (m_fd >= 0) close(m_fd);
  }
};

bool GiveFileItsFolderGroup(const char* i_functionP, int i_fd, int i_dirFd) {
  struct stat dirStatus;
  if (fstat(i_dirFd, &dirStatus) != 0 || fchown(i_fd, static_cast<uid_t>(-1), dirStatus.st_gid) != 0) {
    LogMessage("%s: unable to give a new file its folder's group (err = %ld).\n", i_functionP,
               static_cast<long>(errno));
    return false;
  }
  return true;
}

// A new aside file, never one that existed: a link or file left at the name is removed first
// (unlink takes the link itself, never its target).
[[nodiscard]] static int CreateAsideFile(const char* i_asidePathP) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = bsd::open(i_asidePathP, flags, 0666);
  if (fd < 0 && errno == EEXIST && bsd::unlink(i_asidePathP) == 0) fd = bsd::open(i_asidePathP, flags, 0666);
  return fd;
}

[[nodiscard]] static bool WriteAll(int i_fd, const UInt8* i_bytesP, size_t i_length) {
  while (i_length > 0) {
    ssize_t done = write(i_fd, i_bytesP, i_length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    i_bytesP += done;
    i_length -= static_cast<size_t>(done);
  }
  return true;
}

static platform::Mutex g_asideWriteMutex;

bool WriteDictionaryFileAside(const char* i_functionP, const FSRef* i_dirRefP, const char* i_fileNameP,
                              CFPropertyListRef i_plistRef, bool i_mayReplace, LogText<"s"> i_dirFailText,
                              const PlistFileTexts& i_texts) {
  platform::MutexLock lock(g_asideWriteMutex);
  char dirPath[k_posixPathSize];
  if (FSRefMakePath(i_dirRefP, reinterpret_cast<UInt8*>(dirPath), sizeof dirPath) != noErr) {
    LogMessage(i_dirFailText, i_functionP);
    return false;
  }
  char finalPath[k_posixPathSize + 256];
  char asidePath[k_posixPathSize + 256];
  snprintf(finalPath, sizeof finalPath, "%s/%s", dirPath, i_fileNameP);
  snprintf(asidePath, sizeof asidePath, "%s/.%s%s", dirPath, i_fileNameP, k_asideFileSuffix);
  struct stat existing;
  if (!i_mayReplace && bsd::lstat(finalPath, &existing) == 0) {
    LogMessage("%s: unable to create file \"%s\" (err = %ld).\n", i_functionP, i_fileNameP,
               static_cast<long>(dupFNErr));
    return false;
  }
  CFRef<CFDataRef> dataRef(CFPropertyListCreateXMLData(kCFAllocatorDefault, i_plistRef));
  if (!dataRef) {
    LogMessage("%s: unable to write property list (%s).\n", i_functionP, "NULL");
    return false;
  }
  ScopedFd dirFd{bsd::open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  ScopedFd fileFd{dirFd.m_fd >= 0 ? CreateAsideFile(asidePath) : -1};
  if (fileFd.m_fd < 0) {
    LogMessage(i_texts.m_openWriteStreamFailText, i_functionP);
    return false;
  }
  (void)GiveFileItsFolderGroup(i_functionP, fileFd.m_fd, dirFd.m_fd);  // logged; the record is still worth keeping
  if (!WriteAll(fileFd.m_fd, CFDataGetBytePtr(dataRef.get()), static_cast<size_t>(CFDataGetLength(dataRef.get()))) ||
      fsync(fileFd.m_fd) != 0) {
    LogMessage("%s: unable to write property list (%s).\n", i_functionP, strerror(errno));
    bsd::unlink(asidePath);
    return false;
  }
  if (bsd::rename(asidePath, finalPath) != 0) {
    LogMessage("%s: unable to move \"%s\" into place (err = %ld).\n", i_functionP, i_fileNameP,
               static_cast<long>(errno));
    bsd::unlink(asidePath);
    return false;
  }
  // The rename itself survives a crash only once the folder is on disk.
  if (fsync(dirFd.m_fd) != 0)
    LogMessage("%s: unable to flush the folder of \"%s\" (err = %ld).\n", i_functionP, i_fileNameP,
               static_cast<long>(errno));
  return true;
}

bool RemoveStaleAsideFiles(const char* i_functionP, const FSRef* i_dirRefP) {
  char dirPath[k_posixPathSize];
  if (FSRefMakePath(i_dirRefP, reinterpret_cast<UInt8*>(dirPath), sizeof dirPath) != noErr) return false;
  DIR* dirP = bsd::opendir(dirPath);
  if (dirP == nullptr) return false;
  const size_t suffixLen = strlen(k_asideFileSuffix);
  bool succeeded = true;
  while (struct dirent* entryP = readdir(dirP)) {
    size_t len = strlen(entryP->d_name);
    if (entryP->d_name[0] != '.' || len <= suffixLen + 1 ||
        strcmp(entryP->d_name + len - suffixLen, k_asideFileSuffix) != 0)
      continue;
    char path[k_posixPathSize + 256];
    snprintf(path, sizeof path, "%s/%s", dirPath, entryP->d_name);
    struct stat status;
    // Only files and links: a folder at the name is somebody else's.
    if (bsd::lstat(path, &status) != 0 || S_ISDIR(status.st_mode)) continue;
    if (bsd::unlink(path) != 0) {
      LogMessage("%s: unable to remove the stale file \"%s\" (err = %ld).\n", i_functionP, entryP->d_name,
                 static_cast<long>(errno));
      succeeded = false;
      continue;
    }
    LogMessage("%s: removed the stale file \"%s\".\n", i_functionP, entryP->d_name);
  }
  closedir(dirP);
  return succeeded;
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
