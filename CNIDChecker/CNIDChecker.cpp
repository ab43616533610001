#include "CNIDChecker.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "ChangerData.h"
#include "LogMessage.h"
#include "MountData.h"

constexpr const char* const kCNIDErrorStrings[] = {
    "%ld has no error",
    "%ld has a bad parent link",
    "%ld has a bad child link",
    "%ld has a bad sibling link",
    "%ld has a parent/sibling mismatch",
    "%ld is an illegal CNID value",
    "%ld has a bad name link",
    "%ld has a null name link",
    "%ld is part of a loop",
    "%ld is unreachable from the root",
    "CNIDs file size is incorrect/inconsistant",
    "file name file size is incorrect/inconsistant",
    "CNIDs file header is incorrect/inconsistant",
    "file name file header is incorrect/inconsistant",
    "%ld is in use at or above the next CNID",
};

// Printed with the CNID as their one argument, which a text may leave out.
static consteval bool ErrorStringsTakeTheCNID() {
  for (const char* textP : kCNIDErrorStrings)
    if (!logtext::FormatHasConversions(textP, "ld") && !logtext::FormatHasConversions(textP, "")) return false;
  return true;
}
static_assert(ErrorStringsTakeTheCNID(), "every error string takes the CNID as a long, or nothing");

UInt8* gCNIDTrackMap = nullptr;

// What the passes of the running check work on. The file may be smaller than its header says
// (then the check stops at the size step) or larger than what is mapped: only whole records
// inside both count as within the file, and names are read only inside the used soup.
static CNIDTable* s_tableP = nullptr;
static SCNIDErrorEntryHeader* s_errorListP = nullptr;
static UInt32 s_highestCNID = 0;
static UInt64 s_recordsInFile = 0;
static UInt64 s_trackedCNIDs = 0;
static UInt32 s_nameSoupUsed = 0;
static UInt64 s_nameSoupReadable = 0;

[[nodiscard]] static bool IsWithinFile(CNID i_CNID) { return i_CNID < s_recordsInFile; }

static CNIDMapping& Record(CNID i_CNID) { return s_tableP->m_CNIDMappingTableP[i_CNID]; }

[[nodiscard]] static bool RecordIsFree(CNID i_CNID) {
  return CNIDGet32(Record(i_CNID).m_nameOffset) == 0 && CNIDGet32(Record(i_CNID).m_parentCNID) == 0;
}

bool AddError(ECNIDErrors i_error, CNID i_CNID, SCNIDErrorEntryHeader* io_errorListP) {
  SCNIDErrorEntry* entryP = static_cast<SCNIDErrorEntry*>(calloc(1, sizeof(SCNIDErrorEntry)));
  if (entryP == nullptr) {
    LogMessage("%s: unable to allocate an error entry.\n", __func__);
    return false;
  }
  entryP->error = i_error;
  entryP->cnid = i_CNID;
  entryP->prev = io_errorListP->tail;
  if (io_errorListP->tail != nullptr)
    io_errorListP->tail->next = entryP;
  else
    io_errorListP->head = entryP;
  io_errorListP->tail = entryP;
  ++io_errorListP->errorCount;
  return true;
}

void FreeCNIDErrorList(SCNIDErrorEntryHeader* io_errorListP) {
  SCNIDErrorEntry* entryP = io_errorListP->head;
  while (entryP != nullptr) {
    SCNIDErrorEntry* nextP = entryP->next;
    free(entryP);
    entryP = nextP;
  }
  io_errorListP->head = nullptr;
  io_errorListP->tail = nullptr;
  io_errorListP->errorCount = 0;
}

bool CheckCNID(CNID i_CNID) {
  if (gCNIDTrackMap == nullptr || i_CNID >= s_trackedCNIDs) return false;
  return (gCNIDTrackMap[i_CNID / 8] & (1u << (i_CNID % 8))) != 0;
}

bool TrackCNID(CNID i_CNID) {
  bool wasTracked = CheckCNID(i_CNID);
  if (gCNIDTrackMap != nullptr && i_CNID < s_trackedCNIDs) gCNIDTrackMap[i_CNID / 8] |= UInt8(1u << (i_CNID % 8));
  return wasTracked;
}

// An error that cannot be listed must not let the table pass as clean.
static bool s_errorLost = false;

static void Add(ECNIDErrors i_error, CNID i_CNID) {
  if (!AddError(i_error, i_CNID, s_errorListP)) s_errorLost = true;
}

bool CheckCNIDEntry(CNID i_CNID) {
  SInt32 countBefore = s_errorListP->errorCount;
  if (i_CNID > s_highestCNID || !IsWithinFile(i_CNID)) {
    Add(eCNIDError_InvalidCNID, i_CNID);
    return true;
  }
  if (TrackCNID(i_CNID)) {
    Add(eCNIDError_LoopDetected, i_CNID);
    return true;
  }
  const CNIDMapping& record = Record(i_CNID);
  UInt32 nameOffset = CNIDGet32(record.m_nameOffset);
  if (nameOffset == 0) {
    Add(eCNIDError_NullName, i_CNID);
  } else if (nameOffset > s_nameSoupUsed || nameOffset >= s_nameSoupReadable ||
             memchr(s_tableP->m_nameSoupP + nameOffset, 0, s_nameSoupReadable - nameOffset) == nullptr) {
    Add(eCNIDError_BadName, i_CNID);
  }
  CNID child = CNIDGet32(record.m_childCNID);
  CNID sibling = CNIDGet32(record.m_siblingCNID);
  if (child != k_noCNID && child > s_highestCNID) Add(eCNIDError_BadChild, i_CNID);
  if (sibling != k_noCNID && sibling > s_highestCNID) Add(eCNIDError_BadSibling, i_CNID);
  if (child != k_noCNID && child <= s_highestCNID && IsWithinFile(child)) {
    if (RecordIsFree(child))
      Add(eCNIDError_BadChild, i_CNID);
    else if (CNIDGet32(Record(child).m_parentCNID) != i_CNID)
      Add(eCNIDError_BadParent, child);
  }
  if (sibling != k_noCNID && sibling <= s_highestCNID && IsWithinFile(sibling)) {
    if (RecordIsFree(sibling))
      Add(eCNIDError_BadSibling, i_CNID);
    else if (CNIDGet32(Record(sibling).m_parentCNID) != CNIDGet32(record.m_parentCNID))
      Add(eCNIDError_SiblingParentMismatch, i_CNID);
  }
  return s_errorListP->errorCount != countBefore;
}

// The walk from an item checks the item, its subtree, the siblings that follow it and their
// subtrees. It keeps its own stack of walks, so that no depth of tree can exhaust the thread's.
bool CheckCNIDDBTree(CNID i_CNID) {
  struct SWalk {
    CNID m_startCNID;
    CNID m_currentCNID;
    bool m_isChildWalked;
  };
  SInt32 countBefore = s_errorListP->errorCount;
  if (CheckCNIDEntry(i_CNID)) return false;
  std::vector<SWalk> walks = {{i_CNID, i_CNID, false}};
  while (!walks.empty()) {
    SWalk& walk = walks.back();
    // An item that checked clean: its subtree first, then the sibling after it.
    if (!walk.m_isChildWalked) {
      walk.m_isChildWalked = true;
      CNID child = CNIDGet32(Record(walk.m_currentCNID).m_childCNID);
      if (child != k_noCNID && !IsWithinFile(child))
        Add(eCNIDError_BadChild, walk.m_currentCNID);
      else if (child != k_noCNID && !CheckCNIDEntry(child))
        walks.push_back({child, child, false});
      continue;
    }
    CNID sibling = CNIDGet32(Record(walk.m_currentCNID).m_siblingCNID);
    if (sibling == k_noCNID) {
      walks.pop_back();
    } else if (!IsWithinFile(sibling)) {
      Add(eCNIDError_BadSibling, walk.m_startCNID);
      walks.pop_back();
    } else if (CheckCNIDEntry(sibling)) {
      walks.pop_back();
    } else {
      walk.m_currentCNID = sibling;
      walk.m_isChildWalked = false;
    }
  }
  return s_errorListP->errorCount == countBefore;
}

bool CheckCNIDDBByIndex() {
  SInt32 countBefore = s_errorListP->errorCount;
  for (UInt64 cnid = k_rootParentCNID; cnid <= s_highestCNID && IsWithinFile(CNID(cnid)); ++cnid) {
    bool isInUse = CNIDGet32(Record(CNID(cnid)).m_nameOffset) != 0 && CNIDGet32(Record(CNID(cnid)).m_parentCNID) != 0;
    if (!isInUse || CheckCNID(CNID(cnid))) continue;
    Add(eCNIDError_Unreachable, CNID(cnid));
    (void)CheckCNIDEntry(CNID(cnid));  // only to list what is wrong with it
  }
  return s_errorListP->errorCount == countBefore;
}

// A file opened empty is read as a new table that lives only in memory: no descriptor.
[[nodiscard]] static bool FileSize(int i_fileDesc, size_t i_mappedSize, UInt64* o_sizeP) {
  *o_sizeP = 0;
  if (i_fileDesc < 0) {
    *o_sizeP = i_mappedSize;
    return true;
  }
  struct stat fileInfo;
  if (fstat(i_fileDesc, &fileInfo) != 0) {
    LogMessage("%s: unable to get the size of a CNID database file.\n", __func__);
    return false;
  }
  *o_sizeP = UInt64(fileInfo.st_size);
  return true;
}

static void RunCheck(CNIDTable* i_tableP, CNID i_rootCNID) {
  UInt64 mapSize = 0;
  if (!FileSize(i_tableP->m_mappingFileDesc, i_tableP->m_mappingFileSize, &mapSize)) return;
  if (mapSize > i_tableP->m_mappingFileSize) mapSize = i_tableP->m_mappingFileSize;
  if (mapSize < k_CNIDMappingHeaderSize ||
      mapSize < k_CNIDMappingHeaderSize + UInt64(CNIDGet32(*i_tableP->m_CNIDMappingTableLenP)) * k_CNIDMappingRecordSize) {
    Add(eCNIDError_CNIDMapSize, k_noCNID);
    return;
  }
  UInt64 soupSize = 0;
  if (!FileSize(i_tableP->m_nameSoupFileDesc, i_tableP->m_nameSoupFileSize, &soupSize)) return;
  if (soupSize > i_tableP->m_nameSoupFileSize) soupSize = i_tableP->m_nameSoupFileSize;
  if (soupSize < k_nameSoupHeaderSize ||
      soupSize < k_nameSoupHeaderSize + UInt64(CNIDGet32(*i_tableP->m_nameSoupLenP))) {
    Add(eCNIDError_NameMapSize, k_noCNID);
    return;
  }
  s_highestCNID = CNIDGet32(*i_tableP->m_highestCNIDP);
  s_recordsInFile = (mapSize - k_CNIDMappingHeaderSize) / k_CNIDMappingRecordSize;
  // The ranges the daemon holds its headers to; the walk below stays within the file whatever
  // they say, so it goes on after them.
  UInt32 capacity = CNIDGet32(*i_tableP->m_CNIDMappingTableLenP);
  UInt32 next = CNIDGet32(*i_tableP->m_nextCNIDAssignmentP);
  if (s_highestCNID < k_rootCNID || s_highestCNID >= capacity || next < k_firstItemCNID || next >= capacity)
    Add(eCNIDError_CNIDMapHeader, k_noCNID);
  UInt32 soupUsed = CNIDGet32(*i_tableP->m_nameSoupUsedP);
  if (soupUsed < 2 || soupUsed > CNIDGet32(*i_tableP->m_nameSoupLenP)) Add(eCNIDError_NameMapHeader, k_noCNID);
  // One pass from the next CNID up: none in a sound table, whose records there are all free.
  for (UInt64 cnid = next > k_firstItemCNID ? next : UInt64(k_firstItemCNID); cnid < s_recordsInFile; ++cnid) {
    if (CNIDGet32(Record(CNID(cnid)).m_nameOffset) != 0 && CNIDGet32(Record(CNID(cnid)).m_parentCNID) != 0) {
      Add(eCNIDError_NextCNIDInUse, CNID(cnid));
      break;
    }
  }
  s_nameSoupUsed = CNIDGet32(*i_tableP->m_nameSoupUsedP);
  s_nameSoupReadable = soupSize - k_nameSoupHeaderSize;
  if (s_nameSoupReadable > s_nameSoupUsed) s_nameSoupReadable = s_nameSoupUsed;
  // One bit for every CNID that can be visited: at most the highest, and only within the file.
  s_trackedCNIDs = UInt64(s_highestCNID) + 1 < s_recordsInFile ? UInt64(s_highestCNID) + 1 : s_recordsInFile;
  gCNIDTrackMap = static_cast<UInt8*>(calloc(s_trackedCNIDs / 8 + 1, 1));
  if (gCNIDTrackMap == nullptr) {
    LogMessage("%s: unable to allocate the visited CNID map.\n", __func__);
    s_errorListP->errorCount = -1;
    return;
  }
  (void)TrackCNID(k_rootParentCNID);  // the first visit: nothing was tracked before
  // Both passes list what they find; the count of the list is the verdict.
  (void)CheckCNIDDBTree(i_rootCNID);
  (void)CheckCNIDDBByIndex();
  free(gCNIDTrackMap);
  gCNIDTrackMap = nullptr;
}

bool CheckCNIDDB(ChangerData* i_changerDataP, CNID i_rootCNID, SCNIDErrorEntryHeader* io_errorListP) {
  FreeCNIDErrorList(io_errorListP);
  CNIDTable* tableP = i_changerDataP->m_CNIDTableP;
  if (tableP == nullptr) {
    LogMessage("%s: the changer has no CNID table.\n", __func__);
    io_errorListP->errorCount = -1;
    return false;
  }
  // The daemon may be using the same table in this process.
  ScopedRWLock tableLock(tableP->m_tableLock, __func__, "%s: unable to unlock the CNID table (err = %d).\n");
  if (!tableLock.ReadLock("%s: unable to lock the CNID table (err = %d).\n")) {
    io_errorListP->errorCount = -1;
    return false;
  }
  s_tableP = tableP;
  s_errorListP = io_errorListP;
  s_errorLost = false;
  RunCheck(tableP, i_rootCNID);
  if (s_errorLost) io_errorListP->errorCount = -1;
  s_tableP = nullptr;
  s_errorListP = nullptr;
  return io_errorListP->errorCount == 0;
}

bool CheckCNIDDBByPath(const char* i_directoryPathP, SCNIDErrorEntryHeader* io_errorListP) {
  ChangerData* changerDataP = new ChangerData();
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(i_directoryPathP), &changerDataP->m_changerDir, nullptr);
  if (err != noErr) {
    LogMessage("%s: unable to make an FSRef for %s (err = %ld).\n", __func__, i_directoryPathP, static_cast<long>(err));
    delete changerDataP;
    return false;
  }
  if (!OpenCNIDTableForReading(changerDataP)) {
    LogMessage("%s: unable to set up the CNID table in %s.\n", __func__, i_directoryPathP);
    delete changerDataP;
    return false;
  }
  bool isClean = CheckCNIDDB(changerDataP, k_rootCNID, io_errorListP);
  DisposeCNIDTable(changerDataP);
  delete changerDataP;
  return isClean;
}
