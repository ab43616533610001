// A virtual changer as a property list describes it: GUID, slots, drives, the disc in each slot.
// The keys are listed in simhost/README.md.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Knobs.h"
#include "platform/CoreFoundation.h"

namespace simhost {

struct PartitionSpec {
  int slice = 0;            // 0: the whole disc carries the file system
  std::string fileSystem;   // "hfs", "cd9660", "udf", "msdos"; "" for none
  std::string volumeName;
  bool writable = false;
  std::string content;      // host directory shown when the partition is mounted ("" for none)
};

struct DiscSpec {
  std::string mediaType = "DVD-ROM";
  bool blank = false;       // nothing written yet: one whole medium without a file system
  bool unreadable = false;  // goes into a drive but shows no medium
  bool writable = false;    // the whole medium
  std::vector<PartitionSpec> partitions;
  std::string primaryTag;
  std::string alternateTag;
  int16_t primarySequence = 0;
  int16_t alternateSequence = 0;
  KnobSet knobs;
};

struct DriveSpec {
  int32_t dvdFeatures = 0;
};

struct ChangerSpec {
  uint64_t guid = 0;
  int storageElements = 0;
  std::vector<DriveSpec> drives;
  std::map<int, DiscSpec> discs;  // by storage element
  KnobSet knobs;
};

inline constexpr int kMaxStorageElements = 5000;
inline constexpr int kMaxDrives = 32;

// `baseDir` resolves relative "Content" directories. On failure o_error says what is wrong and where.
[[nodiscard]] bool ParseChangerDescription(CFDictionaryRef description, const std::string& baseDir, ChangerSpec& o_spec,
                             std::string& o_error);
[[nodiscard]] bool ParseDiscDescription(CFDictionaryRef description, const std::string& baseDir, DiscSpec& o_disc,
                          std::string& o_error);
// Reads an XML or binary property-list file and parses it.
[[nodiscard]] bool LoadChangerDescription(const std::string& hostPath, ChangerSpec& o_spec, std::string& o_error);
// "0123ABCD" or "0x0123abcd": at most 16 hexadecimal digits.
[[nodiscard]] bool ParseGUID(const std::string& text, uint64_t& o_guid);
std::string FormatGUID(uint64_t guid);  // "%016llX"

// Whether a blank medium of this type can be written when the description does not say.
[[nodiscard]] bool IsWritableMediaType(const std::string& mediaType);

}  // namespace simhost
