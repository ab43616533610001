// The client side of IOKit: per-process handles for the host's services, iterators and
// notifications, and notification ports that hand the host's events to a run loop.
#include "platform/IOKit.h"

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HostLink.h"
#include "platform/RunLoopSources.h"
#include "platform/ThreadAnnotations.h"

namespace hl = platform::hostlink;

struct IONotificationPort {
  struct State {
    platform::Mutex mutex;
    std::deque<std::function<void()>> queue GUARDED_BY(mutex);  // calls waiting for the port's run loop
  };
  std::shared_ptr<State> state = std::make_shared<State>();
  CFRunLoopSourceRef source = nullptr;
};

namespace {

constexpr mach_port_t kMasterPort = 0x1B03;

enum class Kind { service, iterator, notificationIterator, interest };

struct Object {
  Kind kind = Kind::service;
  uint64_t remote = 0;
  int refs = 1;
  IONotificationPortRef port = nullptr;
  IOServiceMatchingCallback matchCallback = nullptr;
  IOServiceInterestCallback interestCallback = nullptr;
  void* refCon = nullptr;
  io_service_t service = 0;  // interest notifications hold their service
};

// Iterators and notifications are known to the host by their handle, which the client picks
// before asking for them: an event can then never arrive for a handle the client does not know.
struct Client {
  platform::Mutex mutex;
  std::map<io_object_t, Object> objects GUARDED_BY(mutex);
  std::map<uint64_t, io_object_t> services GUARDED_BY(mutex);  // host service id -> handle
  io_object_t next GUARDED_BY(mutex) = 0x1003;
};

Client& C() {
  static Client* client = new Client;  // used by the link's reader until the process ends
  return *client;
}

// ---- requests

CFRef<CFMutableDictionaryRef> NewRequest(const char* op) {
  CFRef<CFMutableDictionaryRef> d(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFRef<CFStringRef> o(CFStringCreateWithCString(nullptr, op, kCFStringEncodingUTF8));
  CFDictionarySetValue(d.get(), CFSTR("op"), o.get());
  return d;
}

void PutInt(CFMutableDictionaryRef d, CFStringRef key, int64_t v) {
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v));
  CFDictionarySetValue(d, key, n.get());
}

void PutString(CFMutableDictionaryRef d, CFStringRef key, const char* s) {
  CFRef<CFStringRef> v(CFStringCreateWithCString(nullptr, s ? s : "", kCFStringEncodingUTF8));
  if (v) CFDictionarySetValue(d, key, v.get());
}

int64_t GetInt(CFDictionaryRef d, CFStringRef key) {
  CFTypeRef v = d ? CFDictionaryGetValue(d, key) : nullptr;
  int64_t out = 0;
  if (!v || CFGetTypeID(v) != CFNumberGetTypeID() || !CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt64Type, &out))
    return 0;
  return out;
}

kern_return_t Status(CFDictionaryRef reply) { return hl::ReplyStatus(reply, kIOReturnNotResponding); }

// ---- handles

io_object_t NewHandleLocked(Client& c, Object object) REQUIRES(c.mutex) {
  io_object_t h = c.next;
  c.next += 4;
  c.objects.emplace(h, std::move(object));
  return h;
}

// A handle for a host-side iterator or notification, before the host is asked for it.
io_object_t NewHostObject(Object object) {
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  io_object_t h = c.next;
  c.next += 4;
  object.remote = h;
  c.objects.emplace(h, std::move(object));
  return h;
}

void ForgetHandle(io_object_t h) {
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  c.objects.erase(h);
}

// A handle with one more reference for host service `remote` (0 gives 0).
io_object_t ServiceHandle(uint64_t remote) {
  if (!remote) return 0;
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  auto it = c.services.find(remote);
  if (it != c.services.end()) {
    ++c.objects.at(it->second).refs;
    return it->second;
  }
  Object o;
  o.kind = Kind::service;
  o.remote = remote;
  io_object_t h = NewHandleLocked(c, o);
  c.services[remote] = h;
  return h;
}

bool Lookup(io_object_t handle, Object& o_object) {
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  auto it = c.objects.find(handle);
  if (it == c.objects.end()) return false;
  o_object = it->second;
  return true;
}

// The host id of a service handle; 0 when `handle` is not one.
uint64_t RemoteService(io_object_t handle) {
  Object o;
  return Lookup(handle, o) && o.kind == Kind::service ? o.remote : 0;
}

uint64_t RemoteIterator(io_object_t handle) {
  Object o;
  if (!Lookup(handle, o) || (o.kind != Kind::iterator && o.kind != Kind::notificationIterator)) return 0;
  return o.remote;
}

// ---- events from the host, delivered through the notification port of their notification

void Deliver(IONotificationPortRef port, std::function<void()> call) {
  {
    platform::MutexLock lock(port->state->mutex);
    port->state->queue.push_back(std::move(call));
  }
  platform::SignalSource(port->source);
}

void OnEvent(CFDictionaryRef event) {
  auto handle = static_cast<io_object_t>(GetInt(event, CFSTR("notification")));
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  auto it = c.objects.find(handle);
  if (it == c.objects.end()) return;
  const Object& o = it->second;
  if (!o.port) return;
  if (o.kind == Kind::notificationIterator) {
    Deliver(o.port, [handle] {
      Object now;
      if (!Lookup(handle, now) || now.kind != Kind::notificationIterator || !now.matchCallback) return;
      now.matchCallback(now.refCon, handle);
    });
  } else if (o.kind == Kind::interest) {
    natural_t type = static_cast<natural_t>(GetInt(event, CFSTR("type")));
    auto argument = static_cast<uintptr_t>(GetInt(event, CFSTR("argument")));
    Deliver(o.port, [handle, type, argument] {
      Object now;
      if (!Lookup(handle, now) || now.kind != Kind::interest || !now.interestCallback) return;
      now.interestCallback(now.refCon, now.service, type, reinterpret_cast<void*>(argument));
    });
  }
}

void ListenForEvents() {
  static std::once_flag once;
  std::call_once(once, [] { hl::SetEventHandler("iokit", OnEvent); });
}

CFRef<CFDictionaryRef> ServiceCall(const char* op, io_object_t entry, CFMutableDictionaryRef extra = nullptr) {
  uint64_t remote = RemoteService(entry);
  if (!remote) return {};
  CFRef<CFMutableDictionaryRef> request = extra ? CFRef<CFMutableDictionaryRef>::Retain(extra) : NewRequest(op);
  if (extra) {
    CFRef<CFStringRef> o(CFStringCreateWithCString(nullptr, op, kCFStringEncodingUTF8));
    CFDictionarySetValue(request.get(), CFSTR("op"), o.get());
  }
  PutInt(request.get(), CFSTR("service"), static_cast<int64_t>(remote));
  return hl::Call(request.get());
}

CFTypeRef CopyValue(CFDictionaryRef reply, CFStringRef key) {
  if (!reply || Status(reply) != kIOReturnSuccess) return nullptr;
  CFTypeRef v = CFDictionaryGetValue(reply, key);
  return v ? CFRetain(v) : nullptr;
}

}  // namespace

kern_return_t IOMasterPort(mach_port_t, mach_port_t* o_masterPort) {
  if (o_masterPort) *o_masterPort = MACH_PORT_NULL;
  kern_return_t kr = Status(hl::Call(NewRequest("masterPort").get()).get());
  if (kr == kIOReturnSuccess && o_masterPort) *o_masterPort = kMasterPort;
  return kr;
}

// ---------------------------------------------------------------- objects

kern_return_t IOObjectRetain(io_object_t object) {
  Client& c = C();
  platform::MutexLock lock(c.mutex);
  auto it = c.objects.find(object);
  if (it == c.objects.end()) return kIOReturnBadArgument;
  ++it->second.refs;
  return kIOReturnSuccess;
}

kern_return_t IOObjectRelease(io_object_t object) {
  Object o;
  {
    Client& c = C();
    platform::MutexLock lock(c.mutex);
    auto it = c.objects.find(object);
    if (it == c.objects.end()) return kIOReturnBadArgument;
    if (it->second.refs > 1) {
      --it->second.refs;
      return kIOReturnSuccess;
    }
    o = it->second;
    if (o.kind == Kind::service) {
      c.services.erase(o.remote);
      c.objects.erase(it);
      return kIOReturnSuccess;
    }
  }
  // The last reference to an iterator or a notification: the host lets go of it too.
  CFRef<CFMutableDictionaryRef> request = NewRequest("release");
  PutInt(request.get(), o.kind == Kind::interest ? CFSTR("notification") : CFSTR("iterator"),
         static_cast<int64_t>(o.remote));
  kern_return_t kr = Status(hl::Call(request.get()).get());
  // A host that is gone holds nothing any more; a refusal keeps the notification alive.
  if (kr != kIOReturnSuccess && kr != kIOReturnNotResponding) return kr;
  ForgetHandle(object);
  if (o.service) IOObjectRelease(o.service);
  return kIOReturnSuccess;
}

kern_return_t IOObjectGetClass(io_object_t object, io_name_t o_className) {
  if (o_className) o_className[0] = '\0';
  Object o;
  if (!o_className || !Lookup(object, o)) return kIOReturnBadArgument;
  std::string name;
  if (o.kind == Kind::service) {
    CFRef<CFDictionaryRef> reply = ServiceCall("getClass", object);
    kern_return_t kr = Status(reply.get());
    if (kr != kIOReturnSuccess) return kr;
    auto classes = static_cast<CFArrayRef>(CFDictionaryGetValue(reply.get(), CFSTR("classes")));
    if (!classes || CFArrayGetCount(classes) == 0) return kIOReturnError;
    auto first = static_cast<CFStringRef>(CFArrayGetValueAtIndex(classes, 0));
    char buf[sizeof(io_name_t)];
    if (!CFStringGetCString(first, buf, sizeof buf, kCFStringEncodingUTF8)) return kIOReturnError;
    name = buf;
  } else {
    name = o.kind == Kind::interest ? "IOUserNotification" : "IOUserIterator";
  }
  std::strncpy(o_className, name.c_str(), sizeof(io_name_t) - 1);
  o_className[sizeof(io_name_t) - 1] = '\0';
  return kIOReturnSuccess;
}

Boolean IOObjectConformsTo(io_object_t object, const io_name_t className) {
  if (!className) return false;
  CFRef<CFDictionaryRef> reply = ServiceCall("getClass", object);
  if (Status(reply.get()) != kIOReturnSuccess) return false;
  auto classes = static_cast<CFArrayRef>(CFDictionaryGetValue(reply.get(), CFSTR("classes")));
  CFRef<CFStringRef> wanted(CFStringCreateWithCString(nullptr, className, kCFStringEncodingUTF8));
  return classes && wanted && CFArrayContainsValue(classes, CFRangeMake(0, CFArrayGetCount(classes)), wanted.get());
}

Boolean IOObjectIsEqualTo(io_object_t object, io_object_t anObject) {
  Object a, b;
  return Lookup(object, a) && Lookup(anObject, b) && a.kind == b.kind && a.remote == b.remote;
}

// ---------------------------------------------------------------- iterators

io_object_t IOIteratorNext(io_iterator_t iterator) {
  uint64_t remote = RemoteIterator(iterator);
  if (!remote) return 0;
  CFRef<CFMutableDictionaryRef> request = NewRequest("iteratorNext");
  PutInt(request.get(), CFSTR("iterator"), static_cast<int64_t>(remote));
  CFRef<CFDictionaryRef> reply = hl::Call(request.get());
  if (Status(reply.get()) != kIOReturnSuccess) return 0;
  return ServiceHandle(static_cast<uint64_t>(GetInt(reply.get(), CFSTR("service"))));
}

void IOIteratorReset(io_iterator_t iterator) {
  uint64_t remote = RemoteIterator(iterator);
  if (!remote) return;
  CFRef<CFMutableDictionaryRef> request = NewRequest("iteratorReset");
  PutInt(request.get(), CFSTR("iterator"), static_cast<int64_t>(remote));
  hl::Call(request.get());
}

Boolean IOIteratorIsValid(io_iterator_t iterator) {
  uint64_t remote = RemoteIterator(iterator);
  if (!remote) return false;
  CFRef<CFMutableDictionaryRef> request = NewRequest("iteratorIsValid");
  PutInt(request.get(), CFSTR("iterator"), static_cast<int64_t>(remote));
  CFRef<CFDictionaryRef> reply = hl::Call(request.get());
  return Status(reply.get()) == kIOReturnSuccess && CFDictionaryGetValue(reply.get(), CFSTR("valid")) == kCFBooleanTrue;
}

// ---------------------------------------------------------------- matching

CFMutableDictionaryRef IOServiceMatching(const char* name) {
  if (!name) return nullptr;
  CFRef<CFStringRef> cls(CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8));
  if (!cls) return nullptr;
  CFMutableDictionaryRef d =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(d, CFSTR(kIOProviderClassKey), cls.get());
  return d;
}

CFMutableDictionaryRef IOBSDNameMatching(mach_port_t, UInt32, const char* bsdName) {
  if (!bsdName) return nullptr;
  CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, bsdName, kCFStringEncodingUTF8));
  if (!name) return nullptr;
  CFMutableDictionaryRef d =
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(d, CFSTR(kIOBSDNameKey), name.get());
  return d;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* o_existing) {
  CFRef<CFDictionaryRef> consumed(matching);
  if (o_existing) *o_existing = 0;
  if (!matching || !o_existing) return kIOReturnBadArgument;
  Object o;
  o.kind = Kind::iterator;
  io_object_t h = NewHostObject(o);
  CFRef<CFMutableDictionaryRef> request = NewRequest("getMatching");
  CFDictionarySetValue(request.get(), CFSTR("matching"), matching);
  PutInt(request.get(), CFSTR("handle"), h);
  kern_return_t kr = Status(hl::Call(request.get()).get());
  if (kr != kIOReturnSuccess) {
    ForgetHandle(h);
    return kr;
  }
  *o_existing = h;
  return kIOReturnSuccess;
}

io_service_t IOServiceGetMatchingService(mach_port_t master, CFDictionaryRef matching) {
  io_iterator_t iterator = 0;
  if (IOServiceGetMatchingServices(master, matching, &iterator) != kIOReturnSuccess) return 0;
  io_service_t first = IOIteratorNext(iterator);
  IOObjectRelease(iterator);
  return first;
}

kern_return_t IOServiceMatchPropertyTable(io_service_t service, CFDictionaryRef matching, Boolean* o_matches) {
  if (o_matches) *o_matches = false;
  if (!matching || !o_matches) return kIOReturnBadArgument;
  if (!RemoteService(service)) return kIOReturnBadArgument;
  CFRef<CFMutableDictionaryRef> request = NewRequest("matchPropertyTable");
  CFDictionarySetValue(request.get(), CFSTR("table"), matching);
  CFRef<CFDictionaryRef> reply = ServiceCall("matchPropertyTable", service, request.get());
  kern_return_t kr = Status(reply.get());
  if (kr == kIOReturnSuccess) *o_matches = CFDictionaryGetValue(reply.get(), CFSTR("matches")) == kCFBooleanTrue;
  return kr;
}

// ---------------------------------------------------------------- notifications

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
  ListenForEvents();
  auto* port = new IONotificationPort;
  std::weak_ptr<IONotificationPort::State> weak = port->state;
  port->source = platform::CreateCallbackSource([weak] {
    auto state = weak.lock();
    if (!state) return;
    // One callback at a time, in the order the host sent them.
    for (;;) {
      std::function<void()> call;
      {
        platform::MutexLock lock(state->mutex);
        if (state->queue.empty()) return;
        call = std::move(state->queue.front());
        state->queue.pop_front();
      }
      call();
    }
  });
  return port;
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
  if (!notify) return;
  {
    Client& c = C();
    platform::MutexLock lock(c.mutex);
    for (auto& [h, o] : c.objects)
      if (o.port == notify) o.port = nullptr;
  }
  if (notify->source) {
    CFRunLoopSourceInvalidate(notify->source);
    CFRelease(notify->source);
  }
  delete notify;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
  return notify ? notify->source : nullptr;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort, const io_name_t notificationType,
                                               CFDictionaryRef matching, IOServiceMatchingCallback callback,
                                               void* refCon, io_iterator_t* o_notification) {
  CFRef<CFDictionaryRef> consumed(matching);
  if (o_notification) *o_notification = 0;
  if (!notifyPort || !notificationType || !matching || !o_notification) return kIOReturnBadArgument;
  Object o;
  o.kind = Kind::notificationIterator;
  o.port = notifyPort;
  o.matchCallback = callback;
  o.refCon = refCon;
  io_object_t h = NewHostObject(o);
  CFRef<CFMutableDictionaryRef> request = NewRequest("addNotification");
  PutString(request.get(), CFSTR("type"), notificationType);
  CFDictionarySetValue(request.get(), CFSTR("matching"), matching);
  PutInt(request.get(), CFSTR("handle"), h);
  kern_return_t kr = Status(hl::Call(request.get()).get());
  if (kr != kIOReturnSuccess) {
    ForgetHandle(h);
    return kr;
  }
  *o_notification = h;
  return kIOReturnSuccess;
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort, io_service_t service,
                                               const io_name_t interestType, IOServiceInterestCallback callback,
                                               void* refCon, io_object_t* o_notification) {
  if (o_notification) *o_notification = 0;
  uint64_t remote = RemoteService(service);
  if (!notifyPort || !interestType || !o_notification || !remote) return kIOReturnBadArgument;
  // The notification holds a reference to its service, handed to every callback.
  if (IOObjectRetain(service) != kIOReturnSuccess) return kIOReturnBadArgument;
  Object o;
  o.kind = Kind::interest;
  o.port = notifyPort;
  o.interestCallback = callback;
  o.refCon = refCon;
  o.service = service;
  io_object_t h = NewHostObject(o);
  CFRef<CFMutableDictionaryRef> request = NewRequest("addInterest");
  PutString(request.get(), CFSTR("type"), interestType);
  PutInt(request.get(), CFSTR("service"), static_cast<int64_t>(remote));
  PutInt(request.get(), CFSTR("handle"), h);
  kern_return_t kr = Status(hl::Call(request.get()).get());
  if (kr != kIOReturnSuccess) {
    ForgetHandle(h);
    IOObjectRelease(service);
    return kr;
  }
  *o_notification = h;
  return kIOReturnSuccess;
}

// ---------------------------------------------------------------- registry entries

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef, IOOptionBits) {
  if (!key) return nullptr;
  CFRef<CFMutableDictionaryRef> request = NewRequest("copyProperty");
  CFDictionarySetValue(request.get(), CFSTR("key"), key);
  CFRef<CFDictionaryRef> reply = ServiceCall("copyProperty", entry, request.get());
  return CopyValue(reply.get(), CFSTR("value"));
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry, CFMutableDictionaryRef* o_properties,
                                                CFAllocatorRef, IOOptionBits) {
  if (o_properties) *o_properties = nullptr;
  if (!o_properties) return kIOReturnBadArgument;
  if (!RemoteService(entry)) return kIOReturnBadArgument;
  CFRef<CFDictionaryRef> reply = ServiceCall("copyProperties", entry);
  kern_return_t kr = Status(reply.get());
  if (kr != kIOReturnSuccess) return kr;
  auto props = static_cast<CFDictionaryRef>(CFDictionaryGetValue(reply.get(), CFSTR("properties")));
  if (!props) return kIOReturnError;
  *o_properties = CFDictionaryCreateMutableCopy(nullptr, 0, props);
  return kIOReturnSuccess;
}

CFTypeRef IORegistryEntrySearchCFProperty(io_registry_entry_t entry, const io_name_t, CFStringRef key, CFAllocatorRef,
                                          IOOptionBits options) {
  if (!key) return nullptr;
  CFRef<CFMutableDictionaryRef> request = NewRequest("searchProperty");
  CFDictionarySetValue(request.get(), CFSTR("key"), key);
  const char* direction = "self";
  if (options & kIORegistryIterateRecursively)
    direction = (options & kIORegistryIterateParents) ? "parents" : "children";
  PutString(request.get(), CFSTR("direction"), direction);
  CFRef<CFDictionaryRef> reply = ServiceCall("searchProperty", entry, request.get());
  return CopyValue(reply.get(), CFSTR("value"));
}

kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName, CFTypeRef property) {
  if (!propertyName || !property) return kIOReturnBadArgument;
  if (!RemoteService(entry)) return kIOReturnBadArgument;
  CFRef<CFMutableDictionaryRef> request = NewRequest("setProperty");
  CFDictionarySetValue(request.get(), CFSTR("key"), propertyName);
  CFDictionarySetValue(request.get(), CFSTR("value"), property);
  return Status(ServiceCall("setProperty", entry, request.get()).get());
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t, io_registry_entry_t* o_parent) {
  if (o_parent) *o_parent = 0;
  if (!o_parent || !RemoteService(entry)) return kIOReturnBadArgument;
  CFRef<CFDictionaryRef> reply = ServiceCall("parent", entry);
  kern_return_t kr = Status(reply.get());
  if (kr != kIOReturnSuccess) return kr;
  *o_parent = ServiceHandle(static_cast<uint64_t>(GetInt(reply.get(), CFSTR("parent"))));
  return *o_parent ? kIOReturnSuccess : kIOReturnNoDevice;
}

kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t, IOOptionBits options,
                                            io_iterator_t* o_iterator) {
  if (o_iterator) *o_iterator = 0;
  if (!o_iterator || !RemoteService(entry)) return kIOReturnBadArgument;
  Object o;
  o.kind = Kind::iterator;
  io_object_t h = NewHostObject(o);
  CFRef<CFMutableDictionaryRef> request = NewRequest("createIterator");
  CFDictionarySetValue(request.get(), CFSTR("parents"), (options & kIORegistryIterateParents) ? kCFBooleanTrue : kCFBooleanFalse);
  CFDictionarySetValue(request.get(), CFSTR("recursive"),
                       (options & kIORegistryIterateRecursively) ? kCFBooleanTrue : kCFBooleanFalse);
  PutInt(request.get(), CFSTR("handle"), h);
  kern_return_t kr = Status(ServiceCall("createIterator", entry, request.get()).get());
  if (kr != kIOReturnSuccess) {
    ForgetHandle(h);
    return kr;
  }
  *o_iterator = h;
  return kIOReturnSuccess;
}
