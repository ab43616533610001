// fixchangernames: converts the device mount-point file names of every changer directory from
// the earlier form (24 identifier digits, '#', display name) to the current one (display name,
// the separator U+0001, identifier), in "Root" and in the "partitions" keys of the media info
// files, and deletes the CNID database files of each changer it converted, so that the daemon
// starts a new database. It logs to the system log and always exits with status 0.
#include <stdlib.h>
#include <string.h>

#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "platform/CFPropertyList.h"
#include "platform/CFRef.h"
#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"

static UnicodeToTextInfo g_unicodeToTextInfo = nullptr;
static TextToUnicodeInfo g_textToUnicodeInfo = nullptr;
// Set when a name of the changer directory being handled was converted.
static bool g_namesFixed = false;

enum { k_identifierLength = 24 };

[[nodiscard]] static bool FixName(const HFSUniStr255* i_nameP, HFSUniStr255* o_newNameP) {
  memset(o_newNameP, 0, sizeof *o_newNameP);
  Str255 text;
  OSStatus err = ConvertFromUnicodeToPString(g_unicodeToTextInfo, i_nameP->length * sizeof(UniChar), i_nameP->unicode,
                                             text);
  if (err != noErr) {
    LogMessage("%s: unable to convert name Unicode string to a pascal string.\n", __func__);
    return false;
  }
  size_t length = text[0];
  const char* hashP = static_cast<const char*>(memchr(text + 1, '#', length));
  if (hashP == nullptr || hashP != reinterpret_cast<const char*>(text + 1 + k_identifierLength)) return false;
  for (size_t i = 1; i <= k_identifierLength; ++i)
    if (strchr("0123456789ABCDEF", text[i]) == nullptr || text[i] == 0) return false;
  Str255 newText;
  size_t displayLength = length - k_identifierLength - 1;
  newText[0] = UInt8(length);
  memcpy(newText + 1, text + 1 + k_identifierLength + 1, displayLength);
  newText[1 + displayLength] = 0x01;
  memcpy(newText + 2 + displayLength, text + 1, k_identifierLength);
  ByteCount unicodeLength = 0;
  err = ConvertFromPStringToUnicode(g_textToUnicodeInfo, newText, sizeof o_newNameP->unicode, &unicodeLength,
                                    o_newNameP->unicode);
  if (err != noErr) {
    LogMessage("%s: unable to convert the new name to a Unicode string (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  o_newNameP->length = UInt16(unicodeLength / sizeof(UniChar));
  g_namesFixed = true;
  return true;
}

// `i_nameP` is a Pascal string (Mac OS Roman). A missing entry fails without a message.
[[nodiscard]] static bool GetFSRefForChangerDirectory(const FSRef* i_parentRefP, ConstStr255Param i_nameP, FSRef* o_refP) {
  memset(o_refP, 0, sizeof *o_refP);
  UniChar unicodeName[255];
  ByteCount unicodeLength = 0;
  OSStatus err = ConvertFromPStringToUnicode(g_textToUnicodeInfo, i_nameP, sizeof unicodeName, &unicodeLength,
                                             unicodeName);
  if (err != noErr) {
    LogMessage("%s: unable to convert string \"%.*s\" from pascal string to unicode string (err = %ld).\n", __func__,
               int(i_nameP[0]), reinterpret_cast<const char*>(i_nameP + 1), static_cast<long>(err));
    return false;
  }
  err = FSMakeFSRefUnicode(i_parentRefP, unicodeLength / sizeof(UniChar), unicodeName, kTextEncodingUnicodeDefault,
                           o_refP);
  if (err == fnfErr) return false;
  if (err != noErr) {
    LogMessage("%s: unable to make an FSRef for folder \"%.*s\" (err = %ld).\n", __func__, int(i_nameP[0]),
               reinterpret_cast<const char*>(i_nameP + 1), static_cast<long>(err));
    return false;
  }
  return true;
}

[[nodiscard]] static bool GetChangersDirRef(FSRef* o_changersRefP) {
  memset(o_changersRefP, 0, sizeof *o_changersRefP);
  FSRef libraryRef;
  OSErr err = FSFindFolder(kLocalDomain, kDomainLibraryFolderType, kCreateFolder, &libraryRef);
  if (err != noErr) {
    LogMessage("%s: unable to locate library folder (err = %d).\n", __func__, err);
    return false;
  }
  return GetFSRefForChangerDirectory(&libraryRef, reinterpret_cast<ConstStr255Param>("\x08" "Changers"),
                                     o_changersRefP);
}

// Every entry of a folder, one per call, with its node flags; the caller frees both arrays.
[[nodiscard]] static bool BuildIterationList(const FSRef* i_directoryRefP, FSCatalogInfoBitmap i_whichInfo,
                               FSCatalogInfo** o_catalogInfosPP, FSRef** o_refsPP, ItemCount* o_countP) {
  *o_catalogInfosPP = nullptr;
  *o_refsPP = nullptr;
  *o_countP = 0;
  FSIterator iterator = nullptr;
  OSErr err = FSOpenIterator(i_directoryRefP, kFSIterateFlat, &iterator);
  if (err != noErr) {
    LogMessage("%s: unable to open iterator to directory (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  FSCatalogInfo* catalogInfosP = static_cast<FSCatalogInfo*>(malloc(sizeof(FSCatalogInfo)));
  if (catalogInfosP == nullptr) {
    LogMessage("%s: unable to allocate storage for the catalog info.\n", __func__);
    FSCloseIterator(iterator);
    return false;
  }
  FSRef* refsP = static_cast<FSRef*>(malloc(sizeof(FSRef)));
  if (refsP == nullptr) {
    LogMessage("%s: unable to allocate storage for the FSRefs.\n", __func__);
    free(catalogInfosP);
    FSCloseIterator(iterator);
    return false;
  }
  ItemCount count = 0;
  bool isDone = false;
  bool succeeded = true;
  while (!isDone) {
    FSCatalogBulkParam param;
    memset(&param, 0, sizeof param);
    param.iterator = iterator;
    param.maximumItems = 1;
    param.whichInfo = i_whichInfo;
    param.catalogInfo = catalogInfosP + count;
    param.refs = refsP + count;
    err = PBGetCatalogInfoBulkSync(&param);
    if (err == errFSNoMoreItems) break;
    if (err != noErr) {
      LogMessage("%s: unable to execute PBGetCatalogInfoBulkSync (err = %ld).\n", __func__, static_cast<long>(err));
      succeeded = false;
      break;
    }
    count += param.actualItems;
    FSCatalogInfo* moreInfosP = static_cast<FSCatalogInfo*>(realloc(catalogInfosP, (count + 1) * sizeof(FSCatalogInfo)));
    if (moreInfosP == nullptr) {
      LogMessage("%s: unable to reallocate storage for the catalog info.\n", __func__);
      succeeded = false;
      break;
    }
    catalogInfosP = moreInfosP;
    FSRef* moreRefsP = static_cast<FSRef*>(realloc(refsP, (count + 1) * sizeof(FSRef)));
    if (moreRefsP == nullptr) {
      LogMessage("%s: unable to allocate storage for the FSRefs.\n", __func__);
      succeeded = false;
      break;
    }
    refsP = moreRefsP;
  }
  FSCloseIterator(iterator);
  if (!succeeded) {
    free(catalogInfosP);
    free(refsP);
    return false;
  }
  *o_catalogInfosPP = catalogInfosP;
  *o_refsPP = refsP;
  *o_countP = count;
  return true;
}

[[nodiscard]] static bool IsDirectory(const FSCatalogInfo& i_catalogInfo) {
  return (i_catalogInfo.nodeFlags & kFSNodeIsDirectoryMask) != 0;
}

[[nodiscard]] static bool FixFileName(const FSRef* i_fileRefP) {
  HFSUniStr255 name;
  if (FSGetCatalogInfo(i_fileRefP, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr) {
    LogMessage("%s: unable to get catalog info for a file.\n", __func__);
    return false;
  }
  HFSUniStr255 newName;
  if (FixName(&name, &newName) &&
      FSRenameUnicode(i_fileRefP, newName.length, newName.unicode, kTextEncodingUnicodeDefault, nullptr) != noErr)
    LogMessage("%s: unable to rename file.\n", __func__);
  return true;
}

[[nodiscard]] static bool FixNamesInDevicesDir(const FSRef* i_directoryRefP) {
  FSCatalogInfo* catalogInfosP = nullptr;
  FSRef* refsP = nullptr;
  ItemCount count = 0;
  if (!BuildIterationList(i_directoryRefP, kFSCatInfoNodeFlags, &catalogInfosP, &refsP, &count)) return false;
  bool succeeded = true;
  for (ItemCount i = 0; i < count && succeeded; ++i) {
    if (IsDirectory(catalogInfosP[i])) {
      succeeded = FixNamesInDevicesDir(&refsP[i]);
      if (!succeeded) LogMessage("%s: unable to convert names in a subdirectory.\n", __func__);
    } else {
      succeeded = FixFileName(&refsP[i]);
      if (!succeeded) LogMessage("%s: unable to fix the name for a file.\n", __func__);
    }
  }
  free(catalogInfosP);
  free(refsP);
  return succeeded;
}

[[nodiscard]] static bool ReadMediaFile(const FSRef* i_fileRefP, CFMutableDictionaryRef* o_mediaDictP) {
  *o_mediaDictP = nullptr;
  // Only a regular file is read: a FIFO or a link at the name is never opened.
  bool opened = false;
  CFRef<CFPropertyListRef> plist(CreatePropertyListFromStoreFile(i_fileRefP, &opened));
  if (!opened) {
    LogMessage("%s: unable to open the read stream for the media info file.\n", __func__);
    return false;
  }
  // Only a dictionary is a media info file; anything else is left as it is.
  if (!plist || CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) {
    LogMessage("%s: unable to create the CFPropertyList from the read stream.\n", __func__);
    return false;
  }
  *o_mediaDictP = static_cast<CFMutableDictionaryRef>(const_cast<void*>(plist.release()));
  return true;
}

[[nodiscard]] static bool WriteMediaFile(const FSRef* i_fileRefP, CFDictionaryRef i_mediaDict) {
  CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, i_fileRefP));
  if (!url) {
    LogMessage("%s: unable to convert the media info file FSRef to a CFURLRef.\n", __func__);
    return false;
  }
  CFRef<CFWriteStreamRef> stream(CFWriteStreamCreateWithFile(kCFAllocatorDefault, url.get()));
  if (!stream) {
    LogMessage("%s: unable to create a write stream for the media info file.\n", __func__);
    return false;
  }
  if (!CFWriteStreamOpen(stream.get())) {
    LogMessage("%s: unable to open the write stream for the media info file.\n", __func__);
    return false;
  }
  CFStringRef errorString = nullptr;
  CFIndex written = CFPropertyListWriteToStream(i_mediaDict, stream.get(), kCFPropertyListXMLFormat_v1_0, &errorString);
  CFWriteStreamClose(stream.get());
  CFRef<CFStringRef> error(errorString);
  if (written == 0) {
    char errorText[256] = "NULL";
    if (error) (void)CFStringGetCString(error.get(), errorText, sizeof errorText, kCFStringEncodingUTF8);  // empty text on failure
    LogMessage("%s: unable to write property list (%s).\n", __func__, errorText);
    return false;
  }
  return true;
}

[[nodiscard]] static bool FixMediaDictDeviceEntry(CFMutableDictionaryRef io_partitions, CFStringRef i_key) {
  CFTypeRef entry = CFDictionaryGetValue(io_partitions, i_key);
  if (entry == nullptr) {
    LogMessage("%s: unable to get the device dict.\n", __func__);
    return false;
  }
  HFSUniStr255 name;
  name.length = UInt16(CFStringGetLength(i_key));
  CFStringGetCharacters(i_key, CFRangeMake(0, name.length), name.unicode);
  HFSUniStr255 newName;
  if (!FixName(&name, &newName)) {
    LogMessage("%s: unable to fix the unicode device dict key.\n", __func__);
    return false;
  }
  CFRef<CFStringRef> newKey(CFStringCreateWithCharacters(kCFAllocatorDefault, newName.unicode, newName.length));
  if (!newKey) {
    LogMessage("%s: unable to create a the new device Id string.\n", __func__);
    return false;
  }
  CFRef<CFTypeRef> keptEntry(CFRetain(entry));
  CFDictionaryRemoveValue(io_partitions, i_key);
  CFDictionarySetValue(io_partitions, newKey.get(), keptEntry.get());
  return true;
}

static void FixMediaDict(CFMutableDictionaryRef io_mediaDict) {
  CFTypeRef partitions = CFDictionaryGetValue(io_mediaDict, CFSTR("partitions"));
  if (partitions == nullptr || CFGetTypeID(partitions) != CFDictionaryGetTypeID()) return;
  CFMutableDictionaryRef partitionsDict = static_cast<CFMutableDictionaryRef>(const_cast<void*>(partitions));
  CFIndex count = CFDictionaryGetCount(partitionsDict);
  const void** keysP = static_cast<const void**>(calloc(size_t(count) + 1, sizeof(void*)));
  if (keysP == nullptr) {
    LogMessage("%s: unable to allocate storage for CFDictionary keys list.\n", __func__);
    return;
  }
  CFDictionaryGetKeysAndValues(partitionsDict, keysP, nullptr);
  // The keys are retained: converting one replaces it in the dictionary.
  for (CFIndex i = 0; i < count; ++i) CFRetain(keysP[i]);
  for (CFIndex i = 0; i < count; ++i) {
    CFStringRef key = static_cast<CFStringRef>(keysP[i]);
    // A key that is no name of at most 255 units is no device file name; cutting it would lose it.
    bool isName = CFGetTypeID(key) == CFStringGetTypeID() && CFStringGetLength(key) <= 255;
    if (!isName || !FixMediaDictDeviceEntry(partitionsDict, key))
      LogMessage("%s: unable to fix the media dictionary device entry.\n", __func__);
    CFRelease(key);
  }
  free(keysP);
}

[[nodiscard]] static bool FixMediaFile(const FSRef* i_fileRefP) {
  CFMutableDictionaryRef mediaDict = nullptr;
  if (!ReadMediaFile(i_fileRefP, &mediaDict)) return true;
  CFRef<CFMutableDictionaryRef> keptDict(mediaDict);
  FixMediaDict(mediaDict);
  if (!WriteMediaFile(i_fileRefP, mediaDict)) LogMessage("%s: unable to write out the media file.\n", __func__);
  return true;
}

[[nodiscard]] static bool FixNamesInMediaDir(const FSRef* i_mediaDirRefP) {
  FSCatalogInfo* catalogInfosP = nullptr;
  FSRef* refsP = nullptr;
  ItemCount count = 0;
  if (!BuildIterationList(i_mediaDirRefP, kFSCatInfoNodeFlags, &catalogInfosP, &refsP, &count)) return false;
  for (ItemCount i = 0; i < count; ++i) {
    if (!IsDirectory(catalogInfosP[i]) && !FixMediaFile(&refsP[i]))
      LogMessage("%s: unable to fix the contents of a media file.\n", __func__);
  }
  free(catalogInfosP);
  free(refsP);
  return true;
}

[[nodiscard]] static bool DeleteCNIDDatabaseFile(const FSRef* i_changerDirRefP, ConstStr255Param i_nameP) {
  UniChar unicodeName[255];
  ByteCount unicodeLength = 0;
  OSStatus err = ConvertFromPStringToUnicode(g_textToUnicodeInfo, i_nameP, sizeof unicodeName, &unicodeLength,
                                             unicodeName);
  if (err != noErr) {
    LogMessage("%s: unable to convert string \"%.*s\" from pascal string to unicode string (err = %ld).\n", __func__,
               int(i_nameP[0]), reinterpret_cast<const char*>(i_nameP + 1), static_cast<long>(err));
    return false;
  }
  FSRef fileRef;
  err = FSMakeFSRefUnicode(i_changerDirRefP, unicodeLength / sizeof(UniChar), unicodeName, kTextEncodingUnicodeDefault,
                           &fileRef);
  if (err != noErr) {
    LogMessage("%s: unable to make an FSRef (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  err = FSDeleteObject(&fileRef);
  if (err != noErr) {
    LogMessage("%s: unable to delete the file (err = %ld).\n", __func__, static_cast<long>(err));
    return false;
  }
  return true;
}

[[nodiscard]] static bool DeleteCNIDDatabaseFiles(const FSRef* i_changerDirRefP) {
  if (!DeleteCNIDDatabaseFile(i_changerDirRefP, reinterpret_cast<ConstStr255Param>("\x05" "CNIDs")))
    LogMessage("%s: unable to delete %s file.\n", __func__, "CNIDs");
  if (!DeleteCNIDDatabaseFile(i_changerDirRefP, reinterpret_cast<ConstStr255Param>("\x0A" "file names")))
    LogMessage("%s: unable to delete the %s file.\n", __func__, "file names");
  return true;
}

[[nodiscard]] static bool FixNamesInChangerDir(const FSRef* i_changerDirRefP) {
  g_namesFixed = false;
  FSRef devicesDirRef;
  if (!GetFSRefForChangerDirectory(i_changerDirRefP, reinterpret_cast<ConstStr255Param>("\x04" "Root"),
                                   &devicesDirRef)) {
    LogMessage("%s: unable to find the root directory.\n", __func__);
    return false;
  }
  if (!FixNamesInDevicesDir(&devicesDirRef)) {
    LogMessage("%s: unable to fix the device mount point names in the device directory.\n", __func__);
    return false;
  }
  if (!g_namesFixed) return true;
  // The database no longer matches the names in "Root" whatever happens to the media files.
  FSRef mediaDirRef;
  if (!GetFSRefForChangerDirectory(i_changerDirRefP, reinterpret_cast<ConstStr255Param>("\x05" "Discs"),
                                   &mediaDirRef))
    LogMessage("%s: unable to find the media directory.\n", __func__);
  else if (!FixNamesInMediaDir(&mediaDirRef))
    LogMessage("%s: unable to fix the device mount point names in the media directory.\n", __func__);
  if (!DeleteCNIDDatabaseFiles(i_changerDirRefP))
    LogMessage("%s: unable to delete the CNID database files.\n", __func__);
  return true;
}

[[nodiscard]] static bool FixNamesInChangersDir(const FSRef* i_changersDirRefP) {
  FSCatalogInfo* catalogInfosP = nullptr;
  FSRef* refsP = nullptr;
  ItemCount count = 0;
  if (!BuildIterationList(i_changersDirRefP, kFSCatInfoNodeFlags, &catalogInfosP, &refsP, &count)) return false;
  // Each failure is logged; one damaged changer folder must not keep the others unfixed.
  for (ItemCount i = 0; i < count; ++i) (void)FixNamesInChangerDir(&refsP[i]);
  free(catalogInfosP);
  free(refsP);
  return true;
}

int main() {
  OSStatus err = CreateUnicodeToTextInfoByEncoding(
      CreateTextEncoding(kTextEncodingMacRoman, kTextEncodingDefaultVariant, kTextEncodingDefaultFormat),
      &g_unicodeToTextInfo);
  if (err != noErr) {
    LogMessage("%s: unable to create unicode to text info (err = %ld).\n", __func__, static_cast<long>(err));
    return 0;
  }
  err = CreateTextToUnicodeInfoByEncoding(
      CreateTextEncoding(kTextEncodingMacRoman, kTextEncodingDefaultVariant, kTextEncodingDefaultFormat),
      &g_textToUnicodeInfo);
  if (err != noErr) {
    LogMessage("%s: unable to create text to unicode info (err = %ld).\n", __func__, static_cast<long>(err));
    DisposeUnicodeToTextInfo(&g_unicodeToTextInfo);
    return 0;
  }
  FSRef changersDirRef;
  if (GetChangersDirRef(&changersDirRef) && !FixNamesInChangersDir(&changersDirRef))
    LogMessage("%s: unable to convert the contents of the changers directory.\n", __func__);
  DisposeTextToUnicodeInfo(&g_textToUnicodeInfo);
  DisposeUnicodeToTextInfo(&g_unicodeToTextInfo);
  return 0;
}
