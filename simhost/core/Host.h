// The simulated machine behind one system root: registry, changers, /dev nodes, alerts and the
// host's own fault knobs. The server (Server.h) puts it on the root's socket; tests may use it
// directly.
#pragma once
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Changer.h"
#include "Knobs.h"
#include "Registry.h"
#include "Scheduler.h"

namespace simhost {

struct Alert {
  double time = 0;
  int pid = 0;
  std::string header;
  std::string message;
  std::string defaultButton;
  std::string iconURL;
  int level = 0;
};

class Host {
 public:
  // `root` is the host directory of the system root.
  explicit Host(std::string root);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const std::string& Root() const { return m_root; }
  Registry& registry() { return m_registry; }
  Scheduler& scheduler() { return m_scheduler; }

  // Adds and plugs in a changer. Fails for a GUID already in use.
  bool AddChanger(ChangerSpec spec, std::string& o_error);
  Changer* FindChanger(uint64_t guid);
  std::vector<Changer*> Changers();
  // The changer whose disc or media object is `bsdName`.
  Changer* ChangerForDisk(const std::string& bsdName);

  // The changer whose robotics service is `service`.
  Changer* ChangerForRobotics(ServiceId service);

  // Ejects the whole disc `bsdName` (Disk Arbitration, or the eject ioctl on its raw device).
  int EjectDisk(const std::string& bsdName);

  // Lowest free N of "diskN" (0 and 1 are the machine's own disks).
  int AllocateDiskNumber();
  void FreeDiskNumber(int number);
  // "/dev/<bsd>" and "/dev/r<bsd>" under the root, each holding the medium's description as an
  // XML property list (see README.md).
  bool WriteDevNodes(const MediumInfo& medium, uint64_t guid, int storageElement);
  void RemoveDevNodes(const std::string& bsdName);
  CFRef<CFDictionaryRef> ReadDevNode(const std::string& bsdName) const;

  void AddObserver(DriverObserver* observer);
  void RemoveObserver(DriverObserver* observer);
  std::vector<DriverObserver*> Observers() const;

  bool SetHostKnob(const std::string& name, CFTypeRef value, std::string& o_error);
  bool HostKnob(const std::string& name) const;
  CFRef<CFDictionaryRef> HostKnobs() const;

  // Creation of a user notification; false (and nothing recorded) when "alerts-fail" is set.
  bool RecordAlert(Alert alert);
  std::vector<Alert> Alerts() const;

  // Writes a line to the root's system log as "simhostd".
  void Log(const std::string& text) const;

  // What a host that ended without stopping (killed) left in the root: "/dev" nodes of discs
  // and a daemon of this root still running. Called at start, before anything is published;
  // each thing cleared is logged. Processes are looked for in this root's process table only.
  void ClearCrashedRun();

  // Ends everything that waits (loads) and stops the scheduler; the destructor calls it.
  void Shutdown();

 private:
  const std::string m_root;
  Registry m_registry;
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<Changer>> m_changers;
  std::set<int> m_diskNumbers;
  std::vector<DriverObserver*> m_observers;
  KnobSet m_knobs;
  std::vector<Alert> m_alerts;
  Scheduler m_scheduler;
};

}  // namespace simhost
