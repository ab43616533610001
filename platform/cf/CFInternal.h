// The objects behind the Core Foundation references. Shared by the cf/ sources only.
#pragma once
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "platform/CFTypes.h"

enum : CFTypeID {
  kTypeIDString = 7,
  kTypeIDNumber = 22,
  kTypeIDBoolean = 21,
  kTypeIDData = 20,
  kTypeIDArray = 19,
  kTypeIDDictionary = 18,
  kTypeIDURL = 29,
  kTypeIDUUID = 34,
  // Types of the other Core Foundation services start here.
  kTypeIDFirstService = 40,
};

struct __CFObject {
  explicit __CFObject(CFTypeID id);
  virtual ~__CFObject();
  __CFObject(const __CFObject&) = delete;
  __CFObject& operator=(const __CFObject&) = delete;

  virtual bool Equal(const __CFObject& other) const { return this == &other; }
  virtual CFHashCode Hash() const { return reinterpret_cast<CFHashCode>(this); }
  virtual std::string Describe() const;

  // Constants (CFSTR strings, booleans, constant UUIDs) live for the whole process.
  void MarkImmortal();

  const CFTypeID m_typeID;
  std::atomic<long> m_refCount{1};
  bool m_immortal = false;  // constant strings, booleans, constant UUIDs
};

inline const __CFObject* CFObj(CFTypeRef cf) { return static_cast<const __CFObject*>(cf); }
inline __CFObject* CFObjMut(CFTypeRef cf) { return const_cast<__CFObject*>(CFObj(cf)); }

struct __CFString : __CFObject {
  explicit __CFString(std::string utf8) : __CFObject(kTypeIDString), m_utf8(std::move(utf8)) {}
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override;
  std::string Describe() const override { return m_utf8; }
  std::string m_utf8;
};

struct __CFNumber : __CFObject {
  __CFNumber() : __CFObject(kTypeIDNumber) {}
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override;
  std::string Describe() const override;
  CFNumberType m_type = kCFNumberSInt64Type;
  bool m_isFloat = false;
  __int128 m_int = 0;
  double m_double = 0;
};

struct __CFBoolean : __CFObject {
  explicit __CFBoolean(bool v) : __CFObject(kTypeIDBoolean), m_value(v) { MarkImmortal(); }
  std::string Describe() const override { return m_value ? "true" : "false"; }
  bool m_value;
};

struct __CFData : __CFObject {
  __CFData() : __CFObject(kTypeIDData) {}
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override;
  std::string Describe() const override;
  std::vector<UInt8> m_bytes;
};

struct __CFArray : __CFObject {
  __CFArray() : __CFObject(kTypeIDArray) {}
  ~__CFArray() override;
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override { return m_values.size(); }
  std::string Describe() const override;
  std::vector<CFTypeRef> m_values;  // each retained
  bool m_mutable = false;
};

struct __CFDictionary : __CFObject {
  __CFDictionary() : __CFObject(kTypeIDDictionary) {}
  ~__CFDictionary() override;
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override { return m_entries.size(); }
  std::string Describe() const override;
  // Index of the entry whose key CFEquals `key`, or -1.
  long Find(CFTypeRef key) const;
  std::vector<std::pair<CFTypeRef, CFTypeRef>> m_entries;  // each retained, insertion order
  bool m_mutable = false;
};

struct __CFURL : __CFObject {
  __CFURL() : __CFObject(kTypeIDURL) {}
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override;
  std::string Describe() const override { return AbsolutePath(); }
  std::string AbsolutePath() const;
  std::string m_path;  // absolute, or relative to m_basePath
  std::string m_basePath;
  bool m_isDirectory = false;
};

struct __CFUUID : __CFObject {
  __CFUUID() : __CFObject(kTypeIDUUID) {}
  bool Equal(const __CFObject& other) const override;
  CFHashCode Hash() const override;
  std::string Describe() const override;
  CFUUIDBytes m_bytes{};
};

// Helpers shared by the cf/ sources.
CFStringRef CFStringFromUTF8(const std::string& utf8);
const std::string& CFStringUTF8(CFStringRef str);
// Text of `str` in `encoding`; false when it has no exact form there.
[[nodiscard]] bool CFStringEncode(const std::string& utf8, CFStringEncoding encoding, std::string& o_bytes);
// Text from `bytes` in `encoding`; false when they are invalid there.
[[nodiscard]] bool CFStringDecode(const std::string& bytes, CFStringEncoding encoding, std::string& o_utf8);
std::u16string UTF8ToUTF16(const std::string& utf8);
bool UTF16ToUTF8(const std::u16string& utf16, std::string& o_utf8);
bool IsValidUTF8(const std::string& s);
