// Property lists: libplist writes both formats and parses XML; binary is read here, straight from
// the bytes, because libplist's tree indexes arrays from the start for every element. What
// libplist does not do safely is bounded first: deep nesting overflows its recursive reader and
// destructor, and a binary file whose objects share children expands exponentially.
#include "platform/PlistCodec.h"

#include <plist/plist.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CFInternal.h"
#include "platform/CFRef.h"

CFNumberRef __CFNumberCreateUnsigned64(uint64_t v);

namespace platform::plist {
namespace {

// More objects than the system ever stores or sends; beyond it a file is taken as hostile.
constexpr uint64_t kMaxObjects = 1u << 20;
// Likewise for the bytes of strings and data once shared objects are expanded; no file or frame
// of the system is larger.
constexpr uint64_t kMaxLeafBytes = 64u << 20;

struct PlistFree {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(char* p) const { std::free(p); }
};
using MallocPtr = std::unique_ptr<char, MallocFree>;

void SetError(std::string* o_error, std::string text) {
  if (o_error) *o_error = std::move(text);
}

std::string TooDeepText() { return "property list nested deeper than " + std::to_string(kMaxDepth) + " levels"; }

// Fills a new dictionary in one pass: a key seen again replaces the earlier value in its place,
// as CFDictionarySetValue would, without searching every entry for each key.
class DictionaryFiller {
 public:
  explicit DictionaryFiller(__CFDictionary* dict) : m_dict(dict) {}
  // Takes over one reference to each of key and value.
  void Set(CFStringRef key, CFTypeRef value) {
    auto [it, added] = m_index.try_emplace(CFStringUTF8(key), m_dict->m_entries.size());
    if (added) {
      m_dict->m_entries.emplace_back(key, value);
      return;
    }
    CFRelease(key);
    CFRelease(std::exchange(m_dict->m_entries[it->second].second, value));
  }

 private:
  __CFDictionary* m_dict;
  std::unordered_map<std::string, size_t> m_index;
};

// ---------------------------------------------------------------- binary guard

uint64_t ReadBigEndian(const uint8_t* p, unsigned size) {
  uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) v = (v << 8) | p[i];
  return v;
}

// Walks the container structure of a binary property list before libplist sees it: every
// offset and reference in bounds, no cycles, nesting and the expanded object count bounded.
class BinaryGuard {
 public:
  BinaryGuard(const uint8_t* bytes, size_t n) : m_p(bytes), m_n(n) {}

  bool Check(std::string& o_error) {
    if (!ReadTrailer()) return Fail(o_error, "malformed binary property list");
    m_state.assign(m_numObjects, kNew);
    m_depth.assign(m_numObjects, 0);
    m_size.assign(m_numObjects, 0);
    std::string failure;
    if (!Walk(m_top, failure)) return Fail(o_error, failure);
    return true;
  }

 private:
  enum : uint8_t { kNew, kActive, kDone };
  struct Container {
    uint64_t object;
    size_t refs;       // offset of the first reference
    uint64_t count;    // references to follow (keys and values for a dictionary)
    bool isDict = false;
    uint64_t next = 0;
    uint32_t deepestChild = 0;
    uint64_t total = 0;
  };

  static bool Fail(std::string& o_error, std::string text) {
    o_error = std::move(text);
    return false;
  }

  bool ReadTrailer() {
    if (m_n < 8 + 1 + 32 || std::memcmp(m_p, "bplist00", 8) != 0) return false;
    const uint8_t* t = m_p + m_n - 32;
    m_offsetSize = t[6];
    m_refSize = t[7];
    m_numObjects = ReadBigEndian(t + 8, 8);
    m_top = ReadBigEndian(t + 16, 8);
    m_table = ReadBigEndian(t + 24, 8);
    m_end = m_n - 32;
    if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8) return false;
    if (m_numObjects == 0 || m_top >= m_numObjects || m_table < 9 || m_table >= m_end) return false;
    return m_numObjects <= (m_end - m_table) / m_offsetSize;
  }

  bool ObjectOffset(uint64_t object, size_t& o_offset) const {
    uint64_t off = ReadBigEndian(m_p + m_table + object * m_offsetSize, m_offsetSize);
    if (off < 8 || off >= m_table) return false;
    o_offset = static_cast<size_t>(off);
    return true;
  }

  // The count in an object's marker, or in the integer that follows it; o_start is where the
  // object's content begins.
  bool ReadCount(size_t offset, uint64_t& o_count, size_t& o_start) const {
    uint64_t count = m_p[offset] & 0x0F;
    size_t start = offset + 1;
    if (count == 0x0F) {
      if (start >= m_end || (m_p[start] >> 4) != 0x1 || (m_p[start] & 0x0F) > 3) return false;
      unsigned size = 1u << (m_p[start] & 0x0F);
      if (m_end - (start + 1) < size) return false;
      count = ReadBigEndian(m_p + start + 1, size);
      start += 1 + size;
    }
    o_count = count;
    o_start = start;
    return true;
  }

  // libplist aborts on a dictionary key with a NUL in it, so keys must be strings without one.
  bool IsUsableKey(uint64_t object) const {
    size_t offset, start;
    uint64_t count;
    if (!ObjectOffset(object, offset) || !ReadCount(offset, count, start)) return false;
    uint8_t type = m_p[offset] >> 4;
    if (type != 0x5 && type != 0x6) return false;
    unsigned unit = type == 0x5 ? 1 : 2;
    if (start > m_end || count > (m_end - start) / unit) return false;
    for (uint64_t i = 0; i < count; ++i)
      if (m_p[start + i * unit] == 0 && (unit == 1 || m_p[start + i * unit + 1] == 0)) return false;
    return true;
  }

  // For arrays, sets and dictionaries: where the references start and how many there are.
  bool ContainerLayout(size_t offset, bool& o_isContainer, size_t& o_refs, uint64_t& o_count) const {
    uint8_t type = m_p[offset] >> 4;
    o_isContainer = type == 0xA || type == 0xB || type == 0xC || type == 0xD;
    if (!o_isContainer) return true;
    uint64_t count;
    size_t refs;
    if (!ReadCount(offset, count, refs)) return false;
    if (type == 0xD) {
      if (count > std::numeric_limits<uint64_t>::max() / 2) return false;
      count *= 2;
    }
    if (refs > m_end || count > (m_end - refs) / m_refSize) return false;
    o_refs = refs;
    o_count = count;
    return true;
  }

  bool Push(std::vector<Container>& stack, uint64_t object, std::string& o_error) {
    size_t offset;
    bool isContainer;
    Container c{object, 0, 0};
    if (!ObjectOffset(object, offset) || !ContainerLayout(offset, isContainer, c.refs, c.count))
      return Fail(o_error, "malformed binary property list");
    if (!isContainer) {
      m_state[object] = kDone;
      m_depth[object] = 0;
      m_size[object] = 1;
      return true;
    }
    if (stack.size() >= static_cast<size_t>(kMaxDepth)) return Fail(o_error, TooDeepText());
    c.isDict = (m_p[offset] >> 4) == 0xD;
    m_state[object] = kActive;
    stack.push_back(c);
    return true;
  }

  bool Walk(uint64_t top, std::string& o_error) {
    std::vector<Container> stack;
    if (!Push(stack, top, o_error)) return false;
    while (!stack.empty()) {
      Container& c = stack.back();
      if (c.next < c.count) {
        uint64_t child = ReadBigEndian(m_p + c.refs + c.next * m_refSize, m_refSize);
        // A dictionary lists its keys first, then its values.
        bool isKey = c.isDict && c.next < c.count / 2;
        ++c.next;
        if (child >= m_numObjects || (isKey && !IsUsableKey(child)))
          return Fail(o_error, "malformed binary property list");
        if (m_state[child] == kActive) return Fail(o_error, "binary property list refers to itself");
        if (m_state[child] == kNew) {
          size_t before = stack.size();
          if (!Push(stack, child, o_error)) return false;
          if (stack.size() != before) continue;
        }
        Container& parent = stack.back();
        parent.deepestChild = std::max(parent.deepestChild, m_depth[child]);
        parent.total += m_size[child];
        if (parent.total > kMaxObjects) return Fail(o_error, "property list holds too many objects");
        continue;
      }
      uint64_t object = c.object;
      m_state[object] = kDone;
      m_depth[object] = c.deepestChild + 1;
      m_size[object] = c.total + 1;
      stack.pop_back();
      if (!stack.empty()) {
        Container& parent = stack.back();
        parent.deepestChild = std::max(parent.deepestChild, m_depth[object]);
        parent.total += m_size[object];
        if (parent.total > kMaxObjects) return Fail(o_error, "property list holds too many objects");
      }
    }
    return true;
  }

  // ---- conversion, once Check has passed: every object is read once per reference, which the
  // walk above bounded by kMaxObjects, and every container is filled front to back.
 public:
  CFTypeRef Convert(CFOptionFlags mutability, std::string& o_error) {
    m_mutableContainers = mutability != 0;
    return ConvertObject(m_top, o_error);
  }

 private:
  CFTypeRef Malformed(std::string& o_error) const {
    o_error = "malformed binary property list";
    return nullptr;
  }

  // o_start and o_count describe `count` units of `unit` bytes that lie inside the object area.
  bool Content(size_t offset, unsigned unit, size_t& o_start, uint64_t& o_count) const {
    if (!ReadCount(offset, o_count, o_start)) return false;
    return o_start <= m_end && o_count <= (m_end - o_start) / unit;
  }

  // One string or data shared by many references is copied for each of them.
  bool WithinLeafBudget(uint64_t bytes, std::string& o_error) {
    m_leafBytes += bytes;
    if (m_leafBytes <= kMaxLeafBytes) return true;
    o_error = "property list holds too much data";
    return false;
  }

  CFTypeRef ConvertObject(uint64_t object, std::string& o_error) {
    size_t offset;
    if (!ObjectOffset(object, offset)) return Malformed(o_error);
    uint8_t marker = m_p[offset];
    uint8_t low = marker & 0x0F;
    switch (marker >> 4) {
      case 0x0:
        if (marker == 0x08 || marker == 0x09) return CFRetain(marker == 0x09 ? kCFBooleanTrue : kCFBooleanFalse);
        return Malformed(o_error);
      case 0x1: return ConvertInteger(offset, low, o_error);
      case 0x2: {
        if (low != 2 && low != 3) return Malformed(o_error);
        unsigned size = 1u << low;
        if (m_end - (offset + 1) < size) return Malformed(o_error);
        uint64_t bits = ReadBigEndian(m_p + offset + 1, size);
        double v;
        if (size == 4) {
          uint32_t b32 = static_cast<uint32_t>(bits);
          float f;
          std::memcpy(&f, &b32, sizeof f);
          v = f;
        } else {
          std::memcpy(&v, &bits, sizeof v);
        }
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
      }
      case 0x3: o_error = "property list holds a date, which is not supported"; return nullptr;
      case 0x4: {
        size_t start;
        uint64_t count;
        if (!Content(offset, 1, start, count)) return Malformed(o_error);
        if (!WithinLeafBudget(count, o_error)) return nullptr;
        auto* data = new __CFData();
        data->m_bytes.assign(m_p + start, m_p + start + count);
        return data;
      }
      case 0x5:
      case 0x6: return ConvertString(offset, (marker >> 4) == 0x6, o_error);
      case 0x8: o_error = "property list holds a UID, which is not supported"; return nullptr;
      case 0xA:
      case 0xC:
      case 0xD: return ConvertContainer(offset, o_error);
      default: return Malformed(o_error);
    }
  }

  CFTypeRef ConvertInteger(size_t offset, uint8_t low, std::string& o_error) {
    if (low > 4) return Malformed(o_error);
    unsigned size = 1u << low;
    if (m_end - (offset + 1) < size) return Malformed(o_error);
    const uint8_t* p = m_p + offset + 1;
    if (size == 16) {
      // Sixteen bytes carry an unsigned value above INT64_MAX; nothing wider is stored.
      for (unsigned i = 0; i < 8; ++i)
        if (p[i] != 0) return Malformed(o_error);
      uint64_t v = ReadBigEndian(p + 8, 8);
      if (v > static_cast<uint64_t>(INT64_MAX)) return __CFNumberCreateUnsigned64(v);
      int64_t s = static_cast<int64_t>(v);
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &s);
    }
    // Eight bytes are signed; shorter ones unsigned.
    int64_t s = static_cast<int64_t>(ReadBigEndian(p, size));
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &s);
  }

  CFTypeRef ConvertString(size_t offset, bool utf16, std::string& o_error) {
    size_t start;
    uint64_t count;
    if (!Content(offset, utf16 ? 2 : 1, start, count)) return Malformed(o_error);
    if (!WithinLeafBudget(count * (utf16 ? 2 : 1), o_error)) return nullptr;
    std::string text;
    if (utf16) {
      std::u16string units(count, u'\0');
      for (uint64_t i = 0; i < count; ++i) units[i] = static_cast<char16_t>(ReadBigEndian(m_p + start + 2 * i, 2));
      if (!UTF16ToUTF8(units, text)) text = std::string(1, '\xFF');
    } else {
      text.assign(reinterpret_cast<const char*>(m_p + start), count);
    }
    if (!IsValidUTF8(text)) {
      o_error = "property list holds a string that is not valid UTF-8";
      return nullptr;
    }
    return CFStringFromUTF8(text);
  }

  CFTypeRef ConvertContainer(size_t offset, std::string& o_error) {
    bool isContainer;
    size_t refs;
    uint64_t count;
    if (!ContainerLayout(offset, isContainer, refs, count)) return Malformed(o_error);
    auto reference = [&](uint64_t i) { return ReadBigEndian(m_p + refs + i * m_refSize, m_refSize); };
    if ((m_p[offset] >> 4) != 0xD) {
      auto* array = new __CFArray();
      CFRef<CFTypeRef> hold(array);
      array->m_values.reserve(count);
      for (uint64_t i = 0; i < count; ++i) {
        CFTypeRef value = ConvertObject(reference(i), o_error);
        if (!value) return nullptr;
        array->m_values.push_back(value);
      }
      array->m_mutable = m_mutableContainers;
      return hold.release();
    }
    auto* dict = new __CFDictionary();
    CFRef<CFTypeRef> hold(dict);
    DictionaryFiller filler(dict);
    uint64_t pairs = count / 2;
    for (uint64_t i = 0; i < pairs; ++i) {
      CFRef<CFTypeRef> key(ConvertObject(reference(i), o_error));
      if (!key) return nullptr;
      CFRef<CFTypeRef> value(ConvertObject(reference(pairs + i), o_error));
      if (!value) return nullptr;
      filler.Set(static_cast<CFStringRef>(key.release()), value.release());
    }
    dict->m_mutable = m_mutableContainers;
    return hold.release();
  }

  const uint8_t* m_p;
  size_t m_n;
  bool m_mutableContainers = false;
  uint64_t m_leafBytes = 0;
  unsigned m_offsetSize = 0, m_refSize = 0;
  uint64_t m_numObjects = 0, m_top = 0, m_table = 0, m_end = 0;
  std::vector<uint8_t> m_state;
  std::vector<uint32_t> m_depth;
  std::vector<uint64_t> m_size;
};

// ---------------------------------------------------------------- XML guard

bool TagNameIs(const char* p, const char* end, const char* name) {
  size_t len = std::strlen(name);
  if (static_cast<size_t>(end - p) < len + 1 || std::memcmp(p, name, len) != 0) return false;
  char after = p[len];
  return after == '>' || after == '/' || after == ' ' || after == '\t' || after == '\r' || after == '\n';
}

// Upper bound of the nesting of arrays and dictionaries; comments and CDATA may only make it larger.
bool XMLDepthWithinLimit(const char* p, size_t n) {
  const char* end = p + n;
  int depth = 0;
  for (const char* c = p; c < end; ++c) {
    if (*c != '<') continue;
    const char* name = c + 1;
    if (name < end && *name == '/') {
      if ((TagNameIs(name + 1, end, "array") || TagNameIs(name + 1, end, "dict")) && depth > 0) --depth;
      continue;
    }
    if (!TagNameIs(name, end, "array") && !TagNameIs(name, end, "dict")) continue;
    const char* close = name;
    while (close < end && *close != '>' && *close != '<') ++close;
    bool empty = close < end && *close == '>' && close[-1] == '/';
    if (!empty && ++depth > kMaxDepth) return false;
  }
  return true;
}

// ---------------------------------------------------------------- libplist -> CF

// libplist keeps one integer type and remembers only in its output whether a value with the
// top bit set was written as a negative number or as an unsigned one above INT64_MAX.
bool IsUnsignedAboveInt64Max(plist_t node) {
  PlistPtr copy(plist_copy(node));
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(copy.get(), &xml, &len);
  MallocPtr hold(xml);
  return xml && std::string(xml, len).find("<integer>-") == std::string::npos;
}

class Reader {
 public:
  explicit Reader(CFOptionFlags mutability) : m_mutableContainers(mutability != 0) {}

  CFTypeRef Convert(plist_t node, int depth, std::string& o_error) {
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        return CFRetain(v ? kCFBooleanTrue : kCFBooleanFalse);
      }
      case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        if (v > static_cast<uint64_t>(INT64_MAX) && IsUnsignedAboveInt64Max(node)) return __CFNumberCreateUnsigned64(v);
        int64_t s = static_cast<int64_t>(v);
        return CFNumberCreate(nullptr, kCFNumberSInt64Type, &s);
      }
      case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
      }
      case PLIST_STRING:
      case PLIST_KEY: {
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        std::string text = s ? std::string(s, len) : std::string();
        if (!IsValidUTF8(text)) {
          o_error = "property list holds a string that is not valid UTF-8";
          return nullptr;
        }
        return CFStringFromUTF8(text);
      }
      case PLIST_DATA: {
        uint64_t len = 0;
        const char* d = plist_get_data_ptr(node, &len);
        auto* data = new __CFData();
        if (d && len) data->m_bytes.assign(d, d + len);
        return data;
      }
      case PLIST_ARRAY: return ConvertArray(node, depth, o_error);
      case PLIST_DICT: return ConvertDict(node, depth, o_error);
      case PLIST_DATE: o_error = "property list holds a date, which is not supported"; return nullptr;
      case PLIST_UID: o_error = "property list holds a UID, which is not supported"; return nullptr;
      default: o_error = "property list holds a value of an unknown type"; return nullptr;
    }
  }

 private:
  CFTypeRef ConvertArray(plist_t node, int depth, std::string& o_error) {
    if (depth >= kMaxDepth) {
      o_error = TooDeepText();
      return nullptr;
    }
    auto* array = new __CFArray();
    CFRef<CFTypeRef> hold(array);
    array->m_values.reserve(plist_array_get_size(node));
    // Indexing a parsed array walks it from the start; its iterator does not.
    plist_array_iter it = nullptr;
    plist_array_new_iter(node, &it);
    MallocPtr holdIter(static_cast<char*>(it));
    for (;;) {
      plist_t item = nullptr;
      plist_array_next_item(node, it, &item);
      if (!item) break;
      CFTypeRef value = Convert(item, depth + 1, o_error);
      if (!value) return nullptr;
      array->m_values.push_back(value);
    }
    array->m_mutable = m_mutableContainers;
    return hold.release();
  }

  CFTypeRef ConvertDict(plist_t node, int depth, std::string& o_error) {
    if (depth >= kMaxDepth) {
      o_error = TooDeepText();
      return nullptr;
    }
    auto* dict = new __CFDictionary();
    CFRef<CFTypeRef> hold(dict);
    DictionaryFiller filler(dict);
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    MallocPtr holdIter(static_cast<char*>(it));
    for (;;) {
      char* rawKey = nullptr;
      plist_t item = nullptr;
      plist_dict_next_item(node, it, &rawKey, &item);
      MallocPtr key(rawKey);
      if (!item) break;
      std::string keyText = rawKey ? rawKey : "";
      if (!IsValidUTF8(keyText)) {
        o_error = "property list holds a string that is not valid UTF-8";
        return nullptr;
      }
      CFTypeRef value = Convert(item, depth + 1, o_error);
      if (!value) return nullptr;
      filler.Set(CFStringFromUTF8(keyText), value);
    }
    dict->m_mutable = m_mutableContainers;
    return hold.release();
  }

  bool m_mutableContainers;
};

// ---------------------------------------------------------------- CF -> libplist

// plist_new_uint writes every value with the top bit set as negative; a parsed node keeps the
// unsigned form.
plist_t NewUnsignedAboveInt64Max(uint64_t v) {
  char xml[128];
  int len = std::snprintf(xml, sizeof xml, "<plist version=\"1.0\"><integer>%" PRIu64 "</integer></plist>", v);
  plist_t node = nullptr;
  plist_from_xml(xml, static_cast<uint32_t>(len), &node);
  return node;
}

plist_t ToPlist(CFTypeRef value, int depth, std::string& o_error) {
  if (!value) {
    o_error = "property list holds a null value";
    return nullptr;
  }
  switch (CFGetTypeID(value)) {
    case kTypeIDString: {
      const std::string& s = CFStringUTF8(static_cast<CFStringRef>(value));
      if (s.find('\0') != std::string::npos) {
        o_error = "property list string holds a NUL character";
        return nullptr;
      }
      return plist_new_string(s.c_str());
    }
    case kTypeIDBoolean: return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0);
    case kTypeIDNumber: {
      auto* n = static_cast<const __CFNumber*>(value);
      if (n->m_isFloat) return plist_new_real(n->m_double);
      if (n->m_int >= INT64_MIN && n->m_int <= INT64_MAX) return plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(n->m_int)));
      if (n->m_int > 0 && n->m_int <= static_cast<__int128>(UINT64_MAX))
        return NewUnsignedAboveInt64Max(static_cast<uint64_t>(n->m_int));
      o_error = "property list number is out of the 64-bit range";
      return nullptr;
    }
    case kTypeIDData: {
      auto* d = static_cast<const __CFData*>(value);
      return plist_new_data(reinterpret_cast<const char*>(d->m_bytes.data()), d->m_bytes.size());
    }
    case kTypeIDArray:
    case kTypeIDDictionary: break;
    default:
      o_error = "value of type " + std::to_string(CFGetTypeID(value)) + " cannot be stored in a property list";
      return nullptr;
  }
  if (depth >= kMaxDepth) {
    o_error = TooDeepText();
    return nullptr;
  }
  if (CFGetTypeID(value) == kTypeIDArray) {
    PlistPtr array(plist_new_array());
    for (CFTypeRef v : static_cast<const __CFArray*>(value)->m_values) {
      plist_t item = ToPlist(v, depth + 1, o_error);
      if (!item) return nullptr;
      plist_array_append_item(array.get(), item);
    }
    return array.release();
  }
  PlistPtr dict(plist_new_dict());
  for (const auto& [k, v] : static_cast<const __CFDictionary*>(value)->m_entries) {
    if (CFGetTypeID(k) != kTypeIDString) {
      o_error = "property list dictionary key is not a string";
      return nullptr;
    }
    const std::string& key = CFStringUTF8(static_cast<CFStringRef>(k));
    if (key.find('\0') != std::string::npos) {
      o_error = "property list string holds a NUL character";
      return nullptr;
    }
    plist_t item = ToPlist(v, depth + 1, o_error);
    if (!item) return nullptr;
    plist_dict_set_item(dict.get(), key.c_str(), item);
  }
  return dict.release();
}

}  // namespace

bool Encode(CFPropertyListRef plist, CFPropertyListFormat format, std::string& o_bytes, std::string* o_error) {
  o_bytes.clear();
  if (format != kCFPropertyListXMLFormat_v1_0 && format != kCFPropertyListBinaryFormat_v1_0) {
    SetError(o_error, "property list format " + std::to_string(format) + " cannot be written");
    return false;
  }
  std::string error;
  PlistPtr root(ToPlist(plist, 0, error));
  if (!root) {
    SetError(o_error, error);
    return false;
  }
  char* out = nullptr;
  uint32_t len = 0;
  if (format == kCFPropertyListXMLFormat_v1_0)
    plist_to_xml(root.get(), &out, &len);
  else
    plist_to_bin(root.get(), &out, &len);
  MallocPtr hold(out);
  if (!out || len == 0) {
    SetError(o_error, "property list could not be encoded");
    return false;
  }
  o_bytes.assign(out, len);
  return true;
}

std::string EncodeBinary(CFPropertyListRef plist) {
  std::string bytes;
  if (!Encode(plist, kCFPropertyListBinaryFormat_v1_0, bytes, nullptr)) return {};
  return bytes;
}

std::string EncodeXML(CFPropertyListRef plist) {
  std::string bytes;
  if (!Encode(plist, kCFPropertyListXMLFormat_v1_0, bytes, nullptr)) return {};
  return bytes;
}

CFPropertyListRef Decode(const void* bytes, size_t n, CFOptionFlags mutability, std::string* o_error) {
  return Decode(bytes, n, mutability, o_error, nullptr);
}

CFPropertyListRef Decode(const void* bytes, size_t n, CFOptionFlags mutability, std::string* o_error,
                         CFPropertyListFormat* o_format) {
  if (o_format) *o_format = 0;
  if (!bytes || n == 0) {
    SetError(o_error, "property list data is empty");
    return nullptr;
  }
  if (n > std::numeric_limits<uint32_t>::max()) {
    SetError(o_error, "property list data is too large");
    return nullptr;
  }
  const auto* p = static_cast<const char*>(bytes);
  bool binary = n >= 6 && std::memcmp(p, "bplist", 6) == 0;
  std::string error;
  if (binary) {
    BinaryGuard guard(reinterpret_cast<const uint8_t*>(p), n);
    CFTypeRef result = guard.Check(error) ? guard.Convert(mutability, error) : nullptr;
    if (!result) {
      SetError(o_error, error);
      return nullptr;
    }
    if (o_format) *o_format = kCFPropertyListBinaryFormat_v1_0;
    return result;
  }
  // XML has no NUL character; libplist would cut a key short at one.
  if (std::memchr(p, '\0', n)) {
    SetError(o_error, "malformed XML property list");
    return nullptr;
  }
  if (!XMLDepthWithinLimit(p, n)) {
    SetError(o_error, TooDeepText());
    return nullptr;
  }
  plist_t raw = nullptr;
  plist_from_xml(p, static_cast<uint32_t>(n), &raw);
  PlistPtr root(raw);
  if (!root) {
    SetError(o_error, "malformed XML property list");
    return nullptr;
  }
  CFTypeRef result = Reader(mutability).Convert(root.get(), 0, error);
  if (!result) {
    SetError(o_error, error);
    return nullptr;
  }
  if (o_format) *o_format = kCFPropertyListXMLFormat_v1_0;
  return result;
}

}  // namespace platform::plist
