// The File Manager's Mac-named face over FSCore.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carbon/FSCore.h"
#include "cf/CFInternal.h"
#include "platform/SysRoot.h"

using namespace platform;
using namespace platform::carbon;

namespace {

// Clears the out-parameters that may be given, so that a failure leaves nothing stale.
void ClearRef(FSRef* ref) {
  if (ref) std::memset(ref, 0, sizeof *ref);
}

OSErr ChildPath(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name, std::string& o_path) {
  std::string parent, diskName;
  OSErr err = FolderPathOfRef(parentRef, parent);
  if (err != noErr) return err;
  err = UnicodeToDiskName(name, nameLength, diskName);
  if (err != noErr) return err;
  o_path = JoinPath(parent, diskName);
  return noErr;
}

bool SameDate(const UTCDateTime& a, const UTCDateTime& b) {
  return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds && a.fraction == b.fraction;
}

struct timespec UnixTime(const UTCDateTime& d) {
  long long seconds = (static_cast<long long>(d.highSeconds) << 32 | d.lowSeconds) - 2082844800LL;
  return timespec{static_cast<time_t>(seconds), static_cast<long>(static_cast<long long>(d.fraction) * 1000000000LL / 65536)};
}

// Information that the file system keeps nowhere may only be "set" to what it already reads as.
OSErr CheckUnkeptInfo(const std::string& path, const struct stat& st, FSCatalogInfoBitmap whichInfo,
                      const FSCatalogInfo& wanted) {
  const FSCatalogInfoBitmap unkept = kFSCatInfoTextEncoding | kFSCatInfoNodeFlags | kFSCatInfoCreateDate |
                                     kFSCatInfoAttrMod | kFSCatInfoBackupDate | kFSCatInfoFinderInfo |
                                     kFSCatInfoFinderXInfo;
  if (!(whichInfo & unkept)) return noErr;
  FSCatalogInfo now;
  FillCatalogInfo(path, st, whichInfo & unkept, &now);
  bool same = true;
  if (whichInfo & kFSCatInfoTextEncoding)
    same &= wanted.textEncodingHint == now.textEncodingHint || wanted.textEncodingHint == kTextEncodingMacRoman;
  if (whichInfo & kFSCatInfoNodeFlags) same &= (wanted.nodeFlags & kFSNodeLockedMask) == 0;
  if (whichInfo & kFSCatInfoCreateDate) same &= SameDate(wanted.createDate, now.createDate);
  if (whichInfo & kFSCatInfoAttrMod) same &= SameDate(wanted.attributeModDate, now.attributeModDate);
  if (whichInfo & kFSCatInfoBackupDate) same &= SameDate(wanted.backupDate, now.backupDate);
  if (whichInfo & kFSCatInfoFinderInfo)
    same &= std::memcmp(wanted.finderInfo, now.finderInfo, sizeof now.finderInfo) == 0;
  if (whichInfo & kFSCatInfoFinderXInfo)
    same &= std::memcmp(wanted.extFinderInfo, now.extFinderInfo, sizeof now.extFinderInfo) == 0;
  return same ? noErr : errFSBadInfoBitmap;
}

OSErr SetInfo(const std::string& path, FSCatalogInfoBitmap whichInfo, const FSCatalogInfo& info) {
  std::string host = MacToHost(path);
  struct stat st {};
  if (::lstat(host.c_str(), &st) != 0) return OSErrFromErrno(errno);
  OSErr err = CheckUnkeptInfo(path, st, whichInfo, info);
  if (err != noErr) return err;
  if (whichInfo & kFSCatInfoPermissions) {
    const FSPermissionInfo& p = info.permissions;
    // Only a change of owner needs the right to give files away.
    if ((p.userID != st.st_uid || p.groupID != st.st_gid) && ::chown(host.c_str(), p.userID, p.groupID) != 0)
      return OSErrFromErrno(errno);
    if (::chmod(host.c_str(), p.mode & 07777) != 0) return OSErrFromErrno(errno);
  }
  if (whichInfo & (kFSCatInfoContentMod | kFSCatInfoAccessDate)) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (whichInfo & kFSCatInfoAccessDate) times[0] = UnixTime(info.accessDate);
    if (whichInfo & kFSCatInfoContentMod) times[1] = UnixTime(info.contentModDate);
    if (::utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) return OSErrFromErrno(errno);
  }
  return noErr;
}

// Creation shared by folders and files: `make` creates the host item and returns an errno.
template <class Make>
OSErr CreateItem(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name, FSCatalogInfoBitmap whichInfo,
                 const FSCatalogInfo* catalogInfo, FSRef* o_newRef, FSSpec* o_newSpec, std::string& o_path,
                 Make make) {
  ClearRef(o_newRef);
  if (o_newSpec) std::memset(o_newSpec, 0, sizeof *o_newSpec);
  OSErr err = ChildPath(parentRef, nameLength, name, o_path);
  if (err != noErr) return err;
  std::string host = MacToHost(o_path);
  int e = make(host);
  if (e != 0) return OSErrFromErrno(e);
  if (catalogInfo && (whichInfo & kFSCatInfoSettableInfo)) {
    err = SetInfo(o_path, whichInfo & kFSCatInfoSettableInfo, *catalogInfo);
    if (err != noErr) {
      // Nothing half made stays behind.
      ::remove(host.c_str());
      return err;
    }
  }
  if (o_newRef) MakeRef(o_path, o_newRef);
  if (o_newSpec) FillFSSpec(o_path, o_newSpec);
  return noErr;
}

OSErr MakeFolders(const std::string& macPath) {
  std::string host = MacToHost(macPath);
  struct stat st {};
  if (::stat(host.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? noErr : errFSNotAFolder;
  if (macPath != "/") {
    OSErr err = MakeFolders(ParentPath(macPath));
    if (err != noErr) return err;
  }
  if (::mkdir(host.c_str(), 0777) != 0 && errno != EEXIST) return OSErrFromErrno(errno);
  return noErr;
}

}  // namespace

// ---------------------------------------------------------------- folders

OSErr FSFindFolder(SInt16 vRefNum, OSType folderType, Boolean createFolder, FSRef* o_ref) {
  ClearRef(o_ref);
  if (!o_ref) return paramErr;
  if (folderType != kDomainLibraryFolderType) return fnfErr;
  std::string path;
  if (vRefNum == kLocalDomain || vRefNum == kOnSystemDisk) path = "/Library";
  else if (vRefNum == kSystemDomain) path = "/System/Library";
  else return fnfErr;
  struct stat st {};
  if (::stat(MacToHost(path).c_str(), &st) != 0) {
    if (errno != ENOENT) return OSErrFromErrno(errno);
    if (!createFolder) return fnfErr;
    OSErr err = MakeFolders(path);
    if (err != noErr) return err;
  } else if (!S_ISDIR(st.st_mode)) {
    return errFSNotAFolder;
  }
  MakeRef(path, o_ref);
  return noErr;
}

// ---------------------------------------------------------------- references

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name, TextEncoding,
                         FSRef* o_newRef) {
  ClearRef(o_newRef);
  if (!o_newRef) return paramErr;
  std::string path;
  OSErr err = ChildPath(parentRef, nameLength, name, path);
  if (err != noErr) return err;
  struct stat st {};
  if (::lstat(MacToHost(path).c_str(), &st) != 0) return OSErrFromErrno(errno);
  MakeRef(path, o_newRef);
  return noErr;
}

OSStatus FSPathMakeRef(const UInt8* path, FSRef* o_ref, Boolean* o_isDirectory) {
  ClearRef(o_ref);
  if (o_isDirectory) *o_isDirectory = false;
  if (!path || !o_ref) return paramErr;
  std::string mac = CleanPath(reinterpret_cast<const char*>(path));
  char* real = ::realpath(MacToHost(mac).c_str(), nullptr);
  if (!real) return OSErrFromErrno(errno);
  std::string host = real;
  std::free(real);
  // The canonical form, unless a link leads out of the system root.
  const std::string& prefix = SysRootHostPrefix();
  if (prefix.empty() || host == prefix || host.compare(0, prefix.size() + 1, prefix + "/") == 0)
    mac = HostToMac(host);
  struct stat st {};
  if (::stat(MacToHost(mac).c_str(), &st) != 0) return OSErrFromErrno(errno);
  if (o_isDirectory) *o_isDirectory = S_ISDIR(st.st_mode);
  MakeRef(mac, o_ref);
  return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* o_path, UInt32 maxPathSize) {
  if (!o_path || maxPathSize == 0) return paramErr;
  o_path[0] = 0;
  std::string path;
  OSErr err = ExistingPathOfRef(ref, path);
  if (err != noErr) return err;
  if (path.size() + 1 > maxPathSize) return paramErr;
  std::memcpy(o_path, path.c_str(), path.size() + 1);
  return noErr;
}

OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2) {
  std::string a, b;
  struct stat sa {}, sb {};
  OSErr err = ExistingPathOfRef(ref1, a, &sa);
  if (err == noErr) err = ExistingPathOfRef(ref2, b, &sb);
  if (err != noErr) return err;
  if (a == b || (sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)) return noErr;
  return VolumeRootOf(a) == VolumeRootOf(b) ? errFSRefsDifferent : diffVolErr;
}

// ---------------------------------------------------------------- create, rename, delete

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo, FSRef* o_newRef,
                               FSSpec* o_newSpec, UInt32* o_newDirID) {
  if (o_newDirID) *o_newDirID = 0;
  std::string path;
  OSErr err = CreateItem(parentRef, nameLength, name, whichInfo, catalogInfo, o_newRef, o_newSpec, path,
                         [](const std::string& host) { return ::mkdir(host.c_str(), 0777) == 0 ? 0 : errno; });
  if (err == noErr && o_newDirID) *o_newDirID = NodeIDOf(path);
  return err;
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo, FSRef* o_newRef,
                          FSSpec* o_newSpec) {
  std::string path;
  return CreateItem(parentRef, nameLength, name, whichInfo, catalogInfo, o_newRef, o_newSpec, path,
                    [](const std::string& host) {
                      int fd = ::open(host.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
                      if (fd < 0) return errno;
                      ::close(fd);
                      return 0;
                    });
}

OSErr FSRenameUnicode(const FSRef* ref, UniCharCount nameLength, const UniChar* name, TextEncoding,
                      FSRef* o_newRef) {
  ClearRef(o_newRef);
  std::string path, diskName;
  OSErr err = ExistingPathOfRef(ref, path);
  if (err != noErr) return err;
  if (VolumeRootOf(path) == path) return paramErr;
  err = UnicodeToDiskName(name, nameLength, diskName);
  if (err != noErr) return err;
  std::string newPath = JoinPath(ParentPath(path), diskName);
  if (newPath != path &&
      ::renameat2(AT_FDCWD, MacToHost(path).c_str(), AT_FDCWD, MacToHost(newPath).c_str(), RENAME_NOREPLACE) != 0)
    return OSErrFromErrno(errno);
  if (o_newRef) MakeRef(newPath, o_newRef);
  return noErr;
}

OSErr FSDeleteObject(const FSRef* ref) {
  std::string path;
  struct stat st {};
  OSErr err = ExistingPathOfRef(ref, path, &st);
  if (err != noErr) return err;
  if (VolumeRootOf(path) == path) return fBsyErr;
  std::string host = MacToHost(path);
  int r = S_ISDIR(st.st_mode) ? ::rmdir(host.c_str()) : ::unlink(host.c_str());
  if (r != 0) return errno == EEXIST ? static_cast<OSErr>(fBsyErr) : OSErrFromErrno(errno);
  return noErr;
}

// ---------------------------------------------------------------- catalog information

OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* o_catalogInfo,
                       HFSUniStr255* o_outName, FSSpec* o_fsSpec, FSRef* o_parentRef) {
  if (o_catalogInfo) std::memset(o_catalogInfo, 0, sizeof *o_catalogInfo);
  if (o_outName) std::memset(o_outName, 0, sizeof *o_outName);
  if (o_fsSpec) std::memset(o_fsSpec, 0, sizeof *o_fsSpec);
  ClearRef(o_parentRef);
  std::string path;
  struct stat st {};
  OSErr err = ExistingPathOfRef(ref, path, &st);
  if (err != noErr) return err;
  if (o_catalogInfo) FillCatalogInfo(path, st, whichInfo, o_catalogInfo);
  if (o_outName) FillUniStr255(ShownName(path), o_outName);
  if (o_fsSpec) FillFSSpec(path, o_fsSpec);
  if (o_parentRef && path != "/") MakeRef(ParentPath(path), o_parentRef);
  return noErr;
}

OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo) {
  if (!catalogInfo) return paramErr;
  std::string path;
  OSErr err = ExistingPathOfRef(ref, path);
  if (err != noErr) return err;
  return SetInfo(path, whichInfo & kFSCatInfoSettableInfo, *catalogInfo);
}

// ---------------------------------------------------------------- FSSpec

OSErr FSpMakeFSRef(const FSSpec* source, FSRef* o_newRef) {
  ClearRef(o_newRef);
  if (!source || !o_newRef) return paramErr;
  std::string dir;
  if (source->parID == fsRtParID) {
    if (!VolumeRootOfRefNum(source->vRefNum, dir)) return nsvErr;
    MakeRef(dir, o_newRef);
    return noErr;
  }
  if (!PathOfNodeID(source->vRefNum, static_cast<UInt32>(source->parID), dir)) return dirNFErr;
  std::string bytes(reinterpret_cast<const char*>(source->name + 1), source->name[0]);
  if (bytes.empty()) {
    MakeRef(dir, o_newRef);
    return noErr;
  }
  std::string utf8;
  if (bytes.find(':') != std::string::npos || !CFStringDecode(bytes, kCFStringEncodingMacRoman, utf8))
    return bdNamErr;
  std::u16string name = UTF8ToUTF16(utf8);
  std::string diskName, path;
  OSErr err = UnicodeToDiskName(reinterpret_cast<const UniChar*>(name.data()), name.size(), diskName);
  if (err != noErr) return err;
  path = JoinPath(dir, diskName);
  struct stat st {};
  if (::lstat(MacToHost(path).c_str(), &st) != 0) {
    // A shortened name ends in '#' and the node ID of an item of this folder.
    size_t hash = bytes.rfind('#');
    char* end = nullptr;
    unsigned long id = hash == std::string::npos ? 0 : std::strtoul(bytes.c_str() + hash + 1, &end, 16);
    if (id == 0 || *end || !PathOfNodeID(source->vRefNum, static_cast<UInt32>(id), path) ||
        ParentPath(path) != dir || ::lstat(MacToHost(path).c_str(), &st) != 0)
      return fnfErr;
  }
  MakeRef(path, o_newRef);
  return noErr;
}

OSErr FSMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param fileName, FSSpec* o_fsSpec) {
  if (!o_fsSpec) return paramErr;
  std::memset(o_fsSpec, 0, sizeof *o_fsSpec);
  std::string dir;
  if (!VolumeRootOfRefNum(vRefNum, dir)) return nsvErr;
  if (dirID != fsRtParID && !PathOfNodeID(vRefNum, static_cast<UInt32>(dirID), dir)) return dirNFErr;
  std::string bytes = fileName ? std::string(reinterpret_cast<const char*>(fileName + 1), fileName[0]) : "";
  if (!bytes.empty() && bytes[0] == ':') bytes.erase(0, 1);
  if (dirID == fsRtParID && !bytes.empty()) bytes.clear();  // the volume itself, named
  if (bytes.empty()) {
    FillFSSpec(dir, o_fsSpec);
    return noErr;
  }
  // A partial path: folder names separated by ':'.
  std::string utf8;
  if (bytes.find("::") != std::string::npos || !CFStringDecode(bytes, kCFStringEncodingMacRoman, utf8))
    return bdNamErr;
  std::string path = dir;
  size_t start = 0;
  for (;;) {
    size_t colon = utf8.find(':', start);
    std::u16string part = UTF8ToUTF16(utf8.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    std::string diskName;
    OSErr err = UnicodeToDiskName(reinterpret_cast<const UniChar*>(part.data()), part.size(), diskName);
    if (err != noErr) return err;
    path = JoinPath(path, diskName);
    if (colon == std::string::npos || colon + 1 == utf8.size()) break;
    start = colon + 1;
  }
  struct stat st {};
  if (::stat(MacToHost(ParentPath(path)).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return dirNFErr;
  o_fsSpec->vRefNum = vRefNum;
  o_fsSpec->parID = static_cast<SInt32>(NodeIDOf(ParentPath(path)));
  if (::lstat(MacToHost(path).c_str(), &st) == 0) {
    FillFSSpec(path, o_fsSpec);
    return noErr;
  }
  std::string last = LeafName(path);
  for (char& c : last)
    if (c == ':') c = '/';
  std::string roman;
  if (!CFStringEncode(last, kCFStringEncodingMacRoman, roman) || roman.size() > 63) return bdNamErr;
  o_fsSpec->name[0] = static_cast<unsigned char>(roman.size());
  std::memcpy(o_fsSpec->name + 1, roman.data(), roman.size());
  return fnfErr;
}

// ---------------------------------------------------------------- URLs

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* ref) {
  std::string path;
  struct stat st {};
  if (ExistingPathOfRef(ref, path, &st) != noErr) return nullptr;
  CFStringRef str = CFStringCreateWithCString(allocator, path.c_str(), kCFStringEncodingUTF8);
  if (!str) return nullptr;
  bool isDir = S_ISDIR(st.st_mode) || (S_ISLNK(st.st_mode) && ::stat(MacToHost(path).c_str(), &st) == 0 &&
                                       S_ISDIR(st.st_mode));
  CFURLRef url = CFURLCreateWithFileSystemPath(allocator, str, kCFURLPOSIXPathStyle, isDir);
  CFRelease(str);
  return url;
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef* o_ref) {
  ClearRef(o_ref);
  if (!url || !o_ref) return false;
  std::vector<UInt8> path(PATH_MAX * 2);
  if (!CFURLGetFileSystemRepresentation(url, true, path.data(), static_cast<CFIndex>(path.size()))) return false;
  return FSPathMakeRef(path.data(), o_ref, nullptr) == noErr;
}
