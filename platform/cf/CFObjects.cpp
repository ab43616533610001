#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <cctype>
#include <random>

#include "CFInternal.h"
#include "platform/ThreadAnnotations.h"

namespace {
std::atomic<long> g_liveObjects{0};
}

__CFObject::__CFObject(CFTypeID id) : m_typeID(id) { ++g_liveObjects; }
__CFObject::~__CFObject() {
  if (!m_immortal) --g_liveObjects;
}
void __CFObject::MarkImmortal() {
  if (!m_immortal) --g_liveObjects;
  m_immortal = true;
}
std::string __CFObject::Describe() const { return "<CFType " + std::to_string(m_typeID) + ">"; }

long CFLiveObjectCount() { return g_liveObjects.load(); }

CFTypeRef CFRetain(CFTypeRef cf) {
  if (!cf) return cf;
  __CFObject* o = CFObjMut(cf);
  if (!o->m_immortal) o->m_refCount.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (!cf) return;
  __CFObject* o = CFObjMut(cf);
  if (o->m_immortal) return;
  if (o->m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf) { return cf ? CFObj(cf)->m_refCount.load() : 0; }
CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? CFObj(cf)->m_typeID : 0; }

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  if (a == b) return true;
  if (!a || !b) return false;
  const __CFObject* oa = CFObj(a);
  const __CFObject* ob = CFObj(b);
  if (oa->m_typeID != ob->m_typeID) return false;
  return oa->Equal(*ob);
}

CFHashCode CFHash(CFTypeRef cf) { return cf ? CFObj(cf)->Hash() : 0; }

CFStringRef CFCopyDescription(CFTypeRef cf) {
  return CFStringFromUTF8(cf ? CFObj(cf)->Describe() : std::string("(null)"));
}

// ---------------------------------------------------------------- CFNumber

namespace {

struct NumberTypeInfo {
  bool isFloat;
  int bytes;  // of the C type
};

bool InfoFor(CFNumberType t, NumberTypeInfo& o_info) {
  switch (t) {
    case kCFNumberSInt8Type: case kCFNumberCharType: o_info = {false, 1}; return true;
    case kCFNumberSInt16Type: case kCFNumberShortType: o_info = {false, 2}; return true;
    case kCFNumberSInt32Type: case kCFNumberIntType: o_info = {false, 4}; return true;
    case kCFNumberSInt64Type: case kCFNumberLongLongType: o_info = {false, 8}; return true;
    case kCFNumberLongType: case kCFNumberCFIndexType: o_info = {false, static_cast<int>(sizeof(long))}; return true;
    case kCFNumberFloat32Type: case kCFNumberFloatType: o_info = {true, 4}; return true;
    case kCFNumberFloat64Type: case kCFNumberDoubleType: o_info = {true, 8}; return true;
    default: return false;
  }
}

__int128 IntMin(int bytes) { return -(static_cast<__int128>(1) << (bytes * 8 - 1)); }
__int128 IntMax(int bytes) { return (static_cast<__int128>(1) << (bytes * 8 - 1)) - 1; }

}  // namespace

CFTypeID CFNumberGetTypeID() { return kTypeIDNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
  NumberTypeInfo info;
  if (!valuePtr || !InfoFor(theType, info)) return nullptr;
  auto* n = new __CFNumber();
  n->m_type = theType;
  n->m_isFloat = info.isFloat;
  if (info.isFloat) {
    double d = info.bytes == 4 ? *static_cast<const float*>(valuePtr) : *static_cast<const double*>(valuePtr);
    n->m_double = d;
  } else {
    switch (info.bytes) {
      case 1: n->m_int = *static_cast<const int8_t*>(valuePtr); break;
      case 2: n->m_int = *static_cast<const int16_t*>(valuePtr); break;
      case 4: n->m_int = *static_cast<const int32_t*>(valuePtr); break;
      default: n->m_int = *static_cast<const int64_t*>(valuePtr); break;
    }
  }
  return n;
}

// Used by the property-list reader for integers above INT64_MAX.
CFNumberRef __CFNumberCreateUnsigned64(uint64_t v) {
  auto* n = new __CFNumber();
  n->m_type = kCFNumberSInt64Type;
  n->m_int = static_cast<__int128>(v);
  return n;
}

CFNumberType CFNumberGetType(CFNumberRef number) { return number ? number->m_type : 0; }

CFIndex CFNumberGetByteSize(CFNumberRef number) {
  NumberTypeInfo info;
  return number && InfoFor(number->m_type, info) ? info.bytes : 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) { return number && number->m_isFloat; }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
  NumberTypeInfo info;
  if (!number || !valuePtr || !InfoFor(theType, info)) return false;
  if (info.isFloat) {
    double d = number->m_isFloat ? number->m_double : static_cast<double>(number->m_int);
    bool exact = number->m_isFloat || static_cast<__int128>(d) == number->m_int;
    if (info.bytes == 4) {
      float f = static_cast<float>(d);
      *static_cast<float*>(valuePtr) = f;
      return exact && (std::isnan(d) || static_cast<double>(f) == d);
    }
    *static_cast<double*>(valuePtr) = d;
    return exact;
  }
  __int128 v;
  bool exact = true;
  if (number->m_isFloat) {
    double d = number->m_double;
    if (std::isnan(d)) {
      v = 0;
      exact = false;
    } else {
      double clamped = std::clamp(d, -9.2e18, 9.2e18);
      v = static_cast<__int128>(clamped);
      exact = static_cast<double>(v) == d;
    }
  } else {
    v = number->m_int;
  }
  if (v < IntMin(info.bytes) || v > IntMax(info.bytes)) exact = false;
  switch (info.bytes) {
    case 1: *static_cast<int8_t*>(valuePtr) = static_cast<int8_t>(v); break;
    case 2: *static_cast<int16_t*>(valuePtr) = static_cast<int16_t>(v); break;
    case 4: *static_cast<int32_t*>(valuePtr) = static_cast<int32_t>(v); break;
    default: *static_cast<int64_t*>(valuePtr) = static_cast<int64_t>(v); break;
  }
  return exact;
}

CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void*) {
  if (!a->m_isFloat && !b->m_isFloat) {
    return a->m_int < b->m_int ? kCFCompareLessThan : a->m_int > b->m_int ? kCFCompareGreaterThan : kCFCompareEqualTo;
  }
  long double da = a->m_isFloat ? a->m_double : static_cast<long double>(a->m_int);
  long double db = b->m_isFloat ? b->m_double : static_cast<long double>(b->m_int);
  return da < db ? kCFCompareLessThan : da > db ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

bool __CFNumber::Equal(const __CFObject& other) const {
  return CFNumberCompare(this, static_cast<const __CFNumber*>(&other), nullptr) == kCFCompareEqualTo;
}

CFHashCode __CFNumber::Hash() const {
  if (m_isFloat && m_double == std::floor(m_double) && std::fabs(m_double) < 9e18)
    return static_cast<CFHashCode>(static_cast<long long>(m_double));
  if (m_isFloat) return std::hash<double>()(m_double);
  return static_cast<CFHashCode>(m_int);
}

std::string __CFNumber::Describe() const {
  if (m_isFloat) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", m_double);
    return buf;
  }
  if (m_int > IntMax(8)) return std::to_string(static_cast<unsigned long long>(m_int));
  return std::to_string(static_cast<long long>(m_int));
}

// ---------------------------------------------------------------- CFBoolean

namespace {
__CFBoolean g_true(true);
__CFBoolean g_false(false);
}  // namespace

const CFBooleanRef kCFBooleanTrue = &g_true;
const CFBooleanRef kCFBooleanFalse = &g_false;
CFTypeID CFBooleanGetTypeID() { return kTypeIDBoolean; }
Boolean CFBooleanGetValue(CFBooleanRef boolean) { return boolean && boolean->m_value; }

// ---------------------------------------------------------------- CFData

CFTypeID CFDataGetTypeID() { return kTypeIDData; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
  if (length < 0 || (length > 0 && !bytes)) return nullptr;
  auto* d = new __CFData();
  d->m_bytes.assign(bytes, bytes + length);
  return d;
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex) { return new __CFData(); }

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex, CFDataRef data) {
  auto* d = new __CFData();
  if (data) d->m_bytes = data->m_bytes;
  return d;
}

CFIndex CFDataGetLength(CFDataRef data) { return data ? static_cast<CFIndex>(data->m_bytes.size()) : 0; }
const UInt8* CFDataGetBytePtr(CFDataRef data) { return data ? data->m_bytes.data() : nullptr; }
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef data) { return data ? data->m_bytes.data() : nullptr; }

void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer) {
  if (!data || range.location < 0 || range.length < 0 ||
      static_cast<size_t>(range.location + range.length) > data->m_bytes.size())
    return;
  std::memcpy(buffer, data->m_bytes.data() + range.location, range.length);
}

void CFDataAppendBytes(CFMutableDataRef data, const UInt8* bytes, CFIndex length) {
  if (data && bytes && length > 0) data->m_bytes.insert(data->m_bytes.end(), bytes, bytes + length);
}

void CFDataSetLength(CFMutableDataRef data, CFIndex length) {
  if (data && length >= 0) data->m_bytes.resize(length, 0);
}

bool __CFData::Equal(const __CFObject& other) const {
  return m_bytes == static_cast<const __CFData&>(other).m_bytes;
}

CFHashCode __CFData::Hash() const {
  CFHashCode h = 1469598103934665603ull;
  for (size_t i = 0; i < m_bytes.size() && i < 80; ++i) h = (h ^ m_bytes[i]) * 1099511628211ull;
  return h;
}

std::string __CFData::Describe() const {
  static const char* hex = "0123456789abcdef";
  std::string s = "<";
  for (UInt8 b : m_bytes) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s + ">";
}

// ---------------------------------------------------------------- CFArray

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr, nullptr};
CFTypeID CFArrayGetTypeID() { return kTypeIDArray; }

__CFArray::~__CFArray() {
  for (CFTypeRef v : m_values) CFRelease(v);
}

bool __CFArray::Equal(const __CFObject& other) const {
  const auto& o = static_cast<const __CFArray&>(other);
  if (o.m_values.size() != m_values.size()) return false;
  for (size_t i = 0; i < m_values.size(); ++i)
    if (!CFEqual(m_values[i], o.m_values[i])) return false;
  return true;
}

std::string __CFArray::Describe() const {
  std::string s = "(";
  for (size_t i = 0; i < m_values.size(); ++i) {
    if (i) s += ", ";
    s += CFObj(m_values[i])->Describe();
  }
  return s + ")";
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues, const CFArrayCallBacks*) {
  if (numValues < 0 || (numValues > 0 && !values)) return nullptr;
  auto* a = new __CFArray();
  for (CFIndex i = 0; i < numValues; ++i) {
    if (!values[i]) {
      delete a;
      return nullptr;
    }
    a->m_values.push_back(CFRetain(values[i]));
  }
  return a;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef array) {
  auto* a = new __CFArray();
  if (array)
    for (CFTypeRef v : array->m_values) a->m_values.push_back(CFRetain(v));
  return a;
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks*) {
  auto* a = new __CFArray();
  a->m_mutable = true;
  return a;
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef alloc, CFIndex, CFArrayRef array) {
  auto* a = const_cast<__CFArray*>(CFArrayCreateCopy(alloc, array));
  a->m_mutable = true;
  return a;
}

CFIndex CFArrayGetCount(CFArrayRef array) { return array ? static_cast<CFIndex>(array->m_values.size()) : 0; }

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex idx) {
  if (!array || idx < 0 || static_cast<size_t>(idx) >= array->m_values.size()) return nullptr;
  return array->m_values[idx];
}

void CFArrayGetValues(CFArrayRef array, CFRange range, const void** values) {
  for (CFIndex i = 0; i < range.length; ++i) values[i] = CFArrayGetValueAtIndex(array, range.location + i);
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef array, CFRange range, const void* value) {
  if (!array) return kCFNotFound;
  CFIndex end = std::min<CFIndex>(range.location + range.length, array->m_values.size());
  for (CFIndex i = std::max<CFIndex>(range.location, 0); i < end; ++i)
    if (CFEqual(array->m_values[i], value)) return i;
  return kCFNotFound;
}

Boolean CFArrayContainsValue(CFArrayRef array, CFRange range, const void* value) {
  return CFArrayGetFirstIndexOfValue(array, range, value) != kCFNotFound;
}

void CFArrayAppendValue(CFMutableArrayRef array, const void* value) {
  if (array && value) array->m_values.push_back(CFRetain(value));
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef array, CFIndex idx, const void* value) {
  if (!array || !value || idx < 0 || static_cast<size_t>(idx) > array->m_values.size()) return;
  array->m_values.insert(array->m_values.begin() + idx, CFRetain(value));
}

void CFArraySetValueAtIndex(CFMutableArrayRef array, CFIndex idx, const void* value) {
  if (!array || !value || idx < 0 || static_cast<size_t>(idx) > array->m_values.size()) return;
  if (static_cast<size_t>(idx) == array->m_values.size()) {
    array->m_values.push_back(CFRetain(value));
    return;
  }
  CFTypeRef old = array->m_values[idx];
  array->m_values[idx] = CFRetain(value);
  CFRelease(old);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef array, CFIndex idx) {
  if (!array || idx < 0 || static_cast<size_t>(idx) >= array->m_values.size()) return;
  CFTypeRef old = array->m_values[idx];
  array->m_values.erase(array->m_values.begin() + idx);
  CFRelease(old);
}

void CFArrayRemoveAllValues(CFMutableArrayRef array) {
  if (!array) return;
  std::vector<CFTypeRef> old;
  old.swap(array->m_values);
  for (CFTypeRef v : old) CFRelease(v);
}

void CFArraySortValues(CFMutableArrayRef array, CFRange range, CFComparatorFunction comparator, void* context) {
  if (!array || !comparator || range.location < 0 || range.length < 0 ||
      static_cast<size_t>(range.location + range.length) > array->m_values.size())
    return;
  auto first = array->m_values.begin() + range.location;
  std::stable_sort(first, first + range.length, [&](CFTypeRef a, CFTypeRef b) {
    return comparator(a, b, context) == kCFCompareLessThan;
  });
}

// ---------------------------------------------------------------- CFDictionary

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {0, nullptr, nullptr, nullptr, nullptr, nullptr};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, nullptr, nullptr, nullptr, nullptr};
CFTypeID CFDictionaryGetTypeID() { return kTypeIDDictionary; }

__CFDictionary::~__CFDictionary() {
  for (auto& [k, v] : m_entries) {
    CFRelease(k);
    CFRelease(v);
  }
}

long __CFDictionary::Find(CFTypeRef key) const {
  if (!key) return -1;
  for (size_t i = 0; i < m_entries.size(); ++i)
    if (CFEqual(m_entries[i].first, key)) return static_cast<long>(i);
  return -1;
}

bool __CFDictionary::Equal(const __CFObject& other) const {
  const auto& o = static_cast<const __CFDictionary&>(other);
  if (o.m_entries.size() != m_entries.size()) return false;
  for (const auto& [k, v] : m_entries) {
    long j = o.Find(k);
    if (j < 0 || !CFEqual(v, o.m_entries[j].second)) return false;
  }
  return true;
}

std::string __CFDictionary::Describe() const {
  std::string s = "{";
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (i) s += "; ";
    s += CFObj(m_entries[i].first)->Describe() + " = " + CFObj(m_entries[i].second)->Describe();
  }
  return s + "}";
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex numValues,
                                   const CFDictionaryKeyCallBacks*, const CFDictionaryValueCallBacks*) {
  if (numValues < 0 || (numValues > 0 && (!keys || !values))) return nullptr;
  auto* d = new __CFDictionary();
  d->m_mutable = true;
  for (CFIndex i = 0; i < numValues; ++i) {
    if (!keys[i] || !values[i]) {
      delete d;
      return nullptr;
    }
    CFDictionarySetValue(d, keys[i], values[i]);
  }
  d->m_mutable = false;
  return d;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef dict) {
  auto* d = new __CFDictionary();
  if (dict)
    for (const auto& [k, v] : dict->m_entries) d->m_entries.emplace_back(CFRetain(k), CFRetain(v));
  return d;
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*) {
  auto* d = new __CFDictionary();
  d->m_mutable = true;
  return d;
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef alloc, CFIndex, CFDictionaryRef dict) {
  auto* d = const_cast<__CFDictionary*>(CFDictionaryCreateCopy(alloc, dict));
  d->m_mutable = true;
  return d;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dict) { return dict ? static_cast<CFIndex>(dict->m_entries.size()) : 0; }

const void* CFDictionaryGetValue(CFDictionaryRef dict, const void* key) {
  if (!dict) return nullptr;
  long i = dict->Find(key);
  return i < 0 ? nullptr : dict->m_entries[i].second;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef dict, const void* key, const void** value) {
  const void* v = CFDictionaryGetValue(dict, key);
  if (value) *value = v;
  return v != nullptr;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef dict, const void* key) { return dict && dict->Find(key) >= 0; }

void CFDictionaryGetKeysAndValues(CFDictionaryRef dict, const void** keys, const void** values) {
  if (!dict) return;
  for (size_t i = 0; i < dict->m_entries.size(); ++i) {
    if (keys) keys[i] = dict->m_entries[i].first;
    if (values) values[i] = dict->m_entries[i].second;
  }
}

void CFDictionaryAddValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  if (!dict || !key || !value || dict->Find(key) >= 0) return;
  dict->m_entries.emplace_back(CFRetain(key), CFRetain(value));
}

void CFDictionarySetValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  if (!dict || !key || !value) return;
  long i = dict->Find(key);
  if (i < 0) {
    dict->m_entries.emplace_back(CFRetain(key), CFRetain(value));
    return;
  }
  CFTypeRef old = dict->m_entries[i].second;
  dict->m_entries[i].second = CFRetain(value);
  CFRelease(old);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef dict, const void* key, const void* value) {
  if (dict && dict->Find(key) >= 0) CFDictionarySetValue(dict, key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef dict, const void* key) {
  if (!dict) return;
  long i = dict->Find(key);
  if (i < 0) return;
  auto entry = dict->m_entries[i];
  dict->m_entries.erase(dict->m_entries.begin() + i);
  CFRelease(entry.first);
  CFRelease(entry.second);
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef dict) {
  if (!dict) return;
  std::vector<std::pair<CFTypeRef, CFTypeRef>> old;
  old.swap(dict->m_entries);
  for (auto& [k, v] : old) {
    CFRelease(k);
    CFRelease(v);
  }
}

void CFDictionaryApplyFunction(CFDictionaryRef dict, CFDictionaryApplierFunction applier, void* context) {
  if (!dict || !applier) return;
  auto entries = dict->m_entries;  // the applier may not change the dictionary, but be safe
  for (auto& [k, v] : entries) applier(k, v, context);
}

// ---------------------------------------------------------------- CFUUID

CFTypeID CFUUIDGetTypeID() { return kTypeIDUUID; }

bool __CFUUID::Equal(const __CFObject& other) const {
  return std::memcmp(&m_bytes, &static_cast<const __CFUUID&>(other).m_bytes, sizeof m_bytes) == 0;
}

CFHashCode __CFUUID::Hash() const {
  CFHashCode h;
  std::memcpy(&h, &m_bytes, sizeof h);
  return h;
}

std::string __CFUUID::Describe() const {
  const UInt8* b = &m_bytes.byte0;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buf;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
  auto* u = new __CFUUID();
  u->m_bytes = bytes;
  return u;
}

CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc) {
  static platform::Mutex m;
  static std::mt19937_64 rng GUARDED_BY(m){std::random_device{}()};
  CFUUIDBytes b;
  {
    platform::MutexLock lock(m);
    uint64_t hi = rng(), lo = rng();
    std::memcpy(&b, &hi, 8);
    std::memcpy(reinterpret_cast<UInt8*>(&b) + 8, &lo, 8);
  }
  b.byte6 = static_cast<UInt8>((b.byte6 & 0x0F) | 0x40);
  b.byte8 = static_cast<UInt8>((b.byte8 & 0x3F) | 0x80);
  return CFUUIDCreateFromUUIDBytes(alloc, b);
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr) {
  if (!uuidStr) return nullptr;
  std::string hex;
  for (char c : CFStringUTF8(uuidStr)) {
    if (c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return nullptr;
    hex += c;
  }
  if (hex.size() != 32) return nullptr;
  CFUUIDBytes b;
  auto* p = reinterpret_cast<UInt8*>(&b);
  for (int i = 0; i < 16; ++i) p[i] = static_cast<UInt8>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
  return CFUUIDCreateFromUUIDBytes(alloc, b);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4,
                                         UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11,
                                         UInt8 b12, UInt8 b13, UInt8 b14, UInt8 b15) {
  static platform::Mutex m;
  static std::vector<std::unique_ptr<__CFUUID>> constants GUARDED_BY(m);
  CFUUIDBytes b{b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
  platform::MutexLock lock(m);
  for (auto& u : constants)
    if (std::memcmp(&u->m_bytes, &b, sizeof b) == 0) return u.get();
  auto u = std::make_unique<__CFUUID>();
  u->m_bytes = b;
  u->MarkImmortal();
  constants.push_back(std::move(u));
  return constants.back().get();
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return uuid ? uuid->m_bytes : CFUUIDBytes{}; }

CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef uuid) {
  return uuid ? CFStringFromUTF8(uuid->Describe()) : nullptr;
}
