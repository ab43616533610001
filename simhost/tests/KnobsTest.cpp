// Every fault knob changes what a client of the registry sees: each case runs once without its
// knobs and once with them, and both views are compared with the expected texts.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "HostFixture.h"

namespace simhost::test {
namespace {

constexpr uint64_t kGUID = 0x00A0B1C2D3E4F501;

struct KnobSetting {
  int slot;  // -1: the whole changer
  const char* name;
  const char* value;
};

// One changer on a fresh host, with the helpers a case needs to act and to look.
class Bench {
 public:
  Bench(const std::string& root, const std::vector<KnobSetting>& knobs, bool inDescription) : m_host(root) {
    ChangerSpec spec = LoadExample("small-changer.plist");
    if (inDescription) Apply(spec, knobs);
    std::string error;
    EXPECT_TRUE(m_host.AddChanger(std::move(spec), error)) << error;
    m_changer = m_host.FindChanger(kGUID);
    if (!inDescription)
      for (const KnobSetting& k : knobs) {
        std::optional<int> slot;
        if (k.slot >= 0) slot = k.slot;
        EXPECT_TRUE(m_changer->SetKnob(slot, k.name, cf::Str(k.value).get(), error)) << error;
      }
  }

  static void Apply(ChangerSpec& spec, const std::vector<KnobSetting>& knobs) {
    for (const KnobSetting& k : knobs) {
      const KnobInfo* info = FindKnob(k.name);
      CFRef<CFTypeRef> value;
      std::string error;
      EXPECT_TRUE(NormaliseKnob(*info, cf::Str(k.value).get(), value, error)) << error;
      (k.slot >= 0 ? spec.discs[k.slot].knobs : spec.knobs).Set(k.name, value);
    }
  }

  std::vector<ServiceId> Find(const char* cls) {
    auto m = cf::Dict();
    cf::Set(m.get(), "IOProviderClass", cls);
    cf::Set(m.get(), "GUID", static_cast<int64_t>(kGUID));
    return m_host.registry().Match(m.get());
  }
  std::vector<ServiceId> Class(const char* cls) {
    auto m = cf::Dict();
    cf::Set(m.get(), "IOProviderClass", cls);
    return m_host.registry().Match(m.get());
  }
  ServiceId Robotics() { return Find(cls::kRobotics).at(0); }
  ServiceId Switch() { return Find(cls::kBlockSwitch).at(0); }
  int Set(ServiceId s, const char* key, CFTypeRef v) { return m_host.registry().RequestSetProperty(s, key, v); }
  int Mount(int se) { return Set(Switch(), prop::kMountRequest, cf::Int16(static_cast<int16_t>(se)).get()); }
  void Advance(double seconds) {
    platform::clock::Advance(seconds);
    m_host.scheduler().Drain();
  }
  // A property as a client would print it: absent, a string, a number, or a kind of value.
  std::string Show(ServiceId s, const std::string& key) {
    CFRef<CFTypeRef> v = m_host.registry().CopyValue(s, key);
    if (!v) return "absent";
    if (auto str = cf::ToString(v.get())) return "\"" + *str + "\"";
    if (auto n = cf::ToInt(v.get())) return std::to_string(*n);
    if (cf::IsDict(v.get())) {
      std::string keys;
      for (const auto& k : cf::Keys(static_cast<CFDictionaryRef>(v.get()))) keys += (keys.empty() ? "" : ",") + k;
      return "{" + keys + "}";
    }
    if (cf::IsArray(v.get())) {
      std::string items;
      auto a = static_cast<CFArrayRef>(v.get());
      for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
        auto n = cf::ToInt(CFArrayGetValueAtIndex(a, i));
        items += (i ? "," : "") + (n ? std::to_string(*n) : std::string("?"));
      }
      return "[" + items + "]";
    }
    return "other";
  }
  std::vector<ServiceId> DiscServices(int se) {
    auto m = cf::Dict();
    cf::Set(m.get(), "IOProviderClass", cls::kDiscServices);
    auto pm = cf::Dict();
    cf::Set(pm.get(), prop::kStorageElementAddress, static_cast<int64_t>(se));
    cf::Set(m.get(), "IOPropertyMatch", pm.get());
    return m_host.registry().Match(m.get());
  }

  Host m_host;
  Changer* m_changer = nullptr;
};

struct Case {
  const char* what;
  std::vector<KnobSetting> knobs;
  bool inDescription;  // knobs that matter when the changer is plugged in
  std::function<void(Bench&)> act;
  std::function<std::string(Bench&)> observe;
  std::string without;
  std::string with;
};

std::string Join(std::initializer_list<std::string> parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : " ") + p;
  return out;
}

class KnobsTest : public HostFixture {};

TEST_F(KnobsTest, EveryKnobChangesWhatAClientSees) {
  auto nothing = [](Bench&) {};
  auto mount1 = [](Bench& b) {
    EXPECT_EQ(b.Mount(1), kSimSuccess);
    b.Advance(4);
  };
  std::vector<Case> cases = {
      {"omit DVD Features", {{-1, "omit-properties", "DVD Features"}}, false, nothing,
       [](Bench& b) { return b.Show(b.Find(cls::kDrive).at(0), prop::kDVDFeatures); }, "8", "absent"},
      {"mistype DVD Features", {{-1, "mistype-properties", "DVD Features"}}, false, nothing,
       [](Bench& b) { return b.Show(b.Find(cls::kDrive).at(0), prop::kDVDFeatures); }, "8", "\"mistyped\""},
      {"partial element address assignments", {{-1, "omit-properties", "Number Of Data Transfer Elements"}}, false,
       nothing, [](Bench& b) { return b.Show(b.Robotics(), prop::kElementAddressAssignments); },
       "{Number Of Storage Elements,Number Of Data Transfer Elements}", "{Number Of Storage Elements}"},
      {"no element address assignments", {{-1, "omit-properties", "Element Address Assignments"}}, false, nothing,
       [](Bench& b) { return b.Show(b.Robotics(), prop::kElementAddressAssignments); },
       "{Number Of Storage Elements,Number Of Data Transfer Elements}", "absent"},
      {"loaded count missing or not an integer",
       {{-1, "omit-properties", "Loaded Storage Element Count"}, {-1, "mistype-properties", "Storage Element Info"}},
       false, nothing,
       [](Bench& b) {
         return Join({b.Show(b.Robotics(), prop::kLoadedCount), b.Show(b.Robotics(), prop::kStorageElementInfo)});
       },
       "3 [?,?,?,?]", "absent \"mistyped\""},
      {"media without their BSD name, whole flag of another type",
       {{1, "omit-properties", "BSD Name"}, {1, "mistype-properties", "Whole"}}, false, mount1,
       [](Bench& b) {
         ServiceId first = b.Class(cls::kMedia).at(0);
         return Join({b.Show(first, prop::kBSDName), b.Show(first, "Whole")});
       },
       "\"disk2\" other", "absent \"mistyped\""},
      {"current mounted missing", {{-1, "omit-properties", "Current Mounted Storage Elements"}}, false, mount1,
       [](Bench& b) { return b.Show(b.Switch(), prop::kCurrentMounted); }, "[1]", "absent"},
      {"disc service without its element, GUID not a number",
       {{1, "omit-properties", "Storage Element Address"}, {1, "mistype-properties", "GUID"}}, false, mount1,
       [](Bench& b) {
         ServiceId dvd = b.Class(cls::kDiscServices).at(0);
         return Join({b.Show(dvd, prop::kStorageElementAddress), b.Show(dvd, prop::kGUID),
                      std::to_string(b.Find(cls::kRobotics).size())});
       },
       Join({"1", std::to_string(static_cast<int64_t>(kGUID)), "1"}), "absent \"mistyped\" 1"},
      {"mount refused for the changer", {{-1, "refuse-requests", "Storage Element Mount Request"}}, false,
       nothing, [](Bench& b) { return std::to_string(b.Mount(0)); }, "0", std::to_string(kSimError)},
      {"mount refused for one slot", {{1, "refuse-requests", "Storage Element Mount Request"}}, false, nothing,
       [](Bench& b) { return Join({std::to_string(b.Mount(0)), std::to_string(b.Mount(1))}); }, "0 0",
       "0 " + std::to_string(kSimError)},
      {"reset refused", {{-1, "refuse-reset", "true"}}, false, nothing,
       [](Bench& b) { return std::to_string(b.Set(b.Switch(), prop::kMountRequest, cf::Int32(0xFFFF).get())); }, "0",
       std::to_string(kSimError)},
      {"other requests refused",
       {{-1, "refuse-requests",
         "Set Storage Element Volume Tags,Instantiate Media Object,Storage Element Unload Request,"
         "Storage Element Force Eject Request Prop,Media Load Request,Add Disabled Mount Storage Element Request"}},
       false, nothing,
       [](Bench& b) {
         auto tags = cf::Dict();
         cf::Set(tags.get(), prop::kStorageElementNumber, static_cast<int64_t>(0));
         return Join({std::to_string(b.Set(b.Robotics(), prop::kSetVolumeTags, tags.get())),
                      std::to_string(b.Set(b.Robotics(), prop::kInstantiateMediaObject, kCFBooleanTrue)),
                      std::to_string(b.Set(b.Robotics(), prop::kUnloadRequest, cf::Int16(0).get())),
                      std::to_string(b.Set(b.Switch(), prop::kForceEjectRequest, cf::Int16(0).get())),
                      std::to_string(b.Set(b.Robotics(), prop::kMediaLoadRequest, cf::Int16(0).get())),
                      std::to_string(b.Set(b.Switch(), prop::kDisabledMountRequest, cf::Int16(0).get()))});
       },
       Join({"0", "0", "0", "0", std::to_string(kSimBadArgument), "0"}),
       Join({std::to_string(kSimError), std::to_string(kSimError), std::to_string(kSimError), std::to_string(kSimError),
             std::to_string(kSimError), std::to_string(kSimError)})},
      {"release time held at 0", {{1, "hold-release-time", "true"}}, false,
       [](Bench& b) {
         b.Mount(1);
         b.Advance(30);
       },
       [](Bench& b) { return b.Show(b.DiscServices(1).at(0), prop::kLastReleaseTime); },
       std::to_string(static_cast<int64_t>(HostFixture::kStart) + 5), "0"},
      {"disc never comes online", {{1, "never-online", "true"}}, false, mount1,
       [](Bench& b) {
         return Join({b.Show(b.Robotics(), prop::kDriveConfiguration), b.Show(b.Switch(), prop::kCurrentMounted),
                      std::to_string(b.Class(cls::kMedia).size())});
       },
       "[1,-1] [1] 3", "[1,-1] [] 0"},
      {"disc stuck in its drive", {{1, "stuck-in-drive", "true"}}, false,
       [](Bench& b) {
         b.Mount(1);
         b.Advance(4);
         EXPECT_EQ(b.Set(b.Switch(), prop::kForceEjectRequest, cf::Int16(1).get()), kSimSuccess);
         b.Advance(10);
       },
       [](Bench& b) {
         return Join({b.Show(b.Robotics(), prop::kDriveConfiguration), std::to_string(b.Class(cls::kMedia).size())});
       },
       "[-1,-1] 0", "[1,-1] 0"},
      {"duplicate disc services", {{1, "duplicate-disc-services", "true"}}, false, mount1,
       [](Bench& b) { return std::to_string(b.DiscServices(1).size()); }, "1", "2"},
      {"media without a disc service", {{1, "omit-disc-services", "true"}}, false, mount1,
       [](Bench& b) {
         ServiceId whole = 0;
         for (ServiceId m : b.Class(cls::kMedia))
           if (b.Show(m, "Whole") == "other" && b.m_host.registry().ClassName(b.m_host.registry().Parent(m)) != "IOMedia")
             whole = m;
         return Join({std::to_string(b.DiscServices(1).size()),
                      b.m_host.registry().ClassName(b.m_host.registry().Parent(whole))});
       },
       "1 TavrinChangerVirtualDVDServices", "0 TavrinChangerDVDBlockSwitch"},
      {"one more BSD client than media", {{1, "break-parity", "true"}}, false, mount1,
       [](Bench& b) {
         return Join({std::to_string(b.Class(cls::kMedia).size()), std::to_string(b.Class(cls::kBSDClient).size())});
       },
       "3 3", "3 4"},
      {"duplicate block switch", {{-1, "duplicate-block-switch", "true"}}, false, nothing,
       [](Bench& b) { return std::to_string(b.Find(cls::kBlockSwitch).size()); }, "1", "2"},
      {"duplicate media object", {{-1, "duplicate-media-object", "true"}}, false,
       [](Bench& b) {
         b.Set(b.Robotics(), prop::kInstantiateMediaObject, kCFBooleanTrue);
         b.Advance(4);
       },
       [](Bench& b) { return std::to_string(b.Find(cls::kChangerMedia).size()); }, "1", "2"},
      {"media object later than 15 s", {{-1, "media-object-delay", "20"}}, false,
       [](Bench& b) {
         b.Set(b.Robotics(), prop::kInstantiateMediaObject, kCFBooleanTrue);
         b.Advance(15);
       },
       [](Bench& b) {
         std::string at15 = std::to_string(b.Find(cls::kChangerMedia).size());
         b.Advance(10);
         return at15 + " " + std::to_string(b.Find(cls::kChangerMedia).size());
       },
       "1 1", "0 1"},
      {"drives published late", {{-1, "drive-delay", "10"}}, true, nothing,
       [](Bench& b) {
         std::string seen = std::to_string(b.Find(cls::kDrive).size());
         for (int i = 0; i < 2; ++i) {
           b.Advance(10);
           seen += " " + std::to_string(b.Find(cls::kDrive).size());
         }
         return seen;
       },
       "2 2 2", "0 1 2"},
      {"unload of a disc in a drive refused", {{-1, "unload-in-drive", "refuse"}}, false, mount1,
       [](Bench& b) { return std::to_string(b.Set(b.Robotics(), prop::kUnloadRequest, cf::Int16(1).get())); }, "0",
       std::to_string(static_cast<int>(0xE00002D5))},
      {"slower robot", {{-1, "robot-delay", "10"}}, false,
       [](Bench& b) {
         b.Mount(1);
         b.Advance(4);
       },
       [](Bench& b) {
         std::string at4 = b.Show(b.Robotics(), prop::kDriveConfiguration);
         b.Advance(6);
         return at4 + " " + b.Show(b.Robotics(), prop::kDriveConfiguration);
       },
       "[1,-1] [1,-1]", "[-1,-1] [1,-1]"},
      {"longer settle", {{-1, "settle-delay", "3"}}, false,
       [](Bench& b) {
         b.Mount(1);
         b.Advance(5);
       },
       [](Bench& b) {
         std::string at1 = b.Show(b.DiscServices(1).at(0), prop::kLastReleaseTime);
         b.Advance(2);
         return at1 + " " + b.Show(b.DiscServices(1).at(0), prop::kLastReleaseTime);
       },
       Join({std::to_string(static_cast<int64_t>(HostFixture::kStart) + 5),
             std::to_string(static_cast<int64_t>(HostFixture::kStart) + 5)}),
       Join({"0", std::to_string(static_cast<int64_t>(HostFixture::kStart) + 7)})},
  };
  m_host.reset();  // each case builds its own
  for (const Case& c : cases) {
    for (bool withKnobs : {false, true}) {
      platform::clock::UseManual(kStart);
      std::filesystem::remove_all(m_root + "/dev");
      std::vector<KnobSetting> none;
      Bench bench(m_root, withKnobs ? c.knobs : none, c.inDescription);
      c.act(bench);
      EXPECT_EQ(c.observe(bench), withKnobs ? c.with : c.without) << c.what << (withKnobs ? " (knobs set)" : "");
    }
  }
}

TEST_F(KnobsTest, KnobsAreCheckedByNameTypeAndScope) {
  Changer& changer = *[&] {
    ChangerSpec spec = LoadExample("small-changer.plist");
    std::string error;
    EXPECT_TRUE(m_host->AddChanger(std::move(spec), error));
    return m_host->FindChanger(kGUID);
  }();
  struct Bad {
    std::optional<int> slot;
    const char* knob;
    const char* value;
    const char* error;
  } bad[] = {
      {std::nullopt, "no-such-knob", "true", "unknown knob \"no-such-knob\""},
      {std::nullopt, "alerts-fail", "true", "unknown knob \"alerts-fail\""},
      {1, "duplicate-block-switch", "true", "knob \"duplicate-block-switch\" applies to a whole changer, not to a slot"},
      {std::nullopt, "robot-delay", "soon", "knob \"robot-delay\" takes a number of seconds, 0 or more"},
      {std::nullopt, "never-online", "maybe", "knob \"never-online\" takes true or false"},
      {std::nullopt, "unload-in-drive", "drop", "knob \"unload-in-drive\" takes one of: eject-first|refuse"},
      {9, "never-online", "true", "changer 00A0B1C2D3E4F501 has no storage element 9"},
  };
  for (const Bad& b : bad) {
    std::string error;
    EXPECT_FALSE(changer.SetKnob(b.slot, b.knob, cf::Str(b.value).get(), error)) << b.knob;
    EXPECT_EQ(error, b.error);
  }
  std::string error;
  EXPECT_FALSE(m_host->SetHostKnob("never-online", kCFBooleanTrue, error));
  EXPECT_EQ(error, "unknown host knob \"never-online\"");
}

}  // namespace
}  // namespace simhost::test
