// ChangerThread: the thread of each changer. It walks its changer through the initialisation
// states, then idles, polling once a second for changed storage elements and probing them. It
// alone advances the record's state, and it frees the record when the changer goes away.
#pragma once
#include <atomic>

#include "ChangerData.h"

// Changer threads started and not yet finished (one per record).
extern std::atomic<int> g_changerThreadCount;

void* RunChangerThread(void* i_argP);
[[nodiscard]] bool HandleIdleChanger(ChangerData* i_changerDataP);
[[nodiscard]] bool HandleChangedStorageElems(ChangerData* i_changerDataP);
[[nodiscard]] bool BuildChangedStorageElemList(ChangerData* i_changerDataP);
[[nodiscard]] bool HandlePassiveProbingChanger(ChangerData* i_changerDataP);
[[nodiscard]] bool ShouldSpawnProbeMount(ChangerData* i_changerDataP);
[[nodiscard]] bool CheckForEmptyStorageElem(ChangerData* i_changerDataP, UInt16 i_storageElem, bool* o_isStorageElemEmptyP);
