#include <cstring>

#include "CFInternal.h"

namespace {

std::string StripTrailingSlash(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string PercentEscaped(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,;=:@", c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

CFURLRef MakeURL(std::string path, bool isDirectory, std::string base) {
  auto* u = new __CFURL();
  u->m_path = StripTrailingSlash(std::move(path));
  u->m_isDirectory = isDirectory;
  u->m_basePath = StripTrailingSlash(std::move(base));
  return u;
}

}  // namespace

std::string __CFURL::AbsolutePath() const {
  if (m_path.empty()) return m_basePath;
  if (m_path[0] == '/' || m_basePath.empty()) return m_path;
  return m_basePath == "/" ? "/" + m_path : m_basePath + "/" + m_path;
}

bool __CFURL::Equal(const __CFObject& other) const {
  const auto& o = static_cast<const __CFURL&>(other);
  return m_path == o.m_path && m_basePath == o.m_basePath && m_isDirectory == o.m_isDirectory;
}

CFHashCode __CFURL::Hash() const { return std::hash<std::string>()(AbsolutePath()); }

CFTypeID CFURLGetTypeID() { return kTypeIDURL; }

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle, Boolean isDirectory) {
  if (!filePath || CFStringUTF8(filePath).empty()) return nullptr;
  return MakeURL(CFStringUTF8(filePath), isDirectory, "");
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
  if (!buffer || bufLen <= 0) return nullptr;
  std::string path(reinterpret_cast<const char*>(buffer), bufLen);
  path = path.substr(0, path.find('\0'));
  if (path.empty()) return nullptr;
  return MakeURL(path, isDirectory, "");
}

CFURLRef CFURLCreateWithFileSystemPathRelativeToBase(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle,
                                                     Boolean isDirectory, CFURLRef baseURL) {
  if (!filePath) return nullptr;
  return MakeURL(CFStringUTF8(filePath), isDirectory, baseURL ? baseURL->AbsolutePath() : "");
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url, CFStringRef pathComponent,
                                               Boolean isDirectory) {
  if (!url || !pathComponent) return nullptr;
  std::string p = url->m_path;
  if (!p.empty() && p.back() != '/') p += '/';
  return MakeURL(p + CFStringUTF8(pathComponent), isDirectory, url->m_basePath);
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef url) {
  if (!url) return nullptr;
  return MakeURL(url->AbsolutePath(), url->m_isDirectory, "");
}

CFStringRef CFURLCopyPath(CFURLRef url) {
  if (!url) return nullptr;
  std::string p = url->m_path;
  if (url->m_isDirectory && (p.empty() || p.back() != '/')) p += '/';
  return CFStringFromUTF8(PercentEscaped(p));
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle) {
  return url ? CFStringFromUTF8(url->m_path) : nullptr;
}

CFStringRef CFURLGetString(CFURLRef url) {
  // The Mac returns a string owned by the URL; ours is uniqued per text and lives as long.
  if (!url) return nullptr;
  std::string p = PercentEscaped(url->m_path);
  if (url->m_isDirectory && (p.empty() || p.back() != '/')) p += '/';
  if (!url->m_path.empty() && url->m_path[0] == '/') p = "file://" + p;
  return __CFStringMakeConstantString(p.c_str());
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
  if (!url) return nullptr;
  std::string p = url->AbsolutePath();
  size_t slash = p.rfind('/');
  return CFStringFromUTF8(slash == std::string::npos || p == "/" ? p : p.substr(slash + 1));
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen) {
  if (!url || !buffer || maxBufLen <= 0) return false;
  std::string p = resolveAgainstBase ? url->AbsolutePath() : url->m_path;
  if (static_cast<CFIndex>(p.size()) + 1 > maxBufLen) return false;
  std::memcpy(buffer, p.c_str(), p.size() + 1);
  return true;
}
