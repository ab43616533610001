// CNIDTables: the CNID database of each changer volume. Two files in the changer directory,
// "CNIDs" (a header and one 20-byte record per CNID) and "file names" (the name soup), are
// mapped shared and changed in place; every integer in them is big-endian. The module owns
// the GUID-to-table list and its lock, g_CNIDTableForChangerListRWLock.
//
// Locks (Locks.h), always taken in this order: g_CNIDTableForChangerListRWLock or g_listRWLock,
// then the table's own m_tableLock. A growth moves a mapping, so every use of a table's mapping holds
// m_tableLock (for writing when it may change or grow the files). A table is disposed of only
// with g_listRWLock held for writing (the changer leaves the registry) and after its GUID entry
// is gone, so no operation can still be using it.
#pragma once
#include <pthread.h>
#include <stddef.h>

#include "platform/CFBase.h"
#include "Locks.h"

struct ChangerData;

typedef UInt32 CNID;

enum {
  k_noCNID = 0,
  k_rootParentCNID = 1,
  k_rootCNID = 2,
  k_firstItemCNID = 16,
  k_lastAssignableCNID = 19999999,
};

enum : UInt32 {
  k_CNIDMappingHeaderSize = 16,
  k_CNIDMappingRecordSize = 20,
  k_CNIDMappingGrowRecords = 30,
  k_nameSoupHeaderSize = 8,
  k_nameSoupGrowBytes = 10000,
  k_maxCNIDNameLength = 255,
  k_dirEntBlockSize = 10240,
  // The path field of the file system's path reply, NUL included: no longer path can reach it.
  k_maxCNIDPathLength = 4096,
};

// One record of "CNIDs"; the record at index i belongs to CNID i. Fields are big-endian:
// read and write them with CNIDGet16/32 and CNIDSet16/32.
struct CNIDMapping {
  UInt16 m_storageElem;
  UInt16 m_device;
  UInt32 m_nameOffset;  // 0: no name
  UInt32 m_parentCNID;  // 0: record not in use
  UInt32 m_siblingCNID;
  UInt32 m_childCNID;
};
static_assert(sizeof(CNIDMapping) == k_CNIDMappingRecordSize);

UInt16 CNIDGet16(const UInt16& i_field);
UInt32 CNIDGet32(const UInt32& i_field);
void CNIDSet16(UInt16& o_field, UInt16 i_value);
void CNIDSet32(UInt32& o_field, UInt32 i_value);

// Its fields and the bytes of its files are guarded by m_tableLock once the table is listed;
// set-up and tear-down run while it is in no list.
struct CNIDTable {
  int m_mappingFileDesc;
  void* m_mappingFileMapP;
  UInt32* m_CNIDMappingTableUsedP;
  UInt32* m_CNIDMappingTableLenP;
  UInt32* m_nextCNIDAssignmentP;
  UInt32* m_highestCNIDP;
  CNIDMapping* m_CNIDMappingTableP;
  int m_nameSoupFileDesc;
  void* m_nameSoupFileMapP;
  UInt32* m_nameSoupUsedP;
  UInt32* m_nameSoupLenP;
  char* m_nameSoupP;
  // Bytes mapped of each file; a header never takes more than these.
  size_t m_mappingFileSize;
  size_t m_nameSoupFileSize;
  platform::RWLock m_tableLock ACQUIRED_AFTER(g_listRWLock, g_CNIDTableForChangerListRWLock);
};

// Entries and their links: g_CNIDTableForChangerListRWLock.
struct CNIDTableForChanger {
  UInt64 m_changerGUID;
  CNIDTable* m_CNIDTableP;
  CNIDTableForChanger* m_linkP;
};

extern CNIDTableForChanger* g_CNIDTableForChangerListP GUARDED_BY(g_CNIDTableForChangerListRWLock);

// Set-up.
[[nodiscard]] bool InitializeCNIDTables();
// Maps "CNIDs" and "file names" of the changer directory (creating them, mode 0600) and writes
// a new table into a new "CNIDs"; a changer that has its table keeps it.
[[nodiscard]] bool InitializeCNIDTable(ChangerData* i_changerDataP);
// Opening repairs, each logged first: a zeroed "CNIDs" header over live records is rebuilt from
// them; a next CNID at or below a CNID in use goes above it; a zeroed "file names" header over its
// names is rebuilt; records whose names were lost with "file names" are cleared.
// OpenCNIDTableForReading maps both files as private copies and changes nothing in them: no file
// is created, an empty one reads as a new table, nothing is repaired.
[[nodiscard]] bool OpenCNIDTableForReading(ChangerData* i_changerDataP);
bool DisposeCNIDTable(ChangerData* i_changerDataP);
[[nodiscard]] bool AddCNIDTableForChangerMapping(ChangerData* i_changerDataP);
[[nodiscard]] bool RemoveCNIDTableForChanger(ChangerData* i_changerDataP);
// The caller holds g_CNIDTableForChangerListRWLock.
[[nodiscard]] bool LookupCNIDTableForChanger(UInt64 i_changerGUID, CNIDTable** o_CNIDTablePP)
    REQUIRES_SHARED(g_CNIDTableForChangerListRWLock);

// Requests of the changer file system.
[[nodiscard]] bool LookupCNIDByParentCNIDAndName(UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device,
                                   bool i_needLock, CNID i_parentCNID, const char* i_nameP,
                                   bool i_isNewEntry, CNID* o_CNIDP, CNID* o_parentCNIDP);
[[nodiscard]] bool LookupCNIDsForDirEnt(UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device,
                          CNID i_parentCNID, const void* i_dirEntriesP, void* o_dirEntriesP,
                          UInt32 i_length);
// The path is allocated with malloc; the caller frees it.
[[nodiscard]] bool PathFromCNID(UInt64 i_changerGUID, CNID i_CNID, char** o_pathPP, UInt16* o_pathLengthP);
[[nodiscard]] bool MoveRenameCNID(UInt64 i_changerGUID, CNID i_fromParentCNID, CNID i_CNID,
                    const char* i_fromNameP, CNID i_toParentCNID, const char* i_toNameP);
[[nodiscard]] bool DeleteCNID(UInt64 i_changerGUID, CNID i_CNID);
[[nodiscard]] bool DeleteCNIDTree(UInt64 i_changerGUID, CNID i_CNID, bool i_haveListLock);
[[nodiscard]] bool DeleteCNIDTreeByDeviceFile(UInt64 i_changerGUID, const char* i_deviceFileNameP,
                                bool i_haveListLock);

// Directory entry layout of the blocks LookupCNIDsForDirEnt reads and writes; records are
// m_recordLength bytes long and need not be aligned (the file system's own layout: file number,
// record length, type, name length, name).
struct SCNIDDirEntry {
  UInt32 m_fileNumber;
  UInt16 m_recordLength;
  UInt8 m_type;
  UInt8 m_nameLength;
  char m_name[256];  // NUL-terminated
};
enum : UInt32 { k_dirEntryNameOffset = 8 };
