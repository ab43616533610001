#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "ChangerInfoFiles.h"
#include "DriverFixture.h"
#include "platform/Log.h"

namespace {

std::string Padded(const std::string& i_text) { return i_text + std::string(32 - i_text.size(), ' '); }

TEST(VolTags, NameThatIsNotTextFails) {
  platform::log::Capture capture;
  char* tagP = reinterpret_cast<char*>(1);
  EXPECT_FALSE(ComputeVolTagFromDeviceName("bad \xFF byte", &tagP));
  EXPECT_EQ(tagP, nullptr);
  EXPECT_EQ(capture.Lines(), std::vector<std::string>{
                                 "ComputeVolTagFromDeviceName: unable to allocate a CFString for the device name "
                                 "string.\n"});
}

TEST(VolTags, OlderProductTagRecognised) {
  struct Case {
    const char* what;
    std::string tag;
    bool recognised;
    const char* name;
  } cases[] = {
      {"##0A", Padded("Archive 1999").substr(0, 28) + "##0A", true, "Archive 1999"},
      {"lower-case digits", "Backup" + std::string(22, ' ') + "##ff", true, "Backup"},
      {"28 characters of name", std::string(28, 'N') + "##12", true, "NNNNNNNNNNNNNNNNNNNNNNNNNNNN"},
      {"first character always kept", std::string(28, ' ') + "##00", true, " "},
      {"##0G", Padded("Archive 1999").substr(0, 28) + "##0G", false, ""},
      {"#-0A", Padded("Archive 1999").substr(0, 28) + "#-0A", false, ""},
      {"ordinary tag", Padded("Photos"), false, ""},
      {"shorter than 32", "Archive##0A", false, ""},
  };
  for (const auto& c : cases) {
    char name[29] = "garbage";
    EXPECT_EQ(GetSH9VolTagName(c.tag.c_str(), name), c.recognised) << c.what;
    EXPECT_STREQ(name, c.name) << c.what;
  }
}

TEST(VolTags, DiscTypeCodes) {
  struct Case {
    const char* mediaType;
    UInt16 code;
  } cases[] = {
      {"CD-ROM", 8},  {"CD-R", 9},    {"CD-RW", 10},  {"DVD-ROM", 16}, {"DVD-R", 17},
      {"DVD-RAM", 18}, {"DVD+RW", 18}, {"DVD-RW", 19}, {"BD-ROM", 0},   {"", 0},
      {"dvd-r", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(DiscTypeCodeForMediaType(c.mediaType), c.code) << c.mediaType;
}

}  // namespace

// ---------------------------------------------------------------- tags written to the changer

namespace {

using discwarden::test::DeviceSpec;
using discwarden::test::DriverFixture;
using discwarden::test::MakeDisc;
using discwarden::test::MountPtr;
using discwarden::test::NumberValue;
using discwarden::test::StringValue;

const UInt64 k_guid = 0x00A0B0C0D0E0F0A1ULL;

class VolTagsOnChanger : public DriverFixture {};

// Each disc's tags are computed from its names and the changer's report for its slot, written to
// the changer, and read back from the changer's report.
TEST_F(VolTagsOnChanger, TagsOfIdentifiedDiscs) {
  const std::string sh9Name = Padded("Archive 1999").substr(0, 28);
  struct Case {
    const char* what;
    std::string presetPrimaryTag;
    SInt16 presetAlternateSequence;
    const char* mediaType;
    std::vector<DeviceSpec> devices;
    const char* mountPointName;  // given to the tag device before the tags are computed
    std::string primaryTag;
    std::string alternateTag;
    long long primarySequence;
    const char* SH9Name;
    std::vector<std::string> log;
  } cases[] = {
      {"short name", "", 7, "DVD-R", {{"disk3s1", "Photos", true}}, nullptr, Padded("Photos"), Padded("Photos"), 17,
       nullptr, {}},
      {"40 characters", "", 0, "CD-ROM", {{"disk3s1", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd", true}}, nullptr,
       "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 8, nullptr, {}},
      {"Mac OS Roman", "", -3, "DVD+RW", {{"disk3s1", "Caf\xC3\xA9", true}}, nullptr, Padded("Caf_"),
       Padded("Caf_"), 18, nullptr, {}},
      {"outside Mac OS Roman", "", 0, "DVD-RAM", {{"disk3s1", "\xE6\x97\xA5 1", true}}, nullptr, Padded("___ 1"),
       Padded("___ 1"), 18, nullptr, {}},
      {"question mark", "", 0, "CD-RW", {{"disk3s1", "What?", true}}, nullptr, Padded("What_"), Padded("What_"),
       10, nullptr, {}},
      {"asterisk, unknown medium", "", 0, "BD-ROM", {{"disk3s1", "a*b", true}}, nullptr, Padded("a_b"),
       Padded("a_b"), 0, nullptr, {}},
      {"display name for the primary tag", "", 0, "DVD-ROM", {{"disk3s1", "Backup", true}},
       "Backup 2\x01" "00A0B0C0D0E0F0A100060000", Padded("Backup 2"), Padded("Backup"), 16, nullptr, {}},
      {"older product's tag", sh9Name + "##0A", 0, "DVD-R", {{"disk3s1", "VOL", true}}, nullptr, Padded("VOL"),
       Padded("VOL"), 17, "Archive 1999", {}},
      {"not the older product's tag", sh9Name + "##0G", 0, "DVD-R", {{"disk3s1", "VOL", true}}, nullptr,
       Padded("VOL"), Padded("VOL"), 17, nullptr, {}},
      {"no identified device: the first device", "", 0, "CD-R", {{"disk3", "Raw", false}, {"disk3s1", "Other", false}},
       nullptr, Padded("Raw"), Padded("Raw"), 9, nullptr, {}},
      {"no media type", "", 4, nullptr, {{"disk3s1", "Plain", true}}, nullptr, Padded("Plain"), Padded("Plain"), 0,
       nullptr,
       {"ComputeDiscType: media type field is NULL.\n", "ComputePrimaryVolTag: unable to compute the disc type.\n"}},
  };
  std::map<int, simhost::DiscSpec> discs;
  for (size_t i = 0; i < std::size(cases); ++i) {
    simhost::DiscSpec disc = discwarden::test::Disc("DVD-ROM", {"any"});
    disc.primaryTag = cases[i].presetPrimaryTag;
    disc.alternateSequence = cases[i].presetAlternateSequence;
    discs[static_cast<int>(i)] = disc;
  }
  ChangerData* changerDataP = AddChanger(k_guid, static_cast<int>(std::size(cases)), discs);
  ASSERT_NE(changerDataP, nullptr);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    UInt16 storageElem = static_cast<UInt16>(i);
    MountPtr discP = MakeDisc(changerDataP, storageElem, c.devices, c.mediaType);
    if (c.mountPointName) discP->m_firstDeviceP->m_deviceMountPointNameP = strdup(c.mountPointName);
    platform::log::Capture capture;
    ASSERT_TRUE(HandleMediaVolTags(discP.get())) << c.what;
    EXPECT_EQ(capture.Lines(), c.log) << c.what;
    EXPECT_STREQ(discP->m_primaryVolTagP, c.primaryTag.c_str()) << c.what;
    EXPECT_STREQ(discP->m_alternateVolTagP, c.alternateTag.c_str()) << c.what;
    if (c.SH9Name) {
      EXPECT_STREQ(discP->m_SH9PrimaryVolTagP, c.SH9Name) << c.what;
    } else {
      EXPECT_EQ(discP->m_SH9PrimaryVolTagP, nullptr) << c.what;
    }
    CFRef<CFDictionaryRef> entryRef = DriverEntry(changerDataP, storageElem);
    EXPECT_EQ(StringValue(entryRef.get(), "Primary Volume Tag"), c.primaryTag) << c.what;
    EXPECT_EQ(StringValue(entryRef.get(), "Alternate Volume Tag"), c.alternateTag) << c.what;
    EXPECT_EQ(NumberValue(entryRef.get(), "Primary Volume Sequence"), c.primarySequence) << c.what;
    EXPECT_EQ(NumberValue(entryRef.get(), "Alternate Volume Sequence"), c.presetAlternateSequence)
        << c.what << ": the changer's own value goes back unchanged";
  }
}

TEST_F(VolTagsOnChanger, RefusedAndFailedWrites) {
  ChangerData* changerDataP = AddChanger(k_guid, 2, {{0, discwarden::test::Disc("DVD-R", {"Photos"})}});
  ASSERT_NE(changerDataP, nullptr);
  MountPtr discP = MakeDisc(changerDataP, 0, {{"disk3s1", "Photos", true}}, "DVD-R");
  std::string error;
  ASSERT_TRUE(Driver(k_guid).SetKnob(std::nullopt, "refuse-requests", CFSTR("Set Storage Element Volume Tags"), error))
      << error;
  platform::log::Capture capture;
  EXPECT_FALSE(HandleMediaVolTags(discP.get()));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "SetVolTagsOnChanger: attempt to set volume tags failed (err = E00002BC).\n",
                                 "HandleMediaVolTags: unable to set new volume tags.\n"}));
  EXPECT_EQ(StringValue(DriverEntry(changerDataP, 0).get(), "Primary Volume Tag"), "");

  // A slot the changer does not report.
  MountPtr strayP = MakeDisc(changerDataP, 9, {{"disk4s1", "Stray", true}}, "DVD-R");
  capture.Clear();
  EXPECT_FALSE(HandleMediaVolTags(strayP.get()));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "ComputeVolTags: unable to get volume tag info array element 9.\n",
                                 "HandleMediaVolTags: unable to compute volume tags.\n"}));
  // A disc with no device at all.
  MountPtr emptyP = MakeDisc(changerDataP, 1, {}, "DVD-R");
  capture.Clear();
  EXPECT_FALSE(ComputeVolTags(emptyP.get()));
  EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                 "ComputePrimaryVolTag: unable to find the first identified device.\n",
                                 "ComputeVolTags: unable to compute the primary volume tag.\n"}));
}

}  // namespace
