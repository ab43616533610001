// ChangerInfoFiles: the changer file store in the local Library folder's "Changers" directory:
// each changer's directory with its "Info.plist", its media info files in "Discs", its device
// mount-point files in "Root", and the volume tags written to the changer. No lock of its own.
#pragma once
#include <cstddef>

#include "platform/CoreFoundation.h"

// ---- Process set-up and strings shared by the whole daemon

bool SetupChangerFileHandling();
// A new NUL-terminated copy of the string in the encoding, freed by the caller; null when the
// text has no lossless form in that encoding.
char* AllocCStringFromCFString(CFStringRef i_stringRef, CFStringEncoding i_encoding);

// ---- Volume tags

// A newly allocated 33-byte tag: the name in Mac OS Roman (else UTF-8), "%-32.32s", with every
// byte >= 0x80, '?' and '*' replaced by '_'.
bool ComputeVolTagFromDeviceName(const char* i_deviceNameP, char** o_volTagP);
// True when the tag was written by Shelvon 9 ("##" and two hexadecimal digits in characters 29
// to 32); its name part, trailing spaces removed, goes to o_nameP (29 bytes).
bool GetSH9VolTagName(const char* i_primaryVolTagP, char* o_nameP);

// ---- Media info files

// The disc type code of a medium type ("DVD-R" is 17); 0 for a type not in the table.
UInt16 DiscTypeCodeForMediaType(const char* i_mediaTypeP);

// ---- Device mount-point file names

// Length in bytes of the part of a volume name used as a base name: at most 225 bytes, never
// ending inside a UTF-8 character.
size_t DeviceBaseNameLength(const char* i_deviceNameP);
// Display name (base, or "base N" for suffixes other than 1), the separator U+0001, then the
// GUID, storage element and device in upper-case hexadecimal; every ':' becomes '/'.
bool FormatDeviceFileName(const char* i_baseNameP, size_t i_baseNameLen, UInt16 i_suffix, UInt64 i_changerGUID,
                          UInt16 i_storageElem, UInt16 i_device, char** o_deviceFileNameP);
// Whether a directory entry's display name (before its last separator) equals the candidate,
// ignoring the case of ASCII letters. An entry without a separator never collides.
bool DisplayNamesCollide(const char* i_entryNameP, const char* i_candidateP);
