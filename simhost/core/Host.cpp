#include "Host.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "CFUtil.h"
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
