#include "carbon/FSCore.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "cf/CFInternal.h"
#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

namespace platform::carbon {
namespace {

constexpr UInt32 kRefMagic = 0x46535266;  // "FSRf"
constexpr UInt32 kFirstNodeID = 100;      // below are the Mac's reserved folder IDs
constexpr long long kMacEpochOffset = 2082844800;  // 1904-01-01 to 1970-01-01, in seconds

// Interned Mac paths: id i is m_paths[i - 1]. Entries are never removed, so an id stays valid.
struct PathTable {
  platform::Mutex mutex;
  std::unordered_map<std::string, UInt64> ids GUARDED_BY(mutex);
  std::vector<std::string> paths GUARDED_BY(mutex);
};

PathTable& Paths() {
  static PathTable t;
  return t;
}

UInt64 InternPath(const std::string& macPath) {
  PathTable& t = Paths();
  platform::MutexLock lock(t.mutex);
  auto [it, inserted] = t.ids.emplace(macPath, t.paths.size() + 1);
  if (inserted) t.paths.push_back(macPath);
  return it->second;
}

[[nodiscard]] bool PathOfID(UInt64 id, std::string& o_path) {
  PathTable& t = Paths();
  platform::MutexLock lock(t.mutex);
  if (id == 0 || id > t.paths.size()) return false;
  o_path = t.paths[id - 1];
  return true;
}

struct RefBytes {
  UInt32 magic;
  UInt32 check;
  UInt64 id;
};
static_assert(sizeof(RefBytes) <= sizeof(FSRef));

UInt32 CheckOf(UInt64 id) { return static_cast<UInt32>(id * 0x9E3779B97F4A7C15ull >> 32) ^ kRefMagic; }

// Volumes in the order they were first seen; vRefNum -100 is the first.
struct VolumeTable {
  platform::Mutex mutex;
  std::vector<std::string> roots GUARDED_BY(mutex);
};

VolumeTable& Volumes() {
  static VolumeTable t;
  return t;
}

UTCDateTime MacDate(const struct timespec& ts) {
  long long seconds = static_cast<long long>(ts.tv_sec) + kMacEpochOffset;
  if (seconds < 0) seconds = 0;
  UTCDateTime d{};
  d.highSeconds = static_cast<UInt16>(static_cast<unsigned long long>(seconds) >> 32);
  d.lowSeconds = static_cast<UInt32>(seconds & 0xFFFFFFFF);
  d.fraction = static_cast<UInt16>(static_cast<long long>(ts.tv_nsec) * 65536 / 1000000000LL);
  return d;
}

UInt32 CountItems(const std::string& hostDir) {
  DIR* dir = ::opendir(hostDir.c_str());
  if (!dir) return 0;
  UInt32 n = 0;
  while (struct dirent* e = ::readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  ::closedir(dir);
  return n;
}

// The FSSpec form of a name: Mac OS Roman, '/' allowed and ':' not, at most 63 bytes.
bool FSSpecNameBytes(const std::u16string& name, std::string& o_bytes) {
  std::string utf8;
  if (!UTF16ToUTF8(name, utf8)) return false;
  return CFStringEncode(utf8, kCFStringEncodingMacRoman, o_bytes) && o_bytes.size() <= 63 &&
         o_bytes.find(':') == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------- references

void MakeRef(const std::string& macPath, FSRef* o_ref) {
  std::memset(o_ref, 0, sizeof *o_ref);
  RefBytes b{kRefMagic, 0, InternPath(macPath)};
  b.check = CheckOf(b.id);
  std::memcpy(o_ref->hidden, &b, sizeof b);
}

OSErr PathOfRef(const FSRef* ref, std::string& o_macPath) {
  o_macPath.clear();
  if (!ref) return paramErr;
  RefBytes b;
  std::memcpy(&b, ref->hidden, sizeof b);
  if (b.magic != kRefMagic || b.check != CheckOf(b.id) || !PathOfID(b.id, o_macPath)) return nsvErr;
  return noErr;
}

OSErr ExistingPathOfRef(const FSRef* ref, std::string& o_macPath, struct stat* o_st) {
  OSErr err = PathOfRef(ref, o_macPath);
  if (err != noErr) return err;
  struct stat st {};
  if (::lstat(MacToHost(o_macPath).c_str(), &st) != 0) return OSErrFromErrno(errno);
  if (o_st) *o_st = st;
  return noErr;
}

OSErr FolderPathOfRef(const FSRef* ref, std::string& o_macPath) {
  struct stat st {};
  OSErr err = ExistingPathOfRef(ref, o_macPath, &st);
  if (err != noErr) return err;
  // A link to a folder is followed, as a folder alias would be.
  if (!S_ISDIR(st.st_mode) && (!S_ISLNK(st.st_mode) || ::stat(MacToHost(o_macPath).c_str(), &st) != 0 ||
                               !S_ISDIR(st.st_mode)))
    return errFSNotAFolder;
  return noErr;
}

// ---------------------------------------------------------------- paths

std::string JoinPath(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string ParentPath(const std::string& macPath) {
  size_t slash = macPath.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return macPath.substr(0, slash);
}

std::string LeafName(const std::string& macPath) {
  size_t slash = macPath.rfind('/');
  return slash == std::string::npos ? macPath : macPath.substr(slash + 1);
}

std::string CleanPath(const std::string& macPath) {
  std::string path = macPath;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    std::string base = ::getcwd(cwd, sizeof cwd) ? HostToMac(cwd) : "/";
    path = base + "/" + path;
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

// ---------------------------------------------------------------- names

OSErr UnicodeToDiskName(const UniChar* name, size_t length, std::string& o_diskName) {
  o_diskName.clear();
  if (!name || length == 0) return bdNamErr;
  if (length > 255) return errFSNameTooLong;
  std::u16string u(reinterpret_cast<const char16_t*>(name), length);
  for (char16_t c : u)
    if (c == 0 || c == u':') return bdNamErr;
  std::string utf8;
  if (!UTF16ToUTF8(u, utf8)) return bdNamErr;
  for (char& c : utf8)
    if (c == '/') c = ':';
  if (utf8 == "." || utf8 == "..") return bdNamErr;
  if (utf8.size() > NAME_MAX) return errFSNameTooLong;
  o_diskName = std::move(utf8);
  return noErr;
}

std::u16string DiskNameToUnicode(const std::string& diskName) {
  std::string utf8;
  if (IsValidUTF8(diskName)) {
    utf8 = diskName;
  } else {
    // Keep the valid sequences; each bad byte becomes U+FFFD.
    for (size_t i = 0; i < diskName.size();) {
      size_t len = 1;
      unsigned char c = diskName[i];
      if (c >= 0xF0) len = 4;
      else if (c >= 0xE0) len = 3;
      else if (c >= 0xC0) len = 2;
      std::string seq = diskName.substr(i, len);
      if (c >= 0x80 && (seq.size() != len || !IsValidUTF8(seq))) {
        utf8 += "\xEF\xBF\xBD";
        i += 1;
      } else {
        utf8 += seq;
        i += len;
      }
    }
  }
  for (char& c : utf8)
    if (c == ':') c = '/';
  return UTF8ToUTF16(utf8);
}

void FillUniStr255(const std::u16string& name, HFSUniStr255* o_name) {
  std::memset(o_name, 0, sizeof *o_name);
  size_t n = name.size() < 255 ? name.size() : 255;
  o_name->length = static_cast<UInt16>(n);
  std::memcpy(o_name->unicode, name.data(), n * sizeof(UniChar));
}

OSErr OSErrFromErrno(int err) {
  switch (err) {
    case 0: return noErr;
    case ENOENT: return fnfErr;
    case ENOTDIR: return dirNFErr;
    case EEXIST: return dupFNErr;
    case ENOTEMPTY: return fBsyErr;
    case EBUSY: return fBsyErr;
    case EPERM: return permErr;
    case EACCES: return afpAccessDenied;
    case EROFS: return wPrErr;
    case ENOSPC:
    case EDQUOT: return dskFulErr;
    case ENAMETOOLONG: return errFSNameTooLong;
    case EINVAL: return paramErr;
    case EXDEV: return badMovErr;
    case ENOMEM: return memFullErr;
    case EMFILE:
    case ENFILE: return tmfoErr;
    case EISDIR: return errFSNotAFolder;
    default: return ioErr;
  }
}

// ---------------------------------------------------------------- volumes and node IDs

std::string VolumeRootOf(const std::string& macPath) {
  std::string path = CleanPath(macPath);
  if (path == "/") return path;
  // A folder directly in /Volumes is a mount point, whether or not the host mounted anything.
  if (path.compare(0, 9, "/Volumes/") == 0) {
    size_t slash = path.find('/', 9);
    return slash == std::string::npos ? path : path.substr(0, slash);
  }
  std::string found = "/";
  struct stat st {}, parentSt {};
  for (std::string p = path; p != "/"; p = ParentPath(p)) {
    if (::stat(MacToHost(p).c_str(), &st) != 0 || ::stat(MacToHost(ParentPath(p)).c_str(), &parentSt) != 0)
      continue;
    if (st.st_dev != parentSt.st_dev) {
      found = p;
      break;
    }
  }
  return found;
}

FSVolumeRefNum VolumeRefNumOf(const std::string& volumeRoot) {
  VolumeTable& t = Volumes();
  platform::MutexLock lock(t.mutex);
  if (t.roots.empty()) t.roots.push_back("/");
  size_t i = 0;
  while (i < t.roots.size() && t.roots[i] != volumeRoot) ++i;
  if (i == t.roots.size()) t.roots.push_back(volumeRoot);
  return static_cast<FSVolumeRefNum>(-100 - static_cast<int>(i));
}

bool VolumeRootOfRefNum(FSVolumeRefNum vRefNum, std::string& o_root) {
  VolumeTable& t = Volumes();
  platform::MutexLock lock(t.mutex);
  if (t.roots.empty()) t.roots.push_back("/");
  int i = -100 - vRefNum;
  if (i < 0 || static_cast<size_t>(i) >= t.roots.size()) return false;
  o_root = t.roots[static_cast<size_t>(i)];
  return true;
}

std::string VolumeName(const std::string& volumeRoot) {
  if (volumeRoot != "/") return LeafName(volumeRoot);
  std::string prefix = SysRootHostPrefix();
  return prefix.empty() ? "System" : LeafName(prefix);
}

UInt32 NodeIDOf(const std::string& macPath) {
  if (VolumeRootOf(macPath) == macPath) return fsRtDirID;
  return static_cast<UInt32>(InternPath(macPath) + kFirstNodeID);
}

bool PathOfNodeID(FSVolumeRefNum vRefNum, UInt32 nodeID, std::string& o_macPath) {
  std::string root;
  if (!VolumeRootOfRefNum(vRefNum, root)) return false;
  if (nodeID == static_cast<UInt32>(fsRtDirID)) {
    o_macPath = root;
    return true;
  }
  if (nodeID < kFirstNodeID || !PathOfID(nodeID - kFirstNodeID, o_macPath)) return false;
  return VolumeRootOf(o_macPath) == root;
}

// ---------------------------------------------------------------- catalog information

void FillCatalogInfo(const std::string& macPath, const struct stat& st, FSCatalogInfoBitmap whichInfo,
                     FSCatalogInfo* o_info) {
  std::memset(o_info, 0, sizeof *o_info);
  const bool isDir = S_ISDIR(st.st_mode);
  if (whichInfo & kFSCatInfoNodeFlags) o_info->nodeFlags = isDir ? kFSNodeIsDirectoryMask : 0;
  if (whichInfo & (kFSCatInfoVolume | kFSCatInfoParentDirID | kFSCatInfoNodeID)) {
    std::string root = VolumeRootOf(macPath);
    if (whichInfo & kFSCatInfoVolume) o_info->volume = VolumeRefNumOf(root);
    if (whichInfo & kFSCatInfoNodeID) o_info->nodeID = NodeIDOf(macPath);
    if (whichInfo & kFSCatInfoParentDirID)
      o_info->parentDirID = root == macPath ? static_cast<UInt32>(fsRtParID) : NodeIDOf(ParentPath(macPath));
  }
  // Linux keeps no creation time that every file system has; the last change of the content is
  // the closest thing.
  if (whichInfo & kFSCatInfoCreateDate) o_info->createDate = MacDate(st.st_mtim);
  if (whichInfo & kFSCatInfoContentMod) o_info->contentModDate = MacDate(st.st_mtim);
  if (whichInfo & kFSCatInfoAttrMod) o_info->attributeModDate = MacDate(st.st_ctim);
  if (whichInfo & kFSCatInfoAccessDate) o_info->accessDate = MacDate(st.st_atim);
  if (whichInfo & (kFSCatInfoPermissions | kFSCatInfoUserAccess)) {
    o_info->permissions.userID = st.st_uid;
    o_info->permissions.groupID = st.st_gid;
    o_info->permissions.mode = static_cast<UInt16>(st.st_mode);
    std::string host = MacToHost(macPath);
    UInt8 access = 0;
    if (::faccessat(AT_FDCWD, host.c_str(), R_OK, AT_EACCESS) == 0) access |= 4;
    if (::faccessat(AT_FDCWD, host.c_str(), W_OK, AT_EACCESS) == 0) access |= 2;
    if (::faccessat(AT_FDCWD, host.c_str(), X_OK, AT_EACCESS) == 0) access |= 1;
    o_info->permissions.userAccess = access;
  }
  if (whichInfo & kFSCatInfoValence && isDir) o_info->valence = CountItems(MacToHost(macPath));
  if (whichInfo & kFSCatInfoDataSizes && !isDir) {
    o_info->dataLogicalSize = static_cast<UInt64>(st.st_size);
    o_info->dataPhysicalSize = static_cast<UInt64>(st.st_blocks) * 512;
  }
}

std::u16string ShownName(const std::string& macPath) {
  if (VolumeRootOf(macPath) == macPath) return DiskNameToUnicode(VolumeName(macPath));
  return DiskNameToUnicode(LeafName(macPath));
}

void FillFSSpec(const std::string& macPath, FSSpec* o_fsSpec) {
  std::memset(o_fsSpec, 0, sizeof *o_fsSpec);
  std::string root = VolumeRootOf(macPath);
  o_fsSpec->vRefNum = VolumeRefNumOf(root);
  o_fsSpec->parID = root == macPath ? fsRtParID : static_cast<SInt32>(NodeIDOf(ParentPath(macPath)));
  std::u16string name = ShownName(macPath);
  std::string bytes;
  if (!FSSpecNameBytes(name, bytes)) {
    // Too long, or not Mac OS Roman: the start of the name that fits, '#' and the node ID, which
    // FSpMakeFSRef resolves.
    char id[16];
    std::snprintf(id, sizeof id, "#%X", static_cast<unsigned>(NodeIDOf(macPath)));
    std::string head;
    for (size_t n = std::min<size_t>(name.size(), 31); n > 0 && head.empty(); --n)
      if (!FSSpecNameBytes(name.substr(0, n), head)) head.clear();
    bytes = head + id;
  }
  o_fsSpec->name[0] = static_cast<unsigned char>(bytes.size());
  std::memcpy(o_fsSpec->name + 1, bytes.data(), bytes.size());
}

}  // namespace platform::carbon
