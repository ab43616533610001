#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CFUtil.h"
#include "Registry.h"

namespace simhost {
namespace {

CFRef<CFNumberRef> Num16(int16_t v) { return cf::Int16(v); }

TEST(MatchesDictionary, Table) {
  // A disc service as the driver publishes it: numbers in their narrow types.
  auto props = cf::Dict();
  cf::Set(props.get(), "GUID", cf::Int64(0x00A0B1C2D3E4F501).get());
  cf::Set(props.get(), "Storage Element Address", Num16(5).get());
  cf::Set(props.get(), "BSD Name", "disk3");
  std::vector<std::string> chain = ClassChainOf("TavrinChangerVirtualDVDServices");

  struct Case {
    const char* what;
    std::vector<std::pair<std::string, CFRef<CFTypeRef>>> keys;
    bool matches;
  };
  auto S = [](const char* s) { return CFRef<CFTypeRef>(cf::Str(s).release()); };
  auto I32 = [](int32_t v) { return CFRef<CFTypeRef>(cf::Int32(v).release()); };
  auto I64 = [](int64_t v) { return CFRef<CFTypeRef>(cf::Int64(v).release()); };
  auto PM = [](std::vector<std::pair<const char*, CFTypeRef>> entries) {
    auto d = cf::Dict();
    for (auto& [k, v] : entries) cf::Set(d.get(), k, v);
    return CFRef<CFTypeRef>(d.release());
  };
  auto five32 = cf::Int32(5);
  auto six32 = cf::Int32(6);
  auto guid64 = cf::Int64(0x00A0B1C2D3E4F501);
  auto arrayOfMatches = cf::Array();
  cf::Append(arrayOfMatches.get(), PM({{"Storage Element Address", six32.get()}}).get());
  cf::Append(arrayOfMatches.get(), PM({{"Storage Element Address", five32.get()}}).get());

  std::vector<Case> cases;
  cases.push_back({"own class", {{"IOProviderClass", S("TavrinChangerVirtualDVDServices")}}, true});
  cases.push_back({"superclass", {{"IOProviderClass", S("IOService")}}, true});
  cases.push_back({"other class", {{"IOProviderClass", S("IOMedia")}}, false});
  cases.push_back({"GUID as SInt64 extra key", {{"IOProviderClass", S("IOService")}, {"GUID", I64(0x00A0B1C2D3E4F501)}}, true});
  cases.push_back({"other GUID", {{"GUID", I64(0x00A0B1C2D3E4F502)}}, false});
  cases.push_back({"element as SInt32 in IOPropertyMatch",
                   {{"IOPropertyMatch", PM({{"GUID", guid64.get()}, {"Storage Element Address", five32.get()}})}}, true});
  cases.push_back({"other element in IOPropertyMatch", {{"IOPropertyMatch", PM({{"Storage Element Address", six32.get()}})}}, false});
  cases.push_back({"IOPropertyMatch array: any entry", {{"IOPropertyMatch", CFRef<CFTypeRef>::Retain(arrayOfMatches.get())}}, true});
  cases.push_back({"BSD name", {{"BSD Name", S("disk3")}}, true});
  cases.push_back({"BSD name of a partition", {{"BSD Name", S("disk3s1")}}, false});
  cases.push_back({"key the service lacks", {{"Whole", CFRef<CFTypeRef>::Retain(kCFBooleanTrue)}}, false});
  cases.push_back({"number against string", {{"BSD Name", I32(3)}}, false});
  cases.push_back({"ranking keys are ignored", {{"IOMatchCategory", S("x")}, {"IOProbeScore", I32(9)}}, true});
  for (const Case& c : cases) {
    auto matching = cf::Dict();
    for (const auto& [k, v] : c.keys) cf::Set(matching.get(), k, v.get());
    EXPECT_EQ(MatchesDictionary(chain, props.get(), matching.get()), c.matches) << c.what;
  }
}

TEST(ClassChainOf, MediaAndUnknownClasses) {
  EXPECT_EQ(ClassChainOf("TavrinChangerMedia"),
            (std::vector<std::string>{"TavrinChangerMedia", "IOMedia", "IOStorage", "IOService", "IORegistryEntry"}));
  EXPECT_EQ(ClassChainOf("SomethingElse"), (std::vector<std::string>{"SomethingElse", "IOService", "IORegistryEntry"}));
}

struct Event {
  std::string kind;
  uint64_t notification;
  ServiceId service;
  uint32_t type;
  bool operator==(const Event&) const = default;
  friend void PrintTo(const Event& e, std::ostream* os) {
    *os << e.kind << "(" << e.notification << ", " << e.service << ", " << std::hex << e.type << std::dec << ")";
  }
};

struct Recorder : Subscriber {
  void ServiceMatched(uint64_t n, ServiceId s) override { events.push_back({"matched", n, s, 0}); }
  void InterestMessage(uint64_t n, ServiceId s, uint32_t type, uint64_t) override {
    events.push_back({"interest", n, s, type});
  }
  std::vector<Event> events;
};

struct Owner : ServiceOwner {
  int SetProperty(ServiceId, const std::string& key, CFTypeRef) override {
    keys.push_back(key);
    return 0;
  }
  bool InterestReleaseFails(ServiceId) override { return failRelease; }
  std::vector<std::string> keys;
  bool failRelease = false;
};

CFRef<CFDictionaryRef> ClassMatching(const char* cls) {
  auto d = cf::Dict();
  cf::Set(d.get(), "IOProviderClass", cls);
  return CFRef<CFDictionaryRef>(d.release());
}

TEST(Registry, PublishTerminateAndInterestInOrder) {
  Registry reg;
  Owner owner;
  Recorder rec;
  ServiceId before = reg.Create("TavrinChangerRoboticsDevice", reg.Root(), nullptr, &owner);
  ServiceId hidden = reg.Create("TavrinChangerRoboticsDevice", reg.Root(), nullptr, &owner);
  reg.Publish(before);

  std::vector<ServiceId> existing;
  const uint64_t pub = 10, term = 11, pub2 = 12, interest = 13;
  reg.AddNotification(NotificationKind::publish, ClassMatching("TavrinChangerRoboticsDevice").get(), &rec, pub,
                      existing);
  reg.AddNotification(NotificationKind::terminate, ClassMatching("IOService").get(), &rec, term, existing);
  EXPECT_TRUE(existing.empty()) << "terminate notifications hold nothing at first";
  reg.AddNotification(NotificationKind::publish, ClassMatching("TavrinChangerRoboticsDevice").get(), &rec, pub2,
                      existing);
  EXPECT_EQ(existing, std::vector<ServiceId>{before});
  rec.events.clear();

  ServiceId child = reg.Create("TavrinChangerDVDBlockSwitch", before, nullptr, &owner);
  reg.Publish(child);
  ASSERT_NE(reg.AddInterest(before, &rec, interest), 0u);
  reg.SendMessage(before, kMessageStorageElementsChanged, 0);
  reg.SendMessage(before, 0x1234, 0);
  reg.Publish(hidden);
  reg.Terminate(before);

  std::vector<Event> want = {
      {"interest", interest, before, kMessageStorageElementsChanged},
      {"interest", interest, before, 0x1234},
      {"matched", pub, hidden, 0},
      {"matched", pub2, hidden, 0},
      {"matched", term, child, 0},  // deepest first
      {"interest", interest, before, kMessageServiceIsTerminated},
      {"matched", term, before, 0},
  };
  EXPECT_EQ(rec.events, want);
  EXPECT_TRUE(reg.Match(ClassMatching("TavrinChangerDVDBlockSwitch").get()).empty());
  EXPECT_EQ(reg.Match(ClassMatching("TavrinChangerRoboticsDevice").get()), std::vector<ServiceId>{hidden});
  EXPECT_EQ(reg.Parent(child), before) << "a terminated service keeps its ancestry for clients that hold it";
  EXPECT_EQ(reg.AddInterest(before, &rec, interest + 1), 0u) << "a terminated service takes no new interest";
}

TEST(Registry, InterestReleaseCanFailAndSetPropertyReachesTheOwner) {
  Registry reg;
  Owner owner;
  Recorder rec;
  ServiceId s = reg.Create("TavrinChangerRoboticsDevice", reg.Root(), nullptr, &owner);
  ServiceId plain = reg.Create("IOMedia", s, nullptr, nullptr);
  reg.Publish(s);
  reg.Publish(plain);
  uint64_t interest = reg.AddInterest(s, &rec, 1);
  owner.failRelease = true;
  EXPECT_EQ(reg.RemoveInterest(interest), kSimError);
  reg.SendMessage(s, 7, 0);
  EXPECT_EQ(rec.events.size(), 1u) << "a failed release leaves the subscription in place";
  owner.failRelease = false;
  EXPECT_EQ(reg.RemoveInterest(interest), kSimSuccess);
  reg.SendMessage(s, 7, 0);
  EXPECT_EQ(rec.events.size(), 1u);

  EXPECT_EQ(reg.RequestSetProperty(s, "Instantiate Media Object", kCFBooleanTrue), 0);
  EXPECT_EQ(owner.keys, std::vector<std::string>{"Instantiate Media Object"});
  EXPECT_EQ(reg.RequestSetProperty(plain, "x", kCFBooleanTrue), kSimUnsupported);
  reg.Terminate(s);
  EXPECT_EQ(reg.RequestSetProperty(s, "x", kCFBooleanTrue), kSimNoDevice);
}

TEST(Registry, SearchLooksAtTheServiceThenNearestAncestor) {
  Registry reg;
  auto top = cf::Dict();
  cf::Set(top.get(), "GUID", static_cast<int64_t>(1));
  cf::Set(top.get(), "Storage Element Address", static_cast<int64_t>(9));
  auto mid = cf::Dict();
  cf::Set(mid.get(), "Storage Element Address", static_cast<int64_t>(4));
  ServiceId a = reg.Create("TavrinChangerDVDBlockSwitch", reg.Root(), top.get(), nullptr);
  ServiceId b = reg.Create("TavrinChangerVirtualDVDServices", a, mid.get(), nullptr);
  ServiceId c = reg.Create("IOMediaBSDClient", b, nullptr, nullptr);
  EXPECT_TRUE(CFEqual(reg.Search(c, "Storage Element Address", true).get(), cf::Int16(4).get()));
  EXPECT_TRUE(CFEqual(reg.Search(c, "GUID", true).get(), cf::Int16(1).get()));
  EXPECT_FALSE(reg.Search(c, "GUID", false));
  EXPECT_EQ(reg.Ancestors(c), (std::vector<ServiceId>{b, a, reg.Root()}));
  EXPECT_EQ(reg.Descendants(a), (std::vector<ServiceId>{b, c}));
}

}  // namespace
}  // namespace simhost
