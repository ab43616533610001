#include <gtest/gtest.h>

#include "CFUtil.h"
#include "ChangerDescription.h"
#include "platform/PlistCodec.h"

namespace simhost {
namespace {

CFRef<CFDictionaryRef> FromXML(const std::string& body) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body + "</dict></plist>";
  std::string error;
  CFRef<CFPropertyListRef> p(platform::plist::Decode(xml.data(), xml.size(), kCFPropertyListImmutable, &error));
  EXPECT_TRUE(p) << error;
  return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(p.release()));
}

const std::string kHead = "<key>GUID</key><string>1F</string><key>Storage Elements</key><integer>10</integer>"
                          "<key>Drives</key><array><dict><key>DVD Features</key><integer>8</integer></dict></array>";

TEST(ParseChangerDescription, RejectsMalformedDescriptionsWithAClearError) {
  struct Case {
    const char* what;
    std::string body;
    const char* error;
  } cases[] = {
      {"no GUID", "<key>Storage Elements</key><integer>4</integer>", "\"GUID\" is missing"},
      {"GUID not hex", "<key>GUID</key><string>xyz</string>", "\"GUID\" must be up to 16 hexadecimal digits"},
      {"no slots", "<key>GUID</key><string>1</string>", "\"Storage Elements\" is missing"},
      {"zero slots", "<key>GUID</key><string>1</string><key>Storage Elements</key><integer>0</integer>",
       "\"Storage Elements\" must be an integer from 1 to 5000"},
      {"no drives", "<key>GUID</key><string>1</string><key>Storage Elements</key><integer>4</integer>",
       "\"Drives\" is missing"},
      {"drive features not a number",
       "<key>GUID</key><string>1</string><key>Storage Elements</key><integer>4</integer>"
       "<key>Drives</key><array><dict><key>DVD Features</key><string>8</string></dict></array>",
       "drive 0: \"DVD Features\" must be an integer from -2147483648 to 2147483647"},
      {"disc outside the changer",
       kHead + "<key>Discs</key><array><dict><key>Storage Element</key><integer>10</integer></dict></array>",
       "disc 0: \"Storage Element\" must be an integer from 0 to 9"},
      {"two discs in one slot",
       kHead + "<key>Discs</key><array><dict><key>Storage Element</key><integer>2</integer></dict>"
               "<dict><key>Storage Element</key><integer>2</integer></dict></array>",
       "disc 1: storage element 2 already holds a disc"},
      {"unknown file system",
       kHead + "<key>Discs</key><array><dict><key>Storage Element</key><integer>2</integer><key>Partitions</key>"
               "<array><dict><key>File System</key><string>ntfs</string></dict></array></dict></array>",
       "disc 0: partition 0: unknown \"File System\" \"ntfs\" (hfs, cd9660, udf, msdos)"},
      {"whole and sliced",
       kHead + "<key>Discs</key><array><dict><key>Storage Element</key><integer>2</integer><key>Partitions</key>"
               "<array><dict/><dict><key>Slice</key><integer>1</integer></dict></array></dict></array>",
       "disc 0: a disc has either one whole-disc file system (slice 0) or numbered slices"},
      {"unknown knob", kHead + "<key>Knobs</key><dict><key>explode</key><true/></dict>", "unknown knob \"explode\""},
      {"changer knob on a slot",
       kHead + "<key>Discs</key><array><dict><key>Storage Element</key><integer>2</integer><key>Knobs</key>"
               "<dict><key>refuse-reset</key><true/></dict></dict></array>",
       "disc 0: knob \"refuse-reset\" applies to a whole changer, not to a slot"},
      {"knob of the wrong type", kHead + "<key>Knobs</key><dict><key>hold-release-time</key><integer>3</integer></dict>",
       "knob \"hold-release-time\" takes true or false"},
  };
  for (const Case& c : cases) {
    ChangerSpec spec;
    std::string error;
    EXPECT_FALSE(ParseChangerDescription(FromXML(c.body).get(), "/base", spec, error)) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

TEST(ParseChangerDescription, ReadsDiscsPartitionsAndKnobs) {
  ChangerSpec spec;
  std::string error;
  std::string body = kHead +
                     "<key>Robot Delay</key><real>2.5</real>"
                     "<key>Discs</key><array><dict><key>Storage Element</key><integer>4</integer>"
                     "<key>Media Type</key><string>CD-R</string><key>Alternate Volume Sequence</key><integer>7</integer>"
                     "<key>Partitions</key><array><dict><key>Slice</key><integer>2</integer><key>File System</key>"
                     "<string>cd9660</string><key>Volume Name</key><string>Music</string><key>Content</key>"
                     "<string>content/music</string></dict></array>"
                     "<key>Knobs</key><dict><key>omit-properties</key><string>GUID, Last Release Time</string></dict>"
                     "</dict></array>";
  ASSERT_TRUE(ParseChangerDescription(FromXML(body).get(), "/base", spec, error)) << error;
  EXPECT_EQ(spec.guid, 0x1Fu);
  EXPECT_EQ(spec.storageElements, 10);
  ASSERT_EQ(spec.drives.size(), 1u);
  EXPECT_EQ(spec.drives[0].dvdFeatures, 8);
  EXPECT_EQ(spec.knobs.Number("robot-delay", 0), 2.5);
  ASSERT_EQ(spec.discs.count(4), 1u);
  const DiscSpec& d = spec.discs.at(4);
  EXPECT_EQ(d.mediaType, "CD-R");
  EXPECT_EQ(d.alternateSequence, 7);
  ASSERT_EQ(d.partitions.size(), 1u);
  EXPECT_EQ(d.partitions[0].slice, 2);
  EXPECT_EQ(d.partitions[0].content, "/base/content/music");
  EXPECT_EQ(d.knobs.Names("omit-properties"), (std::vector<std::string>{"GUID", "Last Release Time"}));
}

}  // namespace
}  // namespace simhost
