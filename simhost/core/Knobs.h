// Fault knobs: named settings that make a changer (or one of its slots) or the host misbehave in
// one chosen way, settable from the changer's description and at run time.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "platform/CoreFoundation.h"

namespace simhost {

enum class KnobType { boolean, number, names, choice };
enum class KnobScope { host, changer, changerOrSlot };

struct KnobInfo {
  const char* name;
  KnobType type;
  KnobScope scope;
  const char* choices;  // "a|b" for KnobType::choice, the first is the default
  const char* help;
};

const std::vector<KnobInfo>& AllKnobs();
const KnobInfo* FindKnob(const std::string& name);

// Checks `value` against the knob's type and returns it in canonical form (booleans as
// CFBoolean, numbers as CFNumber, names as an array of strings, choices as a string). Strings
// are parsed, so the command line can pass "true", "20", "GUID,Storage Element Address".
// An empty result means "back to the default".
[[nodiscard]] bool NormaliseKnob(const KnobInfo& knob, CFTypeRef value, CFRef<CFTypeRef>& o_value, std::string& o_error);

// Values set at one level (the host, a changer, a slot).
class KnobSet {
 public:
  void Set(const std::string& name, CFRef<CFTypeRef> value);  // null value clears
  [[nodiscard]] bool Has(const std::string& name) const { return m_values.count(name) != 0; }
  CFTypeRef Raw(const std::string& name) const;
  [[nodiscard]] bool Bool(const std::string& name) const;
  double Number(const std::string& name, double fallback) const;
  std::vector<std::string> Names(const std::string& name) const;
  [[nodiscard]] bool HasName(const std::string& knob, const std::string& entry) const;
  std::string Choice(const std::string& name) const;
  // All values, for display.
  CFRef<CFDictionaryRef> Copy() const;
  [[nodiscard]] bool Empty() const { return m_values.empty(); }

 private:
  std::map<std::string, CFRef<CFTypeRef>> m_values;
};

}  // namespace simhost
