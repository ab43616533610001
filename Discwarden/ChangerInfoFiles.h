// ChangerInfoFiles: the changer file store in the local Library folder's "Changers" directory:
// each changer's directory with its "Info.plist", its media info files in "Discs", its device
// mount-point files in "Root", and the volume tags written to the changer. No list lock of its
// own; `g_mediaInfoArrMutex` guards every changer's m_mediaInfoArr. Files are written beside
// their final name first and then moved into place, so a crash never leaves half a file.
#pragma once
#include <cstddef>

#include "ChangerData.h"
#include "MountData.h"
#include "platform/Carbon.h"
#include "platform/CoreFoundation.h"

// g_mediaInfoArrMutex (Locks.h) is held by every reader and writer of a changer's m_mediaInfoArr
// (the changer thread, the Disk Arbitration thread and the file-system request thread all touch
// it). Never held while taking g_listRWLock.

// Filled by the changer-volume module; null while no changer volume can be mounted, in which
// case there is nobody to tell.
extern bool (*g_updateChangerFileSystemDeviceFileNameP)(ChangerData* i_changerDataP, const char* i_oldDeviceNameP,
                                                        const char* i_newDeviceNameP);
extern bool (*g_notifyAndDeleteFSDeviceInfoByDeviceFileP)(ChangerData* i_changerDataP,
                                                          const char* i_deviceFileNameP, bool i_haveListRWLock);

// ================================================================ process set-up and strings

[[nodiscard]] bool SetupChangerFileHandling();
// A new NUL-terminated copy of the string in the encoding, freed by the caller; null when the
// text has no lossless form in that encoding.
char* AllocCStringFromCFString(CFStringRef i_stringRef, CFStringEncoding i_encoding);

// A property list read from a store file, which is opened only when it is a regular file, never
// through a link and never blocking on open. Null on failure; *o_openedP tells whether the file
// could be opened at all.
CFPropertyListRef CreatePropertyListFromStoreFile(const FSRef* i_fileRefP, bool* o_openedP);

// ================================================================ changer directory and Info.plist

[[nodiscard]] bool CreateNewChangerDirectory(const FSRef* i_parentDirRefP, CFStringRef i_nameRef, FSRef* o_dirRefP);
[[nodiscard]] bool LocateChangerRootDirectory(ChangerData* i_changerDataP);
[[nodiscard]] bool LocateChangerMediaDirectory(ChangerData* i_changerDataP);
[[nodiscard]] bool LocateChangerDevicesDirectory(ChangerData* i_changerDataP);
[[nodiscard]] bool CheckChangerDevicesTrashDirectory(ChangerData* i_changerDataP);
[[nodiscard]] bool LocateChangerInfoFiles(ChangerData* i_changerDataP);
[[nodiscard]] bool GetFSRefForChangerInfoFile(const FSRef* i_changerDirRefP, bool i_shouldCreate, FSRef* o_fileRefP);
[[nodiscard]] bool WriteChangerInfoFile(ChangerData* i_changerDataP, CFDictionaryRef i_infoDictRef);
// No file: success with a null dictionary.
[[nodiscard]] bool ReadChangerInfoFile(ChangerData* i_changerDataP, CFMutableDictionaryRef* o_infoDictRefP);
[[nodiscard]] bool SavePersistantChangerInfo(ChangerData* i_changerDataP);
[[nodiscard]] bool LoadPersistantChangerInfo(ChangerData* i_changerDataP);

// ================================================================ media info files ("Discs")

[[nodiscard]] bool GetMediaFileName(UInt16 i_storageElem, char** o_fileNameP);
[[nodiscard]] bool GetFSRefForMediaFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, FSRef* o_fileRefP);
[[nodiscard]] bool CheckForExistingMediaFiles(MountData* i_mountDataP);
// No file: success with a null dictionary.
[[nodiscard]] bool ReadMediaInfoFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFMutableDictionaryRef* o_mediaDictRefP);
// Refuses to replace an existing file.
[[nodiscard]] bool WriteMediaInfoFile(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFPropertyListRef i_propertyListRef);
[[nodiscard]] bool SetStrValueInMediaInfoFile(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_keyP,
                                const char* i_valueP);

[[nodiscard]] bool AddMediaProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_mediaDictRef);
[[nodiscard]] bool AddMediaVolTagProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_mediaDictRef);
// o_deviceKeyRefP (may be null) receives the device's mount-point name as a new string.
[[nodiscard]] bool AddDeviceProperties(MountData* i_mountDataP, DeviceData* i_deviceDataP, CFMutableDictionaryRef io_deviceDictRef,
                         CFStringRef* o_deviceKeyRefP);
[[nodiscard]] bool BuildMediaPropertyList(MountData* i_mountDataP, CFMutableDictionaryRef* o_mediaDictRefP);
// The disc type code of a medium type ("DVD-R" is 17); 0 for a type not in the table.
UInt16 DiscTypeCodeForMediaType(const char* i_mediaTypeP);
[[nodiscard]] bool ComputeDiscType(MountData* i_mountDataP, UInt16* o_discTypeP);
[[nodiscard]] bool CreateMediaInfoFiles(MountData* i_mountDataP);
[[nodiscard]] bool SaveMediaInfoForMount(MountData* i_mountDataP);

[[nodiscard]] bool ConvertMediaFilePropertyListToItemInfoDict(CFDictionaryRef i_mediaDictRef, CFMutableDictionaryRef* o_itemInfoRefP);
// No file (or one that cannot be read): success with a null item info.
[[nodiscard]] bool GetMediaInfo(const FSRef* i_mediaDirRefP, UInt16 i_storageElem, CFMutableDictionaryRef* o_itemInfoRefP);
[[nodiscard]] bool MakeEmptyMediaInfo(CFMutableDictionaryRef* o_itemInfoRefP);
// A record that cannot be read, or lacks a key, is set aside as "NNNNN.plist.damaged" (logged)
// and its slot is taken as unknown, so the array always gets every slot.
[[nodiscard]] bool BuildMediaInfoArray(ChangerData* i_changerDataP);
// Whether the array has an entry for every slot.
[[nodiscard]] bool HasWholeMediaInfoArray(ChangerData* i_changerDataP);
[[nodiscard]] bool UpdateMountInfoArr(ChangerData* i_changerDataP, UInt16 i_storageElem);
// Always succeeds; the count stays as it was when the driver gives none.
[[nodiscard]] bool CountEmptyStorageElements(ChangerData* i_changerDataP);
[[nodiscard]] bool DeleteMediaFiles(ChangerData* i_changerDataP, UInt16 i_storageElem);
[[nodiscard]] bool RemoveOldMediaInfoFiles(ChangerData* i_changerDataP);

// ================================================================ device mount-point files ("Root")

[[nodiscard]] bool ShouldRecordInfoAboutDevice(MountData* i_mountDataP, DeviceData* i_deviceDataP);
[[nodiscard]] bool ShouldCreateDeviceMountPointFile(DeviceData* i_deviceDataP);
// Length in bytes of the part of a volume name used as a base name: at most 225 bytes, never
// ending inside a UTF-8 character.
size_t DeviceBaseNameLength(const char* i_deviceNameP);
// Display name (base, or "base N" for suffixes other than 1), the separator U+0001, then the
// GUID, storage element and device in upper-case hexadecimal; every ':' becomes '/'.
[[nodiscard]] bool FormatDeviceFileName(const char* i_baseNameP, size_t i_baseNameLen, UInt16 i_suffix, UInt64 i_changerGUID,
                          UInt16 i_storageElem, UInt16 i_device, char** o_deviceFileNameP);
// Whether a directory entry's display name (before its last separator) equals the candidate,
// ignoring the case of ASCII letters. An entry without a separator never collides.
[[nodiscard]] bool DisplayNamesCollide(const char* i_entryNameP, const char* i_candidateP);
[[nodiscard]] bool CheckForNameCollision(const HFSUniStr255* i_entryNameP, const char* i_candidateP, bool* o_collidesP);
[[nodiscard]] bool CheckForNameCollisionInDevicesDir(MountData* i_mountDataP, const char* i_candidateP, bool* o_collidesP);
[[nodiscard]] bool FindUnusedDeviceMountPointSuffix(MountData* i_mountDataP, const char* i_baseNameP, const char* i_oldDisplayNameP,
                                      UInt16* o_suffixP);
// A new unique file name for the device; with an old file name, its display name stays allowed.
[[nodiscard]] bool GetDeviceFileName(MountData* i_mountDataP, DeviceData* i_deviceDataP, const char* i_oldDeviceFileNameP,
                       char** o_deviceFileNameP);
[[nodiscard]] bool CreateDeviceMountPointFile(const FSRef* i_devicesDirRefP, CFStringRef i_nameRef);
[[nodiscard]] bool CreateMediaDeviceInfoFiles(MountData* i_mountDataP);
[[nodiscard]] bool IterateDirectoryForFile(const FSRef* i_dirRefP, CFStringRef i_nameRef, FSRef* o_fileRefP);
[[nodiscard]] bool GetFSRefForDeviceFile(const FSRef* i_devicesDirRefP, const char* i_deviceFileNameP, FSRef* o_fileRefP);
[[nodiscard]] bool RenameDeviceMountPointFile(ChangerData* i_changerDataP, DeviceData* i_deviceDataP, const char* i_oldNameP,
                                const char* i_newNameP);
[[nodiscard]] bool SetDeviceMountPointName(DeviceData* i_deviceDataP, const char* i_oldNameP, const char* i_newNameP,
                             bool i_shouldRenameFile) REQUIRES_SHARED(g_listRWLock);
[[nodiscard]] bool SetDevicePartitionName(MountData* i_mountDataP, DeviceData* i_deviceDataP, const char* i_partitionNameP);
[[nodiscard]] bool GetDeviceMountPointName(MountData* i_mountDataP, DeviceData* i_deviceDataP, char** o_deviceMountPointNameP);
[[nodiscard]] bool DeleteDeviceFileIfNecessary(ChangerData* i_changerDataP, UInt16 i_storageElem, const FSRef* i_fileRefP,
                                 const HFSUniStr255* i_fileNameP);
[[nodiscard]] bool DeleteDeviceFilesInDir(ChangerData* i_changerDataP, UInt16 i_storageElem, const FSRef* i_dirRefP);
[[nodiscard]] bool DeleteDeviceFiles(ChangerData* i_changerDataP, UInt16 i_storageElem);
[[nodiscard]] bool RemoveOldDeviceFiles(ChangerData* i_changerDataP);

// ================================================================ volume tags

// A newly allocated 33-byte tag: the name in Mac OS Roman (else UTF-8), "%-32.32s", with every
// byte >= 0x80, '?' and '*' replaced by '_'.
[[nodiscard]] bool ComputeVolTagFromDeviceName(const char* i_deviceNameP, char** o_volTagP);
// True when the tag was written by Shelvon 9 ("##" and two hexadecimal digits in characters 29
// to 32); its name part, trailing spaces removed, goes to o_nameP (29 bytes).
bool GetSH9VolTagName(const char* i_primaryVolTagP, char* o_nameP);
[[nodiscard]] bool FindFirstIdentifiedDevice(MountData* i_mountDataP, DeviceData** o_deviceDataP);
bool SaveSH9PrimaryVolTag(MountData* i_mountDataP, CFDictionaryRef i_itemInfoRef);
[[nodiscard]] bool ComputePrimaryVolTag(MountData* i_mountDataP, CFDictionaryRef i_itemInfoRef);
[[nodiscard]] bool ComputeAlternateVolTag(MountData* i_mountDataP, CFDictionaryRef i_itemInfoRef);
[[nodiscard]] bool ComputeVolTags(MountData* i_mountDataP);
[[nodiscard]] bool AddSetVolTagsProperties(MountData* i_mountDataP, CFMutableDictionaryRef io_requestDictRef);
[[nodiscard]] bool SetVolTagsOnChanger(MountData* i_mountDataP);
[[nodiscard]] bool HandleMediaVolTags(MountData* i_mountDataP);
[[nodiscard]] bool UpdateChangerVolTags(MountData* i_mountDataP);
[[nodiscard]] bool SetVolTag(ChangerData* i_changerDataP, CFStringRef i_tagKeyRef, UInt16 i_storageElem, const char* i_volTagP);
[[nodiscard]] bool SetPrimaryVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP);
[[nodiscard]] bool SetAlternateVolTag(ChangerData* i_changerDataP, UInt16 i_storageElem, const char* i_volTagP);
