#include "CNIDTables.h"

#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "ChangerData.h"
#include "ChangerInfoFiles.h"
#include "LogMessage.h"
#include "MountData.h"
#include "platform/Carbon.h"
#include "platform/BSD.h"

CNIDTableForChanger* g_CNIDTableForChangerListP GUARDED_BY(g_CNIDTableForChangerListRWLock) = nullptr;
platform::RWLock g_CNIDTableForChangerListRWLock;

static const char* const k_CNIDMappingFileName = "CNIDs";
static const char* const k_nameSoupFileName = "file names";

static constexpr LockFailText k_listWriteLockText = "%s: unable to write lock list r/w lock (err = %d).\n";
static constexpr LockFailText k_listUnlockText = "%s: unable to unlock list r/w lock (err = %d).\n";
static const char* const k_changerNotListedText = "%s: changer is not in the list!";
static const char* const k_outOfRangeText =
    "%s: request to delete CNID that is out of range (CNID: %ld Highest CNID: %ld)\n";
static const char* const k_invalidCNIDText = "%s: request to delete invalid CNID %ld\n";

UInt16 CNIDGet16(const UInt16& i_field) { return be16toh(i_field); }
UInt32 CNIDGet32(const UInt32& i_field) { return be32toh(i_field); }
void CNIDSet16(UInt16& o_field, UInt16 i_value) { o_field = htobe16(i_value); }
void CNIDSet32(UInt32& o_field, UInt32 i_value) { o_field = htobe32(i_value); }

// ---- Mapped files

// A read-only mapping is a private copy that is never written back; an empty file then maps as
// fresh zeroed memory of the new size, so that a new table can be looked at without writing one.
[[nodiscard]] static bool MMapFile(int i_fileDesc, size_t i_newSize, bool i_readOnly, void** o_mapPP, size_t* o_sizeP,
                     bool* o_isNewP) {
  *o_mapPP = nullptr;
  *o_sizeP = 0;
  *o_isNewP = false;
  struct stat fileInfo;
  if (fstat(i_fileDesc, &fileInfo) != 0) {
    LogMessage("%s: unable to get the size of the file (err = %d).\n", __func__, errno);
    return false;
  }
  if (!S_ISREG(fileInfo.st_mode)) {
    LogMessage("%s: the file is not a regular file.\n", __func__);
    return false;
  }
  size_t size = static_cast<size_t>(fileInfo.st_size);
  bool isNew = false;
  if (size == 0 && i_readOnly) {
    void* mapP = mmap(nullptr, i_newSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapP == MAP_FAILED) {
      LogMessage("%s: unable to map the file (err = %d).\n", __func__, errno);
      return false;
    }
    *o_mapPP = mapP;
    *o_sizeP = i_newSize;
    *o_isNewP = true;
    return true;
  }
  if (size == 0) {
    if (ftruncate(i_fileDesc, static_cast<off_t>(i_newSize)) != 0) {
      LogMessage("%s: unable to extend the file (err = %d).\n", __func__, errno);
      return false;
    }
    size = i_newSize;
    isNew = true;
  }
  void* mapP = mmap(nullptr, size, PROT_READ | PROT_WRITE, i_readOnly ? MAP_PRIVATE : MAP_SHARED, i_fileDesc, 0);
  if (mapP == MAP_FAILED) {
    LogMessage("%s: unable to map the file (err = %d).\n", __func__, errno);
    return false;
  }
  *o_mapPP = mapP;
  *o_sizeP = size;
  *o_isNewP = isNew;
  return true;
}

static void MUnmapFile(void* i_mapP, size_t i_size) {
  if (i_mapP != nullptr && munmap(i_mapP, i_size) != 0)
    LogMessage("%s: unable to unmap the file (err = %d).\n", __func__, errno);
}

// The file is extended and mapped anew before the old mapping goes, so a failure leaves the
// table usable at its old size.
[[nodiscard]] static bool GrowAMappingFile(int i_fileDesc, void** io_mapPP, size_t* io_sizeP, size_t i_amount) {
  struct stat fileInfo;
  if (fstat(i_fileDesc, &fileInfo) != 0) {
    LogMessage("%s: unable to get the size of the file (err = %d).\n", __func__, errno);
    return false;
  }
  off_t oldSize = fileInfo.st_size;
  size_t newSize = static_cast<size_t>(oldSize) + i_amount;
  if (ftruncate(i_fileDesc, static_cast<off_t>(newSize)) != 0) {
    LogMessage("%s: unable to extend the file (err = %d).\n", __func__, errno);
    return false;
  }
  void* newMapP = mmap(nullptr, newSize, PROT_READ | PROT_WRITE, MAP_SHARED, i_fileDesc, 0);
  if (newMapP == MAP_FAILED) {
    LogMessage("%s: unable to map the file (err = %d).\n", __func__, errno);
    if (ftruncate(i_fileDesc, oldSize) != 0)
      LogMessage("%s: unable to restore the size of the file (err = %d).\n", __func__, errno);
    return false;
  }
  MUnmapFile(*io_mapPP, *io_sizeP);
  *io_mapPP = newMapP;
  *io_sizeP = newSize;
  return true;
}

static void DeriveCNIDMappingPointers(CNIDTable* io_tableP) {
  UInt8* baseP = static_cast<UInt8*>(io_tableP->m_mappingFileMapP);
  io_tableP->m_CNIDMappingTableUsedP = reinterpret_cast<UInt32*>(baseP);
  io_tableP->m_CNIDMappingTableLenP = reinterpret_cast<UInt32*>(baseP + 4);
  io_tableP->m_nextCNIDAssignmentP = reinterpret_cast<UInt32*>(baseP + 8);
  io_tableP->m_highestCNIDP = reinterpret_cast<UInt32*>(baseP + 12);
  io_tableP->m_CNIDMappingTableP = reinterpret_cast<CNIDMapping*>(baseP + k_CNIDMappingHeaderSize);
}

static void DeriveNameSoupPointers(CNIDTable* io_tableP) {
  char* baseP = static_cast<char*>(io_tableP->m_nameSoupFileMapP);
  io_tableP->m_nameSoupUsedP = reinterpret_cast<UInt32*>(baseP);
  io_tableP->m_nameSoupLenP = reinterpret_cast<UInt32*>(baseP + 4);
  io_tableP->m_nameSoupP = baseP + k_nameSoupHeaderSize;
}

static size_t RecordsInMapping(const CNIDTable* i_tableP) {
  if (i_tableP->m_mappingFileSize < k_CNIDMappingHeaderSize) return 0;
  return (i_tableP->m_mappingFileSize - k_CNIDMappingHeaderSize) / k_CNIDMappingRecordSize;
}

[[nodiscard]] static bool RecordsAreZero(const CNIDTable* i_tableP) {
  const UInt8* recordsP = reinterpret_cast<const UInt8*>(i_tableP->m_CNIDMappingTableP);
  size_t length = RecordsInMapping(i_tableP) * k_CNIDMappingRecordSize;
  for (size_t i = 0; i < length; ++i)
    if (recordsP[i] != 0) return false;
  return true;
}

[[nodiscard]] static bool GrowCNIDMappingFile(CNIDTable* io_tableP) {
  if (!GrowAMappingFile(io_tableP->m_mappingFileDesc, &io_tableP->m_mappingFileMapP,
                        &io_tableP->m_mappingFileSize,
                        k_CNIDMappingGrowRecords * k_CNIDMappingRecordSize))
    return false;
  DeriveCNIDMappingPointers(io_tableP);
  CNIDSet32(*io_tableP->m_CNIDMappingTableLenP,
            CNIDGet32(*io_tableP->m_CNIDMappingTableLenP) + k_CNIDMappingGrowRecords);
  return true;
}

[[nodiscard]] static bool GrowNameSoupMappingFile(CNIDTable* io_tableP) {
  if (!GrowAMappingFile(io_tableP->m_nameSoupFileDesc, &io_tableP->m_nameSoupFileMapP,
                        &io_tableP->m_nameSoupFileSize, k_nameSoupGrowBytes))
    return false;
  DeriveNameSoupPointers(io_tableP);
  CNIDSet32(*io_tableP->m_nameSoupLenP, CNIDGet32(*io_tableP->m_nameSoupLenP) + k_nameSoupGrowBytes);
  return true;
}

// The changer directory is writable by group admin: a link planted at a file's name is never
// followed, and a FIFO never blocks the open (MMapFile then refuses anything but a regular file).
[[nodiscard]] static bool OpenAndMapFile(const char* i_changerDirPathP, const char* i_fileNameP, size_t i_newSize, bool i_readOnly,
                           int* o_fileDescP, void** o_mapPP, size_t* o_sizeP, bool* o_isNewP, const char* i_callerP) {
  *o_fileDescP = -1;
  std::string macPath = std::string(i_changerDirPathP) + "/" + i_fileNameP;
  int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (i_readOnly ? O_RDONLY : O_RDWR | O_CREAT);
  int fileDesc = bsd::open(macPath.c_str(), flags, 0600);
  if (fileDesc < 0) {
    LogMessage("%s: unable to open the file.\n", i_callerP);
    return false;
  }
  if (!MMapFile(fileDesc, i_newSize, i_readOnly, o_mapPP, o_sizeP, o_isNewP)) {
    LogMessage("%s: unable to memory map the file %s.\n", i_callerP, macPath.c_str());
    close(fileDesc);
    return false;
  }
  if (i_readOnly && *o_isNewP) {
    // The mapping is not the file's: no descriptor tells its size.
    close(fileDesc);
    fileDesc = -1;
  }
  *o_fileDescP = fileDesc;
  return true;
}

[[nodiscard]] static bool MMapCNIDMappingFile(const char* i_changerDirPathP, bool i_readOnly, CNIDTable* io_tableP,
                                bool* o_isNewP) {
  if (!OpenAndMapFile(i_changerDirPathP, k_CNIDMappingFileName,
                      k_CNIDMappingHeaderSize + k_CNIDMappingGrowRecords * k_CNIDMappingRecordSize, i_readOnly,
                      &io_tableP->m_mappingFileDesc, &io_tableP->m_mappingFileMapP,
                      &io_tableP->m_mappingFileSize, o_isNewP, __func__))
    return false;
  DeriveCNIDMappingPointers(io_tableP);
  if (*o_isNewP) {
    CNIDSet32(*io_tableP->m_CNIDMappingTableUsedP, 0);
    CNIDSet32(*io_tableP->m_CNIDMappingTableLenP, k_CNIDMappingGrowRecords);
    CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, 0);
    CNIDSet32(*io_tableP->m_highestCNIDP, 0);
  } else if (io_tableP->m_mappingFileSize == k_CNIDMappingHeaderSize + k_CNIDMappingGrowRecords * k_CNIDMappingRecordSize &&
             CNIDGet32(*io_tableP->m_CNIDMappingTableUsedP) == 0 &&
             CNIDGet32(*io_tableP->m_CNIDMappingTableLenP) == k_CNIDMappingGrowRecords &&
             CNIDGet32(*io_tableP->m_nextCNIDAssignmentP) == 0 && CNIDGet32(*io_tableP->m_highestCNIDP) == 0 &&
             RecordsAreZero(io_tableP)) {
    // Exactly what creation writes before the new-table content: the creator stopped in between.
    // Records behind such a header are not that: the header was damaged (RebuildCNIDMappingHeader).
    *o_isNewP = true;
  }
  return true;
}

[[nodiscard]] static bool MMapNameSoupFile(const char* i_changerDirPathP, bool i_readOnly, CNIDTable* io_tableP) {
  bool isNew = false;
  if (!OpenAndMapFile(i_changerDirPathP, k_nameSoupFileName, k_nameSoupHeaderSize + k_nameSoupGrowBytes, i_readOnly,
                      &io_tableP->m_nameSoupFileDesc, &io_tableP->m_nameSoupFileMapP,
                      &io_tableP->m_nameSoupFileSize, &isNew, __func__))
    return false;
  DeriveNameSoupPointers(io_tableP);
  if (isNew) {
    CNIDSet32(*io_tableP->m_nameSoupUsedP, 0);
    CNIDSet32(*io_tableP->m_nameSoupLenP, k_nameSoupGrowBytes);
  }
  return true;
}

[[nodiscard]] static bool WriteNewCNIDTable(CNIDTable* io_tableP) {
  // Only a file smaller than a new table is refused here: every name the old soup held
  // belongs to records that the new table no longer has.
  if (io_tableP->m_mappingFileSize <
          k_CNIDMappingHeaderSize + k_CNIDMappingGrowRecords * k_CNIDMappingRecordSize ||
      io_tableP->m_nameSoupFileSize < k_nameSoupHeaderSize + 2) {
    LogMessage("%s: the CNID files are too small for a new table.\n", __func__);
    return false;
  }
  memset(io_tableP->m_mappingFileMapP, 0, io_tableP->m_mappingFileSize);
  CNIDSet32(*io_tableP->m_CNIDMappingTableUsedP, k_firstItemCNID);
  CNIDSet32(*io_tableP->m_CNIDMappingTableLenP,
            static_cast<UInt32>((io_tableP->m_mappingFileSize - k_CNIDMappingHeaderSize) /
                                k_CNIDMappingRecordSize));
  CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, k_firstItemCNID);
  CNIDSet32(*io_tableP->m_highestCNIDP, k_firstItemCNID);
  for (CNID cnid : {k_rootParentCNID, k_rootCNID}) {
    CNIDMapping& record = io_tableP->m_CNIDMappingTableP[cnid];
    CNIDSet16(record.m_storageElem, 0xFFFF);
    CNIDSet16(record.m_device, 0xFFFF);
    CNIDSet32(record.m_nameOffset, 1);
    CNIDSet32(record.m_parentCNID, k_rootParentCNID);
  }
  CNIDSet32(io_tableP->m_CNIDMappingTableP[k_rootParentCNID].m_childCNID, k_rootCNID);
  CNIDSet32(*io_tableP->m_nameSoupUsedP, 2);
  CNIDSet32(*io_tableP->m_nameSoupLenP,
            static_cast<UInt32>(io_tableP->m_nameSoupFileSize - k_nameSoupHeaderSize));
  io_tableP->m_nameSoupP[0] = 0;
  io_tableP->m_nameSoupP[1] = 0;
  return true;
}

static void TearDownCNIDTable(CNIDTable* i_CNIDTableP) {
  if (i_CNIDTableP == nullptr) return;
  MUnmapFile(i_CNIDTableP->m_mappingFileMapP, i_CNIDTableP->m_mappingFileSize);
  MUnmapFile(i_CNIDTableP->m_nameSoupFileMapP, i_CNIDTableP->m_nameSoupFileSize);
  if (i_CNIDTableP->m_mappingFileDesc >= 0) close(i_CNIDTableP->m_mappingFileDesc);
  if (i_CNIDTableP->m_nameSoupFileDesc >= 0) close(i_CNIDTableP->m_nameSoupFileDesc);
  delete i_CNIDTableP;
}

// ---- Soundness of the mapped data
//
// The files may have been cut, damaged or written by someone else: nothing from them is used
// as a size, an index or an offset before it has been checked against what is mapped.

[[nodiscard]] static bool CNIDTableIsSound(const CNIDTable* i_tableP, const char* i_callerP) {
  if (i_tableP->m_mappingFileSize < k_CNIDMappingHeaderSize) {
    LogMessage("%s: the CNID mapping file is damaged (file size = %lu).\n", i_callerP,
               static_cast<unsigned long>(i_tableP->m_mappingFileSize));
    return false;
  }
  UInt64 capacity = CNIDGet32(*i_tableP->m_CNIDMappingTableLenP);
  UInt32 next = CNIDGet32(*i_tableP->m_nextCNIDAssignmentP);
  UInt32 highest = CNIDGet32(*i_tableP->m_highestCNIDP);
  if (k_CNIDMappingHeaderSize + capacity * k_CNIDMappingRecordSize > i_tableP->m_mappingFileSize ||
      highest < k_rootCNID || highest >= capacity || next < k_firstItemCNID || next >= capacity) {
    LogMessage(
        "%s: the CNID mapping file is damaged (file size = %lu, capacity = %lu, next CNID = %lu, "
        "highest CNID = %lu).\n",
        i_callerP, static_cast<unsigned long>(i_tableP->m_mappingFileSize),
        static_cast<unsigned long>(capacity), static_cast<unsigned long>(next),
        static_cast<unsigned long>(highest));
    return false;
  }
  if (i_tableP->m_nameSoupFileSize < k_nameSoupHeaderSize) {
    LogMessage("%s: the name soup file is damaged (file size = %lu).\n", i_callerP,
               static_cast<unsigned long>(i_tableP->m_nameSoupFileSize));
    return false;
  }
  UInt64 soupCapacity = CNIDGet32(*i_tableP->m_nameSoupLenP);
  UInt32 soupUsed = CNIDGet32(*i_tableP->m_nameSoupUsedP);
  // Offsets 0 and 1 are taken from the start (0: no name, 1: the empty name of records 1 and 2);
  // a soup that has not both would give a new name offset 0, the mark of a free record.
  if (k_nameSoupHeaderSize + soupCapacity > i_tableP->m_nameSoupFileSize || soupUsed > soupCapacity ||
      soupUsed < 2) {
    LogMessage("%s: the name soup file is damaged (file size = %lu, used = %lu, capacity = %lu).\n",
               i_callerP, static_cast<unsigned long>(i_tableP->m_nameSoupFileSize),
               static_cast<unsigned long>(soupUsed), static_cast<unsigned long>(soupCapacity));
    return false;
  }
  return true;
}

static UInt32 HighestCNID(const CNIDTable* i_tableP) { return CNIDGet32(*i_tableP->m_highestCNIDP); }

// Records of sound tables: CNIDs 1 to the highest all lie inside the mapping.
[[nodiscard]] static bool CNIDIsInRange(const CNIDTable* i_tableP, CNID i_CNID) {
  return i_CNID >= k_rootParentCNID && i_CNID <= HighestCNID(i_tableP);
}

static CNIDMapping& Record(CNIDTable* i_tableP, CNID i_CNID) {
  return i_tableP->m_CNIDMappingTableP[i_CNID];
}

[[nodiscard]] static bool RecordIsInUse(CNIDTable* i_tableP, CNID i_CNID) {
  const CNIDMapping& record = Record(i_tableP, i_CNID);
  return CNIDGet32(record.m_nameOffset) != 0 && CNIDGet32(record.m_parentCNID) != 0;
}

// A link read from a record, checked before it is followed.
[[nodiscard]] static bool LinkIsInRange(CNIDTable* i_tableP, CNID i_fromCNID, CNID i_toCNID, const char* i_callerP) {
  if (CNIDIsInRange(i_tableP, i_toCNID)) return true;
  LogMessage("%s: CNID %lu links to CNID %lu, outside the table (highest CNID %lu).\n", i_callerP,
             static_cast<unsigned long>(i_fromCNID), static_cast<unsigned long>(i_toCNID),
             static_cast<unsigned long>(HighestCNID(i_tableP)));
  return false;
}

static void LogEndlessList(CNID i_CNID, const char* i_callerP) {
  LogMessage("%s: the child list of CNID %lu does not end.\n", i_callerP,
             static_cast<unsigned long>(i_CNID));
}

// The name of a record; null when it has none or when its offset or its end lies outside the
// used part of the soup. GetNameForCNIDEntry logs the latter.
static const char* NameOfCNIDEntry(CNIDTable* i_tableP, CNID i_CNID, size_t* o_lengthP) {
  *o_lengthP = 0;
  if (i_CNID > HighestCNID(i_tableP)) return nullptr;
  UInt32 offset = CNIDGet32(Record(i_tableP, i_CNID).m_nameOffset);
  if (offset == 0) return nullptr;
  UInt32 used = CNIDGet32(*i_tableP->m_nameSoupUsedP);
  const char* nameP = i_tableP->m_nameSoupP + offset;
  const void* endP = offset < used ? memchr(nameP, 0, used - offset) : nullptr;
  if (endP == nullptr) return nullptr;
  *o_lengthP = static_cast<size_t>(static_cast<const char*>(endP) - nameP);
  return nameP;
}

static const char* GetNameForCNIDEntry(CNIDTable* i_tableP, CNID i_CNID, size_t* o_lengthP) {
  const char* nameP = NameOfCNIDEntry(i_tableP, i_CNID, o_lengthP);
  UInt32 offset = i_CNID > HighestCNID(i_tableP) ? 0 : CNIDGet32(Record(i_tableP, i_CNID).m_nameOffset);
  if (nameP == nullptr && offset != 0) {
    UInt32 used = CNIDGet32(*i_tableP->m_nameSoupUsedP);
    LogMessage("%s: the name of CNID %lu lies outside the name soup (offset = %lu, used = %lu).\n",
               __func__, static_cast<unsigned long>(i_CNID), static_cast<unsigned long>(offset),
               static_cast<unsigned long>(used));
  }
  return nameP;
}

[[nodiscard]] static bool NamesAreEqual(const char* i_aP, const char* i_bP) {
  return strncmp(i_aP, i_bP, k_maxCNIDNameLength) == 0;
}

[[nodiscard]] static bool NameIsAcceptable(const char* i_nameP, const char* i_callerP) {
  size_t length = i_nameP == nullptr ? 0 : strnlen(i_nameP, k_maxCNIDNameLength + 1);
  if (length == 0 || length > k_maxCNIDNameLength) {
    LogMessage("%s: a name must have 1 to 255 bytes.\n", i_callerP);
    return false;
  }
  return true;
}

// ---- Names and records

[[nodiscard]] static bool AddNameToEndOfMap(CNIDTable* io_tableP, const char* i_nameP, size_t i_length,
                              UInt32* o_offsetP) {
  *o_offsetP = 0;
  if (i_length == 0) i_length = strlen(i_nameP);
  UInt64 used = CNIDGet32(*io_tableP->m_nameSoupUsedP);
  if (used + i_length >= CNIDGet32(*io_tableP->m_nameSoupLenP)) {
    if (!GrowNameSoupMappingFile(io_tableP)) {
      LogMessage("%s: could not grow name soup mapping file.\n", __func__);
      return false;
    }
  }
  if (used + i_length + 1 > CNIDGet32(*io_tableP->m_nameSoupLenP)) {
    LogMessage("%s: could not grow name soup mapping file.\n", __func__);
    return false;
  }
  memcpy(io_tableP->m_nameSoupP + used, i_nameP, i_length);
  io_tableP->m_nameSoupP[used + i_length] = 0;
  *o_offsetP = static_cast<UInt32>(used);
  CNIDSet32(*io_tableP->m_nameSoupUsedP, static_cast<UInt32>(used + i_length + 1));
  return true;
}

// Returns false only when the table is damaged; *o_isFoundP tells whether the name is there.
[[nodiscard]] static bool FindCNIDFromParentCNIDAndName(CNIDTable* i_tableP, CNID i_parentCNID, const char* i_nameP,
                                          CNID* o_CNIDP, CNID* o_parentCNIDP, bool* o_isFoundP) {
  *o_CNIDP = k_noCNID;
  *o_parentCNIDP = k_noCNID;
  *o_isFoundP = false;
  if (strcmp(i_nameP, ".") == 0 || strcmp(i_nameP, "..") == 0) {
    CNID cnid = i_parentCNID;
    if (i_nameP[1] == '.') {
      cnid = CNIDGet32(Record(i_tableP, i_parentCNID).m_parentCNID);
      if (!LinkIsInRange(i_tableP, i_parentCNID, cnid, __func__)) return false;
    }
    CNID parentCNID = CNIDGet32(Record(i_tableP, cnid).m_parentCNID);
    if (!LinkIsInRange(i_tableP, cnid, parentCNID, __func__)) return false;
    *o_CNIDP = cnid;
    *o_parentCNIDP = parentCNID;
    *o_isFoundP = true;
    return true;
  }
  // A damaged list can run round a cycle for as many steps as the table has CNIDs: a bad name
  // met on the way is logged once, when the walk ends.
  CNID badNameCNID = k_noCNID;
  auto endWalk = [&](bool i_result) {
    size_t length = 0;
    if (badNameCNID != k_noCNID) (void)GetNameForCNIDEntry(i_tableP, badNameCNID, &length);
    return i_result;
  };
  UInt32 steps = 0;
  for (CNID child = CNIDGet32(Record(i_tableP, i_parentCNID).m_childCNID); child != k_noCNID;
       child = CNIDGet32(Record(i_tableP, child).m_siblingCNID)) {
    if (!LinkIsInRange(i_tableP, i_parentCNID, child, __func__)) return endWalk(false);
    if (++steps > HighestCNID(i_tableP)) {
      endWalk(false);
      LogEndlessList(i_parentCNID, __func__);
      return false;
    }
    size_t length = 0;
    const char* nameP = NameOfCNIDEntry(i_tableP, child, &length);
    if (nameP == nullptr && badNameCNID == k_noCNID && CNIDGet32(Record(i_tableP, child).m_nameOffset) != 0)
      badNameCNID = child;
    if (nameP != nullptr && NamesAreEqual(nameP, i_nameP)) {
      *o_CNIDP = child;
      *o_isFoundP = true;
      return endWalk(true);
    }
  }
  return endWalk(true);
}

[[nodiscard]] static bool GetNextNewCNID(CNIDTable* i_tableP, CNID* o_CNIDP) {
  *o_CNIDP = k_noCNID;
  CNID next = CNIDGet32(*i_tableP->m_nextCNIDAssignmentP);
  if (next > k_lastAssignableCNID) {
    LogMessage("%s: out of CNIDs.\n", __func__);
    return false;
  }
  *o_CNIDP = next;
  return true;
}

[[nodiscard]] static bool AddCNIDEntry(CNIDTable* io_tableP, UInt16 i_storageElem, UInt16 i_device,
                         CNID i_parentCNID, const char* i_nameP, CNID* o_CNIDP) {
  *o_CNIDP = k_noCNID;
  CNID cnid = k_noCNID;
  if (!GetNextNewCNID(io_tableP, &cnid)) {
    LogMessage("%s: out of CNID's!\n", __func__);
    return false;
  }
  if (RecordIsInUse(io_tableP, cnid)) {
    LogMessage("%s: CNID %lu is already in use.\n", __func__, static_cast<unsigned long>(cnid));
    return false;
  }
  CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, cnid + 1);
  if (cnid + 1 >= CNIDGet32(*io_tableP->m_CNIDMappingTableLenP) && !GrowCNIDMappingFile(io_tableP)) {
    LogMessage("%s: could not grow CNID mapping file.\n", __func__);
    CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, cnid);
    return false;
  }
  UInt32 nameOffset = 0;
  if (!AddNameToEndOfMap(io_tableP, i_nameP, 0, &nameOffset)) {
    LogMessage("%s: error adding name to end of the name soup map.\n", __func__);
    CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, cnid);
    return false;
  }
  CNIDMapping& parent = Record(io_tableP, i_parentCNID);
  CNIDMapping& record = Record(io_tableP, cnid);
  CNIDSet16(record.m_storageElem, i_storageElem);
  CNIDSet16(record.m_device, i_device);
  CNIDSet32(record.m_nameOffset, nameOffset);
  CNIDSet32(record.m_parentCNID, i_parentCNID);
  record.m_siblingCNID = parent.m_childCNID;
  CNIDSet32(record.m_childCNID, k_noCNID);
  CNIDSet32(parent.m_childCNID, cnid);
  CNIDSet32(*io_tableP->m_CNIDMappingTableUsedP, CNIDGet32(*io_tableP->m_CNIDMappingTableUsedP) + 1);
  if (cnid > HighestCNID(io_tableP)) CNIDSet32(*io_tableP->m_highestCNIDP, cnid);
  *o_CNIDP = cnid;
  return true;
}

[[nodiscard]] static bool FindLinkingCNID(CNIDTable* i_tableP, CNID i_CNID, CNID* o_linkingCNIDP, bool* o_isParentLinkP) {
  *o_linkingCNIDP = k_noCNID;
  *o_isParentLinkP = false;
  CNID parentCNID = CNIDGet32(Record(i_tableP, i_CNID).m_parentCNID);
  if (!LinkIsInRange(i_tableP, i_CNID, parentCNID, __func__)) return false;
  CNID child = CNIDGet32(Record(i_tableP, parentCNID).m_childCNID);
  if (child == i_CNID) {
    *o_linkingCNIDP = parentCNID;
    *o_isParentLinkP = true;
    return true;
  }
  UInt32 steps = 0;
  while (child != k_noCNID && CNIDIsInRange(i_tableP, child) && ++steps <= HighestCNID(i_tableP)) {
    CNID sibling = CNIDGet32(Record(i_tableP, child).m_siblingCNID);
    if (sibling == i_CNID) {
      *o_linkingCNIDP = child;
      return true;
    }
    child = sibling;
  }
  LogMessage("%s: CNID Table is inconsistant.\n", __func__);
  return false;
}

static void UnlinkCNID(CNIDTable* io_tableP, CNID i_CNID, CNID i_linkingCNID, bool i_isParentLink) {
  CNIDMapping& linking = Record(io_tableP, i_linkingCNID);
  UInt32 sibling = Record(io_tableP, i_CNID).m_siblingCNID;
  if (i_isParentLink)
    linking.m_childCNID = sibling;
  else
    linking.m_siblingCNID = sibling;
}

static void ZeroCNIDEntry(CNIDTable* io_tableP, CNID i_CNID) {
  size_t length = 0;
  char* nameP = const_cast<char*>(GetNameForCNIDEntry(io_tableP, i_CNID, &length));
  if (nameP != nullptr) memset(nameP, 0, length);
  memset(&Record(io_tableP, i_CNID), 0, sizeof(CNIDMapping));
}

// The fixed records 1 and 2 frame the tree; no request may delete or move them.
[[nodiscard]] static bool CNIDIsDeletable(CNIDTable* i_tableP, CNID i_CNID, const char* i_callerP) {
  if (i_CNID > HighestCNID(i_tableP)) {
    LogMessage(k_outOfRangeText, i_callerP, static_cast<long>(i_CNID),
               static_cast<long>(HighestCNID(i_tableP)));
    return false;
  }
  if (i_CNID < k_firstItemCNID || !RecordIsInUse(i_tableP, i_CNID)) {
    LogMessage(k_invalidCNIDText, i_callerP, static_cast<long>(i_CNID));
    return false;
  }
  return true;
}

// Iterative, so that no depth of tree can exhaust the stack. Every record reached is zeroed
// before its links are followed further, so a damaged table that links back into the walk
// meets only free records and the walk ends. A record whose parent is not the one it was
// reached from belongs elsewhere and is left alone.
static void DeleteCNIDTreeLoop(CNIDTable* io_tableP, CNID i_CNID, CNID i_linkingCNID, bool i_isParentLink) {
  struct SPending {
    CNID m_CNID;
    CNID m_parentCNID;
    bool m_isChild;
  };
  UnlinkCNID(io_tableP, i_CNID, i_linkingCNID, i_isParentLink);
  std::vector<SPending> pending;
  CNID firstChild = CNIDGet32(Record(io_tableP, i_CNID).m_childCNID);
  ZeroCNIDEntry(io_tableP, i_CNID);
  if (firstChild != k_noCNID) pending.push_back({firstChild, i_CNID, true});
  while (!pending.empty()) {
    SPending entry = pending.back();
    pending.pop_back();
    bool isDeletable = CNIDIsDeletable(io_tableP, entry.m_CNID, __func__);
    if (isDeletable && CNIDGet32(Record(io_tableP, entry.m_CNID).m_parentCNID) != entry.m_parentCNID) {
      LogMessage("%s: CNID %lu is linked from CNID %lu but is not its child.\n", __func__,
                 static_cast<unsigned long>(entry.m_CNID), static_cast<unsigned long>(entry.m_parentCNID));
      isDeletable = false;
    }
    if (!isDeletable) {
      LogMessage(entry.m_isChild ? "%s: error deleteing child CNID.\n" : "%s: error deleteing sibling CNID.\n",
                 __func__);
      continue;
    }
    CNIDMapping& record = Record(io_tableP, entry.m_CNID);
    CNID child = CNIDGet32(record.m_childCNID);
    CNID sibling = CNIDGet32(record.m_siblingCNID);
    ZeroCNIDEntry(io_tableP, entry.m_CNID);
    if (sibling != k_noCNID) pending.push_back({sibling, entry.m_parentCNID, false});
    if (child != k_noCNID) pending.push_back({child, entry.m_CNID, true});
  }
}

// ---- Repairs when a table is opened
//
// Each is logged before it writes, and none drops a record whose item could still be read.

static UInt32 CapacityInMapping(const CNIDTable* i_tableP) {
  UInt64 capacity = CNIDGet32(*i_tableP->m_CNIDMappingTableLenP);
  size_t records = RecordsInMapping(i_tableP);
  return static_cast<UInt32>(capacity < records ? capacity : records);
}

// A header zeroed over live records: capacity from the file, the numbering above the last
// record in use, so that no CNID is handed out twice.
static void RebuildCNIDMappingHeader(CNIDTable* io_tableP) {
  if (CNIDGet32(*io_tableP->m_CNIDMappingTableUsedP) != 0 || CNIDGet32(*io_tableP->m_nextCNIDAssignmentP) != 0 ||
      CNIDGet32(*io_tableP->m_highestCNIDP) != 0 || RecordsAreZero(io_tableP))
    return;
  size_t records = RecordsInMapping(io_tableP);
  if (records <= k_firstItemCNID || records > k_lastAssignableCNID + 1u) return;
  UInt32 capacity = static_cast<UInt32>(records);
  CNID lastInUse = k_noCNID;
  for (CNID cnid = k_firstItemCNID; cnid < capacity; ++cnid)
    if (RecordIsInUse(io_tableP, cnid)) lastInUse = cnid;
  CNID next = lastInUse == k_noCNID ? CNID(k_firstItemCNID) : lastInUse + 1;
  LogMessage("%s: the header of the CNID mapping file is zeroed but its records are not; rebuilt for %lu records, "
             "next CNID %lu.\n",
             __func__, static_cast<unsigned long>(capacity), static_cast<unsigned long>(next));
  CNIDSet32(*io_tableP->m_CNIDMappingTableLenP, capacity);
  CNIDSet32(*io_tableP->m_CNIDMappingTableUsedP, next);
  CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, next);
  CNIDSet32(*io_tableP->m_highestCNIDP, lastInUse == k_noCNID ? CNID(k_firstItemCNID) : lastInUse);
}

// A next CNID at or below a record in use would overwrite that record: it goes above the last
// one. Costs one pass over the records from the next CNID up, that is none in a sound table.
static void RepairNextCNID(CNIDTable* io_tableP) {
  CNID next = CNIDGet32(*io_tableP->m_nextCNIDAssignmentP);
  UInt32 capacity = CapacityInMapping(io_tableP);
  if (next < k_firstItemCNID) return;
  CNID lastInUse = k_noCNID;
  for (CNID cnid = next; cnid < capacity; ++cnid)
    if (RecordIsInUse(io_tableP, cnid)) lastInUse = cnid;
  if (lastInUse == k_noCNID) return;
  LogMessage("%s: CNID %lu is in use at or above the next CNID %lu; the next CNID is now %lu.\n", __func__,
             static_cast<unsigned long>(lastInUse), static_cast<unsigned long>(next),
             static_cast<unsigned long>(lastInUse + 1));
  if (lastInUse + 1 >= capacity && !GrowCNIDMappingFile(io_tableP)) {
    LogMessage("%s: could not grow CNID mapping file.\n", __func__);
    return;
  }
  CNIDSet32(*io_tableP->m_nextCNIDAssignmentP, lastInUse + 1);
  if (CNIDGet32(*io_tableP->m_CNIDMappingTableUsedP) < lastInUse + 1)
    CNIDSet32(*io_tableP->m_CNIDMappingTableUsedP, lastInUse + 1);
  if (HighestCNID(io_tableP) < lastInUse) CNIDSet32(*io_tableP->m_highestCNIDP, lastInUse);
}

// A soup header zeroed over its names: the names run up to the last byte in use.
[[nodiscard]] static bool RebuildNameSoupHeader(CNIDTable* io_tableP) {
  size_t area = io_tableP->m_nameSoupFileSize - k_nameSoupHeaderSize;
  size_t last = area;
  for (size_t i = area; i > 0; --i) {
    if (io_tableP->m_nameSoupP[i - 1] != 0) {
      last = i - 1;
      break;
    }
  }
  if (last == area || area > 0xFFFFFFFFu) return false;
  UInt32 used = static_cast<UInt32>(last + 2 < area ? last + 2 : area);
  LogMessage("%s: the header of the name soup file is zeroed but its names are not; rebuilt (used = %lu, "
             "capacity = %lu).\n",
             __func__, static_cast<unsigned long>(used), static_cast<unsigned long>(area));
  CNIDSet32(*io_tableP->m_nameSoupUsedP, used);
  CNIDSet32(*io_tableP->m_nameSoupLenP, static_cast<UInt32>(area));
  return true;
}

// "file names" lost while "CNIDs" kept its records: their names are gone, and new names would
// land at the offsets they still hold. The items go; the numbering stays, so no CNID returns.
static void ClearNamelessCNIDRecords(CNIDTable* io_tableP) {
  size_t area = io_tableP->m_nameSoupFileSize - k_nameSoupHeaderSize;
  if (area < 2 || area > 0xFFFFFFFFu) return;
  UInt32 capacity = CapacityInMapping(io_tableP);
  bool hasItems = false;
  for (CNID cnid = k_firstItemCNID; cnid < capacity && !hasItems; ++cnid) hasItems = RecordIsInUse(io_tableP, cnid);
  if (hasItems)
    LogMessage("%s: the name soup file is empty but the CNID mapping file holds items; their records are cleared, "
               "the next CNID stays %lu.\n",
               __func__, static_cast<unsigned long>(CNIDGet32(*io_tableP->m_nextCNIDAssignmentP)));
  if (capacity > k_rootCNID + 1)
    memset(&Record(io_tableP, k_rootCNID + 1), 0, (capacity - k_rootCNID - 1) * sizeof(CNIDMapping));
  for (CNID cnid : {k_rootParentCNID, k_rootCNID}) {
    if (cnid >= capacity) continue;
    CNIDMapping& record = Record(io_tableP, cnid);
    CNIDSet16(record.m_storageElem, 0xFFFF);
    CNIDSet16(record.m_device, 0xFFFF);
    CNIDSet32(record.m_nameOffset, 1);
    CNIDSet32(record.m_parentCNID, k_rootParentCNID);
    CNIDSet32(record.m_siblingCNID, k_noCNID);
    CNIDSet32(record.m_childCNID, cnid == k_rootParentCNID ? k_rootCNID : k_noCNID);
  }
  memset(io_tableP->m_nameSoupP, 0, 2);
  CNIDSet32(*io_tableP->m_nameSoupUsedP, 2);
  CNIDSet32(*io_tableP->m_nameSoupLenP, static_cast<UInt32>(area));
}

static void RepairCNIDTable(CNIDTable* io_tableP) {
  if (io_tableP->m_mappingFileSize < k_CNIDMappingHeaderSize) return;
  RebuildCNIDMappingHeader(io_tableP);
  if (io_tableP->m_nameSoupFileSize >= k_nameSoupHeaderSize && CNIDGet32(*io_tableP->m_nameSoupUsedP) < 2 &&
      !RebuildNameSoupHeader(io_tableP))
    ClearNamelessCNIDRecords(io_tableP);
  RepairNextCNID(io_tableP);
}

// ---- The GUID-to-table list

// Runs at start-up, before any thread that could use the list exists.
bool InitializeCNIDTables() NO_THREAD_SAFETY_ANALYSIS {
  while (g_CNIDTableForChangerListP != nullptr) {
    CNIDTableForChanger* entryP = g_CNIDTableForChangerListP;
    g_CNIDTableForChangerListP = entryP->m_linkP;
    free(entryP);
  }
  // The list's lock is initialised statically: initialising it again is undefined.
  return true;
}

bool AddCNIDTableForChangerMapping(ChangerData* i_changerDataP) {
  ScopedRWLock listLock(g_CNIDTableForChangerListRWLock, __func__, k_listUnlockText);
  if (!listLock.WriteLock(k_listWriteLockText)) return false;
  CNIDTableForChanger* entryP = static_cast<CNIDTableForChanger*>(calloc(1, sizeof(CNIDTableForChanger)));
  if (entryP == nullptr) {
    LogMessage("%s: unable to allocate CNIDTableForChanger.\n", __func__);
    return false;
  }
  entryP->m_changerGUID = i_changerDataP->m_changerGUID;
  entryP->m_CNIDTableP = i_changerDataP->m_CNIDTableP;
  entryP->m_linkP = g_CNIDTableForChangerListP;
  g_CNIDTableForChangerListP = entryP;
  return true;
}

bool RemoveCNIDTableForChanger(ChangerData* i_changerDataP) {
  ScopedRWLock listLock(g_CNIDTableForChangerListRWLock, __func__, k_listUnlockText);
  if (!listLock.WriteLock(k_listWriteLockText)) return false;
  CNIDTableForChanger** linkPP = &g_CNIDTableForChangerListP;
  while (*linkPP != nullptr) {
    CNIDTableForChanger* entryP = *linkPP;
    if (entryP->m_changerGUID == i_changerDataP->m_changerGUID) {
      *linkPP = entryP->m_linkP;
      free(entryP);
    } else {
      linkPP = &entryP->m_linkP;
    }
  }
  return true;
}

bool LookupCNIDTableForChanger(UInt64 i_changerGUID, CNIDTable** o_CNIDTablePP) {
  *o_CNIDTablePP = nullptr;
  for (CNIDTableForChanger* entryP = g_CNIDTableForChangerListP; entryP != nullptr; entryP = entryP->m_linkP) {
    if (entryP->m_changerGUID == i_changerGUID) {
      *o_CNIDTablePP = entryP->m_CNIDTableP;
      return true;
    }
  }
  LogMessage("%s: CNIDTable-for-changer mapping table didn't contain the GUID 0x%016llX.\n", __func__,
             static_cast<unsigned long long>(i_changerGUID));
  return false;
}

// ---- A changer's table

// Logs in the name of its caller, the set-up the caller asked for.
[[nodiscard]] static bool SetUpCNIDTable(ChangerData* i_changerDataP, bool i_readOnly, const char* i_callerP) {
  // The store's set-up is repeated until it succeeds; a table already in place stays.
  if (i_changerDataP->m_CNIDTableP != nullptr) return true;
  CNIDTable* tableP = new (std::nothrow) CNIDTable{};
  if (tableP == nullptr) {
    LogMessage("%s: unable to allocate CNID Table.\n", i_callerP);
    return false;
  }
  tableP->m_mappingFileDesc = -1;
  tableP->m_nameSoupFileDesc = -1;
  char changerDirPath[1024];
  OSStatus err = FSRefMakePath(&i_changerDataP->m_changerDir, reinterpret_cast<UInt8*>(changerDirPath),
                               sizeof changerDirPath);
  if (err != noErr) {
    LogMessage("%s: unable convert the changer directory reference to a path (err = %ld).\n", i_callerP,
               static_cast<long>(err));
    TearDownCNIDTable(tableP);
    return false;
  }
  bool isNew = false;
  if (!MMapCNIDMappingFile(changerDirPath, i_readOnly, tableP, &isNew)) {
    LogMessage("%s: uanble to memory map the CNID mapping table file.\n", i_callerP);
    TearDownCNIDTable(tableP);
    return false;
  }
  if (!MMapNameSoupFile(changerDirPath, i_readOnly, tableP)) {
    LogMessage("%s: uanble to memory map the name soup file.\n", i_callerP);
    TearDownCNIDTable(tableP);
    return false;
  }
  if (isNew && !WriteNewCNIDTable(tableP)) {
    TearDownCNIDTable(tableP);
    return false;
  }
  if (!isNew && !i_readOnly) RepairCNIDTable(tableP);
  i_changerDataP->m_CNIDTableP = tableP;
  if (!AddCNIDTableForChangerMapping(i_changerDataP)) {
    LogMessage("%s: unable to add CNID table for changer mapping 0x%016llX.\n", i_callerP,
               static_cast<unsigned long long>(i_changerDataP->m_changerGUID));
    i_changerDataP->m_CNIDTableP = nullptr;
    TearDownCNIDTable(tableP);
    return false;
  }
  return true;
}

bool InitializeCNIDTable(ChangerData* i_changerDataP) { return SetUpCNIDTable(i_changerDataP, false, __func__); }

bool OpenCNIDTableForReading(ChangerData* i_changerDataP) { return SetUpCNIDTable(i_changerDataP, true, __func__); }

bool DisposeCNIDTable(ChangerData* i_changerDataP) {
  if (i_changerDataP->m_CNIDTableP == nullptr) return true;
  bool removed = RemoveCNIDTableForChanger(i_changerDataP);
  if (!removed) {
    // Still listed: a request could find it, so it must stay mapped.
    LogMessage("%s: unable to remove the CNID table of changer 0x%016llX from the list.\n", __func__,
               static_cast<unsigned long long>(i_changerDataP->m_changerGUID));
    return false;
  }
  TearDownCNIDTable(i_changerDataP->m_CNIDTableP);
  i_changerDataP->m_CNIDTableP = nullptr;
  return true;
}

// ---- Requests

static constexpr LockFailText k_tableLockText = "%s: unable to lock the CNID table (err = %d).\n";
static constexpr LockFailText k_tableUnlockText = "%s: unable to unlock the CNID table (err = %d).\n";
static constexpr LockFailText k_pathListLockText = "%s: unable to get write lock on list r/w lock (err = %d).\n";
static constexpr LockFailText k_pathListUnlockText =
    "%s: unable to release read-write lock on list mutex (err = %d).\n";

// The table of a listed changer; the caller holds g_listRWLock.
[[nodiscard]] static bool GetCNIDTableOfChanger(UInt64 i_changerGUID, CNIDTable** o_CNIDTablePP, ChangerData** o_changerDataPP,
                                  const char* i_callerP) REQUIRES_SHARED(g_listRWLock) {
  *o_CNIDTablePP = nullptr;
  *o_changerDataPP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetChangerData(i_changerGUID, &changerDataP)) {
    LogMessage(k_changerNotListedText, i_callerP);
    return false;
  }
  if (changerDataP->m_CNIDTableP == nullptr) {
    LogMessage("%s: changer 0x%016llX has no CNID table.\n", i_callerP,
               static_cast<unsigned long long>(i_changerGUID));
    return false;
  }
  *o_CNIDTablePP = changerDataP->m_CNIDTableP;
  *o_changerDataPP = changerDataP;
  return true;
}

[[nodiscard]] static bool CNIDIsDirectory(CNIDTable* i_tableP, CNID i_CNID, const char* i_callerP) {
  if (CNIDIsInRange(i_tableP, i_CNID) && RecordIsInUse(i_tableP, i_CNID)) return true;
  LogMessage("%s: parent CNID %lu is not an item of the table.\n", i_callerP, static_cast<unsigned long>(i_CNID));
  return false;
}

// The list lock is taken only when the caller lacks it, which the analysis cannot follow.
bool LookupCNIDByParentCNIDAndName(UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device, bool i_needLock,
                                   CNID i_parentCNID, const char* i_nameP, bool /*i_isNewEntry*/, CNID* o_CNIDP,
                                   CNID* o_parentCNIDP) NO_THREAD_SAFETY_ANALYSIS {
  *o_CNIDP = k_noCNID;
  *o_parentCNIDP = k_noCNID;
  ScopedRWLock listLock(g_CNIDTableForChangerListRWLock, __func__, k_listUnlockText);
  if (i_needLock && !listLock.WriteLock(k_listWriteLockText)) return false;
  CNIDTable* tableP = nullptr;
  if (!LookupCNIDTableForChanger(i_changerGUID, &tableP)) {
    LogMessage("%s: unable to lookup CNID table for changer 0x%016llX.\n", __func__,
               static_cast<unsigned long long>(i_changerGUID));
    return false;
  }
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.WriteLock(k_tableLockText)) return false;
  if (!CNIDTableIsSound(tableP, __func__) || !CNIDIsDirectory(tableP, i_parentCNID, __func__) ||
      !NameIsAcceptable(i_nameP, __func__))
    return false;
  CNID cnid = k_noCNID;
  CNID parentCNID = k_noCNID;
  bool isFound = false;
  if (!FindCNIDFromParentCNIDAndName(tableP, i_parentCNID, i_nameP, &cnid, &parentCNID, &isFound)) return false;
  if (!isFound && !AddCNIDEntry(tableP, i_storageElem, i_device, i_parentCNID, i_nameP, &cnid)) {
    LogMessage("%s: error creating new CNID record.\n", __func__);
    return false;
  }
  *o_CNIDP = cnid;
  *o_parentCNIDP = CNIDGet32(Record(tableP, cnid).m_parentCNID);
  return true;
}

bool LookupCNIDsForDirEnt(UInt64 i_changerGUID, UInt16 i_storageElem, UInt16 i_device, CNID i_parentCNID,
                          const void* i_dirEntriesP, void* o_dirEntriesP, UInt32 i_length) {
  ScopedRWLock listLock(g_CNIDTableForChangerListRWLock, __func__, k_listUnlockText);
  if (!listLock.WriteLock(k_listWriteLockText)) return false;
  const UInt8* inP = static_cast<const UInt8*>(i_dirEntriesP);
  UInt8* outP = static_cast<UInt8*>(o_dirEntriesP);
  memset(outP, 0, k_dirEntBlockSize);
  // The output has room for one block; input beyond it is not taken.
  UInt32 length = i_length < k_dirEntBlockSize ? i_length : k_dirEntBlockSize;
  UInt32 consumed = 0;
  while (consumed < length) {
    UInt16 recordLength = 0;
    if (length - consumed >= k_dirEntryNameOffset)
      memcpy(&recordLength, inP + consumed + offsetof(SCNIDDirEntry, m_recordLength), sizeof recordLength);
    if (recordLength == 0 && length - consumed >= k_dirEntryNameOffset) break;
    if (recordLength < k_dirEntryNameOffset || recordLength > length - consumed) {
      LogMessage("%s: the directory entry at offset %lu does not fit the block.\n", __func__,
                 static_cast<unsigned long>(consumed));
      break;
    }
    memcpy(outP + consumed, inP + consumed, recordLength);
    const char* nameP = reinterpret_cast<const char*>(inP + consumed + k_dirEntryNameOffset);
    size_t nameRoom = recordLength - k_dirEntryNameOffset;
    CNID cnid = k_noCNID;
    CNID parentCNID = k_noCNID;
    if (strnlen(nameP, nameRoom) == nameRoom) {
      LogMessage("%s: the name of the directory entry at offset %lu is not terminated.\n", __func__,
                 static_cast<unsigned long>(consumed));
    } else if (LookupCNIDByParentCNIDAndName(i_changerGUID, i_storageElem, i_device, false, i_parentCNID, nameP,
                                             false, &cnid, &parentCNID)) {
      memcpy(outP + consumed + offsetof(SCNIDDirEntry, m_fileNumber), &cnid, sizeof cnid);
    }
    consumed += recordLength;
  }
  return true;
}

bool PathFromCNID(UInt64 i_changerGUID, CNID i_CNID, char** o_pathPP, UInt16* o_pathLengthP) {
  *o_pathPP = nullptr;
  if (o_pathLengthP != nullptr) *o_pathLengthP = 0;
  ScopedRWLock listLock(g_listRWLock, __func__, k_pathListUnlockText);
  if (!listLock.ReadLock(k_pathListLockText)) return false;
  CNIDTable* tableP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetCNIDTableOfChanger(i_changerGUID, &tableP, &changerDataP, __func__)) return false;
  const char* mountPathP = changerDataP->m_changerMountPathP.load();
  if (mountPathP == nullptr) {
    LogMessage("%s: the volume of changer 0x%016llX is not mounted.\n", __func__,
               static_cast<unsigned long long>(i_changerGUID));
    return false;
  }
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.ReadLock(k_tableLockText)) return false;
  if (!CNIDTableIsSound(tableP, __func__)) return false;
  if (!CNIDIsInRange(tableP, i_CNID)) {
    LogMessage("%s: CNID %lu is not in the table.\n", __func__, static_cast<unsigned long>(i_CNID));
    return false;
  }
  struct SSegment {
    const char* m_nameP;
    size_t m_length;
  };
  std::vector<SSegment> segments;
  size_t segmentsLength = 0;
  size_t mountPathLength = strlen(mountPathP);
  for (CNID cnid = i_CNID; cnid != k_rootCNID;) {
    // A chain that meets CNID 1 or runs longer than the table has records never reaches the root.
    if (cnid == k_rootParentCNID || segments.size() >= HighestCNID(tableP)) {
      LogMessage("%s: the parent chain of CNID %lu does not reach the root.\n", __func__,
                 static_cast<unsigned long>(i_CNID));
      return false;
    }
    size_t length = 0;
    const char* nameP = GetNameForCNIDEntry(tableP, cnid, &length);
    if (nameP == nullptr) {
      LogMessage("%s: CNID %lu has no name.\n", __func__, static_cast<unsigned long>(cnid));
      return false;
    }
    segments.push_back({nameP, length});
    segmentsLength += length + 1;
    // Checked at every step, so that a parent cycle ends here too, long before the table does.
    if (mountPathLength + segmentsLength + 1 > k_maxCNIDPathLength) {
      LogMessage("%s: the path of CNID %lu is longer than a reply can carry.\n", __func__,
                 static_cast<unsigned long>(i_CNID));
      return false;
    }
    CNID parentCNID = CNIDGet32(Record(tableP, cnid).m_parentCNID);
    if (!LinkIsInRange(tableP, cnid, parentCNID, __func__)) return false;
    cnid = parentCNID;
  }
  size_t pathLength = mountPathLength + segmentsLength;
  if (pathLength + 1 > k_maxCNIDPathLength) {
    LogMessage("%s: the path of CNID %lu is longer than a reply can carry.\n", __func__,
               static_cast<unsigned long>(i_CNID));
    return false;
  }
  char* pathP = static_cast<char*>(malloc(pathLength + 1));
  if (pathP == nullptr) {
    LogMessage("%s: could not allocate string for path (len = %d)\n", __func__, static_cast<int>(pathLength + 1));
    return false;
  }
  char* endP = stpcpy(pathP, mountPathP);
  for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
    *endP++ = '/';
    memcpy(endP, it->m_nameP, it->m_length);
    endP += it->m_length;
  }
  *endP = 0;
  *o_pathPP = pathP;
  if (o_pathLengthP != nullptr) *o_pathLengthP = static_cast<UInt16>(pathLength);
  return true;
}

bool MoveRenameCNID(UInt64 i_changerGUID, CNID /*i_fromParentCNID*/, CNID i_CNID, const char* /*i_fromNameP*/,
                    CNID i_toParentCNID, const char* i_toNameP) {
  ScopedRWLock listLock(g_listRWLock, __func__, k_pathListUnlockText);
  if (!listLock.ReadLock(k_pathListLockText)) return false;
  CNIDTable* tableP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetCNIDTableOfChanger(i_changerGUID, &tableP, &changerDataP, __func__)) return false;
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.WriteLock(k_tableLockText)) return false;
  if (!CNIDTableIsSound(tableP, __func__) || !CNIDIsDeletable(tableP, i_CNID, __func__) ||
      !CNIDIsDirectory(tableP, i_toParentCNID, __func__) || !NameIsAcceptable(i_toNameP, __func__))
    return false;
  // The record, not the request, tells where the item is and what it is called now.
  size_t oldLength = 0;
  const char* oldNameP = GetNameForCNIDEntry(tableP, i_CNID, &oldLength);
  if (oldNameP == nullptr) return false;
  UInt32 oldOffset = CNIDGet32(Record(tableP, i_CNID).m_nameOffset);
  bool isMove = CNIDGet32(Record(tableP, i_CNID).m_parentCNID) != i_toParentCNID;
  CNID linkingCNID = k_noCNID;
  bool isParentLink = false;
  if (isMove) {
    UInt32 steps = 0;
    for (CNID cnid = i_toParentCNID; cnid != k_rootCNID && cnid != k_rootParentCNID;
         cnid = CNIDGet32(Record(tableP, cnid).m_parentCNID)) {
      if (cnid == i_CNID || ++steps > HighestCNID(tableP) || !CNIDIsInRange(tableP, cnid)) {
        LogMessage("%s: CNID %lu cannot move below itself.\n", __func__, static_cast<unsigned long>(i_CNID));
        return false;
      }
    }
    if (!FindLinkingCNID(tableP, i_CNID, &linkingCNID, &isParentLink)) {
      LogMessage("%s: could not find linking CNID.\n", __func__);
      return false;
    }
  }
  if (!NamesAreEqual(oldNameP, i_toNameP)) {
    size_t newLength = strlen(i_toNameP);
    if (newLength > oldLength) {
      // Appended before the old name is cleared, so a failed growth loses nothing.
      UInt32 newOffset = 0;
      if (!AddNameToEndOfMap(tableP, i_toNameP, newLength, &newOffset)) {
        LogMessage("%s: error adding name to end of name soup.\n", __func__);
        return false;
      }
      memset(tableP->m_nameSoupP + oldOffset, 0, oldLength);
      CNIDSet32(Record(tableP, i_CNID).m_nameOffset, newOffset);
    } else {
      memset(tableP->m_nameSoupP + oldOffset, 0, oldLength);
      memcpy(tableP->m_nameSoupP + oldOffset, i_toNameP, newLength);
    }
  }
  if (isMove) {
    UnlinkCNID(tableP, i_CNID, linkingCNID, isParentLink);
    CNIDMapping& record = Record(tableP, i_CNID);
    CNIDMapping& toParent = Record(tableP, i_toParentCNID);
    CNIDSet32(record.m_parentCNID, i_toParentCNID);
    record.m_siblingCNID = toParent.m_childCNID;
    CNIDSet32(toParent.m_childCNID, i_CNID);
  }
  return true;
}

// Checks that a CNID may go and finds the entry that links to it; the caller holds the table's
// lock for writing and names itself and its not-found text for the logs.
[[nodiscard]] static bool FindDeletableCNIDLink(CNIDTable* i_tableP, CNID i_CNID, const char* i_callerP, LogText<"s"> i_notFoundText,
                                  CNID* o_linkingCNIDP, bool* o_isParentLinkP) {
  *o_linkingCNIDP = k_noCNID;
  *o_isParentLinkP = false;
  if (!CNIDTableIsSound(i_tableP, i_callerP) || !CNIDIsDeletable(i_tableP, i_CNID, i_callerP)) return false;
  if (!FindLinkingCNID(i_tableP, i_CNID, o_linkingCNIDP, o_isParentLinkP)) {
    LogMessage(i_notFoundText, i_callerP);
    return false;
  }
  return true;
}

bool DeleteCNID(UInt64 i_changerGUID, CNID i_CNID) {
  ScopedRWLock listLock(g_listRWLock, __func__, k_pathListUnlockText);
  if (!listLock.ReadLock(k_pathListLockText)) return false;
  CNIDTable* tableP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetCNIDTableOfChanger(i_changerGUID, &tableP, &changerDataP, __func__)) return false;
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.WriteLock(k_tableLockText)) return false;
  CNID linkingCNID = k_noCNID;
  bool isParentLink = false;
  if (!FindDeletableCNIDLink(tableP, i_CNID, __func__, "%s: error finding linking CNID.\n", &linkingCNID,
                             &isParentLink))
    return false;
  UnlinkCNID(tableP, i_CNID, linkingCNID, isParentLink);
  ZeroCNIDEntry(tableP, i_CNID);
  return true;
}

// The caller holds g_listRWLock and the table's lock for writing.
[[nodiscard]] static bool DeleteCNIDTreeInTable(CNIDTable* io_tableP, CNID i_CNID, const char* i_callerP) {
  CNID linkingCNID = k_noCNID;
  bool isParentLink = false;
  if (!FindDeletableCNIDLink(io_tableP, i_CNID, i_callerP, "%s: could not find linking CNID.\n", &linkingCNID,
                             &isParentLink))
    return false;
  DeleteCNIDTreeLoop(io_tableP, i_CNID, linkingCNID, isParentLink);
  return true;
}

// The list lock is kept for the whole run, not only for the look-up: the table lives only as
// long as its changer stays listed.
// The list lock is taken only when the caller lacks it, which the analysis cannot follow.
bool DeleteCNIDTree(UInt64 i_changerGUID, CNID i_CNID, bool i_haveListLock) NO_THREAD_SAFETY_ANALYSIS {
  ScopedRWLock listLock(g_listRWLock, __func__, "%s: unable to release read lock on list mutex (err = %d).\n");
  if (!i_haveListLock &&
      !listLock.ReadLock("%s: unable to get read lock on list r/w lock (err = %d).\n"))
    return false;
  CNIDTable* tableP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetCNIDTableOfChanger(i_changerGUID, &tableP, &changerDataP, __func__)) return false;
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.WriteLock(k_tableLockText)) return false;
  return DeleteCNIDTreeInTable(tableP, i_CNID, __func__);
}

// Like DeleteCNIDTree, the list lock (when taken here) is kept for the whole run.
// As for DeleteCNIDTree, the analysis cannot follow the conditional list lock.
bool DeleteCNIDTreeByDeviceFile(UInt64 i_changerGUID, const char* i_deviceFileNameP, bool i_haveListLock)
    NO_THREAD_SAFETY_ANALYSIS {
  ScopedRWLock listLock(g_listRWLock, __func__, "%s: unable to release read lock on list mutex (err = %d).\n");
  if (!i_haveListLock &&
      !listLock.ReadLock("%s: unable to get read lock on list r/w lock (err = %d).\n"))
    return false;
  CNIDTable* tableP = nullptr;
  ChangerData* changerDataP = nullptr;
  if (!GetCNIDTableOfChanger(i_changerGUID, &tableP, &changerDataP, __func__)) return false;
  FSRef deviceFileRef;
  if (!GetFSRefForDeviceFile(&changerDataP->m_changerDevicesDir, i_deviceFileNameP, &deviceFileRef)) {
    LogMessage("%s: error finding FSRef for device file.\n", __func__);
    return false;
  }
  char deviceFilePath[1024];
  char devicesDirPath[1024];
  OSStatus err = FSRefMakePath(&deviceFileRef, reinterpret_cast<UInt8*>(deviceFilePath), sizeof deviceFilePath);
  if (err != noErr) {
    LogMessage("%s: error converting FSRef to path for device file (err = %d).\n", __func__, int(err));
    return false;
  }
  err = FSRefMakePath(&changerDataP->m_changerDevicesDir, reinterpret_cast<UInt8*>(devicesDirPath), sizeof devicesDirPath);
  if (err != noErr) {
    LogMessage("%s: error converting FSRef to path for changer root (err = %d).\n", __func__, int(err));
    return false;
  }
  size_t rootLength = strlen(devicesDirPath);
  if (strncmp(deviceFilePath, devicesDirPath, rootLength) != 0 || deviceFilePath[rootLength] != '/') {
    LogMessage("%s: error converting FSRef to path for device file (err = %d).\n", __func__, int(paramErr));
    return false;
  }
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, k_tableUnlockText);
  if (!tableLock.WriteLock(k_tableLockText)) return false;
  if (!CNIDTableIsSound(tableP, __func__)) return false;
  // Folders of the changer volume, then the device file under its display name.
  CNID cnid = k_rootCNID;
  char* segmentP = deviceFilePath + rootLength + 1;
  for (;;) {
    char* slashP = strchr(segmentP, '/');
    if (slashP != nullptr) {
      *slashP = 0;
    } else {
      char* separatorP = strrchr(segmentP, 0x01);
      if (separatorP == nullptr) {
        LogMessage("%s: no proper device file at end of path chain.\n", __func__);
        return false;
      }
      *separatorP = 0;
    }
    CNID parentCNID = k_noCNID;
    bool isFound = false;
    if (!FindCNIDFromParentCNIDAndName(tableP, cnid, segmentP, &cnid, &parentCNID, &isFound) || !isFound) return false;
    if (slashP == nullptr) break;
    segmentP = slashP + 1;
  }
  return DeleteCNIDTreeInTable(tableP, cnid, __func__);
}
