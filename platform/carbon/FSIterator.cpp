// Folder iteration. An iterator lists its folder when it is opened, in name order, and hands
// out the items that still exist when they are asked for; items deleted during the walk are left
// out, items added are not seen.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "carbon/FSCore.h"
#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

using namespace platform;
using namespace platform::carbon;

struct OpaqueFSIterator {
  std::string folder;
  std::vector<std::string> names;  // on disk
  size_t next = 0;
};

namespace {

// Iterators handed out and not closed yet; closing an unknown one is an error, not a crash.
struct IteratorTable {
  platform::Mutex mutex;
  std::unordered_map<OpaqueFSIterator*, std::unique_ptr<OpaqueFSIterator>> live GUARDED_BY(mutex);
};

IteratorTable& Iterators() {
  static IteratorTable t;
  return t;
}

OpaqueFSIterator* Find(FSIterator iterator) {
  IteratorTable& t = Iterators();
  platform::MutexLock lock(t.mutex);
  auto it = t.live.find(iterator);
  return it == t.live.end() ? nullptr : it->second.get();
}

}  // namespace

OSErr FSOpenIterator(const FSRef* container, FSIteratorFlags iteratorFlags, FSIterator* o_iterator) {
  if (!o_iterator) return paramErr;
  *o_iterator = nullptr;
  if (iteratorFlags != kFSIterateFlat) return errFSBadIteratorFlags;
  std::string folder;
  OSErr err = FolderPathOfRef(container, folder);
  if (err != noErr) return err;
  auto iterator = std::make_unique<OpaqueFSIterator>();
  iterator->folder = folder;
  DIR* dir = ::opendir(MacToHost(folder).c_str());
  if (!dir) return OSErrFromErrno(errno);
  while (struct dirent* e = ::readdir(dir))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) iterator->names.push_back(e->d_name);
  ::closedir(dir);
  std::sort(iterator->names.begin(), iterator->names.end());
  IteratorTable& t = Iterators();
  platform::MutexLock lock(t.mutex);
  *o_iterator = iterator.get();
  t.live.emplace(iterator.get(), std::move(iterator));
  return noErr;
}

OSErr FSCloseIterator(FSIterator iterator) {
  IteratorTable& t = Iterators();
  platform::MutexLock lock(t.mutex);
  return t.live.erase(iterator) ? noErr : errFSIteratorNotFound;
}

OSErr FSGetCatalogInfoBulk(FSIterator iterator, ItemCount maximumObjects, ItemCount* o_actualObjects,
                           Boolean* o_containerChanged, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfos,
                           FSRef* refs, FSSpec* fsSpecs, HFSUniStr255* names) {
  if (o_actualObjects) *o_actualObjects = 0;
  if (o_containerChanged) *o_containerChanged = false;
  if (!o_actualObjects) return paramErr;
  if (maximumObjects == 0) return errFSBadItemCount;
  OpaqueFSIterator* it = Find(iterator);
  if (!it) return errFSIteratorNotFound;
  ItemCount n = 0;
  while (n < maximumObjects && it->next < it->names.size()) {
    std::string path = JoinPath(it->folder, it->names[it->next++]);
    struct stat st {};
    if (::lstat(MacToHost(path).c_str(), &st) != 0) {
      if (o_containerChanged) *o_containerChanged = true;
      continue;
    }
    if (catalogInfos) FillCatalogInfo(path, st, whichInfo, &catalogInfos[n]);
    if (refs) MakeRef(path, &refs[n]);
    if (fsSpecs) FillFSSpec(path, &fsSpecs[n]);
    if (names) FillUniStr255(ShownName(path), &names[n]);
    ++n;
  }
  *o_actualObjects = n;
  // The end is its own answer, after the last items, so a caller that takes items only with
  // noErr misses none.
  return n == 0 ? errFSNoMoreItems : noErr;
}

OSErr PBGetCatalogInfoBulkSync(FSCatalogBulkParam* paramBlock) {
  if (!paramBlock) return paramErr;
  ItemCount actual = 0;
  Boolean changed = false;
  OSErr err = FSGetCatalogInfoBulk(paramBlock->iterator, paramBlock->maximumItems, &actual, &changed,
                                   paramBlock->whichInfo, paramBlock->catalogInfo, paramBlock->refs,
                                   paramBlock->specs, paramBlock->names);
  paramBlock->actualItems = actual;
  paramBlock->containerChanged = changed;
  paramBlock->ioResult = err;
  return err;
}
