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

#include "ChangerDriver.h"
#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "platform/BSD.h"
#include "platform/CFPropertyList.h"
#include "platform/IOKit.h"

static const ItemCount k_directoryEntriesPerCall = 20;
static const int k_maxDirectoryDepth = 64;

std::mutex g_mediaInfoArrMutex;
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

WalkStep WalkDirectory(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, const DirectoryVisitor& i_visit) {
  return WalkDirectoryAtDepth(i_walk, i_dirRefP, 0, i_visit);
}

// ---- property-list files

bool ReadDictionaryFile(const char* i_functionP, const FSRef* i_fileRefP, const PlistFileTexts& i_texts,
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

static std::mutex g_asideWriteMutex;

bool WriteDictionaryFileAside(const char* i_functionP, const FSRef* i_dirRefP, const char* i_fileNameP,
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
