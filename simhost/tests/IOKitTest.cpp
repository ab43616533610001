// The platform's IOKit against a host on its socket: what the daemon's discovery and mount code
// will see.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <functional>
#include <thread>

#include "HostFixture.h"
#include "platform/CFUserNotification.h"
#include "platform/HostLink.h"
#include "platform/IOKit.h"
#include "platform/IOObjectRef.h"
#include "platform/PlistCodec.h"

namespace simhost::test {
namespace {

constexpr uint64_t kGUID = 0x00A0B1C2D3E4F501;

std::string ClassOf(io_object_t o) {
  io_name_t name;
  return IOObjectGetClass(o, name) == kIOReturnSuccess ? std::string(name) : std::string("?");
}

int64_t IntProp(io_object_t o, const char* key, IOOptionBits search = 0) {
  CFRef<CFStringRef> k(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  CFRef<CFTypeRef> v(search ? IORegistryEntrySearchCFProperty(o, kIOServicePlane, k.get(), nullptr, search)
                            : IORegistryEntryCreateCFProperty(o, k.get(), nullptr, 0));
  int64_t out = -999;
  if (!v || CFGetTypeID(v.get()) != CFNumberGetTypeID() ||
      !CFNumberGetValue(static_cast<CFNumberRef>(v.get()), kCFNumberSInt64Type, &out))
    return -999;
  return out;
}

std::string StrProp(io_object_t o, const char* key, IOOptionBits search = 0) {
  CFRef<CFStringRef> k(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  CFRef<CFTypeRef> v(search ? IORegistryEntrySearchCFProperty(o, kIOServicePlane, k.get(), nullptr, search)
                            : IORegistryEntryCreateCFProperty(o, k.get(), nullptr, 0));
  return cf::ToString(v.get()).value_or("<none>");
}

CFMutableDictionaryRef MatchingWithGUID(const char* cls, uint64_t guid) {
  CFMutableDictionaryRef m = IOServiceMatching(cls);
  int64_t g = static_cast<int64_t>(guid);
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt64Type, &g));
  CFDictionarySetValue(m, CFSTR("GUID"), n.get());
  return m;
}

std::vector<io_object_t> Drain(io_iterator_t it) {
  std::vector<io_object_t> out;
  while (io_object_t o = IOIteratorNext(it)) out.push_back(o);
  return out;
}

struct Seen {
  std::atomic<int> calls{0};
  bool drain = true;
  std::thread::id thread;
  std::vector<int64_t> guids;
  std::vector<natural_t> messages;
  std::vector<io_service_t> services;
};

void OnPublish(void* refCon, io_iterator_t iterator) {
  auto* seen = static_cast<Seen*>(refCon);
  seen->thread = std::this_thread::get_id();
  if (seen->drain)
    for (io_object_t o : Drain(iterator)) {
      seen->guids.push_back(IntProp(o, "GUID"));
      IOObjectRelease(o);
    }
  ++seen->calls;
}

void OnInterest(void* refCon, io_service_t service, natural_t type, void*) {
  auto* seen = static_cast<Seen*>(refCon);
  seen->messages.push_back(type);
  seen->services.push_back(service);
  ++seen->calls;
}

class IOKitTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &m_master), kIOReturnSuccess);
    m_port = IONotificationPortCreate(m_master);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(m_port), kCFRunLoopDefaultMode);
  }
  void TearDown() override {
    IONotificationPortDestroy(m_port);
    ClientFixture::TearDown();
  }
  Changer& Plug(uint64_t guid) {
    ChangerSpec spec = LoadExample("small-changer.plist");
    spec.guid = guid;
    std::string error;
    EXPECT_TRUE(m_host->AddChanger(std::move(spec), error)) << error;
    return *m_host->FindChanger(guid);
  }
  io_service_t One(CFDictionaryRef matching) {
    io_iterator_t it = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(m_master, matching, &it), kIOReturnSuccess);
    std::vector<io_object_t> all = Drain(it);
    IOObjectRelease(it);
    EXPECT_EQ(all.size(), 1u);
    for (size_t i = 1; i < all.size(); ++i) IOObjectRelease(all[i]);
    return all.empty() ? 0 : all[0];
  }

  mach_port_t m_master = 0;
  IONotificationPortRef m_port = nullptr;
};

TEST_F(IOKitTest, PublishNotificationsArmOnlyOnceDrained) {
  Plug(kGUID);
  Seen seen;
  io_iterator_t iterator = 0;
  ASSERT_EQ(IOServiceAddMatchingNotification(m_port, kIOPublishNotification, IOServiceMatching("TavrinChangerRoboticsDevice"),
                                             OnPublish, &seen, &iterator),
            kIOReturnSuccess);
  Plug(kGUID + 1);
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(seen.calls, 0) << "not armed before the first drain";

  // The changer present before registering and the one plugged meanwhile.
  std::vector<int64_t> first;
  for (io_object_t o : Drain(iterator)) {
    first.push_back(IntProp(o, "GUID"));
    IOObjectRelease(o);
  }
  EXPECT_EQ(first, (std::vector<int64_t>{static_cast<int64_t>(kGUID), static_cast<int64_t>(kGUID + 1)}));

  Plug(kGUID + 2);
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 1; }));
  EXPECT_EQ(seen.guids, std::vector<int64_t>{static_cast<int64_t>(kGUID + 2)});
  EXPECT_EQ(seen.thread, std::this_thread::get_id()) << "callbacks run on the thread that runs the port's loop";

  // A pass that stops early leaves the notification unarmed: later changers wait in the iterator.
  seen.drain = false;
  Plug(kGUID + 3);
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 2; }));
  Plug(kGUID + 4);
  RunUntil([] { return false; }, 1);
  EXPECT_EQ(seen.calls, 2);
  std::vector<int64_t> late;
  for (io_object_t o : Drain(iterator)) {
    late.push_back(IntProp(o, "GUID"));
    IOObjectRelease(o);
  }
  EXPECT_EQ(late, (std::vector<int64_t>{static_cast<int64_t>(kGUID + 3), static_cast<int64_t>(kGUID + 4)}));
  EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
}

TEST_F(IOKitTest, InterestMessagesArriveInOrderAndReleaseCanFail) {
  Changer& changer = Plug(kGUID);
  IOObjectRef robotics(One(MatchingWithGUID("TavrinChangerRoboticsDevice", kGUID)));
  Seen seen;
  io_object_t notification = 0;
  ASSERT_EQ(IOServiceAddInterestNotification(m_port, robotics.get(), kIOGeneralInterest, OnInterest, &seen, &notification),
            kIOReturnSuccess);
  changer.SendMessage(0x1234, 0);
  DiscSpec disc;
  int slot = 0;
  std::string error;
  ASSERT_TRUE(changer.Insert(2, disc, slot, error)) << error;
  changer.SendMessage(0x42, 0);
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 3; }));
  EXPECT_EQ(seen.messages, (std::vector<natural_t>{0x1234, 0xE0034001, 0x42}));
  EXPECT_TRUE(IOObjectIsEqualTo(seen.services[0], robotics.get()));

  ASSERT_TRUE(changer.SetKnob(std::nullopt, "release-notification-fails", kCFBooleanTrue, error)) << error;
  EXPECT_EQ(IOObjectRelease(notification), kIOReturnError);
  changer.Unplug();
  ASSERT_TRUE(RunUntil([&] { return seen.calls == 4; }));
  EXPECT_EQ(seen.messages.back(), kIOMessageServiceIsTerminated) << "the notification outlived its failed release";
  ASSERT_TRUE(changer.SetKnob(std::nullopt, "release-notification-fails", kCFBooleanFalse, error)) << error;
  EXPECT_EQ(IOObjectRelease(notification), kIOReturnSuccess);
}

TEST_F(IOKitTest, MountedDiscAsTheDaemonLooksItUp) {
  Changer& changer = Plug(kGUID);
  std::string error;
  ASSERT_TRUE(changer.SetKnob(std::nullopt, "hold-release-time", kCFBooleanTrue, error)) << error;
  Seen media;
  io_iterator_t clients = 0;
  ASSERT_EQ(IOServiceAddMatchingNotification(m_port, kIOPublishNotification, IOServiceMatching("IOMediaBSDClient"),
                                             [](void* refCon, io_iterator_t it) {
                                               auto* s = static_cast<std::vector<io_object_t>*>(refCon);
                                               for (io_object_t o : Drain(it)) s->push_back(o);
                                             },
                                             &media.services, &clients),
            kIOReturnSuccess);
  EXPECT_TRUE(Drain(clients).empty());

  IOObjectRef blockSwitch(One(MatchingWithGUID("TavrinChangerDVDBlockSwitch", kGUID)));
  int16_t se = 1;
  CFRef<CFNumberRef> seNumber(CFNumberCreate(nullptr, kCFNumberSInt16Type, &se));
  ASSERT_EQ(IORegistryEntrySetCFProperty(blockSwitch.get(), CFSTR("Storage Element Mount Request"), seNumber.get()),
            kIOReturnSuccess);
  ASSERT_TRUE(RunUntil([&] { return media.services.size() == 3; }));

  // Every new medium leads through its ancestors to its storage element, name and changer.
  std::vector<std::string> names;
  for (io_object_t client : media.services) {
    IOOptionBits up = kIORegistryIterateRecursively | kIORegistryIterateParents;
    EXPECT_EQ(IntProp(client, "Storage Element Address", up), 1);
    EXPECT_EQ(IntProp(client, "GUID", up), static_cast<int64_t>(kGUID));
    EXPECT_EQ(StrProp(client, "BSD Name"), "<none>") << "the BSD name is on the medium only";
    names.push_back(StrProp(client, "BSD Name", up));
    IOObjectRelease(client);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"disk2", "disk2s1", "disk2s2"}));

  // The disc service by "IOPropertyMatch", with the element as a 16-bit number.
  CFMutableDictionaryRef byElement = IOServiceMatching("TavrinChangerVirtualDVDServices");
  CFRef<CFMutableDictionaryRef> props(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  int64_t guid = static_cast<int64_t>(kGUID);
  CFRef<CFNumberRef> guidNumber(CFNumberCreate(nullptr, kCFNumberSInt64Type, &guid));
  CFDictionarySetValue(props.get(), CFSTR("GUID"), guidNumber.get());
  CFDictionarySetValue(props.get(), CFSTR("Storage Element Address"), seNumber.get());
  CFDictionarySetValue(byElement, CFSTR("IOPropertyMatch"), props.get());
  IOObjectRef dvd(One(byElement));
  RunUntil([] { return false; }, 2);
  EXPECT_EQ(IntProp(dvd.get(), "Last Release Time"), 0) << "held";
  int64_t before = static_cast<int64_t>(platform::clock::Now());
  ASSERT_TRUE(changer.SetKnob(std::nullopt, "hold-release-time", kCFBooleanFalse, error)) << error;
  int64_t released = IntProp(dvd.get(), "Last Release Time");
  EXPECT_GE(released, before);
  EXPECT_LE(released, static_cast<int64_t>(platform::clock::Now()));

  // Parent walk and class names from a partition up to the changer.
  IOObjectRef partition(One(IOBSDNameMatching(m_master, 0, "disk2s1")));
  std::vector<std::string> chain;
  IOObjectRef entry;
  EXPECT_EQ(KERN_SUCCESS, IORegistryEntryGetParentEntry(partition.get(), kIOServicePlane, entry.out()));
  while (entry) {
    chain.push_back(ClassOf(entry.get()));
    IOObjectRef parent;
    if (IORegistryEntryGetParentEntry(entry.get(), kIOServicePlane, parent.out()) != kIOReturnSuccess) break;
    entry = std::move(parent);
  }
  EXPECT_EQ(chain, (std::vector<std::string>{"IOMedia", "TavrinChangerVirtualDVDServices", "TavrinChangerDVDBlockSwitch",
                                             "TavrinChangerRoboticsDevice", "IORegistryEntry"}));
  IOObjectRef up;
  ASSERT_EQ(IORegistryEntryCreateIterator(partition.get(), kIOServicePlane,
                                          kIORegistryIterateRecursively | kIORegistryIterateParents, up.out()),
            kIOReturnSuccess);
  std::vector<std::string> iterated;
  for (io_object_t o : Drain(up.get())) {
    iterated.push_back(ClassOf(o));
    IOObjectRelease(o);
  }
  EXPECT_EQ(iterated, chain);
  EXPECT_TRUE(IOObjectConformsTo(partition.get(), "IOService"));
  EXPECT_FALSE(IOObjectConformsTo(partition.get(), "IOMediaBSDClient"));

  Boolean matches = false;
  CFRef<CFMutableDictionaryRef> table(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(table.get(), CFSTR("Content Hint"), CFSTR("Apple_HFS"));
  EXPECT_EQ(IOServiceMatchPropertyTable(partition.get(), table.get(), &matches), kIOReturnSuccess);
  EXPECT_TRUE(matches);
  CFDictionarySetValue(table.get(), CFSTR("Content Hint"), CFSTR("TavrinChangerFileSystem"));
  EXPECT_EQ(KERN_SUCCESS, IOServiceMatchPropertyTable(partition.get(), table.get(), &matches));
  EXPECT_FALSE(matches);

  IOObjectRef robotics(One(MatchingWithGUID("TavrinChangerRoboticsDevice", kGUID)));
  CFRef<CFTypeRef> config(IORegistryEntryCreateCFProperty(robotics.get(), CFSTR("Current Data Transfer Element Configuration"),
                                                          nullptr, 0));
  ASSERT_TRUE(cf::IsArray(config.get()));
  std::vector<int16_t> drives;
  for (CFIndex i = 0; i < CFArrayGetCount(static_cast<CFArrayRef>(config.get())); ++i) {
    int16_t v = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(config.get()), i)),
                                 kCFNumberSInt16Type, &v));
    drives.push_back(v);
  }
  EXPECT_EQ(drives, (std::vector<int16_t>{1, -1}));
  IOObjectRelease(clients);
}

TEST_F(IOKitTest, UserNotificationsAreRecordedOrRefused) {
  CFRef<CFURLRef> icon(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/Library/StartupItems/d40.icns"),
                                                     kCFURLPOSIXPathStyle, false));
  const void* keys[] = {kCFUserNotificationAlertHeaderKey, kCFUserNotificationAlertMessageKey,
                        kCFUserNotificationDefaultButtonTitleKey, kCFUserNotificationIconURLKey};
  const void* values[] = {CFSTR("Brennix Shelvon X"), CFSTR("Something happened."), CFSTR("OK"), icon.get()};
  CFRef<CFDictionaryRef> d(CFDictionaryCreate(nullptr, keys, values, 4, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
  SInt32 error = -1;
  CFRef<CFUserNotificationRef> note(CFUserNotificationCreate(nullptr, 0, kCFUserNotificationCautionAlertLevel, &error, d.get()));
  ASSERT_TRUE(note);
  EXPECT_EQ(error, 0);
  std::vector<Alert> alerts = m_host->Alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].header, "Brennix Shelvon X");
  EXPECT_EQ(alerts[0].message, "Something happened.");
  EXPECT_EQ(alerts[0].defaultButton, "OK");
  EXPECT_EQ(alerts[0].iconURL, "/Library/StartupItems/d40.icns");
  EXPECT_EQ(alerts[0].level, 2);
  EXPECT_EQ(alerts[0].pid, ::getpid());

  std::string knobError;
  ASSERT_TRUE(m_host->SetHostKnob("alerts-fail", kCFBooleanTrue, knobError)) << knobError;
  CFUserNotificationRef refused = CFUserNotificationCreate(nullptr, 0, 2, &error, d.get());
  EXPECT_EQ(refused, nullptr);
  EXPECT_NE(error, 0);
  EXPECT_EQ(m_host->Alerts().size(), 1u);
}

TEST_F(IOKitTest, HostKnobsMakeTheirCallsFail) {
  Plug(kGUID);
  IOObjectRef robotics(One(MatchingWithGUID("TavrinChangerRoboticsDevice", kGUID)));
  struct Case {
    const char* knob;
    std::function<kern_return_t()> call;
    kern_return_t without;
    kern_return_t with;
  } cases[] = {
      {"master-port-fails",
       [] {
         mach_port_t master = 0;
         return IOMasterPort(MACH_PORT_NULL, &master);
       },
       kIOReturnSuccess, kIOReturnNotResponding},
      {"iterators-invalid",
       [] {
         io_iterator_t it = 0;
         // The knob shows in the iterator it hands out, judged below.
         (void)IOServiceGetMatchingServices(0, IOServiceMatching("IOService"), &it);
         kern_return_t valid = IOIteratorIsValid(it) ? kIOReturnSuccess : kIOReturnError;
         IOObjectRelease(it);
         return valid;
       },
       kIOReturnSuccess, kIOReturnError},
      {"registry-iterator-fails",
       [&] {
         IOObjectRef it;
         return IORegistryEntryCreateIterator(robotics.get(), kIOServicePlane, kIORegistryIterateParents, it.out());
       },
       kIOReturnSuccess, kIOReturnNoMemory},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(c.call(), c.without) << c.knob;
    ASSERT_TRUE(m_host->SetHostKnob(c.knob, kCFBooleanTrue, error)) << error;
    EXPECT_EQ(c.call(), c.with) << c.knob;
    ASSERT_TRUE(m_host->SetHostKnob(c.knob, kCFBooleanFalse, error)) << error;
  }
}

TEST_F(IOKitTest, HostAbsentCallsFailCleanly) {
  m_server->Stop();
  platform::hostlink::Disconnect();
  mach_port_t master = 99;
  EXPECT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnNotResponding);
  EXPECT_EQ(master, MACH_PORT_NULL);
  io_iterator_t it = 7;
  EXPECT_NE(IOServiceGetMatchingServices(0, IOServiceMatching("IOService"), &it), kIOReturnSuccess);
  EXPECT_EQ(it, 0u);
  EXPECT_EQ(IOServiceGetMatchingService(0, IOServiceMatching("IOService")), 0u);
  SInt32 error = 0;
  EXPECT_EQ(CFUserNotificationCreate(nullptr, 0, 2, &error, nullptr), nullptr);
  EXPECT_NE(error, 0);
}

// A process is told when its host goes away, not when it drops the connection itself.
TEST_F(IOKitTest, TheLinkTellsWhenTheHostIsGone) {
  std::mutex mutex;
  std::condition_variable cv;
  int gone = 0;
  platform::hostlink::SetHostGoneHandler([&] {
    std::lock_guard lock(mutex);
    ++gone;
    cv.notify_all();
  });
  mach_port_t master = MACH_PORT_NULL;
  ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnSuccess);
  platform::hostlink::Disconnect();
  ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnSuccess);
  m_server->Stop();
  std::unique_lock lock(mutex);
  EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return gone > 0; }));
  EXPECT_EQ(gone, 1);
  lock.unlock();
  platform::hostlink::SetHostGoneHandler(nullptr);
  EXPECT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnNotResponding);
}

int RawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(IOKitTest, BadClientsAreDroppedAndTheHostCarriesOn) {
  Plug(kGUID);
  std::string dict = platform::plist::EncodeBinary(cf::Dict().get());
  std::string array = platform::plist::EncodeBinary(cf::Array().get());
  auto frame = [](const std::string& payload) {
    uint32_t n = static_cast<uint32_t>(payload.size());
    std::string f{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
    return f + payload;
  };
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"garbage", frame("not a property list at all")},
      {"oversize frame", std::string("\x7f\xff\xff\xff", 4) + "x"},
      {"not a dictionary", frame(array)},
      {"no id and no op", frame(dict)},
      {"half a frame, then gone", frame(dict).substr(0, 6)},
  };
  for (const Case& c : cases) {
    int fd = RawConnect(platform::hostlink::SocketPath());
    ASSERT_GE(fd, 0) << c.what;
    ASSERT_EQ(::send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.bytes.size()));
    if (std::string(c.what) == "half a frame, then gone") {
      ::close(fd);
    } else {
      char byte;
      EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << c.what << ": the host closes the connection";
      ::close(fd);
    }
    mach_port_t master = 0;
    EXPECT_EQ(IOMasterPort(MACH_PORT_NULL, &master), kIOReturnSuccess) << c.what;
    IOObjectRef robotics(One(MatchingWithGUID("TavrinChangerRoboticsDevice", kGUID)));
    EXPECT_TRUE(robotics) << c.what;
  }
}

}  // namespace
}  // namespace simhost::test
