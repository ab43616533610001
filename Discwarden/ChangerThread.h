// ChangerThread: the thread of each changer. It walks its changer through the initialisation
// states, then idles, polling once a second for changed storage elements and probing them. It
// alone advances the record's state, and it frees the record when the changer goes away.
#pragma once
#include <atomic>

#include "ChangerData.h"

// Changer threads started and not yet finished (one per record).
extern std::atomic<int> g_changerThreadCount;

void* RunChangerThread(void* i_argP);
bool HandleIdleChanger(ChangerData* i_changerDataP);
bool HandleChangedStorageElems(ChangerData* i_changerDataP);
bool BuildChangedStorageElemList(ChangerData* i_changerDataP);
bool HandlePassiveProbingChanger(ChangerData* i_changerDataP);
bool ShouldSpawnProbeMount(ChangerData* i_changerDataP);
bool CheckForEmptyStorageElem(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isStorageElemEmptyP);
