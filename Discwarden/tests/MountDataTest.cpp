#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MountData.h"
#include "platform/Log.h"

namespace {

std::string DeviceFileName(const std::string& i_display, const std::string& i_id) {
  return i_display + '\x01' + i_id;
}

TEST(DeviceFileNames, ParseAndValidate) {
  struct Case {
    const char* what;
    std::string name;
    bool valid;
    bool parsed;
    UInt64 guid;
    UInt16 storageElem;
    UInt16 device;
    const char* log;
  } cases[] = {
      {"24 digits", DeviceFileName("Photos", "0001020304050607000A0003"), true, true, 0x0001020304050607ULL, 10, 3,
       nullptr},
      {"characters after the 24th are ignored", DeviceFileName("A", "00A0B0C0D0E0F001000C0002xyz"), true, true,
       0x00A0B0C0D0E0F001ULL, 12, 2, nullptr},
      {"several separators: the last one counts",
       DeviceFileName(DeviceFileName("Old", "FFFFFFFFFFFFFFFFFFFFFFFF"), "0000000000000001FFFE0001"), true, true, 1,
       0xFFFE, 1, nullptr},
      {"a field stops at its first non-digit", DeviceFileName("A", "00000000000000FG000Z0x0A"), true, true, 0xF, 0,
       0, nullptr},
      {"23 characters: valid but too short to parse", DeviceFileName("Photos", "0001020304050607000A000"), true,
       false, 0, 0, 0, "GetDeviceInfoFromName: file name string is not long enough.\n"},
      {"no separator", "Old discs", false, false, 0, 0, 0,
       "GetDeviceInfoFromName: Old discs does not appear to be a valid device file name string.\n"},
      {"22 characters", DeviceFileName("A", "0001020304050607000A00"), false, false, 0, 0, 0,
       "GetDeviceInfoFromName: file name string is not long enough.\n"},
  };
  for (const auto& c : cases) {
    platform::log::Capture capture;
    EXPECT_EQ(ValidateDeviceFileName(c.name.c_str()), c.valid) << c.what;
    UInt64 guid = 99;
    UInt16 storageElem = 99, device = 99;
    EXPECT_EQ(GetDeviceInfoFromName(c.name.c_str(), &guid, &storageElem, &device), c.parsed) << c.what;
    EXPECT_EQ(guid, c.guid) << c.what;
    EXPECT_EQ(storageElem, c.storageElem) << c.what;
    EXPECT_EQ(device, c.device) << c.what;
    std::vector<std::string> expected;
    if (c.log) expected.push_back(c.log);
    EXPECT_EQ(capture.Lines(), expected) << c.what;
  }
}

}  // namespace
