// Bundles at Mac paths, read through the host paths under the system root.
#include "platform/CFBundle.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <unordered_map>
#include <vector>

#include "CFInternal.h"
#include "platform/CFRef.h"
#include "platform/PlistCodec.h"
#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kCFBundleExecutableKey = CFSTR("CFBundleExecutable");

namespace {

enum : CFTypeID { kTypeIDBundle = kTypeIDFirstService + 42 };

bool IsDirectory(const std::string& hostPath) {
  struct stat st;
  return ::stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& hostPath) {
  struct stat st;
  return ::stat(hostPath.c_str(), &st) == 0;
}

std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string StripTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// Null unless the file holds a dictionary.
CFDictionaryRef ReadInfoPlist(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) return nullptr;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return nullptr;
  CFRef<CFPropertyListRef> plist(platform::plist::Decode(bytes.data(), bytes.size(), kCFPropertyListImmutable, nullptr));
  if (!plist || CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) return nullptr;
  return static_cast<CFDictionaryRef>(plist.release());
}

// For what the main bundle keeps: it lives as long as the process, like a constant.
void MarkTreeImmortal(CFTypeRef value) {
  CFObjMut(value)->MarkImmortal();
  if (CFGetTypeID(value) == CFArrayGetTypeID()) {
    for (CFTypeRef v : static_cast<const __CFArray*>(value)->m_values) MarkTreeImmortal(v);
  } else if (CFGetTypeID(value) == CFDictionaryGetTypeID()) {
    for (const auto& [k, v] : static_cast<const __CFDictionary*>(value)->m_entries) {
      MarkTreeImmortal(k);
      MarkTreeImmortal(v);
    }
  }
}

// Where Info.plist, Resources and MacOS sit: "Contents" when the bundle has one, else the bundle itself.
std::string ContentRoot(const std::string& bundleHostPath, bool* o_hasContents) {
  bool has = IsDirectory(Join(bundleHostPath, "Contents"));
  if (o_hasContents) *o_hasContents = has;
  return has ? Join(bundleHostPath, "Contents") : bundleHostPath;
}

}  // namespace

struct __CFBundle : __CFObject {
  __CFBundle(std::string macPath, bool registered)
      : __CFObject(kTypeIDBundle),
        m_macPath(std::move(macPath)),
        m_hostPath(platform::MacToHost(m_macPath)),
        m_registered(registered) {
    ContentRoot(m_hostPath, &m_hasContents);
  }
  ~__CFBundle() override;

  std::string ContentMacPath() const { return m_hasContents ? Join(m_macPath, "Contents") : m_macPath; }

  CFDictionaryRef Info() {
    platform::MutexLock lock(m_mutex);
    if (!m_infoLoaded) {
      m_info.reset(ReadInfoPlist(Join(ContentRoot(m_hostPath, nullptr), "Info.plist")));
      if (!m_info)
        m_info.reset(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks));
      if (m_immortal) MarkTreeImmortal(m_info.get());
      m_infoLoaded = true;
    }
    return m_info.get();
  }

  const std::string m_macPath;
  const std::string m_hostPath;
  const bool m_registered;
  bool m_hasContents = false;
  std::string m_mainExecutableMacPath;  // the main bundle only
  platform::Mutex m_mutex;
  bool m_infoLoaded GUARDED_BY(m_mutex) = false;
  CFRef<CFDictionaryRef> m_info GUARDED_BY(m_mutex);
};

namespace {

// Live bundles by host path. Entries do not own their bundle: the last release removes it.
struct Registry {
  platform::Mutex mutex;
  std::unordered_map<std::string, __CFBundle*> byHostPath GUARDED_BY(mutex);
  // Main bundles ever handed out stay alive: callers hold them without a reference.
  std::vector<std::unique_ptr<__CFBundle>> mainBundles GUARDED_BY(mutex);
  std::string mainExecutableOverride GUARDED_BY(mutex);
};

Registry& TheRegistry() {
  static Registry* r = new Registry();  // never destroyed: bundles may be released during exit
  return *r;
}

// A reference to a bundle whose count may already have reached zero on another thread.
bool TryRetain(__CFBundle* b) {
  long n = b->m_refCount.load();
  while (n > 0)
    if (b->m_refCount.compare_exchange_weak(n, n + 1)) return true;
  return false;
}

std::string RunningExecutableMacPath() {
  static const std::string hostPath = [] {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }();
  return platform::HostToMac(hostPath);
}

std::string MainBundleMacPath(const std::string& executable) {
  std::string dir = Parent(executable);
  std::string contents = Parent(dir);
  if (LastComponent(dir) == "MacOS" && LastComponent(contents) == "Contents" && contents != "/Contents")
    return Parent(contents);
  return dir;
}

__CFBundle* AsBundle(CFBundleRef b) { return b && CFGetTypeID(b) == kTypeIDBundle ? b : nullptr; }

CFURLRef DirectoryURL(const std::string& macPath) {
  CFRef<CFStringRef> path(CFStringFromUTF8(macPath));
  return CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, true);
}

CFURLRef FileURL(const std::string& macPath, bool isDirectory) {
  CFRef<CFStringRef> path(CFStringFromUTF8(macPath));
  return CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, isDirectory);
}

std::string ResourcesMacPath(const __CFBundle* b) {
  return b->m_hasContents ? Join(b->m_macPath, "Contents/Resources") : b->m_macPath;
}

}  // namespace

__CFBundle::~__CFBundle() {
  if (!m_registered) return;
  Registry& r = TheRegistry();
  platform::MutexLock lock(r.mutex);
  auto it = r.byHostPath.find(m_hostPath);
  if (it != r.byHostPath.end() && it->second == this) r.byHostPath.erase(it);
}

CFTypeID CFBundleGetTypeID() { return kTypeIDBundle; }

void platform::SetMainBundleExecutable(const std::string& macExecutablePath) {
  Registry& r = TheRegistry();
  platform::MutexLock lock(r.mutex);
  r.mainExecutableOverride = macExecutablePath;
}

CFBundleRef CFBundleGetMainBundle() {
  Registry& r = TheRegistry();
  platform::MutexLock lock(r.mutex);
  std::string executable = r.mainExecutableOverride.empty() ? RunningExecutableMacPath() : r.mainExecutableOverride;
  if (executable.empty()) return nullptr;
  std::string macPath = MainBundleMacPath(executable);
  // The root or the executable may change under tests; each distinct place gets its own bundle.
  for (auto& b : r.mainBundles)
    if (b->m_macPath == macPath && b->m_hostPath == platform::MacToHost(macPath) &&
        b->m_mainExecutableMacPath == executable)
      return b.get();
  auto b = std::make_unique<__CFBundle>(macPath, false);
  b->m_mainExecutableMacPath = executable;
  b->MarkImmortal();
  r.mainBundles.push_back(std::move(b));
  return r.mainBundles.back().get();
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
  if (!bundleURL || CFGetTypeID(bundleURL) != CFURLGetTypeID()) return nullptr;
  std::string macPath = StripTrailingSlashes(bundleURL->AbsolutePath());
  if (macPath.empty()) return nullptr;
  std::string hostPath = platform::MacToHost(macPath);
  if (!IsDirectory(hostPath)) return nullptr;
  Registry& r = TheRegistry();
  platform::MutexLock lock(r.mutex);
  auto it = r.byHostPath.find(hostPath);
  if (it != r.byHostPath.end() && TryRetain(it->second)) return it->second;
  auto* b = new __CFBundle(macPath, true);
  r.byHostPath[hostPath] = b;
  return b;
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID) {
  if (!bundleID) return nullptr;
  CFBundleRef main = CFBundleGetMainBundle();
  if (main && CFEqual(CFBundleGetIdentifier(main), bundleID)) return main;
  std::vector<CFRef<CFBundleRef>> live;
  {
    Registry& r = TheRegistry();
    platform::MutexLock lock(r.mutex);
    for (auto& [path, b] : r.byHostPath)
      if (TryRetain(b)) live.emplace_back(b);
  }
  // Returned without a reference, as the Mac does: the caller's own reference keeps it alive.
  for (auto& b : live)
    if (CFEqual(CFBundleGetIdentifier(b.get()), bundleID)) return b.get();
  return nullptr;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
  __CFBundle* b = AsBundle(bundle);
  return b ? DirectoryURL(b->m_macPath) : nullptr;
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) {
  __CFBundle* b = AsBundle(bundle);
  if (!b) return nullptr;
  CFRef<CFURLRef> base(DirectoryURL(b->m_macPath));
  CFStringRef relative = b->m_hasContents ? CFSTR("Contents/Resources") : CFSTR(".");
  return CFURLCreateWithFileSystemPathRelativeToBase(nullptr, relative, kCFURLPOSIXPathStyle, true, base.get());
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName) {
  __CFBundle* b = AsBundle(bundle);
  if (!b || !resourceName) return nullptr;
  std::string name = CFStringUTF8(resourceName);
  std::string type = CFStringUTF8(resourceType);
  if (!type.empty()) name += (type[0] == '.' ? "" : ".") + type;
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  std::string dir = ResourcesMacPath(b);
  std::string sub = CFStringUTF8(subDirName);
  for (const char* localized : {"", "English.lproj", "en.lproj"}) {
    std::string where = dir;
    if (*localized) where = Join(where, localized);
    if (!sub.empty()) where = Join(where, sub);
    std::string mac = Join(where, name);
    std::string host = platform::MacToHost(mac);
    if (Exists(host)) return FileURL(mac, IsDirectory(host));
  }
  return nullptr;
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle) {
  __CFBundle* b = AsBundle(bundle);
  if (!b) return nullptr;
  if (!b->m_mainExecutableMacPath.empty()) {
    const std::string& exe = b->m_mainExecutableMacPath;
    return Exists(platform::MacToHost(exe)) ? FileURL(exe, false) : nullptr;
  }
  std::string name;
  CFTypeRef key = CFDictionaryGetValue(b->Info(), kCFBundleExecutableKey);
  if (key && CFGetTypeID(key) == CFStringGetTypeID()) name = CFStringUTF8(static_cast<CFStringRef>(key));
  if (name.empty()) {
    name = LastComponent(b->m_macPath);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
  }
  if (name.find('/') != std::string::npos) return nullptr;
  std::string mac = b->m_hasContents ? Join(b->m_macPath, "Contents/MacOS/" + name) : Join(b->m_macPath, name);
  return Exists(platform::MacToHost(mac)) && !IsDirectory(platform::MacToHost(mac)) ? FileURL(mac, false) : nullptr;
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
  __CFBundle* b = AsBundle(bundle);
  return b ? b->Info() : nullptr;
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
  return key ? CFDictionaryGetValue(CFBundleGetInfoDictionary(bundle), key) : nullptr;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
  CFTypeRef id = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleIdentifierKey);
  return id && CFGetTypeID(id) == CFStringGetTypeID() ? static_cast<CFStringRef>(id) : nullptr;
}

CFDictionaryRef CFBundleCopyInfoDictionaryInDirectory(CFURLRef bundleURL) {
  if (!bundleURL || CFGetTypeID(bundleURL) != CFURLGetTypeID()) return nullptr;
  std::string macPath = StripTrailingSlashes(bundleURL->AbsolutePath());
  if (macPath.empty()) return nullptr;
  std::string host = platform::MacToHost(macPath);
  if (!IsDirectory(host)) return nullptr;
  return ReadInfoPlist(Join(ContentRoot(host, nullptr), "Info.plist"));
}
