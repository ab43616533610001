// CNIDChecker: verifies one CNID database (CNIDTables) and lists every inconsistency found, in
// the order found. It only reads the tables. One check at a time per process: the visited set
// gCNIDTrackMap is process-wide.
#pragma once
#include "CNIDTables.h"

struct ChangerData;

enum ECNIDErrors {
  eCNIDError_NoError = 0,
  eCNIDError_BadParent = 1,
  eCNIDError_BadChild = 2,
  eCNIDError_BadSibling = 3,
  eCNIDError_SiblingParentMismatch = 4,
  eCNIDError_InvalidCNID = 5,
  eCNIDError_BadName = 6,
  eCNIDError_NullName = 7,
  eCNIDError_LoopDetected = 8,
  eCNIDError_Unreachable = 9,
  eCNIDError_CNIDMapSize = 10,
  eCNIDError_NameMapSize = 11,
  // What the daemon refuses to use: a header word out of its range, and a next CNID that would
  // hand out a CNID in use again. 12 and 13 are reported with CNID 0, 14 with the CNID in use.
  eCNIDError_CNIDMapHeader = 12,
  eCNIDError_NameMapHeader = 13,
  eCNIDError_NextCNIDInUse = 14,
};

// Indexed by code; each a printf format taking the CNID as a long.
extern const char* const kCNIDErrorStrings[];

struct SCNIDErrorEntry {
  ECNIDErrors error;
  CNID cnid;
  SCNIDErrorEntry* next;
  SCNIDErrorEntry* prev;
};

// errorCount is -1 when the checker could not start or could not list an error it found.
struct SCNIDErrorEntryHeader {
  SInt32 errorCount;
  SCNIDErrorEntry* head;
  SCNIDErrorEntry* tail;
};

// True when no error was found. The list is emptied first; the caller frees it.
[[nodiscard]] bool CheckCNIDDB(ChangerData* i_changerDataP, CNID i_rootCNID, SCNIDErrorEntryHeader* io_errorListP);
// Checks "CNIDs" and "file names" in a directory (a Mac path) from CNID 2, opened for reading:
// nothing in the directory is created or changed. Fails, leaving the list untouched, when the
// path cannot be resolved or the table cannot be set up.
[[nodiscard]] bool CheckCNIDDBByPath(const char* i_directoryPathP, SCNIDErrorEntryHeader* io_errorListP);

// The passes of a check, on the table CheckCNIDDB is checking.
[[nodiscard]] bool CheckCNIDDBTree(CNID i_CNID);
[[nodiscard]] bool CheckCNIDDBByIndex();
[[nodiscard]] bool CheckCNIDEntry(CNID i_CNID);

[[nodiscard]] bool AddError(ECNIDErrors i_error, CNID i_CNID, SCNIDErrorEntryHeader* io_errorListP);
void FreeCNIDErrorList(SCNIDErrorEntryHeader* io_errorListP);
[[nodiscard]] bool TrackCNID(CNID i_CNID);
[[nodiscard]] bool CheckCNID(CNID i_CNID);
