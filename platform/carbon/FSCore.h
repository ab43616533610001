// What the File Manager functions share: FSRefs backed by Mac paths, the name rules between
// Unicode names and POSIX names on disk, errno to OSErr, volumes and node IDs.
#pragma once
#include <sys/stat.h>

#include <string>

#include "platform/Carbon.h"

namespace platform::carbon {

// ---- references. An FSRef holds the id of its Mac path in a process-wide table, so that any
// path fits the 80 bytes and copies stay valid. Node IDs of items come from the same ids.
void MakeRef(const std::string& macPath, FSRef* o_ref);
// paramErr for a null ref, nsvErr for bytes that are not a reference.
OSErr PathOfRef(const FSRef* ref, std::string& o_macPath);
// PathOfRef, and the item must exist (lstat): fnfErr otherwise.
OSErr ExistingPathOfRef(const FSRef* ref, std::string& o_macPath, struct stat* o_st = nullptr);
// ExistingPathOfRef of a folder: errFSNotAFolder when the item is something else.
OSErr FolderPathOfRef(const FSRef* ref, std::string& o_macPath);

// ---- Mac paths (absolute, "/" separated, no trailing "/" but for the root)
std::string JoinPath(const std::string& dir, const std::string& name);
std::string ParentPath(const std::string& macPath);
std::string LeafName(const std::string& macPath);
// Lexical clean-up: "//", "." and ".." resolved; relative paths taken from the working directory.
std::string CleanPath(const std::string& macPath);

// ---- names. A '/' in a Unicode name is a ':' in the POSIX name and the other way round.
// bdNamErr for empty names, NUL, ':', "." and ".."; errFSNameTooLong past 255 units or bytes.
OSErr UnicodeToDiskName(const UniChar* name, size_t length, std::string& o_diskName);
// Names that are not UTF-8 show their bad bytes as U+FFFD.
std::u16string DiskNameToUnicode(const std::string& diskName);
void FillUniStr255(const std::u16string& name, HFSUniStr255* o_name);

OSErr OSErrFromErrno(int err);

// ---- volumes: the system root, each folder directly in "/Volumes", and every mount point.
std::string VolumeRootOf(const std::string& macPath);
FSVolumeRefNum VolumeRefNumOf(const std::string& volumeRoot);
[[nodiscard]] bool VolumeRootOfRefNum(FSVolumeRefNum vRefNum, std::string& o_root);
// The name a volume root shows.
std::string VolumeName(const std::string& volumeRoot);
// fsRtDirID for a volume root; a process-wide unique number for anything else.
UInt32 NodeIDOf(const std::string& macPath);
[[nodiscard]] bool PathOfNodeID(FSVolumeRefNum vRefNum, UInt32 nodeID, std::string& o_macPath);

// ---- catalog information of an existing item (`st` from lstat).
void FillCatalogInfo(const std::string& macPath, const struct stat& st, FSCatalogInfoBitmap whichInfo,
                     FSCatalogInfo* o_info);
// The unicode name an item shows (its volume's name for a volume root).
std::u16string ShownName(const std::string& macPath);
// The FSSpec of an existing item; names that do not fit it are shortened with the node ID.
void FillFSSpec(const std::string& macPath, FSSpec* o_fsSpec);

}  // namespace platform::carbon
