#include "Registry.h"

#include <algorithm>
#include <functional>

#include "CFUtil.h"

namespace simhost {
namespace {

// Superclass of every class the host publishes; anything else derives from IOService.
const std::map<std::string, std::string>& SuperClasses() {
  static const std::map<std::string, std::string> table = {
      {"IOService", "IORegistryEntry"},
      {"IOStorage", "IOService"},
      {"IOMedia", "IOStorage"},
      {"IOMediaBSDClient", "IOService"},
      {"TavrinChangerMedia", "IOMedia"},
      {"TavrinChangerRoboticsDevice", "IOService"},
      {"TavrinChangerDVDBlockSwitch", "IOService"},
      {"TavrinChangerPeripheralDeviceType05", "IOService"},
      {"TavrinChangerVirtualDVDServices", "IOService"},
  };
  return table;
}

bool ValuesEqual(CFDictionaryRef properties, CFTypeRef key, CFTypeRef wanted) {
  CFTypeRef have = CFDictionaryGetValue(properties, key);
  return have && CFEqual(have, wanted);
}

bool PropertyMatch(CFDictionaryRef properties, CFDictionaryRef table) {
  CFIndex n = CFDictionaryGetCount(table);
  std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(table, keys.data(), values.data());
  for (CFIndex i = 0; i < n; ++i)
    if (!ValuesEqual(properties, keys[static_cast<size_t>(i)], values[static_cast<size_t>(i)])) return false;
  return true;
}

}  // namespace

std::vector<std::string> ClassChainOf(const std::string& className) {
  if (className == "IORegistryEntry") return {"IORegistryEntry"};
  std::vector<std::string> chain{className};
  const auto& supers = SuperClasses();
  std::string current = className;
  while (current != "IORegistryEntry") {
    auto it = supers.find(current);
    current = it == supers.end() ? std::string("IOService") : it->second;
    if (current == chain.back()) current = "IORegistryEntry";
    chain.push_back(current);
  }
  return chain;
}

bool MatchesDictionary(const std::vector<std::string>& classChain, CFDictionaryRef properties,
                       CFDictionaryRef matching) {
  if (!matching) return false;
  CFIndex n = CFDictionaryGetCount(matching);
  std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
  CFDictionaryGetKeysAndValues(matching, keys.data(), values.data());
  for (CFIndex i = 0; i < n; ++i) {
    CFTypeRef key = keys[static_cast<size_t>(i)];
    CFTypeRef value = values[static_cast<size_t>(i)];
    auto name = cf::ToString(key);
    if (!name) return false;
    if (*name == "IOProviderClass") {
      auto cls = cf::ToString(value);
      if (!cls || std::find(classChain.begin(), classChain.end(), *cls) == classChain.end()) return false;
    } else if (*name == "IOPropertyMatch") {
      if (cf::IsDict(value)) {
        if (!PropertyMatch(properties, static_cast<CFDictionaryRef>(value))) return false;
      } else if (cf::IsArray(value)) {
        auto array = static_cast<CFArrayRef>(value);
        bool any = false;
        for (CFIndex j = 0; j < CFArrayGetCount(array) && !any; ++j) {
          CFTypeRef entry = CFArrayGetValueAtIndex(array, j);
          any = cf::IsDict(entry) && PropertyMatch(properties, static_cast<CFDictionaryRef>(entry));
        }
        if (!any) return false;
      } else {
        return false;
      }
    } else if (*name == "IOMatchCategory" || *name == "IOProbeScore") {
      continue;  // they rank drivers; they do not select services
    } else if (!ValuesEqual(properties, key, value)) {
      return false;
    }
  }
  return true;
}

Registry::Registry() {
  Service root;
  root.id = m_nextService++;
  root.classChain = ClassChainOf("IORegistryEntry");
  root.properties = cf::Dict();
  root.published = true;
  m_services.emplace(root.id, std::move(root));
}

ServiceId Registry::Create(const std::string& className, ServiceId parent, CFDictionaryRef properties,
                           ServiceOwner* owner) {
  platform::MutexLock lock(m_mutex);
  Service s;
  s.id = m_nextService++;
  s.classChain = ClassChainOf(className);
  s.properties = properties ? CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutableCopy(nullptr, 0, properties))
                            : cf::Dict();
  s.owner = owner;
  auto p = m_services.find(parent);
  if (p != m_services.end()) {
    s.parent = parent;
    p->second.children.push_back(s.id);
  }
  ServiceId id = s.id;
  m_services.emplace(id, std::move(s));
  return id;
}

void Registry::Publish(ServiceId id) {
  platform::MutexLock lock(m_mutex);
  auto it = m_services.find(id);
  if (it == m_services.end() || it->second.published || it->second.terminated) return;
  it->second.published = true;
  for (auto& [nid, n] : m_notifications)
    if (n.kind == NotificationKind::publish && MatchesLocked(it->second, n.matching.get()))
      n.subscriber->ServiceMatched(n.cookie, id);
}

void Registry::Terminate(ServiceId id) {
  platform::MutexLock lock(m_mutex);
  TerminateLocked(id);
}

void Registry::TerminateLocked(ServiceId id) {
  auto it = m_services.find(id);
  if (it == m_services.end() || it->second.terminated) return;
  std::vector<ServiceId> children = it->second.children;
  for (ServiceId child : children) TerminateLocked(child);
  Service& s = m_services.at(id);
  s.terminated = true;
  for (auto& [iid, interest] : m_interests)
    if (interest.service == id) interest.subscriber->InterestMessage(interest.cookie, id, kMessageServiceIsTerminated, 0);
  if (s.published)
    for (auto& [nid, n] : m_notifications)
      if (n.kind == NotificationKind::terminate && MatchesLocked(s, n.matching.get()))
        n.subscriber->ServiceMatched(n.cookie, id);
  auto p = m_services.find(s.parent);
  if (p != m_services.end()) std::erase(p->second.children, id);
}

void Registry::SetValue(ServiceId id, const std::string& key, CFTypeRef value) {
  platform::MutexLock lock(m_mutex);
  auto it = m_services.find(id);
  if (it != m_services.end()) cf::Set(it->second.properties.get(), key, value);
}

const Registry::Service* Registry::FindLocked(ServiceId id) const {
  auto it = m_services.find(id);
  return it == m_services.end() ? nullptr : &it->second;
}

bool Registry::Exists(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  return FindLocked(id) != nullptr;
}

bool Registry::IsTerminated(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return !s || s->terminated;
}

bool Registry::IsPublished(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s && s->published && !s->terminated;
}

std::string Registry::ClassName(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s ? s->classChain.front() : std::string();
}

std::vector<std::string> Registry::ClassChain(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s ? s->classChain : std::vector<std::string>{};
}

CFRef<CFTypeRef> Registry::CopyValue(ServiceId id, const std::string& key) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  if (!s) return {};
  return CFRef<CFTypeRef>::Retain(cf::Get(s->properties.get(), key));
}

CFRef<CFDictionaryRef> Registry::CopyProperties(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  if (!s) return {};
  return CFRef<CFDictionaryRef>(CFDictionaryCreateCopy(nullptr, s->properties.get()));
}

ServiceId Registry::Parent(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s ? s->parent : 0;
}

std::vector<ServiceId> Registry::Ancestors(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  std::vector<ServiceId> out;
  const Service* s = FindLocked(id);
  while (s && s->parent) {
    out.push_back(s->parent);
    s = FindLocked(s->parent);
  }
  return out;
}

std::vector<ServiceId> Registry::Children(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s ? s->children : std::vector<ServiceId>{};
}

std::vector<ServiceId> Registry::Descendants(ServiceId id) const {
  platform::MutexLock lock(m_mutex);
  std::vector<ServiceId> out;
  std::function<void(ServiceId)> walk = [&](ServiceId current) {
    m_mutex.AssertHeld();
    const Service* s = FindLocked(current);
    if (!s) return;
    for (ServiceId child : s->children) {
      out.push_back(child);
      walk(child);
    }
  };
  walk(id);
  return out;
}

CFRef<CFTypeRef> Registry::Search(ServiceId id, const std::string& key, bool parents) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  while (s) {
    if (CFTypeRef v = cf::Get(s->properties.get(), key)) return CFRef<CFTypeRef>::Retain(v);
    if (!parents) break;
    s = s->parent ? FindLocked(s->parent) : nullptr;
  }
  return {};
}

bool Registry::MatchesLocked(const Service& s, CFDictionaryRef matching) const {
  return MatchesDictionary(s.classChain, s.properties.get(), matching);
}

std::vector<ServiceId> Registry::Match(CFDictionaryRef matching) const {
  platform::MutexLock lock(m_mutex);
  std::vector<ServiceId> out;
  for (const auto& [id, s] : m_services)
    if (s.published && !s.terminated && MatchesLocked(s, matching)) out.push_back(id);
  return out;
}

bool Registry::MatchPropertyTable(ServiceId id, CFDictionaryRef table) const {
  platform::MutexLock lock(m_mutex);
  const Service* s = FindLocked(id);
  return s && MatchesLocked(*s, table);
}

int Registry::RequestSetProperty(ServiceId id, const std::string& key, CFTypeRef value) {
  ServiceOwner* owner = nullptr;
  {
    platform::MutexLock lock(m_mutex);
    const Service* s = FindLocked(id);
    if (!s) return kSimBadArgument;
    if (s->terminated) return kSimNoDevice;
    owner = s->owner;
  }
  if (!owner) return kSimUnsupported;
  return owner->SetProperty(id, key, value);
}

uint64_t Registry::AddNotification(NotificationKind kind, CFDictionaryRef matching, Subscriber* subscriber,
                                   uint64_t cookie, std::vector<ServiceId>& o_existing) {
  o_existing.clear();
  platform::MutexLock lock(m_mutex);
  uint64_t id = m_nextNotification++;
  m_notifications.emplace(id, Notification{kind, CFRef<CFDictionaryRef>::Retain(matching), subscriber, cookie});
  if (kind == NotificationKind::publish)
    for (const auto& [sid, s] : m_services)
      if (s.published && !s.terminated && MatchesLocked(s, matching)) o_existing.push_back(sid);
  return id;
}

void Registry::RemoveNotification(uint64_t id) {
  platform::MutexLock lock(m_mutex);
  m_notifications.erase(id);
}

uint64_t Registry::AddInterest(ServiceId service, Subscriber* subscriber, uint64_t cookie) {
  platform::MutexLock lock(m_mutex);
  // A terminated service sends no more messages: interest in it is refused, as the kernel does.
  const Service* s = FindLocked(service);
  if (!s || s->terminated) return 0;
  uint64_t id = m_nextNotification++;
  m_interests.emplace(id, Interest{service, subscriber, cookie});
  return id;
}

int Registry::RemoveInterest(uint64_t id) {
  ServiceOwner* owner = nullptr;
  ServiceId service = 0;
  {
    platform::MutexLock lock(m_mutex);
    auto it = m_interests.find(id);
    if (it == m_interests.end()) return kSimBadArgument;
    service = it->second.service;
    const Service* s = FindLocked(service);
    owner = s ? s->owner : nullptr;
  }
  if (owner && owner->InterestReleaseFails(service)) return kSimError;
  platform::MutexLock lock(m_mutex);
  m_interests.erase(id);
  return kSimSuccess;
}

void Registry::RemoveSubscriber(Subscriber* subscriber) {
  platform::MutexLock lock(m_mutex);
  std::erase_if(m_notifications, [&](const auto& e) { return e.second.subscriber == subscriber; });
  std::erase_if(m_interests, [&](const auto& e) { return e.second.subscriber == subscriber; });
}

void Registry::SendMessage(ServiceId service, uint32_t type, uint64_t argument) {
  platform::MutexLock lock(m_mutex);
  for (auto& [iid, interest] : m_interests)
    if (interest.service == service) interest.subscriber->InterestMessage(interest.cookie, service, type, argument);
}

}  // namespace simhost
