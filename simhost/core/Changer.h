// One virtual changer: the driver family's services and properties, and the robot that acts on
// the request properties after its delay on the system clock.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ChangerDescription.h"
#include "Registry.h"
#include "platform/ThreadAnnotations.h"

namespace simhost {

class Host;

// Service and request property names of the driver family.
namespace prop {
inline constexpr const char* kGUID = "GUID";
inline constexpr const char* kElementAddressAssignments = "Element Address Assignments";
inline constexpr const char* kNumberOfStorageElements = "Number Of Storage Elements";
inline constexpr const char* kNumberOfDataTransferElements = "Number Of Data Transfer Elements";
inline constexpr const char* kStorageElementInfo = "Storage Element Info";
inline constexpr const char* kMediaInStorageElement = "Media In Storage Element";
inline constexpr const char* kPrimaryVolumeTag = "Primary Volume Tag";
inline constexpr const char* kAlternateVolumeTag = "Alternate Volume Tag";
inline constexpr const char* kPrimaryVolumeSequence = "Primary Volume Sequence";
inline constexpr const char* kAlternateVolumeSequence = "Alternate Volume Sequence";
inline constexpr const char* kStorageElementNumber = "Storage Element Number";
inline constexpr const char* kDriveConfiguration = "Current Data Transfer Element Configuration";
inline constexpr const char* kLoadedCount = "Loaded Storage Element Count";
inline constexpr const char* kCurrentMounted = "Current Mounted Storage Elements";
inline constexpr const char* kDVDFeatures = "DVD Features";
inline constexpr const char* kLastReleaseTime = "Last Release Time";
inline constexpr const char* kStorageElementAddress = "Storage Element Address";
inline constexpr const char* kBSDName = "BSD Name";
inline constexpr const char* kMountRequest = "Storage Element Mount Request";
inline constexpr const char* kForceEjectRequest = "Storage Element Force Eject Request Prop";
inline constexpr const char* kDisabledMountRequest = "Add Disabled Mount Storage Element Request";
inline constexpr const char* kMediaLoadRequest = "Media Load Request";
inline constexpr const char* kUnloadRequest = "Storage Element Unload Request";
inline constexpr const char* kSetVolumeTags = "Set Storage Element Volume Tags";
inline constexpr const char* kInstantiateMediaObject = "Instantiate Media Object";
}  // namespace prop

namespace cls {
inline constexpr const char* kRobotics = "TavrinChangerRoboticsDevice";
inline constexpr const char* kBlockSwitch = "TavrinChangerDVDBlockSwitch";
inline constexpr const char* kDrive = "TavrinChangerPeripheralDeviceType05";
inline constexpr const char* kDiscServices = "TavrinChangerVirtualDVDServices";
inline constexpr const char* kChangerMedia = "TavrinChangerMedia";
inline constexpr const char* kMedia = "IOMedia";
inline constexpr const char* kBSDClient = "IOMediaBSDClient";
}  // namespace cls

// "Content Hint" of the changer's own media object, which only the changer file system claims.
inline constexpr const char* kChangerMediaContentHint = "TavrinChangerFileSystem";
// "Content Hint" of a medium carrying `fileSystem` ("" when it carries none).
std::string ContentHintFor(const std::string& fileSystem);

// One media object (whole disc, partition, or the changer's own) with its /dev nodes.
struct MediumInfo {
  std::string bsdName;
  bool whole = false;
  int slice = 0;
  std::string mediaType;
  std::string fileSystem;
  std::string volumeName;
  bool writable = false;
  std::string content;
  ServiceId media = 0;
  ServiceId client = 0;
};

// Lets another part of the host (Disk Arbitration) follow discs as they come and go. Called on
// the host's own threads with no changer lock held.
class DriverObserver {
 public:
  virtual ~DriverObserver() = default;
  // The disc's media objects and /dev nodes exist; whole disc first, then its partitions.
  virtual void DiscOnline(uint64_t guid, int storageElement, const std::vector<MediumInfo>& media) = 0;
  // They are gone (eject, unload, unplug).
  virtual void DiscOffline(uint64_t guid, int storageElement, const std::vector<MediumInfo>& media) = 0;
  virtual void ChangerMediaOnline(uint64_t guid, const MediumInfo& medium) = 0;
  virtual void ChangerMediaOffline(uint64_t guid, const MediumInfo& medium) = 0;
};

class Changer : public ServiceOwner {
 public:
  Changer(Host& host, ChangerSpec spec);
  ~Changer() override;

  uint64_t Guid() const { return m_guid; }
  [[nodiscard]] bool IsPlugged() const;
  // Publishes the changer's services (drives late when "drive-delay" says so).
  void Plug();
  // Terminates every service of the changer; discs in drives go back to their slots.
  void Unplug();
  void ReplugAfter(double seconds);

  int SetProperty(ServiceId service, const std::string& key, CFTypeRef value) override;
  bool InterestReleaseFails(ServiceId service) override;

  // Puts a disc in through the door: into `slot`, or the first empty slot. During a load it
  // counts towards the discs the load waits for.
  [[nodiscard]] bool Insert(std::optional<int> slot, const DiscSpec& disc, int& o_slot, std::string& o_error);
  // Takes a disc out of its slot (not while it is in a drive).
  [[nodiscard]] bool Remove(int slot, std::string& o_error);
  // Ends a load in progress ("load ends" on the changer's panel).
  [[nodiscard]] bool EndLoad(std::string& o_error);
  // Ends a load whose requester went away; its request reads as aborted.
  void AbortLoad();
  [[nodiscard]] bool IsRoboticsService(ServiceId service) const;
  [[nodiscard]] bool SetKnob(std::optional<int> slot, const std::string& name, CFTypeRef value, std::string& o_error);
  void SendMessage(uint32_t type, uint64_t argument);
  // Eject of a whole disc through its device (Disk Arbitration or the eject ioctl).
  int EjectDisc(int storageElement);

  // Everything a person or a test may want to see, as a property list.
  CFRef<CFDictionaryRef> Describe() const;
  // The storage element whose disc has `bsdName` as whole disc or partition; -1 when none.
  int StorageElementForDisk(const std::string& bsdName, bool* o_whole) const;

 private:
  struct Slot {
    bool full = false;
    DiscSpec disc;
    std::string primaryTag, alternateTag;
    int16_t primarySequence = 0, alternateSequence = 0;
    KnobSet knobs;
    int drive = -1;
  };
  struct Drive {
    DriveSpec spec;
    int storageElement = -1;
    ServiceId service = 0;
  };
  struct OnlineDisc {
    ServiceId services = 0;
    ServiceId duplicate = 0;
    ServiceId extraClient = 0;
    int diskNumber = -1;
    std::vector<MediumInfo> media;
    int32_t releaseTime = 0;
    bool settled = false;
    uint64_t token = 0;
  };
  using Deferred = std::vector<std::function<void()>>;

  // The *Locked members, and SlotKnob, run with m_mutex held.
  [[nodiscard]] bool SlotKnob(int slot, const std::string& name) const REQUIRES(m_mutex);
  [[nodiscard]] bool RefusedLocked(const std::string& request, int slot) const REQUIRES(m_mutex);
  double RobotDelayLocked() const REQUIRES(m_mutex);
  double ScheduleRobotLocked(std::function<void()> action) REQUIRES(m_mutex);
  void SyncLocked() REQUIRES(m_mutex);
  void PutLocked(ServiceId service, const std::string& key, CFTypeRef value, int slot) REQUIRES(m_mutex);
  CFRef<CFDictionaryRef> SlotEntryLocked(int slot) const REQUIRES(m_mutex);
  void PublishDriveLocked(int index) REQUIRES(m_mutex);
  void PublishDuplicateBlockSwitchLocked() REQUIRES(m_mutex);
  void BringOnlineLocked(int slot, Deferred& deferred) REQUIRES(m_mutex);
  void TakeOfflineLocked(int slot, Deferred& deferred) REQUIRES(m_mutex);
  void UnloadLocked(int slot, Deferred& deferred) REQUIRES(m_mutex);
  void FreeDriveLocked(int slot) REQUIRES(m_mutex);
  void PublishChangerMediaLocked(Deferred& deferred) REQUIRES(m_mutex);
  void ClearSlotLocked(int slot) REQUIRES(m_mutex);
  [[nodiscard]] bool LoadActiveLocked() const REQUIRES(m_mutex) { return m_loadActive; }

  int MountRequest(CFTypeRef value);
  int ForceEjectRequest(CFTypeRef value);
  int DisabledMountRequest(CFTypeRef value);
  int LoadRequest(CFTypeRef value);
  int UnloadRequest(CFTypeRef value);
  int SetTagsRequest(CFTypeRef value);
  int InstantiateRequest(CFTypeRef value);
  // A storage element from a request value; -1 when it is not one of this changer's.
  int StorageElementFrom(CFTypeRef value) const REQUIRES(m_mutex);

  Host& m_host;
  const uint64_t m_guid;
  // Guards the changer's state below; the registry and the scheduler are called with it held,
  // never the reverse, so it is taken before their locks.
  mutable platform::Mutex m_mutex;
  std::condition_variable m_loadCv;
  KnobSet m_knobs GUARDED_BY(m_mutex);
  std::vector<Slot> m_slots GUARDED_BY(m_mutex);
  std::vector<Drive> m_drives GUARDED_BY(m_mutex);
  std::vector<int> m_currentMounted GUARDED_BY(m_mutex);
  std::vector<int> m_disabledMounts GUARDED_BY(m_mutex);
  std::map<int, OnlineDisc> m_online GUARDED_BY(m_mutex);
  std::vector<MediumInfo> m_changerMedia GUARDED_BY(m_mutex);
  bool m_changerMediaPending GUARDED_BY(m_mutex) = false;
  bool m_plugged GUARDED_BY(m_mutex) = false;
  uint64_t m_generation GUARDED_BY(m_mutex) = 0;  // bumped on unplug: actions scheduled before then are dropped
  uint64_t m_nextToken GUARDED_BY(m_mutex) = 1;
  double m_robotFreeAt GUARDED_BY(m_mutex) = 0;
  ServiceId m_robotics GUARDED_BY(m_mutex) = 0;
  ServiceId m_blockSwitch GUARDED_BY(m_mutex) = 0;
  ServiceId m_duplicateBlockSwitch GUARDED_BY(m_mutex) = 0;
  bool m_loadActive GUARDED_BY(m_mutex) = false;
  int m_loadRemaining GUARDED_BY(m_mutex) = 0;
  bool m_loadAborted GUARDED_BY(m_mutex) = false;
};

}  // namespace simhost
