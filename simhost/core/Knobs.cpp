#include "Knobs.h"

#include <cmath>
#include <cstdlib>

#include "CFUtil.h"

namespace simhost {

const std::vector<KnobInfo>& AllKnobs() {
  using enum KnobType;
  using enum KnobScope;
  static const std::vector<KnobInfo> knobs = {
      {"alerts-fail", boolean, host, "", "user notifications cannot be created"},
      {"master-port-fails", boolean, host, "", "IOMasterPort returns an error"},
      {"iterators-invalid", boolean, host, "", "every iterator reads as invalid"},
      {"registry-iterator-fails", boolean, host, "", "IORegistryEntryCreateIterator fails"},

      {"robot-delay", number, changer, "", "seconds the robot takes for one move"},
      {"settle-delay", number, changer, "", "seconds from a disc's publication to its \"Last Release Time\""},
      {"drive-delay", number, changer, "", "drive services appear one at a time, this many seconds apart"},
      {"media-object-delay", number, changer, "", "extra seconds before the changer's media object appears"},
      {"duplicate-block-switch", boolean, changer, "", "a second block switch with the same GUID"},
      {"duplicate-media-object", boolean, changer, "", "\"Instantiate Media Object\" publishes two"},
      {"refuse-reset", boolean, changer, "", "the mount request 0xFFFF is refused"},
      {"release-notification-fails", boolean, changer, "", "releasing an interest notification fails"},
      {"unload-in-drive", choice, changer, "eject-first|refuse", "unload of a disc that is in a drive"},

      {"omit-properties", names, changerOrSlot, "", "properties left out of the services"},
      {"mistype-properties", names, changerOrSlot, "", "properties published with a value of another type (a string; a number for a string)"},
      {"refuse-requests", names, changerOrSlot, "", "request properties answered with an error"},
      {"hold-release-time", boolean, changerOrSlot, "", "\"Last Release Time\" stays 0"},
      {"never-online", boolean, changerOrSlot, "", "a mount is accepted but the disc never comes online"},
      {"stuck-in-drive", boolean, changerOrSlot, "", "an ejected disc never leaves its drive"},
      {"duplicate-disc-services", boolean, changerOrSlot, "", "two disc services for one storage element"},
      {"omit-disc-services", boolean, changerOrSlot, "", "the disc's media appear without a disc service"},
      {"break-parity", boolean, changerOrSlot, "", "one more IOMediaBSDClient than media objects"},
  };
  return knobs;
}

const KnobInfo* FindKnob(const std::string& name) {
  for (const KnobInfo& k : AllKnobs())
    if (name == k.name) return &k;
  return nullptr;
}

namespace {

std::vector<std::string> SplitNames(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string part = text.substr(start, comma - start);
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) out.push_back(part);
    start = comma + 1;
  }
  return out;
}

}  // namespace

bool NormaliseKnob(const KnobInfo& knob, CFTypeRef value, CFRef<CFTypeRef>& o_value, std::string& o_error) {
  o_value.reset();
  o_error.clear();
  if (!value) return true;
  auto text = cf::ToString(value);
  if (text && text->empty()) return true;
  std::string name = knob.name;
  switch (knob.type) {
    case KnobType::boolean: {
      if (cf::IsBool(value)) {
        o_value = CFRef<CFTypeRef>::Retain(value);
        return true;
      }
      if (text && (*text == "true" || *text == "yes" || *text == "1" || *text == "on")) {
        o_value = CFRef<CFTypeRef>::Retain(kCFBooleanTrue);
        return true;
      }
      if (text && (*text == "false" || *text == "no" || *text == "0" || *text == "off")) {
        o_value = CFRef<CFTypeRef>::Retain(kCFBooleanFalse);
        return true;
      }
      o_error = "knob \"" + name + "\" takes true or false";
      return false;
    }
    case KnobType::number: {
      double d = 0;
      bool ok = false;
      if (cf::IsNumber(value)) {
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberFloat64Type, &d);
        ok = true;
      } else if (text) {
        char* end = nullptr;
        d = std::strtod(text->c_str(), &end);
        ok = end && *end == '\0';
      }
      if (!ok || !std::isfinite(d) || d < 0) {
        o_error = "knob \"" + name + "\" takes a number of seconds, 0 or more";
        return false;
      }
      o_value = CFRef<CFTypeRef>(cf::Double(d).release());
      return true;
    }
    case KnobType::names: {
      std::vector<std::string> names;
      if (text) {
        names = SplitNames(*text);
      } else if (cf::IsArray(value)) {
        auto array = static_cast<CFArrayRef>(value);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
          auto s = cf::ToString(CFArrayGetValueAtIndex(array, i));
          if (!s) {
            o_error = "knob \"" + name + "\" takes a list of property names";
            return false;
          }
          names.push_back(*s);
        }
      } else {
        o_error = "knob \"" + name + "\" takes a list of property names";
        return false;
      }
      auto array = cf::Array();
      for (const auto& n : names) cf::Append(array.get(), cf::Str(n).get());
      o_value = CFRef<CFTypeRef>(array.release());
      return true;
    }
    case KnobType::choice: {
      std::vector<std::string> choices;
      std::string all = knob.choices;
      size_t start = 0;
      while (start <= all.size()) {
        size_t bar = all.find('|', start);
        if (bar == std::string::npos) bar = all.size();
        choices.push_back(all.substr(start, bar - start));
        start = bar + 1;
      }
      for (const auto& c : choices)
        if (text && *text == c) {
          o_value = CFRef<CFTypeRef>::Retain(value);
          return true;
        }
      o_error = "knob \"" + name + "\" takes one of: " + all;
      return false;
    }
  }
  return false;
}

void KnobSet::Set(const std::string& name, CFRef<CFTypeRef> value) {
  if (value)
    m_values[name] = std::move(value);
  else
    m_values.erase(name);
}

CFTypeRef KnobSet::Raw(const std::string& name) const {
  auto it = m_values.find(name);
  return it == m_values.end() ? nullptr : it->second.get();
}

bool KnobSet::Bool(const std::string& name) const {
  CFTypeRef v = Raw(name);
  return cf::IsBool(v) && CFBooleanGetValue(static_cast<CFBooleanRef>(v));
}

double KnobSet::Number(const std::string& name, double fallback) const {
  CFTypeRef v = Raw(name);
  double d = fallback;
  if (cf::IsNumber(v)) CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &d);
  return d;
}

std::vector<std::string> KnobSet::Names(const std::string& name) const {
  std::vector<std::string> out;
  CFTypeRef v = Raw(name);
  if (!cf::IsArray(v)) return out;
  auto array = static_cast<CFArrayRef>(v);
  for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
    if (auto s = cf::ToString(CFArrayGetValueAtIndex(array, i))) out.push_back(*s);
  return out;
}

bool KnobSet::HasName(const std::string& knob, const std::string& entry) const {
  for (const auto& n : Names(knob))
    if (n == entry) return true;
  return false;
}

std::string KnobSet::Choice(const std::string& name) const {
  if (auto s = cf::ToString(Raw(name))) return *s;
  const KnobInfo* info = FindKnob(name);
  std::string all = info ? info->choices : "";
  return all.substr(0, all.find('|'));
}

CFRef<CFDictionaryRef> KnobSet::Copy() const {
  auto dict = cf::Dict();
  for (const auto& [name, value] : m_values) cf::Set(dict.get(), name, value.get());
  return CFRef<CFDictionaryRef>(dict.release());
}

}  // namespace simhost
