#include "Changer.h"

#include <algorithm>

#include "CFUtil.h"
#include "Host.h"
#include "platform/Clock.h"

namespace simhost {

std::string ContentHintFor(const std::string& fileSystem) {
  if (fileSystem == "hfs") return "Apple_HFS";
  if (fileSystem == "cd9660") return "CD_ROM_Mode_1";
  if (fileSystem == "udf") return "UDF";
  if (fileSystem == "msdos") return "DOS_FAT_32";
  return "";
}

namespace {

constexpr double kDefaultRobotDelay = 4;
constexpr double kDefaultSettleDelay = 1;
constexpr int kBusy = static_cast<int>(0xE00002D5);
constexpr const char* kMistyped = "mistyped";


// A value of the wrong type in place of `value`: a number for a string, else a string.
CFRef<CFTypeRef> Mistyped(CFTypeRef value) {
  if (cf::IsString(value)) return CFRef<CFTypeRef>(cf::Int32(0).release());
  return CFRef<CFTypeRef>(cf::Str(kMistyped).release());
}

void RunDeferred(std::vector<std::function<void()>>& deferred) {
  for (auto& f : deferred) f();
  deferred.clear();
}

}  // namespace

Changer::Changer(Host& host, ChangerSpec spec) : m_host(host), m_guid(spec.guid), m_knobs(std::move(spec.knobs)) {
  m_slots.resize(static_cast<size_t>(spec.storageElements));
  for (auto& [se, disc] : spec.discs) {
    Slot& slot = m_slots[static_cast<size_t>(se)];
    slot.full = true;
    slot.primaryTag = disc.primaryTag;
    slot.alternateTag = disc.alternateTag;
    slot.primarySequence = disc.primarySequence;
    slot.alternateSequence = disc.alternateSequence;
    slot.knobs = disc.knobs;
    slot.disc = std::move(disc);
  }
  for (const DriveSpec& d : spec.drives) m_drives.push_back(Drive{d, -1, 0});
}

Changer::~Changer() = default;

bool Changer::IsPlugged() const {
  platform::MutexLock lock(m_mutex);
  return m_plugged;
}

// ---------------------------------------------------------------- knobs and properties

bool Changer::SlotKnob(int slot, const std::string& name) const {
  if (slot >= 0 && slot < static_cast<int>(m_slots.size())) {
    const KnobSet& k = m_slots[static_cast<size_t>(slot)].knobs;
    if (k.Has(name)) return k.Bool(name);
  }
  return m_knobs.Bool(name);
}

bool Changer::RefusedLocked(const std::string& request, int slot) const {
  if (m_knobs.HasName("refuse-requests", request)) return true;
  return slot >= 0 && slot < static_cast<int>(m_slots.size()) &&
         m_slots[static_cast<size_t>(slot)].knobs.HasName("refuse-requests", request);
}

double Changer::RobotDelayLocked() const { return m_knobs.Number("robot-delay", kDefaultRobotDelay); }

double Changer::ScheduleRobotLocked(std::function<void()> action) {
  // One arm: moves happen one after another, each taking the robot delay.
  double at = std::max(m_host.scheduler().Now(), m_robotFreeAt) + RobotDelayLocked();
  m_robotFreeAt = at;
  m_host.scheduler().At(at, std::move(action));
  return at;
}

void Changer::PutLocked(ServiceId service, const std::string& key, CFTypeRef value, int slot) {
  auto has = [&](const char* knob) {
    m_mutex.AssertHeld();
    if (m_knobs.HasName(knob, key)) return true;
    return slot >= 0 && m_slots[static_cast<size_t>(slot)].knobs.HasName(knob, key);
  };
  if (has("omit-properties"))
    m_host.registry().SetValue(service, key, nullptr);
  else if (has("mistype-properties"))
    m_host.registry().SetValue(service, key, Mistyped(value).get());
  else
    m_host.registry().SetValue(service, key, value);
}

CFRef<CFDictionaryRef> Changer::SlotEntryLocked(int index) const {
  const Slot& slot = m_slots[static_cast<size_t>(index)];
  auto entry = cf::Dict();
  // Exactly these five keys: the daemon compares entries with its own by deep equality.
  cf::Set(entry.get(), prop::kMediaInStorageElement, cf::Bool(slot.full));
  cf::Set(entry.get(), prop::kPrimaryVolumeTag, slot.full ? slot.primaryTag : std::string());
  cf::Set(entry.get(), prop::kAlternateVolumeTag, slot.full ? slot.alternateTag : std::string());
  cf::Set(entry.get(), prop::kPrimaryVolumeSequence, cf::Int16(slot.full ? slot.primarySequence : 0).get());
  cf::Set(entry.get(), prop::kAlternateVolumeSequence, cf::Int16(slot.full ? slot.alternateSequence : 0).get());
  return CFRef<CFDictionaryRef>(entry.release());
}

void Changer::SyncLocked() {
  if (!m_plugged) return;
  const int none = -1;
  int loaded = static_cast<int>(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.full; }));

  auto assignments = cf::Dict();
  if (!m_knobs.HasName("omit-properties", prop::kNumberOfStorageElements))
    cf::Set(assignments.get(), prop::kNumberOfStorageElements, cf::Int16(static_cast<int16_t>(m_slots.size())).get());
  if (!m_knobs.HasName("omit-properties", prop::kNumberOfDataTransferElements))
    cf::Set(assignments.get(), prop::kNumberOfDataTransferElements,
            cf::Int16(static_cast<int16_t>(m_drives.size())).get());
  auto info = cf::Array();
  for (int i = 0; i < static_cast<int>(m_slots.size()); ++i) cf::Append(info.get(), SlotEntryLocked(i).get());
  auto configuration = cf::Array();
  for (const Drive& d : m_drives) cf::Append(configuration.get(), cf::Int16(static_cast<int16_t>(d.storageElement)).get());
  auto mounted = cf::Array();
  for (int se : m_currentMounted) cf::Append(mounted.get(), cf::Int16(static_cast<int16_t>(se)).get());
  auto guid = cf::Int64(static_cast<int64_t>(m_guid));

  PutLocked(m_robotics, prop::kGUID, guid.get(), none);
  PutLocked(m_robotics, prop::kElementAddressAssignments, assignments.get(), none);
  PutLocked(m_robotics, prop::kStorageElementInfo, info.get(), none);
  PutLocked(m_robotics, prop::kDriveConfiguration, configuration.get(), none);
  PutLocked(m_robotics, prop::kLoadedCount, cf::Int16(static_cast<int16_t>(loaded)).get(), none);
  for (ServiceId sw : {m_blockSwitch, m_duplicateBlockSwitch}) {
    if (!sw) continue;
    PutLocked(sw, prop::kGUID, guid.get(), none);
    PutLocked(sw, prop::kCurrentMounted, mounted.get(), none);
  }
  for (const Drive& d : m_drives) {
    if (!d.service) continue;
    PutLocked(d.service, prop::kGUID, guid.get(), none);
    PutLocked(d.service, prop::kDVDFeatures, cf::Int32(d.spec.dvdFeatures).get(), none);
  }
  for (const MediumInfo& m : m_changerMedia) PutLocked(m.media, prop::kGUID, guid.get(), none);
  for (auto& [se, disc] : m_online) {
    if (disc.settled && disc.releaseTime == 0 && !SlotKnob(se, "hold-release-time")) disc.releaseTime = static_cast<int32_t>(m_host.scheduler().Now());
    int32_t release = SlotKnob(se, "hold-release-time") ? 0 : disc.releaseTime;
    for (ServiceId s : {disc.services, disc.duplicate}) {
      if (!s) continue;
      PutLocked(s, prop::kGUID, guid.get(), se);
      PutLocked(s, prop::kStorageElementAddress, cf::Int16(static_cast<int16_t>(se)).get(), se);
      PutLocked(s, prop::kLastReleaseTime, cf::Int32(release).get(), se);
    }
  }
}

// ---------------------------------------------------------------- plug and unplug

void Changer::Plug() {
  platform::MutexLock lock(m_mutex);
  if (m_plugged) return;
  Registry& reg = m_host.registry();
  m_plugged = true;
  m_robotics = reg.Create(cls::kRobotics, reg.Root(), nullptr, this);
  m_blockSwitch = reg.Create(cls::kBlockSwitch, m_robotics, nullptr, this);
  SyncLocked();
  reg.Publish(m_blockSwitch);
  if (m_knobs.Bool("duplicate-block-switch")) PublishDuplicateBlockSwitchLocked();
  double driveDelay = m_knobs.Number("drive-delay", 0);
  uint64_t generation = m_generation;
  for (int i = 0; i < static_cast<int>(m_drives.size()); ++i) {
    if (driveDelay <= 0) {
      PublishDriveLocked(i);
      continue;
    }
    m_host.scheduler().After(driveDelay * (i + 1), [this, i, generation] {
      platform::MutexLock inner(m_mutex);
      if (m_generation == generation && m_plugged) PublishDriveLocked(i);
    });
  }
  // The robotics service last: whoever reacts to it finds the block switch already there.
  reg.Publish(m_robotics);
  m_host.Log("changer " + FormatGUID(m_guid) + " plugged in");
}

void Changer::PublishDriveLocked(int index) {
  Registry& reg = m_host.registry();
  Drive& d = m_drives[static_cast<size_t>(index)];
  d.service = reg.Create(cls::kDrive, m_robotics, nullptr, this);
  SyncLocked();
  reg.Publish(d.service);
}

void Changer::PublishDuplicateBlockSwitchLocked() {
  if (m_duplicateBlockSwitch || !m_plugged) return;
  m_duplicateBlockSwitch = m_host.registry().Create(cls::kBlockSwitch, m_robotics, nullptr, this);
  SyncLocked();
  m_host.registry().Publish(m_duplicateBlockSwitch);
}

void Changer::Unplug() {
  Deferred deferred;
  {
    platform::MutexLock lock(m_mutex);
    if (!m_plugged) return;
    ++m_generation;
    for (auto& [se, disc] : m_online) {
      std::vector<MediumInfo> media = disc.media;
      for (const MediumInfo& m : media) m_host.RemoveDevNodes(m.bsdName);
      if (disc.diskNumber >= 0) m_host.FreeDiskNumber(disc.diskNumber);
      int slot = se;
      deferred.push_back([this, slot, media] {
        for (DriverObserver* o : m_host.Observers()) o->DiscOffline(m_guid, slot, media);
      });
    }
    m_online.clear();
    for (const MediumInfo& m : m_changerMedia) {
      m_host.RemoveDevNodes(m.bsdName);
      deferred.push_back([this, m] {
        for (DriverObserver* o : m_host.Observers()) o->ChangerMediaOffline(m_guid, m);
      });
    }
    for (const MediumInfo& m : m_changerMedia) {
      int n = 0;
      if (std::sscanf(m.bsdName.c_str(), "disk%d", &n) == 1) m_host.FreeDiskNumber(n);
    }
    m_changerMedia.clear();
    m_changerMediaPending = false;
    // Power comes back with every disc in its slot.
    for (Drive& d : m_drives) {
      d.storageElement = -1;
      d.service = 0;
    }
    for (Slot& s : m_slots) s.drive = -1;
    m_currentMounted.clear();
    m_plugged = false;
    m_loadAborted = m_loadActive;
    m_loadActive = false;
    m_loadCv.notify_all();
    // Terminating the robotics service takes everything below it and tells its interest
    // subscribers (kMessageServiceIsTerminated).
    m_host.registry().Terminate(m_robotics);
    m_robotics = m_blockSwitch = m_duplicateBlockSwitch = 0;
    m_robotFreeAt = 0;
  }
  RunDeferred(deferred);
  m_host.Log("changer " + FormatGUID(m_guid) + " unplugged");
}

void Changer::ReplugAfter(double seconds) {
  uint64_t generation;
  {
    platform::MutexLock lock(m_mutex);
    generation = m_generation;
  }
  m_host.scheduler().After(seconds, [this, generation] {
    {
      platform::MutexLock lock(m_mutex);
      if (m_generation != generation || m_plugged) return;
    }
    Plug();
  });
}

// ---------------------------------------------------------------- requests

int Changer::SetProperty(ServiceId service, const std::string& key, CFTypeRef value) {
  bool onRobotics, onBlockSwitch;
  {
    platform::MutexLock lock(m_mutex);
    if (!m_plugged) return kSimNoDevice;
    onRobotics = service == m_robotics;
    onBlockSwitch = service == m_blockSwitch || service == m_duplicateBlockSwitch;
  }
  if (onBlockSwitch) {
    if (key == prop::kMountRequest) return MountRequest(value);
    if (key == prop::kForceEjectRequest) return ForceEjectRequest(value);
    if (key == prop::kDisabledMountRequest) return DisabledMountRequest(value);
  }
  if (onRobotics) {
    if (key == prop::kMediaLoadRequest) return LoadRequest(value);
    if (key == prop::kUnloadRequest) return UnloadRequest(value);
    if (key == prop::kSetVolumeTags) return SetTagsRequest(value);
    if (key == prop::kInstantiateMediaObject) return InstantiateRequest(value);
  }
  return kSimUnsupported;
}

bool Changer::InterestReleaseFails(ServiceId) {
  platform::MutexLock lock(m_mutex);
  return m_knobs.Bool("release-notification-fails");
}

int Changer::StorageElementFrom(CFTypeRef value) const {
  auto n = cf::ToInt(value);
  if (!n || *n < 0 || *n >= static_cast<int64_t>(m_slots.size())) return -1;
  return static_cast<int>(*n);
}

int Changer::MountRequest(CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  auto n = cf::ToInt(value);
  if (!n) return kSimBadArgument;
  if (*n == 0xFFFF || *n == -1) {
    // The daemon's reset at start: mount nothing.
    return m_knobs.Bool("refuse-reset") ? kSimError : kSimSuccess;
  }
  int se = StorageElementFrom(value);
  if (se < 0) return kSimBadArgument;
  if (RefusedLocked(prop::kMountRequest, se)) return kSimError;
  if (!m_slots[static_cast<size_t>(se)].full) return kSimNoMedia;
  uint64_t generation = m_generation;
  ScheduleRobotLocked([this, se, generation] {
    Deferred deferred;
    {
      platform::MutexLock inner(m_mutex);
      if (m_generation != generation || !m_plugged || !m_slots[static_cast<size_t>(se)].full) return;
      if (m_online.count(se)) return;
      Slot& slot = m_slots[static_cast<size_t>(se)];
      if (slot.drive < 0) {
        auto free = std::find_if(m_drives.begin(), m_drives.end(), [](const Drive& d) { return d.storageElement < 0; });
        if (free == m_drives.end()) {
          m_host.Log("changer " + FormatGUID(m_guid) + ": no free drive for storage element " +
                     std::to_string(se));
          return;
        }
        free->storageElement = se;
        slot.drive = static_cast<int>(free - m_drives.begin());
      }
      if (!SlotKnob(se, "never-online")) BringOnlineLocked(se, deferred);
      SyncLocked();
    }
    RunDeferred(deferred);
  });
  return kSimSuccess;
}

void Changer::BringOnlineLocked(int se, Deferred& deferred) {
  Registry& reg = m_host.registry();
  Slot& slot = m_slots[static_cast<size_t>(se)];
  OnlineDisc disc;
  disc.token = m_nextToken++;
  m_currentMounted.push_back(se);
  ServiceId parent = m_blockSwitch;
  if (!SlotKnob(se, "omit-disc-services")) {
    disc.services = reg.Create(cls::kDiscServices, m_blockSwitch, nullptr, this);
    parent = disc.services;
    if (SlotKnob(se, "duplicate-disc-services"))
      disc.duplicate = reg.Create(cls::kDiscServices, m_blockSwitch, nullptr, this);
  }
  if (!slot.disc.unreadable) {
    disc.diskNumber = m_host.AllocateDiskNumber();
    std::string whole = "disk" + std::to_string(disc.diskNumber);
    const auto& parts = slot.disc.partitions;
    bool wholeCarriesFS = !parts.empty() && parts.front().slice == 0;
    MediumInfo w;
    w.bsdName = whole;
    w.whole = true;
    w.mediaType = slot.disc.mediaType;
    w.writable = slot.disc.writable;
    if (wholeCarriesFS) {
      w.fileSystem = parts.front().fileSystem;
      w.volumeName = parts.front().volumeName;
      w.writable = parts.front().writable || slot.disc.writable;
      w.content = parts.front().content;
    }
    disc.media.push_back(w);
    if (!wholeCarriesFS)
      for (const PartitionSpec& p : parts) {
        MediumInfo m;
        m.bsdName = whole + "s" + std::to_string(p.slice);
        m.slice = p.slice;
        m.mediaType = slot.disc.mediaType;
        m.fileSystem = p.fileSystem;
        m.volumeName = p.volumeName;
        m.writable = p.writable;
        m.content = p.content;
        disc.media.push_back(m);
      }
    // /dev nodes first: whoever reacts to a published medium may open them at once.
    for (const MediumInfo& m : disc.media) m_host.WriteDevNodes(m, m_guid, se);
    for (MediumInfo& m : disc.media) {
      auto props = cf::Dict();
      cf::Set(props.get(), prop::kBSDName, m.bsdName);
      cf::SetBool(props.get(), "Whole", m.whole);
      cf::SetBool(props.get(), "Writable", m.writable);
      cf::SetBool(props.get(), "Removable", true);
      cf::SetBool(props.get(), "Ejectable", true);
      bool leaf = !m.whole || disc.media.size() == 1;
      cf::SetBool(props.get(), "Leaf", leaf);
      std::string hint = m.whole && !leaf ? "Apple_partition_scheme" : ContentHintFor(m.fileSystem);
      cf::Set(props.get(), "Content Hint", hint);
      cf::Set(props.get(), "Content", hint);
      cf::Set(props.get(), "Preferred Block Size", cf::Int32(2048).get());
      if (m.whole) cf::Set(props.get(), "Type", m.mediaType);
      if (!m.whole) cf::Set(props.get(), "Partition ID", cf::Int32(m.slice).get());
      for (const std::string& key : cf::Keys(props.get())) {
        bool omit = m_knobs.HasName("omit-properties", key) || slot.knobs.HasName("omit-properties", key);
        bool mistype = m_knobs.HasName("mistype-properties", key) || slot.knobs.HasName("mistype-properties", key);
        if (omit)
          cf::Set(props.get(), key, static_cast<CFTypeRef>(nullptr));
        else if (mistype)
          cf::Set(props.get(), key, Mistyped(cf::Get(props.get(), key)).get());
      }
      ServiceId above = m.whole ? parent : disc.media.front().media;
      m.media = reg.Create(cls::kMedia, above, props.get(), nullptr);
      m.client = reg.Create(cls::kBSDClient, m.media, nullptr, nullptr);
    }
    if (SlotKnob(se, "break-parity") && !disc.media.empty())
      disc.extraClient = reg.Create(cls::kBSDClient, disc.media.front().media, nullptr, nullptr);
  }
  m_online[se] = disc;
  SyncLocked();
  OnlineDisc& online = m_online[se];
  if (online.services) reg.Publish(online.services);
  if (online.duplicate) reg.Publish(online.duplicate);
  for (const MediumInfo& m : online.media) {
    reg.Publish(m.media);
    reg.Publish(m.client);
  }
  if (online.extraClient) reg.Publish(online.extraClient);

  uint64_t token = online.token;
  double settle = m_knobs.Number("settle-delay", kDefaultSettleDelay);
  m_host.scheduler().After(settle, [this, se, token] {
    platform::MutexLock inner(m_mutex);
    auto it = m_online.find(se);
    if (it == m_online.end() || it->second.token != token) return;
    it->second.settled = true;
    SyncLocked();
  });
  if (!online.media.empty()) {
    std::vector<MediumInfo> media = online.media;
    deferred.push_back([this, se, media] {
      for (DriverObserver* o : m_host.Observers()) o->DiscOnline(m_guid, se, media);
    });
  }
}

void Changer::TakeOfflineLocked(int se, Deferred& deferred) {
  std::erase(m_currentMounted, se);
  auto it = m_online.find(se);
  if (it == m_online.end()) return;
  OnlineDisc disc = std::move(it->second);
  m_online.erase(it);
  Slot& slot = m_slots[static_cast<size_t>(se)];
  // A formatted partition keeps its new file system: read the nodes back before they go.
  for (const MediumInfo& m : disc.media) {
    CFRef<CFDictionaryRef> node = m_host.ReadDevNode(m.bsdName);
    if (!node) continue;
    auto fs = cf::GetString(node.get(), "File System");
    auto name = cf::GetString(node.get(), "Volume Name");
    auto writable = cf::GetBool(node.get(), "Writable");
    for (PartitionSpec& p : slot.disc.partitions) {
      bool same = m.whole ? p.slice == 0 : p.slice == m.slice;
      if (!same) continue;
      if (fs) p.fileSystem = *fs;
      if (name) p.volumeName = *name;
      if (writable) p.writable = *writable;
    }
    if (m.whole && slot.disc.partitions.empty() && fs && !fs->empty()) {
      // A blank disc that was formatted as a whole now carries a file system.
      PartitionSpec p;
      p.fileSystem = *fs;
      p.volumeName = name.value_or("");
      p.writable = writable.value_or(slot.disc.writable);
      slot.disc.partitions.push_back(p);
      slot.disc.blank = false;
    }
  }
  Registry& reg = m_host.registry();
  if (disc.duplicate) reg.Terminate(disc.duplicate);
  if (disc.services) {
    reg.Terminate(disc.services);
  } else {
    for (const MediumInfo& m : disc.media) reg.Terminate(m.media);
  }
  for (const MediumInfo& m : disc.media) m_host.RemoveDevNodes(m.bsdName);
  if (disc.diskNumber >= 0) m_host.FreeDiskNumber(disc.diskNumber);
  if (!disc.media.empty()) {
    std::vector<MediumInfo> media = disc.media;
    deferred.push_back([this, se, media] {
      for (DriverObserver* o : m_host.Observers()) o->DiscOffline(m_guid, se, media);
    });
  }
}

void Changer::FreeDriveLocked(int se) {
  Slot& slot = m_slots[static_cast<size_t>(se)];
  if (slot.drive < 0 || m_online.count(se)) return;
  if (SlotKnob(se, "stuck-in-drive")) return;
  m_drives[static_cast<size_t>(slot.drive)].storageElement = -1;
  slot.drive = -1;
}

int Changer::ForceEjectRequest(CFTypeRef value) {
  Deferred deferred;
  {
    platform::MutexLock lock(m_mutex);
    int se = StorageElementFrom(value);
    if (se < 0) return kSimBadArgument;
    if (RefusedLocked(prop::kForceEjectRequest, se)) return kSimError;
    if (m_slots[static_cast<size_t>(se)].drive < 0) return kSimSuccess;  // nothing to take out
    UnloadLocked(se, deferred);
  }
  RunDeferred(deferred);
  return kSimSuccess;
}

// The disc goes offline now; its drive is free once the robot has moved it, unless the changer
// was reset meanwhile.
void Changer::UnloadLocked(int se, Deferred& deferred) {
  TakeOfflineLocked(se, deferred);
  SyncLocked();
  uint64_t generation = m_generation;
  ScheduleRobotLocked([this, se, generation] {
    platform::MutexLock inner(m_mutex);
    if (m_generation != generation) return;
    FreeDriveLocked(se);
    SyncLocked();
  });
}

int Changer::EjectDisc(int se) {
  Deferred deferred;
  {
    platform::MutexLock lock(m_mutex);
    if (!m_plugged) return kSimNoDevice;
    if (se < 0 || se >= static_cast<int>(m_slots.size()) || !m_online.count(se)) return kSimBadArgument;
    UnloadLocked(se, deferred);
  }
  RunDeferred(deferred);
  return kSimSuccess;
}

int Changer::DisabledMountRequest(CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  int se = StorageElementFrom(value);
  if (se < 0) return kSimBadArgument;
  if (RefusedLocked(prop::kDisabledMountRequest, se)) return kSimError;
  if (std::find(m_disabledMounts.begin(), m_disabledMounts.end(), se) == m_disabledMounts.end())
    m_disabledMounts.push_back(se);
  return kSimSuccess;
}

int Changer::LoadRequest(CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  if (RefusedLocked(prop::kMediaLoadRequest, -1)) return kSimError;
  auto n = cf::ToInt(value);
  if (!n || *n < 1) return kSimBadArgument;
  if (m_loadActive) return kBusy;
  auto hasEmpty = [&] {
    m_mutex.AssertHeld();
    return std::any_of(m_slots.begin(), m_slots.end(), [](const Slot& s) { return !s.full; });
  };
  if (!hasEmpty()) return kSimSuccess;  // a full changer takes nothing
  m_loadActive = true;
  m_loadAborted = false;
  m_loadRemaining = static_cast<int>(*n);
  m_host.Log("changer " + FormatGUID(m_guid) + ": load of up to " + std::to_string(*n) + " discs started");
  m_loadCv.wait(lock.Native(), [&] {
    m_mutex.AssertHeld();
    return !m_loadActive || m_loadRemaining <= 0 || !hasEmpty();
  });
  bool aborted = m_loadAborted || !m_plugged;
  m_loadActive = false;
  m_loadAborted = false;
  m_loadRemaining = 0;
  return aborted ? kSimAborted : kSimSuccess;
}

bool Changer::EndLoad(std::string& o_error) {
  platform::MutexLock lock(m_mutex);
  if (!m_loadActive) {
    o_error = "no load in progress on changer " + FormatGUID(m_guid);
    return false;
  }
  m_loadActive = false;
  m_loadCv.notify_all();
  return true;
}

void Changer::AbortLoad() {
  platform::MutexLock lock(m_mutex);
  if (!m_loadActive) return;
  m_loadAborted = true;
  m_loadActive = false;
  m_loadCv.notify_all();
}

bool Changer::IsRoboticsService(ServiceId service) const {
  platform::MutexLock lock(m_mutex);
  return service != 0 && service == m_robotics;
}

void Changer::ClearSlotLocked(int se) {
  Slot& slot = m_slots[static_cast<size_t>(se)];
  slot.full = false;
  slot.disc = DiscSpec{};
  slot.primaryTag.clear();
  slot.alternateTag.clear();
  slot.primarySequence = slot.alternateSequence = 0;
}

int Changer::UnloadRequest(CFTypeRef value) {
  Deferred deferred;
  {
    platform::MutexLock lock(m_mutex);
    int se = StorageElementFrom(value);
    if (se < 0) return kSimBadArgument;
    if (RefusedLocked(prop::kUnloadRequest, se)) return kSimError;
    Slot& slot = m_slots[static_cast<size_t>(se)];
    if (!slot.full) return kSimNoMedia;
    if (slot.drive >= 0) {
      if (m_knobs.Choice("unload-in-drive") == "refuse") return kBusy;
      TakeOfflineLocked(se, deferred);
      SyncLocked();
    }
    uint64_t generation = m_generation;
    ScheduleRobotLocked([this, se, generation] {
      platform::MutexLock inner(m_mutex);
      if (m_generation != generation || !m_slots[static_cast<size_t>(se)].full) return;
      Slot& s = m_slots[static_cast<size_t>(se)];
      if (s.drive >= 0) {
        if (SlotKnob(se, "stuck-in-drive")) return;
        m_drives[static_cast<size_t>(s.drive)].storageElement = -1;
        s.drive = -1;
      }
      ClearSlotLocked(se);
      SyncLocked();
      m_host.registry().SendMessage(m_robotics, kMessageStorageElementsChanged, 0);
    });
  }
  RunDeferred(deferred);
  return kSimSuccess;
}

int Changer::SetTagsRequest(CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  if (!cf::IsDict(value)) return kSimBadArgument;
  auto dict = static_cast<CFDictionaryRef>(value);
  int se = StorageElementFrom(cf::Get(dict, prop::kStorageElementNumber));
  if (se < 0) return kSimBadArgument;
  if (RefusedLocked(prop::kSetVolumeTags, se)) return kSimError;
  Slot& slot = m_slots[static_cast<size_t>(se)];
  if (!slot.full) return kSimNoMedia;
  // Check everything first: a bad value changes nothing.
  CFTypeRef primary = cf::Get(dict, prop::kPrimaryVolumeTag);
  CFTypeRef alternate = cf::Get(dict, prop::kAlternateVolumeTag);
  CFTypeRef primarySeq = cf::Get(dict, prop::kPrimaryVolumeSequence);
  CFTypeRef alternateSeq = cf::Get(dict, prop::kAlternateVolumeSequence);
  for (CFTypeRef tag : {primary, alternate})
    if (tag && !cf::IsString(tag)) return kSimBadArgument;
  int16_t seqs[2] = {slot.primarySequence, slot.alternateSequence};
  CFTypeRef seqValues[2] = {primarySeq, alternateSeq};
  for (int i = 0; i < 2; ++i) {
    if (!seqValues[i]) continue;
    if (!cf::IsNumber(seqValues[i]) ||
        !CFNumberGetValue(static_cast<CFNumberRef>(seqValues[i]), kCFNumberSInt16Type, &seqs[i]))
      return kSimBadArgument;
  }
  if (primary) slot.primaryTag = *cf::ToString(primary);
  if (alternate) slot.alternateTag = *cf::ToString(alternate);
  slot.primarySequence = seqs[0];
  slot.alternateSequence = seqs[1];
  SyncLocked();
  return kSimSuccess;
}

int Changer::InstantiateRequest(CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  if (value != kCFBooleanTrue) return kSimBadArgument;
  if (RefusedLocked(prop::kInstantiateMediaObject, -1)) return kSimError;
  if (!m_changerMedia.empty() || m_changerMediaPending) return kSimSuccess;
  m_changerMediaPending = true;
  uint64_t generation = m_generation;
  double delay = RobotDelayLocked() + m_knobs.Number("media-object-delay", 0);
  m_host.scheduler().After(delay, [this, generation] {
    Deferred deferred;
    {
      platform::MutexLock inner(m_mutex);
      if (m_generation != generation || !m_plugged) return;
      m_changerMediaPending = false;
      PublishChangerMediaLocked(deferred);
    }
    RunDeferred(deferred);
  });
  return kSimSuccess;
}

void Changer::PublishChangerMediaLocked(Deferred& deferred) {
  Registry& reg = m_host.registry();
  int count = m_knobs.Bool("duplicate-media-object") ? 2 : 1;
  for (int i = 0; i < count; ++i) {
    MediumInfo m;
    m.bsdName = "disk" + std::to_string(m_host.AllocateDiskNumber());
    m.whole = true;
    m.mediaType = "Changer";
    m.writable = true;
    m_host.WriteDevNodes(m, m_guid, -1);
    auto props = cf::Dict();
    cf::Set(props.get(), prop::kBSDName, m.bsdName);
    cf::SetBool(props.get(), "Whole", true);
    cf::SetBool(props.get(), "Leaf", true);
    cf::SetBool(props.get(), "Writable", true);
    cf::SetBool(props.get(), "Removable", false);
    cf::SetBool(props.get(), "Ejectable", false);
    cf::Set(props.get(), "Content Hint", kChangerMediaContentHint);
    cf::Set(props.get(), "Content", kChangerMediaContentHint);
    // Below the robotics service, never below a disc service.
    m.media = reg.Create(cls::kChangerMedia, m_robotics, props.get(), nullptr);
    m.client = reg.Create(cls::kBSDClient, m.media, nullptr, nullptr);
    m_changerMedia.push_back(m);
  }
  SyncLocked();
  for (const MediumInfo& m : m_changerMedia) {
    reg.Publish(m.media);
    reg.Publish(m.client);
    deferred.push_back([this, m] {
      for (DriverObserver* o : m_host.Observers()) o->ChangerMediaOnline(m_guid, m);
    });
  }
}

// ---------------------------------------------------------------- actions of people and tests

bool Changer::Insert(std::optional<int> slotIndex, const DiscSpec& disc, int& o_slot, std::string& o_error) {
  o_slot = -1;
  platform::MutexLock lock(m_mutex);
  int se = -1;
  if (slotIndex) {
    if (*slotIndex < 0 || *slotIndex >= static_cast<int>(m_slots.size())) {
      o_error = "changer " + FormatGUID(m_guid) + " has no storage element " + std::to_string(*slotIndex);
      return false;
    }
    if (m_slots[static_cast<size_t>(*slotIndex)].full) {
      o_error = "storage element " + std::to_string(*slotIndex) + " already holds a disc";
      return false;
    }
    se = *slotIndex;
  } else {
    for (int i = 0; i < static_cast<int>(m_slots.size()) && se < 0; ++i)
      if (!m_slots[static_cast<size_t>(i)].full) se = i;
    if (se < 0) {
      o_error = "changer " + FormatGUID(m_guid) + " has no empty storage element";
      return false;
    }
  }
  Slot& slot = m_slots[static_cast<size_t>(se)];
  slot.full = true;
  slot.disc = disc;
  slot.primaryTag = disc.primaryTag;
  slot.alternateTag = disc.alternateTag;
  slot.primarySequence = disc.primarySequence;
  slot.alternateSequence = disc.alternateSequence;
  if (!disc.knobs.Empty()) slot.knobs = disc.knobs;
  if (m_loadActive) {
    --m_loadRemaining;
    m_loadCv.notify_all();
  }
  SyncLocked();
  if (m_plugged) m_host.registry().SendMessage(m_robotics, kMessageStorageElementsChanged, 0);
  o_slot = se;
  return true;
}

bool Changer::Remove(int se, std::string& o_error) {
  platform::MutexLock lock(m_mutex);
  if (se < 0 || se >= static_cast<int>(m_slots.size())) {
    o_error = "changer " + FormatGUID(m_guid) + " has no storage element " + std::to_string(se);
    return false;
  }
  Slot& slot = m_slots[static_cast<size_t>(se)];
  if (!slot.full) {
    o_error = "storage element " + std::to_string(se) + " is empty";
    return false;
  }
  if (slot.drive >= 0) {
    o_error = "the disc of storage element " + std::to_string(se) + " is in drive " + std::to_string(slot.drive);
    return false;
  }
  ClearSlotLocked(se);
  SyncLocked();
  if (m_plugged) m_host.registry().SendMessage(m_robotics, kMessageStorageElementsChanged, 0);
  return true;
}

bool Changer::SetKnob(std::optional<int> slot, const std::string& name, CFTypeRef value, std::string& o_error) {
  const KnobInfo* info = FindKnob(name);
  if (!info || info->scope == KnobScope::host) {
    o_error = "unknown knob \"" + name + "\"";
    return false;
  }
  if (slot && info->scope != KnobScope::changerOrSlot) {
    o_error = "knob \"" + name + "\" applies to a whole changer, not to a slot";
    return false;
  }
  CFRef<CFTypeRef> normal;
  if (!NormaliseKnob(*info, value, normal, o_error)) return false;
  platform::MutexLock lock(m_mutex);
  if (slot) {
    if (*slot < 0 || *slot >= static_cast<int>(m_slots.size())) {
      o_error = "changer " + FormatGUID(m_guid) + " has no storage element " + std::to_string(*slot);
      return false;
    }
    m_slots[static_cast<size_t>(*slot)].knobs.Set(name, std::move(normal));
  } else {
    m_knobs.Set(name, std::move(normal));
  }
  if (name == "duplicate-block-switch" && m_plugged) {
    if (m_knobs.Bool(name)) {
      PublishDuplicateBlockSwitchLocked();
    } else if (m_duplicateBlockSwitch) {
      m_host.registry().Terminate(m_duplicateBlockSwitch);
      m_duplicateBlockSwitch = 0;
    }
  }
  SyncLocked();
  return true;
}

void Changer::SendMessage(uint32_t type, uint64_t argument) {
  platform::MutexLock lock(m_mutex);
  if (m_plugged) m_host.registry().SendMessage(m_robotics, type, argument);
}

int Changer::StorageElementForDisk(const std::string& bsdName, bool* o_whole) const {
  platform::MutexLock lock(m_mutex);
  for (const auto& [se, disc] : m_online)
    for (const MediumInfo& m : disc.media)
      if (m.bsdName == bsdName) {
        if (o_whole) *o_whole = m.whole;
        return se;
      }
  return -1;
}

CFRef<CFDictionaryRef> Changer::Describe() const {
  platform::MutexLock lock(m_mutex);
  auto d = cf::Dict();
  cf::Set(d.get(), "GUID", FormatGUID(m_guid));
  cf::SetBool(d.get(), "Plugged", m_plugged);
  cf::Set(d.get(), "Storage Elements", static_cast<int64_t>(m_slots.size()));
  cf::Set(d.get(), "Robotics Service", static_cast<int64_t>(m_robotics));
  int loaded = 0;
  auto slots = cf::Array();
  for (int i = 0; i < static_cast<int>(m_slots.size()); ++i) {
    const Slot& s = m_slots[static_cast<size_t>(i)];
    loaded += s.full;
    auto e = cf::Dict();
    cf::Set(e.get(), "Storage Element", static_cast<int64_t>(i));
    cf::SetBool(e.get(), "Full", s.full);
    if (s.full) {
      cf::Set(e.get(), "Media Type", s.disc.mediaType);
      cf::SetBool(e.get(), "Blank", s.disc.blank);
      cf::SetBool(e.get(), "Unreadable", s.disc.unreadable);
      auto names = cf::Array();
      for (const PartitionSpec& p : s.disc.partitions) {
        auto pd = cf::Dict();
        cf::Set(pd.get(), "Slice", static_cast<int64_t>(p.slice));
        cf::Set(pd.get(), "File System", p.fileSystem);
        cf::Set(pd.get(), "Volume Name", p.volumeName);
        cf::SetBool(pd.get(), "Writable", p.writable);
        cf::Append(names.get(), pd.get());
      }
      cf::Set(e.get(), "Partitions", names.get());
    }
    cf::Set(e.get(), "Drive", static_cast<int64_t>(s.drive));
    cf::SetBool(e.get(), "Online", m_online.count(i) != 0);
    CFRef<CFDictionaryRef> entry = SlotEntryLocked(i);
    cf::Set(e.get(), "Entry", entry.get());
    if (auto it = m_online.find(i); it != m_online.end()) {
      auto bsd = cf::Array();
      for (const MediumInfo& m : it->second.media) cf::Append(bsd.get(), cf::Str(m.bsdName).get());
      cf::Set(e.get(), "BSD Names", bsd.get());
      cf::Set(e.get(), "Last Release Time", static_cast<int64_t>(
                                                SlotKnob(i, "hold-release-time") ? 0 : it->second.releaseTime));
    }
    if (!s.knobs.Empty()) cf::Set(e.get(), "Knobs", s.knobs.Copy().get());
    cf::Append(slots.get(), e.get());
  }
  cf::Set(d.get(), "Loaded", static_cast<int64_t>(loaded));
  cf::Set(d.get(), "Slots", slots.get());
  auto drives = cf::Array();
  for (int i = 0; i < static_cast<int>(m_drives.size()); ++i) {
    const Drive& dr = m_drives[static_cast<size_t>(i)];
    auto e = cf::Dict();
    cf::Set(e.get(), "Drive", static_cast<int64_t>(i));
    cf::Set(e.get(), "DVD Features", static_cast<int64_t>(dr.spec.dvdFeatures));
    cf::Set(e.get(), "Storage Element", static_cast<int64_t>(dr.storageElement));
    cf::SetBool(e.get(), "Published", dr.service != 0);
    if (dr.storageElement >= 0) {
      auto it = m_online.find(dr.storageElement);
      cf::Set(e.get(), "BSD Name", it != m_online.end() && !it->second.media.empty() ? it->second.media.front().bsdName
                                                                                     : std::string());
    }
    cf::Append(drives.get(), e.get());
  }
  cf::Set(d.get(), "Drives", drives.get());
  auto mounted = cf::Array();
  for (int se : m_currentMounted) cf::Append(mounted.get(), cf::Int64(se).get());
  cf::Set(d.get(), "Current Mounted", mounted.get());
  auto disabled = cf::Array();
  for (int se : m_disabledMounts) cf::Append(disabled.get(), cf::Int64(se).get());
  cf::Set(d.get(), "Disabled Mounts", disabled.get());
  auto media = cf::Array();
  for (const MediumInfo& m : m_changerMedia) cf::Append(media.get(), cf::Str(m.bsdName).get());
  cf::Set(d.get(), "Media Object", media.get());
  cf::SetBool(d.get(), "Load In Progress", m_loadActive);
  if (m_loadActive) cf::Set(d.get(), "Load Remaining", static_cast<int64_t>(m_loadRemaining));
  cf::Set(d.get(), "Knobs", m_knobs.Copy().get());
  return CFRef<CFDictionaryRef>(d.release());
}

}  // namespace simhost
