#include "Host.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CFUtil.h"
#include "Install.h"
#include "platform/BSD.h"
#include "platform/Log.h"
#include "platform/PlistCodec.h"

namespace simhost {

Host::Host(std::string root) : m_root(std::move(root)) {}

Host::~Host() { Shutdown(); }

void Host::Shutdown() {
  m_scheduler.Stop();
  for (Changer* c : Changers()) c->Unplug();
}

bool Host::AddChanger(ChangerSpec spec, std::string& o_error) {
  Changer* added = nullptr;
  {
    std::lock_guard lock(m_mutex);
    for (const auto& c : m_changers)
      if (c->Guid() == spec.guid) {
        o_error = "a changer with GUID " + FormatGUID(spec.guid) + " is already attached";
        return false;
      }
    m_changers.push_back(std::make_unique<Changer>(*this, std::move(spec)));
    added = m_changers.back().get();
  }
  added->Plug();
  return true;
}

Changer* Host::FindChanger(uint64_t guid) {
  std::lock_guard lock(m_mutex);
  for (const auto& c : m_changers)
    if (c->Guid() == guid) return c.get();
  return nullptr;
}

std::vector<Changer*> Host::Changers() {
  std::lock_guard lock(m_mutex);
  std::vector<Changer*> out;
  for (const auto& c : m_changers) out.push_back(c.get());
  return out;
}

Changer* Host::ChangerForDisk(const std::string& bsdName) {
  for (Changer* c : Changers())
    if (c->StorageElementForDisk(bsdName, nullptr) >= 0) return c;
  return nullptr;
}

Changer* Host::ChangerForRobotics(ServiceId service) {
  for (Changer* c : Changers())
    if (c->IsRoboticsService(service)) return c;
  return nullptr;
}

int Host::EjectDisk(const std::string& bsdName) {
  for (Changer* c : Changers()) {
    bool whole = false;
    int se = c->StorageElementForDisk(bsdName, &whole);
    if (se < 0) continue;
    if (!whole) return kSimBadArgument;  // a partition cannot be ejected on its own
    return c->EjectDisc(se);
  }
  return kSimNoDevice;
}

int Host::AllocateDiskNumber() {
  std::lock_guard lock(m_mutex);
  int n = 2;
  while (m_diskNumbers.count(n)) ++n;
  m_diskNumbers.insert(n);
  return n;
}

void Host::FreeDiskNumber(int number) {
  std::lock_guard lock(m_mutex);
  m_diskNumbers.erase(number);
}

bool Host::WriteDevNodes(const MediumInfo& m, uint64_t guid, int storageElement) {
  auto d = cf::Dict();
  cf::Set(d.get(), "BSD Name", m.bsdName);
  cf::SetBool(d.get(), "Whole", m.whole);
  cf::Set(d.get(), "Media Type", m.mediaType);
  cf::Set(d.get(), "File System", m.fileSystem);
  cf::Set(d.get(), "Volume Name", m.volumeName);
  cf::SetBool(d.get(), "Writable", m.writable);
  cf::Set(d.get(), "Content", m.content);
  cf::Set(d.get(), "Content Hint",
          m.mediaType == "Changer" ? std::string(kChangerMediaContentHint) : ContentHintFor(m.fileSystem));
  cf::Set(d.get(), "Changer GUID", FormatGUID(guid));
  cf::Set(d.get(), "Storage Element", static_cast<int64_t>(storageElement));
  std::string bytes = platform::plist::EncodeXML(d.get());
  if (bytes.empty()) return false;
  std::string dir = m_root + "/dev";
  ::mkdir(dir.c_str(), 0755);
  bool ok = true;
  for (const std::string& name : {m.bsdName, "r" + m.bsdName}) {
    std::string path = dir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) ok = false;
  }
  if (!ok) Log("unable to write /dev/" + m.bsdName);
  return ok;
}

void Host::RemoveDevNodes(const std::string& bsdName) {
  for (const std::string& name : {bsdName, "r" + bsdName}) ::unlink((m_root + "/dev/" + name).c_str());
}

namespace {

// "diskN", "diskNsM" and their raw twins, N from 2: the names WriteDevNodes gives.
bool IsDiscNodeName(const std::string& name) {
  size_t i = name.rfind("rdisk", 0) == 0 ? 5 : name.rfind("disk", 0) == 0 ? 4 : std::string::npos;
  if (i == std::string::npos) return false;
  auto digits = [&](size_t from) {
    size_t end = from;
    while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
    return end;
  };
  size_t end = digits(i);
  if (end == i || end - i > 9 || std::stoi(name.substr(i, end - i)) < 2) return false;
  if (end == name.size()) return true;
  if (name[end] != 's') return false;
  size_t sliceEnd = digits(end + 1);
  return sliceEnd > end + 1 && sliceEnd == name.size();
}

// The daemon's file name, as the process table shows it.
std::string DaemonProgramName() {
  std::string path = kDaemonPath;
  return path.substr(path.rfind('/') + 1);
}

std::vector<pid_t> DaemonsOfThisRoot() {
  int mib[] = {bsd::CTL_KERN, bsd::KERN_PROC, bsd::KERN_PROC_ALL};
  size_t size = 0;
  std::vector<pid_t> pids;
  if (bsd::sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0) return pids;
  // Room for a few started since the size was taken; a short table still lists what fits.
  std::vector<bsd::kinfo_proc> table(size / sizeof(bsd::kinfo_proc) + 8);
  size = table.size() * sizeof(bsd::kinfo_proc);
  if (bsd::sysctl(mib, 3, table.data(), &size, nullptr, 0) != 0 && errno != ENOMEM) return pids;
  table.resize(size / sizeof(bsd::kinfo_proc));
  for (const bsd::kinfo_proc& entry : table)
    if (entry.kp_proc.p_comm == DaemonProgramName() && entry.kp_proc.p_pid != ::getpid())
      pids.push_back(entry.kp_proc.p_pid);
  return pids;
}

}  // namespace

void Host::ClearCrashedRun() {
  std::string dir = m_root + "/dev";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    // Only what this host writes: a planted directory, FIFO or device is left alone; a link is
    // removed itself, never followed.
    struct stat st {};
    if (!IsDiscNodeName(name) || ::lstat(entry.path().c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) continue;
    if (::unlink(entry.path().c_str()) == 0) Log("removed /dev/" + name + " left by an earlier run");
  }

  std::vector<pid_t> daemons = DaemonsOfThisRoot();
  for (pid_t pid : daemons) {
    Log(DaemonProgramName() + " [" + std::to_string(pid) + "] of an earlier run is still running: ending it");
    ::kill(pid, SIGTERM);
  }
  // A moment of real time to end on its own (it leaves the table once it has exited), then made sure.
  for (int i = 0; i < 100 && !daemons.empty(); ++i) {
    ::usleep(20000);
    daemons = DaemonsOfThisRoot();
  }
  for (pid_t pid : daemons) ::kill(pid, SIGKILL);
}

CFRef<CFDictionaryRef> Host::ReadDevNode(const std::string& bsdName) const {
  std::ifstream in(m_root + "/dev/" + bsdName, std::ios::binary);
  if (!in) return {};
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string data = bytes.str();
  CFRef<CFPropertyListRef> plist(platform::plist::Decode(data.data(), data.size(), kCFPropertyListImmutable, nullptr));
  if (!cf::IsDict(plist.get())) return {};
  return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(plist.release()));
}

void Host::AddObserver(DriverObserver* observer) {
  std::lock_guard lock(m_mutex);
  m_observers.push_back(observer);
}

void Host::RemoveObserver(DriverObserver* observer) {
  std::lock_guard lock(m_mutex);
  std::erase(m_observers, observer);
}

std::vector<DriverObserver*> Host::Observers() const {
  std::lock_guard lock(m_mutex);
  return m_observers;
}

bool Host::SetHostKnob(const std::string& name, CFTypeRef value, std::string& o_error) {
  const KnobInfo* info = FindKnob(name);
  if (!info || info->scope != KnobScope::host) {
    o_error = "unknown host knob \"" + name + "\"";
    return false;
  }
  CFRef<CFTypeRef> normal;
  if (!NormaliseKnob(*info, value, normal, o_error)) return false;
  std::lock_guard lock(m_mutex);
  m_knobs.Set(name, std::move(normal));
  return true;
}

bool Host::HostKnob(const std::string& name) const {
  std::lock_guard lock(m_mutex);
  return m_knobs.Bool(name);
}

CFRef<CFDictionaryRef> Host::HostKnobs() const {
  std::lock_guard lock(m_mutex);
  return m_knobs.Copy();
}

bool Host::RecordAlert(Alert alert) {
  std::lock_guard lock(m_mutex);
  if (m_knobs.Bool("alerts-fail")) return false;
  m_alerts.push_back(std::move(alert));
  return true;
}

std::vector<Alert> Host::Alerts() const {
  std::lock_guard lock(m_mutex);
  return m_alerts;
}

void Host::Log(const std::string& text) const { platform::log::Write(LOG_NOTICE, text); }

}  // namespace simhost
