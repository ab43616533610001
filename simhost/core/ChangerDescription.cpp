#include "ChangerDescription.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "CFUtil.h"
#include "platform/PlistCodec.h"

namespace simhost {
namespace {

bool Fail(std::string& o_error, const std::string& where, const std::string& what) {
  o_error = where.empty() ? what : where + ": " + what;
  return false;
}

std::string Quoted(const std::string& key) { return "\"" + key + "\""; }

// Optional typed keys: absent is fine, another type is an error.
bool OptString(CFDictionaryRef d, const std::string& key, std::string& io_value, const std::string& where,
               std::string& o_error) {
  CFTypeRef v = cf::Get(d, key);
  if (!v) return true;
  auto s = cf::ToString(v);
  if (!s) return Fail(o_error, where, Quoted(key) + " must be a string");
  io_value = *s;
  return true;
}

bool OptBool(CFDictionaryRef d, const std::string& key, bool& io_value, const std::string& where,
             std::string& o_error) {
  CFTypeRef v = cf::Get(d, key);
  if (!v) return true;
  if (!cf::IsBool(v)) return Fail(o_error, where, Quoted(key) + " must be true or false");
  io_value = CFBooleanGetValue(static_cast<CFBooleanRef>(v));
  return true;
}

bool OptInt(CFDictionaryRef d, const std::string& key, int64_t low, int64_t high, int64_t& io_value,
            const std::string& where, std::string& o_error) {
  CFTypeRef v = cf::Get(d, key);
  if (!v) return true;
  auto n = cf::ToInt(v);
  if (!n || *n < low || *n > high)
    return Fail(o_error, where,
                Quoted(key) + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
  io_value = *n;
  return true;
}

bool ParseKnobs(CFDictionaryRef d, bool forSlot, KnobSet& o_knobs, const std::string& where, std::string& o_error) {
  CFTypeRef v = cf::Get(d, "Knobs");
  if (!v) return true;
  if (!cf::IsDict(v)) return Fail(o_error, where, "\"Knobs\" must be a dictionary");
  auto knobs = static_cast<CFDictionaryRef>(v);
  for (const std::string& name : cf::Keys(knobs)) {
    const KnobInfo* info = FindKnob(name);
    if (!info || info->scope == KnobScope::host) return Fail(o_error, where, "unknown knob " + Quoted(name));
    if (forSlot && info->scope != KnobScope::changerOrSlot)
      return Fail(o_error, where, "knob " + Quoted(name) + " applies to a whole changer, not to a slot");
    CFRef<CFTypeRef> value;
    std::string error;
    if (!NormaliseKnob(*info, cf::Get(knobs, name), value, error)) return Fail(o_error, where, error);
    o_knobs.Set(name, std::move(value));
  }
  return true;
}

std::string Resolve(const std::string& baseDir, const std::string& path) {
  if (path.empty() || path[0] == '/' || baseDir.empty()) return path;
  return baseDir + "/" + path;
}

bool ParsePartition(CFDictionaryRef d, const std::string& baseDir, PartitionSpec& o_part, const std::string& where,
                    std::string& o_error) {
  o_part = PartitionSpec{};
  int64_t slice = 0;
  if (!OptInt(d, "Slice", 0, 99, slice, where, o_error)) return false;
  o_part.slice = static_cast<int>(slice);
  if (!OptString(d, "File System", o_part.fileSystem, where, o_error)) return false;
  if (!OptString(d, "Volume Name", o_part.volumeName, where, o_error)) return false;
  if (!OptBool(d, "Writable", o_part.writable, where, o_error)) return false;
  std::string content;
  if (!OptString(d, "Content", content, where, o_error)) return false;
  o_part.content = Resolve(baseDir, content);
  static const std::set<std::string> known = {"", "hfs", "cd9660", "udf", "msdos"};
  if (!known.count(o_part.fileSystem))
    return Fail(o_error, where, "unknown \"File System\" \"" + o_part.fileSystem + "\" (hfs, cd9660, udf, msdos)");
  if (!o_part.fileSystem.empty() && o_part.volumeName.empty())
    return Fail(o_error, where, "a partition with a file system needs a \"Volume Name\"");
  return true;
}

}  // namespace

bool IsWritableMediaType(const std::string& t) {
  return t == "DVD-R" || t == "DVD-RAM" || t == "DVD+RW" || t == "DVD-RW" || t == "CD-R" || t == "CD-RW" ||
         t == "DVD+R";
}

bool ParseGUID(const std::string& text, uint64_t& o_guid) {
  o_guid = 0;
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
  if (digits.empty() || digits.size() > 16) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v << 4 | static_cast<uint64_t>(d);
  }
  o_guid = v;
  return true;
}

std::string FormatGUID(uint64_t guid) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016" PRIX64, guid);
  return buf;
}

bool ParseDiscDescription(CFDictionaryRef d, const std::string& baseDir, DiscSpec& o_disc, std::string& o_error) {
  o_disc = DiscSpec{};
  const std::string where;
  if (!OptString(d, "Media Type", o_disc.mediaType, where, o_error)) return false;
  if (o_disc.mediaType.empty()) return Fail(o_error, where, "\"Media Type\" must not be empty");
  if (!OptBool(d, "Blank", o_disc.blank, where, o_error)) return false;
  if (!OptBool(d, "Unreadable", o_disc.unreadable, where, o_error)) return false;
  o_disc.writable = o_disc.blank && IsWritableMediaType(o_disc.mediaType);
  if (!OptBool(d, "Writable", o_disc.writable, where, o_error)) return false;
  if (!OptString(d, "Primary Volume Tag", o_disc.primaryTag, where, o_error)) return false;
  if (!OptString(d, "Alternate Volume Tag", o_disc.alternateTag, where, o_error)) return false;
  int64_t seq = 0;
  if (!OptInt(d, "Primary Volume Sequence", INT16_MIN, INT16_MAX, seq, where, o_error)) return false;
  o_disc.primarySequence = static_cast<int16_t>(seq);
  seq = 1;  // what the robot records for a disc it has not been told anything about
  if (!OptInt(d, "Alternate Volume Sequence", INT16_MIN, INT16_MAX, seq, where, o_error)) return false;
  o_disc.alternateSequence = static_cast<int16_t>(seq);
  CFTypeRef parts = cf::Get(d, "Partitions");
  if (parts && !cf::IsArray(parts)) return Fail(o_error, where, "\"Partitions\" must be an array");
  std::set<int> slices;
  if (parts) {
    auto array = static_cast<CFArrayRef>(parts);
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
      std::string pwhere = "partition " + std::to_string(i);
      CFTypeRef p = CFArrayGetValueAtIndex(array, i);
      if (!cf::IsDict(p)) return Fail(o_error, pwhere, "must be a dictionary");
      PartitionSpec part;
      if (!ParsePartition(static_cast<CFDictionaryRef>(p), baseDir, part, pwhere, o_error)) return false;
      if (!slices.insert(part.slice).second)
        return Fail(o_error, pwhere, "slice " + std::to_string(part.slice) + " appears twice");
      o_disc.partitions.push_back(std::move(part));
    }
  }
  if (slices.count(0) && slices.size() > 1)
    return Fail(o_error, where, "a disc has either one whole-disc file system (slice 0) or numbered slices");
  if (o_disc.blank && !o_disc.partitions.empty())
    return Fail(o_error, where, "a blank disc has no partitions");
  return ParseKnobs(d, true, o_disc.knobs, where, o_error);
}

bool ParseChangerDescription(CFDictionaryRef d, const std::string& baseDir, ChangerSpec& o_spec,
                             std::string& o_error) {
  o_spec = ChangerSpec{};
  o_error.clear();
  if (!d || !cf::IsDict(d)) return Fail(o_error, "", "a changer description is a dictionary");
  // A description kept in a root remembers where its content directories are.
  std::string base = baseDir;
  if (!OptString(d, "Base Directory", base, "", o_error)) return false;
  CFTypeRef guid = cf::Get(d, "GUID");
  if (!guid) return Fail(o_error, "", "\"GUID\" is missing");
  if (auto text = cf::ToString(guid)) {
    if (!ParseGUID(*text, o_spec.guid)) return Fail(o_error, "", "\"GUID\" must be up to 16 hexadecimal digits");
  } else if (auto n = cf::ToInt(guid)) {
    o_spec.guid = static_cast<uint64_t>(*n);
  } else {
    return Fail(o_error, "", "\"GUID\" must be a string of hexadecimal digits or an integer");
  }
  if (!cf::Get(d, "Storage Elements")) return Fail(o_error, "", "\"Storage Elements\" is missing");
  int64_t count = 0;
  if (!OptInt(d, "Storage Elements", 1, kMaxStorageElements, count, "", o_error)) return false;
  o_spec.storageElements = static_cast<int>(count);

  CFTypeRef drives = cf::Get(d, "Drives");
  if (!drives) return Fail(o_error, "", "\"Drives\" is missing");
  if (!cf::IsArray(drives)) return Fail(o_error, "", "\"Drives\" must be an array");
  auto driveArray = static_cast<CFArrayRef>(drives);
  if (CFArrayGetCount(driveArray) > kMaxDrives)
    return Fail(o_error, "", "at most " + std::to_string(kMaxDrives) + " drives");
  for (CFIndex i = 0; i < CFArrayGetCount(driveArray); ++i) {
    std::string where = "drive " + std::to_string(i);
    CFTypeRef v = CFArrayGetValueAtIndex(driveArray, i);
    if (!cf::IsDict(v)) return Fail(o_error, where, "must be a dictionary");
    int64_t features = 0;
    if (!OptInt(static_cast<CFDictionaryRef>(v), "DVD Features", INT32_MIN, INT32_MAX, features, where, o_error))
      return false;
    o_spec.drives.push_back(DriveSpec{static_cast<int32_t>(features)});
  }

  KnobSet& knobs = o_spec.knobs;
  for (const char* key : {"Robot Delay", "Settle Delay"}) {
    CFTypeRef v = cf::Get(d, key);
    if (!v) continue;
    double seconds = -1;
    if (cf::IsNumber(v)) CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &seconds);
    if (!(seconds >= 0 && seconds <= 3600))
      return Fail(o_error, "", Quoted(key) + " must be a number of seconds from 0 to 3600");
    knobs.Set(std::string(key) == "Robot Delay" ? "robot-delay" : "settle-delay",
              CFRef<CFTypeRef>(cf::Double(seconds).release()));
  }
  if (!ParseKnobs(d, false, knobs, "", o_error)) return false;

  CFTypeRef discs = cf::Get(d, "Discs");
  if (discs && !cf::IsArray(discs)) return Fail(o_error, "", "\"Discs\" must be an array");
  if (discs) {
    auto array = static_cast<CFArrayRef>(discs);
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
      std::string where = "disc " + std::to_string(i);
      CFTypeRef v = CFArrayGetValueAtIndex(array, i);
      if (!cf::IsDict(v)) return Fail(o_error, where, "must be a dictionary");
      auto disc = static_cast<CFDictionaryRef>(v);
      if (!cf::Get(disc, "Storage Element")) return Fail(o_error, where, "\"Storage Element\" is missing");
      int64_t se = 0;
      if (!OptInt(disc, "Storage Element", 0, o_spec.storageElements - 1, se, where, o_error)) return false;
      if (o_spec.discs.count(static_cast<int>(se)))
        return Fail(o_error, where, "storage element " + std::to_string(se) + " already holds a disc");
      DiscSpec spec;
      std::string error;
      if (!ParseDiscDescription(disc, base, spec, error)) return Fail(o_error, where, error);
      o_spec.discs.emplace(static_cast<int>(se), std::move(spec));
    }
  }
  return true;
}

bool LoadChangerDescription(const std::string& hostPath, ChangerSpec& o_spec, std::string& o_error) {
  o_spec = ChangerSpec{};
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return Fail(o_error, hostPath, "cannot be read");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string data = bytes.str();
  std::string error;
  CFRef<CFPropertyListRef> plist(
      platform::plist::Decode(data.data(), data.size(), kCFPropertyListImmutable, &error));
  if (!plist) return Fail(o_error, hostPath, "not a property list (" + error + ")");
  if (!cf::IsDict(plist.get())) return Fail(o_error, hostPath, "a changer description is a dictionary");
  std::error_code ec;
  std::string baseDir = std::filesystem::absolute(hostPath, ec).parent_path().string();
  if (!ParseChangerDescription(static_cast<CFDictionaryRef>(plist.get()), baseDir, o_spec, error))
    return Fail(o_error, hostPath, error);
  return true;
}

}  // namespace simhost
