#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "HostFixture.h"

namespace simhost::test {
namespace {

constexpr uint64_t kGUID = 0x00A0B1C2D3E4F501;

struct Recorder : Subscriber {
  void ServiceMatched(uint64_t, ServiceId s) override {
    std::lock_guard lock(mutex);
    matched.push_back(s);
  }
  void InterestMessage(uint64_t, ServiceId, uint32_t type, uint64_t) override {
    std::lock_guard lock(mutex);
    messages.push_back(type);
  }
  std::vector<uint32_t> Messages() {
    std::lock_guard lock(mutex);
    return messages;
  }
  std::mutex mutex;
  std::vector<ServiceId> matched;
  std::vector<uint32_t> messages;
};

class ChangerTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    m_changer = &AddExample("small-changer.plist");
    m_robotics = Find(cls::kRobotics, kGUID).at(0);
    m_switch = Find(cls::kBlockSwitch, kGUID).at(0);
  }
  int Set(ServiceId s, const char* key, CFTypeRef value) { return m_host->registry().RequestSetProperty(s, key, value); }
  CFDictionaryRef Entry(CFTypeRef info, int slot) {
    return static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(info), slot));
  }
  std::vector<int> Int16Array(ServiceId s, const char* key) {
    std::vector<int> out;
    CFRef<CFTypeRef> v = Prop(s, key);
    if (!cf::IsArray(v.get())) return {999};
    for (CFIndex i = 0; i < CFArrayGetCount(static_cast<CFArrayRef>(v.get())); ++i) {
      int16_t x = 0;
      if (!CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(v.get()), i)),
                            kCFNumberSInt16Type, &x))
        x = 999;
      out.push_back(x);
    }
    return out;
  }
  std::vector<ServiceId> ByBSDName(const char* name) {
    auto m = cf::Dict();
    cf::Set(m.get(), "BSD Name", name);
    return m_host->registry().Match(m.get());
  }
  bool DevExists(const std::string& name) { return std::filesystem::exists(m_root + "/dev/" + name); }

  Changer* m_changer = nullptr;
  ServiceId m_robotics = 0, m_switch = 0;
};

TEST_F(ChangerTest, PublishesTheChangerAsTheDaemonReadsIt) {
  EXPECT_EQ(Find(cls::kDrive, kGUID).size(), 2u);
  CFRef<CFTypeRef> eaa = Prop(m_robotics, prop::kElementAddressAssignments);
  EXPECT_EQ(cf::GetInt(static_cast<CFDictionaryRef>(eaa.get()), prop::kNumberOfStorageElements), 4);
  EXPECT_EQ(cf::GetInt(static_cast<CFDictionaryRef>(eaa.get()), prop::kNumberOfDataTransferElements), 2);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{-1, -1}));
  EXPECT_EQ(Int16Array(m_switch, prop::kCurrentMounted), std::vector<int>{});
  EXPECT_TRUE(CFEqual(Prop(m_robotics, prop::kLoadedCount).get(), cf::Int64(3).get()));
  std::vector<int32_t> features;
  for (ServiceId d : Find(cls::kDrive, kGUID)) {
    int32_t f = -1;
    CFNumberGetValue(static_cast<CFNumberRef>(Prop(d, prop::kDVDFeatures).get()), kCFNumberSInt32Type, &f);
    features.push_back(f);
  }
  EXPECT_EQ(features, (std::vector<int32_t>{8, 0}));

  CFRef<CFTypeRef> info = Prop(m_robotics, prop::kStorageElementInfo);
  ASSERT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(info.get())), 4);
  struct Want {
    int slot;
    bool full;
    int16_t altSeq;
  } wants[] = {{0, true, 1}, {1, true, 1}, {2, false, 0}, {3, true, 1}};
  for (const Want& w : wants) {
    auto expected = cf::Dict();
    cf::Set(expected.get(), prop::kMediaInStorageElement, cf::Bool(w.full));
    cf::Set(expected.get(), prop::kPrimaryVolumeTag, "");
    cf::Set(expected.get(), prop::kAlternateVolumeTag, "");
    cf::Set(expected.get(), prop::kPrimaryVolumeSequence, static_cast<int64_t>(0));
    cf::Set(expected.get(), prop::kAlternateVolumeSequence, static_cast<int64_t>(w.altSeq));
    EXPECT_TRUE(CFEqual(Entry(info.get(), w.slot), expected.get())) << "slot " << w.slot;
  }
}

TEST_F(ChangerTest, MountPublishesTheDiscBelowItsServicesAfterTheRobotDelay) {
  EXPECT_EQ(Set(m_switch, prop::kMountRequest, cf::Int16(1).get()), kSimSuccess);
  Advance(3.9);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{-1, -1})) << "the robot is still moving";
  Advance(0.1);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{1, -1}));
  EXPECT_EQ(Int16Array(m_switch, prop::kCurrentMounted), std::vector<int>{1});

  auto services = cf::Dict();
  cf::Set(services.get(), "IOProviderClass", cls::kDiscServices);
  auto pm = cf::Dict();
  cf::Set(pm.get(), "GUID", static_cast<int64_t>(kGUID));
  cf::Set(pm.get(), prop::kStorageElementAddress, cf::Int32(1).get());
  cf::Set(services.get(), "IOPropertyMatch", pm.get());
  std::vector<ServiceId> dvd = m_host->registry().Match(services.get());
  ASSERT_EQ(dvd.size(), 1u);
  EXPECT_TRUE(CFEqual(Prop(dvd[0], prop::kLastReleaseTime).get(), cf::Int32(0).get())) << "held until it settles";

  // Whole disc below the disc service below the block switch; partitions below the whole disc.
  struct Medium {
    const char* bsd;
    ServiceId parent;
    bool whole;
  };
  std::vector<ServiceId> whole = ByBSDName("disk2");
  ASSERT_EQ(whole.size(), 1u);
  Medium media[] = {{"disk2", dvd[0], true}, {"disk2s1", whole[0], false}, {"disk2s2", whole[0], false}};
  for (const Medium& m : media) {
    std::vector<ServiceId> found = ByBSDName(m.bsd);
    ASSERT_EQ(found.size(), 1u) << m.bsd << ": BSD name only on the medium, not on its client";
    EXPECT_EQ(m_host->registry().ClassName(found[0]), "IOMedia");
    EXPECT_EQ(m_host->registry().Parent(found[0]), m.parent) << m.bsd;
    EXPECT_TRUE(CFEqual(Prop(found[0], "Whole").get(), cf::Bool(m.whole))) << m.bsd;
    int clients = 0;
    for (ServiceId child : m_host->registry().Children(found[0]))
      clients += m_host->registry().ClassName(child) == "IOMediaBSDClient";
    EXPECT_EQ(clients, 1) << m.bsd;
    EXPECT_TRUE(DevExists(m.bsd) && DevExists(std::string("r") + m.bsd)) << m.bsd;
  }
  EXPECT_EQ(m_host->registry().Parent(dvd[0]), m_switch);
  EXPECT_TRUE(CFEqual(Prop(whole[0], "Type").get(), cf::Str("DVD-RAM").get()));
  CFRef<CFDictionaryRef> node = m_host->ReadDevNode("disk2s2");
  ASSERT_TRUE(node);
  EXPECT_EQ(cf::GetString(node.get(), "File System"), "msdos");
  EXPECT_EQ(cf::GetString(node.get(), "Volume Name"), "Beta");
  EXPECT_EQ(cf::GetString(node.get(), "Content"), Example("content/beta"));

  Advance(1);
  int32_t released = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(Prop(dvd[0], prop::kLastReleaseTime).get()), kCFNumberSInt32Type, &released);
  EXPECT_EQ(released, static_cast<int32_t>(kStart + 5));
}

TEST_F(ChangerTest, ForceEjectAndUnloadEmptyTheDrive) {
  Recorder rec;
  uint64_t interest = m_host->registry().AddInterest(m_robotics, &rec, 1);
  ASSERT_NE(interest, 0u);
  ASSERT_EQ(Set(m_switch, prop::kMountRequest, cf::Int16(0).get()), kSimSuccess);
  ASSERT_EQ(Set(m_switch, prop::kMountRequest, cf::Int16(1).get()), kSimSuccess);
  Advance(8);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{0, 1}));

  EXPECT_EQ(Set(m_switch, prop::kForceEjectRequest, cf::Int16(0).get()), kSimSuccess);
  EXPECT_TRUE(ByBSDName("disk2").empty()) << "media go at once";
  EXPECT_FALSE(DevExists("disk2") || DevExists("rdisk2"));
  EXPECT_EQ(Int16Array(m_switch, prop::kCurrentMounted), std::vector<int>{1});
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{0, 1}));
  Advance(4);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{-1, 1}));

  // Unloading a disc still in a drive takes it out first.
  EXPECT_EQ(Set(m_robotics, prop::kUnloadRequest, cf::Int16(1).get()), kSimSuccess);
  EXPECT_TRUE(ByBSDName("disk3s1").empty());
  Advance(4);
  EXPECT_EQ(Int16Array(m_robotics, prop::kDriveConfiguration), (std::vector<int>{-1, -1}));
  CFRef<CFTypeRef> info = Prop(m_robotics, prop::kStorageElementInfo);
  auto empty = cf::Dict();
  cf::Set(empty.get(), prop::kMediaInStorageElement, kCFBooleanFalse);
  cf::Set(empty.get(), prop::kPrimaryVolumeTag, "");
  cf::Set(empty.get(), prop::kAlternateVolumeTag, "");
  cf::Set(empty.get(), prop::kPrimaryVolumeSequence, static_cast<int64_t>(0));
  cf::Set(empty.get(), prop::kAlternateVolumeSequence, static_cast<int64_t>(0));
  EXPECT_TRUE(CFEqual(Entry(info.get(), 1), empty.get()));
  EXPECT_TRUE(CFEqual(Prop(m_robotics, prop::kLoadedCount).get(), cf::Int16(2).get()));
  EXPECT_EQ(rec.Messages(), std::vector<uint32_t>{kMessageStorageElementsChanged});
  EXPECT_EQ(Set(m_robotics, prop::kUnloadRequest, cf::Int16(1).get()), kSimNoMedia);
  m_host->registry().RemoveSubscriber(&rec);
}

TEST_F(ChangerTest, VolumeTagsAreReportedAtOnceAsAMediaInfoFileRebuildsThem) {
  // What the daemon sends: the whole item info with one tag changed and the slot number added.
  auto request = cf::Dict();
  cf::Set(request.get(), prop::kMediaInStorageElement, kCFBooleanTrue);
  cf::Set(request.get(), prop::kPrimaryVolumeTag, "Photos                          ");
  cf::Set(request.get(), prop::kAlternateVolumeTag, "Photos                          ");
  cf::Set(request.get(), prop::kPrimaryVolumeSequence, cf::Int16(16).get());
  cf::Set(request.get(), prop::kAlternateVolumeSequence, cf::Int16(1).get());
  cf::Set(request.get(), prop::kStorageElementNumber, cf::Int16(0).get());
  ASSERT_EQ(Set(m_robotics, prop::kSetVolumeTags, request.get()), kSimSuccess);

  // A media info file read back gives 64-bit integers; the entry must still compare equal.
  auto rebuilt = cf::Dict();
  cf::Set(rebuilt.get(), prop::kMediaInStorageElement, kCFBooleanTrue);
  cf::Set(rebuilt.get(), prop::kPrimaryVolumeTag, "Photos                          ");
  cf::Set(rebuilt.get(), prop::kAlternateVolumeTag, "Photos                          ");
  cf::Set(rebuilt.get(), prop::kPrimaryVolumeSequence, static_cast<int64_t>(16));
  cf::Set(rebuilt.get(), prop::kAlternateVolumeSequence, static_cast<int64_t>(1));
  CFRef<CFTypeRef> info = Prop(m_robotics, prop::kStorageElementInfo);
  EXPECT_TRUE(CFEqual(Entry(info.get(), 0), rebuilt.get()));
  EXPECT_EQ(CFDictionaryGetCount(Entry(info.get(), 0)), 5);

  struct Bad {
    const char* what;
    int slot;
    CFTypeRef primarySeq;
    int result;
  };
  auto big = cf::Int32(70000);
  Bad bad[] = {{"sequence beyond 16 bits", 0, big.get(), kSimBadArgument},
               {"empty slot", 2, nullptr, kSimNoMedia},
               {"no such slot", 9, nullptr, kSimBadArgument},
               {"storage element equal to the slot count", 4, nullptr, kSimBadArgument},
               {"negative storage element", -1, nullptr, kSimBadArgument}};
  for (const Bad& b : bad) {
    auto r = cf::Dict();
    cf::Set(r.get(), prop::kStorageElementNumber, cf::Int16(static_cast<int16_t>(b.slot)).get());
    cf::Set(r.get(), prop::kPrimaryVolumeTag, "changed");
    if (b.primarySeq) cf::Set(r.get(), prop::kPrimaryVolumeSequence, b.primarySeq);
    EXPECT_EQ(Set(m_robotics, prop::kSetVolumeTags, r.get()), b.result) << b.what;
  }
  info = Prop(m_robotics, prop::kStorageElementInfo);
  EXPECT_TRUE(CFEqual(Entry(info.get(), 0), rebuilt.get())) << "a refused request changes nothing";
}

TEST_F(ChangerTest, MediaObjectIsPublishedOnceOutsideAnyDiscAndSurvivesUntilUnplug) {
  EXPECT_EQ(Set(m_robotics, prop::kInstantiateMediaObject, kCFBooleanTrue), kSimSuccess);
  EXPECT_EQ(Set(m_robotics, prop::kInstantiateMediaObject, kCFBooleanTrue), kSimSuccess);
  EXPECT_TRUE(Find(cls::kChangerMedia, kGUID).empty());
  Advance(4);
  std::vector<ServiceId> media = Find(cls::kChangerMedia, kGUID);
  ASSERT_EQ(media.size(), 1u) << "instantiating twice publishes one";
  EXPECT_EQ(m_host->registry().Parent(media[0]), m_robotics);
  for (ServiceId a : m_host->registry().Ancestors(media[0]))
    EXPECT_NE(m_host->registry().ClassName(a), cls::kDiscServices);
  auto bsd = cf::ToString(Prop(media[0], prop::kBSDName).get());
  ASSERT_TRUE(bsd);
  EXPECT_TRUE(DevExists(*bsd) && DevExists("r" + *bsd));
  EXPECT_EQ(Set(m_robotics, prop::kInstantiateMediaObject, kCFBooleanFalse), kSimBadArgument);

  Recorder rec;
  m_host->registry().AddInterest(m_robotics, &rec, 1);
  m_changer->Unplug();
  EXPECT_EQ(rec.Messages(), std::vector<uint32_t>{kMessageServiceIsTerminated});
  EXPECT_TRUE(Find(cls::kRobotics, kGUID).empty());
  EXPECT_TRUE(Find(cls::kChangerMedia, kGUID).empty());
  EXPECT_FALSE(DevExists(*bsd));
  m_changer->ReplugAfter(2);
  Advance(2);
  ASSERT_EQ(Find(cls::kRobotics, kGUID).size(), 1u);
  EXPECT_NE(Find(cls::kRobotics, kGUID)[0], m_robotics) << "a replugged changer is a new service";
  m_host->registry().RemoveSubscriber(&rec);
}

TEST_F(ChangerTest, LoadRequestBlocksUntilTheDiscsAreIn) {
  Recorder rec;
  m_host->registry().AddInterest(m_robotics, &rec, 1);
  auto load = std::async(std::launch::async, [&] { return Set(m_robotics, prop::kMediaLoadRequest, cf::Int16(1).get()); });
  EXPECT_EQ(load.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  DiscSpec disc;
  disc.mediaType = "CD-R";
  int slot = -1;
  std::string error;
  ASSERT_TRUE(m_changer->Insert(std::nullopt, disc, slot, error)) << error;
  EXPECT_EQ(slot, 2);
  EXPECT_EQ(load.get(), kSimSuccess);
  EXPECT_EQ(rec.Messages(), std::vector<uint32_t>{kMessageStorageElementsChanged});
  EXPECT_TRUE(CFEqual(Prop(m_robotics, prop::kLoadedCount).get(), cf::Int16(4).get()));
  // A full changer takes nothing: the request returns at once.
  EXPECT_EQ(Set(m_robotics, prop::kMediaLoadRequest, cf::Int16(5000).get()), kSimSuccess);
  EXPECT_FALSE(m_changer->Insert(std::nullopt, disc, slot, error));
  EXPECT_EQ(error, "changer 00A0B1C2D3E4F501 has no empty storage element");
  m_host->registry().RemoveSubscriber(&rec);
}

}  // namespace
}  // namespace simhost::test
