// The host's service registry: services with class chains, properties and one parent each (the
// service plane), matching, publish/terminate notifications and general-interest messages.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/CoreFoundation.h"
#include "platform/ThreadAnnotations.h"

namespace simhost {

using ServiceId = uint64_t;

// kern_return_t values the host hands back.
enum : int {
  kSimSuccess = 0,
  kSimError = static_cast<int>(0xE00002BC),
  kSimNoMemory = static_cast<int>(0xE00002BD),
  kSimBadArgument = static_cast<int>(0xE00002C2),
  kSimUnsupported = static_cast<int>(0xE00002C7),
  kSimNotReady = static_cast<int>(0xE00002D8),
  kSimNoDevice = static_cast<int>(0xE00002C0),
  kSimNotPermitted = static_cast<int>(0xE00002E2),
  kSimNoMedia = static_cast<int>(0xE00002E4),
  kSimNotResponding = static_cast<int>(0xE00002ED),
  kSimAborted = static_cast<int>(0xE00002EB),
};

// Interest message types.
enum : uint32_t {
  kMessageServiceIsTerminated = 0xE0000010,
  kMessageStorageElementsChanged = 0xE0034001,
};

// The driver behind a service: it decides what a property set means.
class ServiceOwner {
 public:
  virtual ~ServiceOwner() = default;
  // Returns a kern_return_t; may block (a load request waits for its discs).
  virtual int SetProperty(ServiceId service, const std::string& key, CFTypeRef value) = 0;
  // Whether releasing an interest notification on `service` should fail (a fault knob).
  virtual bool InterestReleaseFails(ServiceId) { return false; }
};

// Receives events of the notifications it added, identified by the cookie it chose when adding
// them. Called with the registry locked: queue, don't block.
class Subscriber {
 public:
  virtual ~Subscriber() = default;
  virtual void ServiceMatched(uint64_t cookie, ServiceId service) = 0;
  virtual void InterestMessage(uint64_t cookie, ServiceId service, uint32_t type, uint64_t argument) = 0;
};

enum class NotificationKind { publish, terminate };

// True when a service of class chain `classChain` with `properties` satisfies `matching`:
// "IOProviderClass" names a class of the chain, every "IOPropertyMatch" entry equals the service's
// property (numbers compare by value), and every other key equals the property of that name.
[[nodiscard]] bool MatchesDictionary(const std::vector<std::string>& classChain, CFDictionaryRef properties,
                       CFDictionaryRef matching);

// The class chain of `className`, most derived first, ending with "IOService", "IORegistryEntry".
std::vector<std::string> ClassChainOf(const std::string& className);

class Registry {
 public:
  Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  ServiceId Root() const { return 1; }

  // A new service below `parent`, invisible to matching until published.
  ServiceId Create(const std::string& className, ServiceId parent, CFDictionaryRef properties, ServiceOwner* owner);
  void Publish(ServiceId service);
  // Terminates `service` and everything below it, deepest first. Interest subscribers of each
  // get kMessageServiceIsTerminated; terminate notifications fire.
  void Terminate(ServiceId service);
  // Driver side: sets (or with null removes) a property without asking the owner.
  void SetValue(ServiceId service, const std::string& key, CFTypeRef value);

  [[nodiscard]] bool Exists(ServiceId service) const;
  [[nodiscard]] bool IsTerminated(ServiceId service) const;
  [[nodiscard]] bool IsPublished(ServiceId service) const;
  std::string ClassName(ServiceId service) const;
  std::vector<std::string> ClassChain(ServiceId service) const;
  CFRef<CFTypeRef> CopyValue(ServiceId service, const std::string& key) const;
  CFRef<CFDictionaryRef> CopyProperties(ServiceId service) const;
  // 0 when the service has no parent (the root) or does not exist.
  ServiceId Parent(ServiceId service) const;
  std::vector<ServiceId> Ancestors(ServiceId service) const;        // nearest first
  std::vector<ServiceId> Children(ServiceId service) const;         // live ones, in order
  std::vector<ServiceId> Descendants(ServiceId service) const;      // depth first
  // The property on the service, else (with `parents`) on its nearest ancestor that has it.
  CFRef<CFTypeRef> Search(ServiceId service, const std::string& key, bool parents) const;

  // Published, live services that match, in publication order.
  std::vector<ServiceId> Match(CFDictionaryRef matching) const;
  [[nodiscard]] bool MatchPropertyTable(ServiceId service, CFDictionaryRef table) const;

  // Asks the service's owner; kSimUnsupported for services nobody owns. Call without locks held.
  int RequestSetProperty(ServiceId service, const std::string& key, CFTypeRef value);

  // Publish notifications return the live matching services in `o_existing`.
  uint64_t AddNotification(NotificationKind kind, CFDictionaryRef matching, Subscriber* subscriber, uint64_t cookie,
                           std::vector<ServiceId>& o_existing);
  void RemoveNotification(uint64_t notification);
  // 0 when the service does not exist or is terminated.
  uint64_t AddInterest(ServiceId service, Subscriber* subscriber, uint64_t cookie);
  // kSimError when the service's owner makes the release fail (the subscription then stays).
  int RemoveInterest(uint64_t notification);
  void RemoveSubscriber(Subscriber* subscriber);
  // General-interest message to every subscriber of `service`, in order.
  void SendMessage(ServiceId service, uint32_t type, uint64_t argument);

 private:
  struct Service {
    ServiceId id = 0;
    std::vector<std::string> classChain;
    CFRef<CFMutableDictionaryRef> properties;
    ServiceId parent = 0;
    std::vector<ServiceId> children;
    ServiceOwner* owner = nullptr;
    bool published = false;
    bool terminated = false;
  };
  struct Notification {
    NotificationKind kind;
    CFRef<CFDictionaryRef> matching;
    Subscriber* subscriber;
    uint64_t cookie;
  };
  struct Interest {
    ServiceId service;
    Subscriber* subscriber;
    uint64_t cookie;
  };

  const Service* FindLocked(ServiceId id) const REQUIRES(m_mutex);
  void TerminateLocked(ServiceId id) REQUIRES(m_mutex);
  [[nodiscard]] bool MatchesLocked(const Service& s, CFDictionaryRef matching) const REQUIRES(m_mutex);

  // Guards everything below. Owners and subscribers are called without it.
  mutable platform::Mutex m_mutex;
  std::map<ServiceId, Service> m_services GUARDED_BY(m_mutex);
  std::map<uint64_t, Notification> m_notifications GUARDED_BY(m_mutex);
  std::map<uint64_t, Interest> m_interests GUARDED_BY(m_mutex);
  ServiceId m_nextService GUARDED_BY(m_mutex) = 1;
  uint64_t m_nextNotification GUARDED_BY(m_mutex) = 1;
};

}  // namespace simhost
