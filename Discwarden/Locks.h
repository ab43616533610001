// Locks of the daemon. Take them only in this order, each at most once (none is recursive):
//   1. g_listRWLock (MountData.cpp): the changer registry (g_changerListP and each record's list
//      links), the mount lists (g_pendingMediaListP, g_mountedMediaListP, g_ejectListP,
//      g_pendingEjectDataP) and the records in them. Readers share it; whoever changes a list
//      or a listed record's list state writes. A CNID table lives as long as its changer is listed,
//      so path, move and delete requests hold it (shared) for their whole run.
//   1. g_CNIDTableForChangerListRWLock (CNIDTables.cpp): the GUID-to-table list.
//   2. CNIDTable::m_tableLock: the table's mappings and every byte of its files.
//   2. g_mediaInfoArrMutex (ChangerStore.cpp): every changer's m_mediaInfoArr.
// Leaf mutexes, held for a few statements and around no other lock: the retired-strings list
// (ChangerData.cpp) and the aside-file writer (ChangerStore.cpp).
// Functions whose callers must hold a lock say so with REQUIRES / REQUIRES_SHARED; clang's
// -Wthread-safety checks all of it.
#pragma once
#include "platform/ThreadAnnotations.h"

extern platform::RWLock g_listRWLock;
extern platform::RWLock g_CNIDTableForChangerListRWLock;
extern platform::Mutex g_mediaInfoArrMutex ACQUIRED_AFTER(g_listRWLock);
