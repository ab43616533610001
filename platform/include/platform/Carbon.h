// Carbon as the system code sees it: the File Manager over Mac paths under the system root, and
// the Text Encoding Converter for Mac OS Roman and Unicode.
#pragma once
#include "platform/CFBase.h"
#include "platform/CFTypes.h"
#if __has_include("platform/Gestalt.h")
#include "platform/Gestalt.h"
#endif

typedef unsigned long ItemCount;
typedef unsigned long ByteCount;
typedef unsigned long UniCharCount;
typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef const unsigned char* ConstStr255Param;
typedef unsigned char* StringPtr;
typedef SInt16 FSVolumeRefNum;
typedef UInt32 TextEncoding;

// ---- results
enum : OSErr {
  noErr = 0,
  dskFulErr = -34,
  nsvErr = -35,
  ioErr = -36,
  bdNamErr = -37,
  tmfoErr = -42,
  fnfErr = -43,
  wPrErr = -44,
  fBsyErr = -47,  // also: a folder that is not empty
  dupFNErr = -48,
  paramErr = -50,
  permErr = -54,
  memFullErr = -108,
  dirNFErr = -120,
  badMovErr = -122,
  diffVolErr = -1303,
  errFSBadFSRef = -1401,
  errFSBadInfoBitmap = -1405,
  errFSNotAFolder = -1407,
  errFSNameTooLong = -1410,
  errFSNoMoreItems = -1417,
  errFSBadItemCount = -1418,
  errFSRefsDifferent = -1420,
  errFSBadIteratorFlags = -1422,
  errFSIteratorNotFound = -1423,
  afpAccessDenied = -5000,
};

// ---- references and names
// An item that exists (or existed). Opaque; copies by value refer to the same item.
struct FSRef {
  UInt8 hidden[80];
};
typedef FSRef* FSRefPtr;
static_assert(sizeof(FSRef) == 80, "records embed FSRefs");

struct HFSUniStr255 {
  UInt16 length;  // in UTF-16 units
  UniChar unicode[255];
};
static_assert(sizeof(HFSUniStr255) == 512);

// Classic reference: volume, parent folder ID and name (Mac OS Roman).
struct FSSpec {
  FSVolumeRefNum vRefNum;
  SInt32 parID;
  Str63 name;
};
typedef FSSpec* FSSpecPtr;
enum : SInt32 { fsRtParID = 1, fsRtDirID = 2 };

// ---- catalog information
typedef UInt32 FSCatalogInfoBitmap;
enum : FSCatalogInfoBitmap {
  kFSCatInfoNone = 0x00000000,
  kFSCatInfoTextEncoding = 0x00000001,
  kFSCatInfoNodeFlags = 0x00000002,
  kFSCatInfoVolume = 0x00000004,
  kFSCatInfoParentDirID = 0x00000008,
  kFSCatInfoNodeID = 0x00000010,
  kFSCatInfoCreateDate = 0x00000020,
  kFSCatInfoContentMod = 0x00000040,
  kFSCatInfoAttrMod = 0x00000080,
  kFSCatInfoAccessDate = 0x00000100,
  kFSCatInfoBackupDate = 0x00000200,
  kFSCatInfoPermissions = 0x00000400,
  kFSCatInfoFinderInfo = 0x00000800,
  kFSCatInfoFinderXInfo = 0x00001000,
  kFSCatInfoValence = 0x00002000,
  kFSCatInfoDataSizes = 0x00004000,
  kFSCatInfoRsrcSizes = 0x00008000,
  kFSCatInfoSharingFlags = 0x00010000,
  kFSCatInfoUserPrivs = 0x00020000,
  kFSCatInfoUserAccess = 0x00080000,
  kFSCatInfoAllDates = 0x000003E0,
  kFSCatInfoGettableInfo = 0x0003FFFF,
  kFSCatInfoSettableInfo = 0x00001FE3,
};

enum : UInt16 {
  kFSNodeLockedMask = 0x0001,
  kFSNodeIsDirectoryMask = 0x0010,
};

struct UTCDateTime {
  UInt16 highSeconds;
  UInt32 lowSeconds;  // seconds since 1904-01-01 00:00 UTC, with highSeconds above
  UInt16 fraction;    // 1/65536 seconds
};

struct FSPermissionInfo {
  UInt32 userID;
  UInt32 groupID;
  UInt8 reserved1;
  UInt8 userAccess;  // what the caller may do: the POSIX r/w/x bits that apply to it
  UInt16 mode;       // the POSIX mode, file type bits included
  UInt32 reserved2;
};

struct FSCatalogInfo {
  UInt16 nodeFlags;
  FSVolumeRefNum volume;
  UInt32 parentDirID;
  UInt32 nodeID;
  UInt8 sharingFlags;
  UInt8 userPrivileges;
  UInt8 reserved1;
  UInt8 reserved2;
  UTCDateTime createDate;
  UTCDateTime contentModDate;
  UTCDateTime attributeModDate;
  UTCDateTime accessDate;
  UTCDateTime backupDate;
  FSPermissionInfo permissions;
  UInt8 finderInfo[16];
  UInt8 extFinderInfo[16];
  UInt64 dataLogicalSize;
  UInt64 dataPhysicalSize;
  UInt64 rsrcLogicalSize;
  UInt64 rsrcPhysicalSize;
  UInt32 valence;  // items in a folder
  TextEncoding textEncodingHint;
};
typedef FSCatalogInfo* FSCatalogInfoPtr;

// ---- folders
enum : SInt16 {
  kOnSystemDisk = -32768,
  kSystemDomain = -32766,
  kLocalDomain = -32765,
};
enum : OSType {
  kDomainLibraryFolderType = 0x646C6962,  // 'dlib'
};
enum : Boolean { kDontCreateFolder = 0, kCreateFolder = 1 };
// The Library folder of a domain: local (or the system disk) "/Library", system "/System/Library".
// Other domains and folder types are not kept by this system: fnfErr.
[[nodiscard]] OSErr FSFindFolder(SInt16 vRefNum, OSType folderType, Boolean createFolder, FSRef* o_ref);

// ---- references
// Names are Unicode; a '/' in a name is a ':' in the POSIX name on disk and the other way round.
// A ':' in a Unicode name or an empty one is bdNamErr.
[[nodiscard]] OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* o_newRef);
// Follows a symbolic link at the end of the path. `o_isDirectory` may be null.
[[nodiscard]] OSStatus FSPathMakeRef(const UInt8* path, FSRef* o_ref, Boolean* o_isDirectory);
// The Mac path, NUL-terminated; paramErr (and an empty string) when it does not fit.
[[nodiscard]] OSStatus FSRefMakePath(const FSRef* ref, UInt8* o_path, UInt32 maxPathSize);
// noErr for the same item; diffVolErr on other volumes; errFSRefsDifferent otherwise.
[[nodiscard]] OSErr FSCompareFSRefs(const FSRef* ref1, const FSRef* ref2);

// ---- creating, renaming, deleting
// Permissions from the process's file-creation mask (0777 for folders, 0666 for files), then
// those of `catalogInfo` when `whichInfo` asks for them. dupFNErr when the name exists.
// The out-parameters may be null.
[[nodiscard]] OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo, FSRef* o_newRef,
                               FSSpec* o_newSpec, UInt32* o_newDirID);
[[nodiscard]] OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo, FSRef* o_newRef,
                          FSSpec* o_newSpec);
// New name in the same folder; dupFNErr when another item has it.
[[nodiscard]] OSErr FSRenameUnicode(const FSRef* ref, UniCharCount nameLength, const UniChar* name, TextEncoding textEncodingHint,
                      FSRef* o_newRef);
// Files, and folders that are empty (fBsyErr otherwise).
[[nodiscard]] OSErr FSDeleteObject(const FSRef* ref);

// ---- catalog information
// Every out-parameter may be null. The root of the system has no parent: `o_parentRef` is then
// all zeros.
[[nodiscard]] OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* o_catalogInfo,
                       HFSUniStr255* o_outName, FSSpec* o_fsSpec, FSRef* o_parentRef);
// Sets what `whichInfo` names: permissions (owner, group, mode) and the content-modification and
// access dates. Other settable information is not kept by the file system: errFSBadInfoBitmap.
[[nodiscard]] OSErr FSSetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo);

// ---- FSSpec
[[nodiscard]] OSErr FSpMakeFSRef(const FSSpec* source, FSRef* o_newRef);
// `fileName` is a Pascal string (Mac OS Roman), null or empty for the folder itself. The FSSpec is
// filled also when the item does not exist (fnfErr).
[[nodiscard]] OSErr FSMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param fileName, FSSpec* o_fsSpec);

// ---- folder iteration
typedef struct OpaqueFSIterator* FSIterator;
typedef UInt32 FSIteratorFlags;
enum : FSIteratorFlags { kFSIterateFlat = 0, kFSIterateSubtree = 1 };
// Items come in name order, "." and ".." left out. A flat iteration only.
[[nodiscard]] OSErr FSOpenIterator(const FSRef* container, FSIteratorFlags iteratorFlags, FSIterator* o_iterator);
OSErr FSCloseIterator(FSIterator iterator);
// Up to `maximumObjects` items per call, noErr while items come, then errFSNoMoreItems with none.
// The arrays may be null; each has room for `maximumObjects` entries.
[[nodiscard]] OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects, ItemCount* o_actualObjects,
                           Boolean* o_containerChanged, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfos,
                           FSRef* refs, FSSpec* fsSpecs, HFSUniStr255* names);

typedef void (*IOCompletionUPP)(void* paramBlock);
struct FSCatalogBulkParam {
  void* qLink;
  SInt16 qType;
  SInt16 ioTrap;
  void* ioCmdAddr;
  IOCompletionUPP ioCompletion;  // not called: the call is synchronous
  OSErr ioResult;
  Boolean containerChanged;
  UInt8 reserved;
  FSIteratorFlags iteratorFlags;
  FSIterator iterator;
  const FSRef* container;
  ItemCount maximumItems;
  ItemCount actualItems;
  FSCatalogInfoBitmap whichInfo;
  FSCatalogInfo* catalogInfo;
  FSRef* refs;
  FSSpec* specs;
  HFSUniStr255* names;
  const void* searchParams;
};
typedef FSCatalogBulkParam* FSCatalogBulkParamPtr;
// FSGetCatalogInfoBulk with its arguments in the block; the result also goes to ioResult.
[[nodiscard]] OSErr PBGetCatalogInfoBulkSync(FSCatalogBulkParam* paramBlock);

// ---- URLs
// A file URL of the item's Mac path (a folder's ends in "/").
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* ref);
// False when the URL is not a path of an existing item.
[[nodiscard]] Boolean CFURLGetFSRef(CFURLRef url, FSRef* o_ref);

// ---- Text Encoding Converter (Mac OS Roman and the other single-byte encodings of CFString)
enum : TextEncoding {
  kTextEncodingMacRoman = 0,
  kTextEncodingUnicodeDefault = 0x0100,
  kTextEncodingUnicodeV2_0 = 0x0103,
  kTextEncodingISOLatin1 = 0x0201,
  kTextEncodingUS_ASCII = 0x0600,
  kTextEncodingDefaultVariant = 0,
  kTextEncodingDefaultFormat = 0,
  kUnicode16BitFormat = 0,
};
enum : SInt32 { kUnicodeUseLatestMapping = -1, kUnicodeUseHFSPlusMapping = 4 };
enum : OSStatus {
  kTextUnsupportedEncodingErr = -8738,
  kTextMalformedInputErr = -8739,
  kTextUndefinedElementErr = -8740,
  kTECNoConversionPathErr = -8749,
  kTECUnmappableElementErr = -8754,
  kTECOutputBufferFullStatus = -8785,
};

TextEncoding CreateTextEncoding(UInt32 encodingBase, UInt32 encodingVariant, UInt32 encodingFormat);
UInt32 GetTextEncodingBase(TextEncoding encoding);
UInt32 GetTextEncodingFormat(TextEncoding encoding);

struct UnicodeMapping {
  TextEncoding unicodeEncoding;  // a Unicode encoding in the 16-bit format
  TextEncoding otherEncoding;
  SInt32 mappingVersion;
};
typedef struct OpaqueUnicodeToTextInfo* UnicodeToTextInfo;
typedef struct OpaqueTextToUnicodeInfo* TextToUnicodeInfo;

[[nodiscard]] OSStatus CreateUnicodeToTextInfo(const UnicodeMapping* iUnicodeMapping, UnicodeToTextInfo* oUnicodeToTextInfo);
[[nodiscard]] OSStatus CreateUnicodeToTextInfoByEncoding(TextEncoding iEncoding, UnicodeToTextInfo* oUnicodeToTextInfo);
[[nodiscard]] OSStatus CreateTextToUnicodeInfo(const UnicodeMapping* iUnicodeMapping, TextToUnicodeInfo* oTextToUnicodeInfo);
[[nodiscard]] OSStatus CreateTextToUnicodeInfoByEncoding(TextEncoding iEncoding, TextToUnicodeInfo* oTextToUnicodeInfo);
OSStatus DisposeUnicodeToTextInfo(UnicodeToTextInfo* ioUnicodeToTextInfo);
OSStatus DisposeTextToUnicodeInfo(TextToUnicodeInfo* ioTextToUnicodeInfo);
// `iUnicodeLen` is in bytes. A character with no form in the encoding: kTECUnmappableElementErr;
// more than 255 bytes: kTECOutputBufferFullStatus. The Pascal string is empty on failure.
[[nodiscard]] OSStatus ConvertFromUnicodeToPString(UnicodeToTextInfo iUnicodeToTextInfo, ByteCount iUnicodeLen,
                                     const UniChar* iUnicodeStr, Str255 oPascalStr);
// `iOutputBufLen` and `oUnicodeLen` are in bytes. kTECOutputBufferFullStatus when it does not fit
// (nothing is written then).
[[nodiscard]] OSStatus ConvertFromPStringToUnicode(TextToUnicodeInfo iTextToUnicodeInfo, ConstStr255Param iPascalStr,
                                     ByteCount iOutputBufLen, ByteCount* oUnicodeLen, UniChar* oUnicodeStr);
