// ChangerStore: plumbing shared by the changer file store's modules (the changer folder, media
// info files, device files, volume tags): value helpers, the folder walker, and property-list
// files read whole and written aside. Internal to the store; callers use ChangerInfoFiles.h.
#pragma once
#include <cstddef>
#include <functional>

#include "ChangerData.h"
#include "LogMessage.h"
#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"

inline constexpr char k_deviceFileSeparator = 0x01;
inline constexpr size_t k_posixPathSize = 1024;

// ---- values

CFStringRef CreateUTF8String(const char* i_textP);
CFNumberRef CreateSInt16Number(UInt16 i_value);
[[nodiscard]] bool IsDictionary(CFTypeRef i_valueRef);
[[nodiscard]] bool IsString(CFTypeRef i_valueRef);
// A file name as the File Manager takes it; false when it has more than 255 UTF-16 units.
[[nodiscard]] bool MakeHFSName(CFStringRef i_nameRef, HFSUniStr255* o_nameP);
[[nodiscard]] OSErr MakeFSRefForName(const FSRef* i_dirRefP, CFStringRef i_nameRef, FSRef* o_refP);
CFStringRef CreateStringFromHFSName(const HFSUniStr255* i_nameP);
CFTypeRef CopyRoboticsProperty(ChangerData* i_changerDataP, CFStringRef i_keyRef);
// The driver's "Storage Element Info" entry of a slot, or null.
CFDictionaryRef CopyStorageElemInfoEntry(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_havePropertyP);

// ---- folder walker

// What a visitor tells the walk after one entry.
enum class WalkStep { k_next, k_stop, k_fail };

// How a walk reads a folder: the caller's name and open-failure text for its logs, whether it
// descends into sub-folders (visiting files only), and whether a sub-folder it cannot read ends it.
struct DirectoryWalk {
  const char* m_functionP;
  LogText<"s ld"> m_openFailText;
  bool m_recursive;
  bool m_subfolderFailureEndsWalk;
};

using DirectoryVisitor = std::function<WalkStep(const FSRef& i_ref, const HFSUniStr255& i_name)>;

// Walks a folder batch by batch; deeply nested sub-folders are left unread.
// k_stop when a visitor stopped the walk, k_fail when a read or a visitor failed.
WalkStep WalkDirectory(const DirectoryWalk& i_walk, const FSRef* i_dirRefP, const DirectoryVisitor& i_visit);

// ---- property-list files, read whole and written aside

// A store file's failure texts, by step.
struct PlistFileTexts {
  LogText<"s"> m_openReadStreamFailText;
  LogText<"s"> m_parseFailText;
  LogText<"s"> m_openWriteStreamFailText;
};

inline constexpr PlistFileTexts k_changerInfoFileTexts = {
    "%s: unable to open the read stream for the changer info file.\n",
    "%s: unable to create the CFPropertyList from the read stream.\n",
    "%s: unable to open the write stream for the changer info file.\n",
};

inline constexpr PlistFileTexts k_mediaInfoFileTexts = {
    "%s: unable to open the read stream for the media info file.\n",
    "%s: unable to create the CFPropertyList from the read stream.\n",
    "%s: unable to open the write stream for the media info file.\n",
};

inline constexpr const char* k_asideFileSuffix = ".new";

// A descriptor for reading when the path names a regular file, opened without following a link
// or blocking on a FIFO; -1 otherwise.
[[nodiscard]] int OpenRegularFile(const char* i_pathP);
// The file's descriptor i_fd gets the group of the folder open as i_dirFd, as a new file on the
// Mac does; logged on failure.
[[nodiscard]] bool GiveFileItsFolderGroup(const char* i_functionP, int i_fd, int i_dirFd);
// Removes the aside files a crash left in the folder (never a folder, never through a link).
[[nodiscard]] bool RemoveStaleAsideFiles(const char* i_functionP, const FSRef* i_dirRefP);

// Reads a file whose root must be a dictionary, with mutable containers and leaves. A file that
// is not a property list, or not a dictionary, fails like a parse error.
[[nodiscard]] bool ReadDictionaryFile(const char* i_functionP, const FSRef* i_fileRefP, const PlistFileTexts& i_texts,
                        CFMutableDictionaryRef* o_dictRefP);
// Writes the property list next to its final name and then moves it into place, so that a
// crash mid-write leaves the earlier file (or none) but never a partial one. The aside file is
// always a new one (whatever was planted at its name is removed, never written through) and
// gets the folder's group. With i_mayReplace false an existing file is refused before anything
// is written.
[[nodiscard]] bool WriteDictionaryFileAside(const char* i_functionP, const FSRef* i_dirRefP, const char* i_fileNameP,
                              CFPropertyListRef i_plistRef, bool i_mayReplace, LogText<"s"> i_dirFailText,
                              const PlistFileTexts& i_texts);
// Rewrites an existing media info file: the new content is written beside it and replaces it
// in one step, so a failed write keeps the old record.
[[nodiscard]] bool ReplaceMediaInfoFile(const char* i_functionP, const FSRef* i_mediaDirRefP, UInt16 i_storageElem,
                          CFDictionaryRef i_mediaDictRef, LogText<"s"> i_findFailText);
// Removes a file found through the File Manager by its path.
[[nodiscard]] bool RemoveFileByRef(const char* i_functionP, const FSRef* i_fileRefP);
