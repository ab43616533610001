#include "Ctl.h"

#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "CFUtil.h"
#include "ChangerDescription.h"
#include "Install.h"
#include "Knobs.h"
#include "platform/Clock.h"
#include "platform/HostLink.h"
#include "platform/PlistCodec.h"
#include "platform/SysRoot.h"

namespace simhost {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- JSON

namespace {

void AppendJSONString(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void AppendJSON(std::string& out, CFTypeRef v) {
  if (!v) {
    out += "null";
  } else if (cf::IsString(v)) {
    AppendJSONString(out, cf::ToString(v).value_or(""));
  } else if (cf::IsBool(v)) {
    out += CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  } else if (cf::IsNumber(v)) {
    if (auto n = cf::ToInt(v)) {
      out += std::to_string(*n);
    } else {
      double d = 0;
      // A number with no double value is unknown, not zero.
      if (!CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &d)) {
        out += "null";
      } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.17g", std::isfinite(d) ? d : 0.0);
        out += buf;
      }
    }
  } else if (cf::IsArray(v)) {
    auto a = static_cast<CFArrayRef>(v);
    out += '[';
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
      if (i) out += ',';
      AppendJSON(out, CFArrayGetValueAtIndex(a, i));
    }
    out += ']';
  } else if (cf::IsDict(v)) {
    auto d = static_cast<CFDictionaryRef>(v);
    out += '{';
    bool first = true;
    for (const std::string& k : cf::Keys(d)) {
      if (!first) out += ',';
      first = false;
      AppendJSONString(out, k);
      out += ':';
      AppendJSON(out, cf::Get(d, k));
    }
    out += '}';
  } else if (CFGetTypeID(v) == CFDataGetTypeID()) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto data = static_cast<CFDataRef>(v);
    const UInt8* p = CFDataGetBytePtr(data);
    size_t n = static_cast<size_t>(CFDataGetLength(data));
    std::string b64;
    for (size_t i = 0; i < n; i += 3) {
      uint32_t chunk = uint32_t{p[i]} << 16 | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
      b64 += digits[chunk >> 18 & 63];
      b64 += digits[chunk >> 12 & 63];
      b64 += i + 1 < n ? digits[chunk >> 6 & 63] : '=';
      b64 += i + 2 < n ? digits[chunk & 63] : '=';
    }
    AppendJSONString(out, b64);
  } else {
    out += "null";
  }
}

}  // namespace

std::string ToJSON(CFTypeRef value) {
  std::string out;
  AppendJSON(out, value);
  return out;
}

// ---------------------------------------------------------------- command line

namespace {

enum Exit { kDone = 0, kRefused = 1, kUsage = 64, kNoHost = 69 };

const char* kUsageText =
    "usage: simhostctl [--root ROOT] [--json] COMMAND [ARGUMENTS]\n"
    "  status | tree | changers | knobs | alerts\n"
    "  slots [--changer GUID]          drives [--changer GUID]\n"
    "  add-changer FILE [--at-start]\n"
    "  unplug [--changer GUID]         replug [--changer GUID] [--after SECONDS]\n"
    "  insert [--changer GUID] [--slot N] [FILE | --type TYPE [--fs FS --name NAME] [--blank] [--unreadable]]\n"
    "  remove [--changer GUID] --slot N\n"
    "  load-end [--changer GUID]\n"
    "  set [--changer GUID] [--slot N] KNOB VALUE\n"
    "  message [--changer GUID] TYPE [ARGUMENT]\n"
    "  eject BSD-NAME\n"
    "  log [-n LINES] [-f]\n"
    "  clock [--rate N] [--advance SECONDS]\n";

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--changer" -> value; flags map to ""
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::string Get(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::string() : it->second;
  }
};

const std::map<std::string, bool>& KnownOptions() {
  // name -> takes a value
  static const std::map<std::string, bool> known = {
      {"--root", true},   {"--json", false},  {"--changer", true}, {"--slot", true},   {"--after", true},
      {"--at-start", false}, {"--rate", true}, {"--advance", true}, {"-n", true},      {"-f", false},
      {"--type", true},   {"--fs", true},     {"--name", true},    {"--blank", false}, {"--unreadable", false},
  };
  return known;
}

bool ParseArgs(const std::vector<std::string>& in, Args& o_args, std::string& o_error) {
  o_args = Args{};
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& a = in[i];
    if (a.size() > 1 && a[0] == '-' && !(a.size() > 1 && std::isdigit(static_cast<unsigned char>(a[1])))) {
      auto it = KnownOptions().find(a);
      if (it == KnownOptions().end()) {
        o_error = "unknown option " + a;
        return false;
      }
      if (it->second) {
        if (i + 1 >= in.size()) {
          o_error = a + " needs a value";
          return false;
        }
        o_args.options[a] = in[++i];
      } else {
        o_args.options[a] = "";
      }
    } else {
      o_args.positional.push_back(a);
    }
  }
  return true;
}

std::optional<int64_t> ParseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno || !end || *end) return std::nullopt;
  return v;
}

std::optional<double> ParseReal(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (!end || *end || !std::isfinite(v)) return std::nullopt;
  return v;
}

CFRef<CFDictionaryRef> ReadPlistFile(const std::string& path, std::string& o_error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    o_error = path + ": cannot be read";
    return {};
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string data = bytes.str();
  std::string error;
  CFRef<CFPropertyListRef> p(platform::plist::Decode(data.data(), data.size(), kCFPropertyListImmutable, &error));
  if (!p || !cf::IsDict(p.get())) {
    o_error = path + ": not a property-list dictionary" + (error.empty() ? "" : " (" + error + ")");
    return {};
  }
  return CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(p.release()));
}

std::string Hex(int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%" PRIX64, static_cast<uint64_t>(v));
  return buf;
}

std::string Pad(const std::string& s, size_t width) { return s.size() >= width ? s : s + std::string(width - s.size(), ' '); }
std::string PadLeft(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The value of a tree property as one short word.
std::string Short(const std::string& key, CFTypeRef v) {
  if (auto n = cf::ToInt(v)) {
    if (key == "GUID") return FormatGUID(static_cast<uint64_t>(*n));
    if (key == "DVD Features") return Hex(*n);
    return std::to_string(*n);
  }
  if (auto s = cf::ToString(v)) return *s;
  if (cf::IsBool(v)) return CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  if (cf::IsArray(v)) {
    auto a = static_cast<CFArrayRef>(v);
    std::string items;
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
      auto n = cf::ToInt(CFArrayGetValueAtIndex(a, i));
      items += (i ? "," : "") + (n ? std::to_string(*n) : std::string("..."));
    }
    return "(" + items + ")";
  }
  return "...";
}

void PrintTree(std::ostream& out, CFDictionaryRef node, int depth) {
  static const char* shown[] = {"GUID",      "BSD Name", "Storage Element Address", "Last Release Time",
                                "DVD Features", "Whole", "Type",                    "Content Hint",
                                "Current Mounted Storage Elements", "Current Data Transfer Element Configuration",
                                "Loaded Storage Element Count"};
  out << std::string(static_cast<size_t>(depth) * 2, ' ') << cf::GetString(node, "class").value_or("?");
  CFDictionaryRef props = cf::GetDict(node, "properties");
  for (const char* key : shown)
    if (CFTypeRef v = cf::Get(props, key)) out << "  " << key << "=" << Short(key, v);
  out << "\n";
  if (CFArrayRef children = cf::GetArray(node, "children"))
    for (CFIndex i = 0; i < CFArrayGetCount(children); ++i)
      PrintTree(out, static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(children, i)), depth + 1);
}

std::string DiscContent(CFDictionaryRef slot) {
  if (cf::GetBool(slot, "Unreadable").value_or(false)) return "unreadable";
  if (cf::GetBool(slot, "Blank").value_or(false)) return "blank";
  std::string out;
  if (CFArrayRef parts = cf::GetArray(slot, "Partitions"))
    for (CFIndex i = 0; i < CFArrayGetCount(parts); ++i) {
      auto p = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(parts, i));
      int64_t slice = cf::GetInt(p, "Slice").value_or(0);
      std::string fsName = cf::GetString(p, "File System").value_or("");
      std::string part = (slice ? "s" + std::to_string(slice) + " " : "") + (fsName.empty() ? "no file system" : fsName);
      if (!fsName.empty()) part += " \"" + cf::GetString(p, "Volume Name").value_or("") + "\"";
      out += (out.empty() ? "" : ", ") + part;
    }
  return out.empty() ? "no file system" : out;
}

class Ctl {
 public:
  Ctl(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

  int Run(const std::vector<std::string>& argv) {
    std::string error;
    if (!ParseArgs(argv, m_args, error)) return Usage(error);
    if (m_args.positional.empty()) return Usage("no command");
    m_json = m_args.Has("--json");
    std::string root = m_args.Get("--root");
    if (root.empty())
      if (const char* env = std::getenv("SHELVONX_SYSROOT")) root = env;
    if (root.empty()) return Usage("no system root: pass --root ROOT or set SHELVONX_SYSROOT");
    std::error_code ec;
    m_root = fs::absolute(root, ec).lexically_normal().string();
    while (m_root.size() > 1 && m_root.back() == '/') m_root.pop_back();
    ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();

    std::string command = m_args.positional[0];
    static const std::map<std::string, std::function<int(Ctl&)>> commands = {
        {"status", &Ctl::Status},   {"tree", &Ctl::Tree},         {"changers", &Ctl::Changers},
        {"slots", &Ctl::Slots},     {"drives", &Ctl::Drives},     {"add-changer", &Ctl::AddChanger},
        {"unplug", &Ctl::Unplug},   {"replug", &Ctl::Replug},     {"insert", &Ctl::Insert},
        {"remove", &Ctl::Remove},   {"load-end", &Ctl::LoadEnd},  {"set", &Ctl::Set},
        {"message", &Ctl::Message}, {"alerts", &Ctl::Alerts},     {"log", &Ctl::Log},
        {"clock", &Ctl::Clock},     {"knobs", &Ctl::Knobs},       {"eject", &Ctl::Eject},
    };
    auto it = commands.find(command);
    if (it == commands.end()) return Usage("unknown command \"" + command + "\"");
    return it->second(*this);
  }

 private:
  int Usage(const std::string& error) {
    m_err << "simhostctl: " << error << "\n" << kUsageText;
    return kUsage;
  }
  int Fail(const std::string& error) {
    m_err << "simhostctl: " << error << "\n";
    return kRefused;
  }
  int NoHost() {
    m_err << "simhostctl: no host is serving " << m_root << " (start it with `simhostd run " << m_root << "`)\n";
    return kNoHost;
  }
  bool Positionals(size_t low, size_t high) const {
    return m_args.positional.size() >= low + 1 && m_args.positional.size() <= high + 1;
  }

  // Sends a control request; fills o_reply on success. Returns an exit status.
  int Send(const std::string& command, CFMutableDictionaryRef request, CFRef<CFDictionaryRef>& o_reply) {
    cf::Set(request, "op", "control");
    cf::Set(request, "command", command);
    if (m_args.Has("--changer")) cf::Set(request, "guid", m_args.Get("--changer"));
    if (m_args.Has("--slot")) {
      auto slot = ParseInteger(m_args.Get("--slot"));
      // Storage element numbers are 16-bit on the wire; the host must never see one wrapped.
      if (!slot || *slot < 0 || *slot > INT16_MAX) return Usage("--slot takes a storage element number (0 to 32767)");
      cf::Set(request, "slot", *slot);
    }
    o_reply = platform::hostlink::Call(request);
    if (!o_reply) return NoHost();
    if (platform::hostlink::ReplyStatus(o_reply.get(), -1) != 0)
      return Fail(cf::GetString(o_reply.get(), "error").value_or("the host refused the request"));
    return kDone;
  }
  int Send(const std::string& command, CFRef<CFDictionaryRef>& o_reply) {
    auto request = cf::Dict();
    return Send(command, request.get(), o_reply);
  }
  // The reply without its protocol keys, as JSON.
  void PrintJSON(CFDictionaryRef reply) {
    CFRef<CFMutableDictionaryRef> copy(CFDictionaryCreateMutableCopy(nullptr, 0, reply));
    for (const char* key : {"id", "kr"}) cf::Set(copy.get(), key, static_cast<CFTypeRef>(nullptr));
    m_out << ToJSON(copy.get()) << "\n";
  }
  // Action commands: JSON of the reply, or one line of text.
  int Done(CFDictionaryRef reply, const std::string& text) {
    if (m_json)
      PrintJSON(reply);
    else
      m_out << text << "\n";
    return kDone;
  }
  std::string ChangerName(CFDictionaryRef reply) {
    return cf::GetString(reply, "guid").value_or(m_args.Has("--changer") ? m_args.Get("--changer") : "");
  }

  int Status() {
    if (!Positionals(0, 0)) return Usage("status takes no arguments");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("status", reply)) return rc;
    if (m_json) {
      PrintJSON(reply.get());
      return kDone;
    }
    char clock[96];
    std::snprintf(clock, sizeof clock, "%.3f (rate %g)", cf::GetReal(reply.get(), "now").value_or(0),
                  cf::GetReal(reply.get(), "rate").value_or(1));
    std::string clients;
    if (CFArrayRef list = cf::GetArray(reply.get(), "clients"))
      for (CFIndex i = 0; i < CFArrayGetCount(list); ++i) {
        auto c = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(list, i));
        clients += (clients.empty() ? "" : " ") + cf::GetString(c, "program").value_or("?") + "[" +
                   std::to_string(cf::GetInt(c, "pid").value_or(0)) + "]";
      }
    std::string knobs;
    CFDictionaryRef k = cf::GetDict(reply.get(), "knobs");
    for (const auto& name : cf::Keys(k)) knobs += (knobs.empty() ? "" : " ") + name + "=" + Short(name, cf::Get(k, name));
    m_out << "root:     " << cf::GetString(reply.get(), "root").value_or("") << "\n"
          << "host:     pid " << cf::GetInt(reply.get(), "pid").value_or(0) << "\n"
          << "clock:    " << clock << "\n"
          << "changers: " << cf::GetInt(reply.get(), "changers").value_or(0) << "\n"
          << "alerts:   " << cf::GetInt(reply.get(), "alerts").value_or(0) << "\n"
          << "clients:  " << (clients.empty() ? "none" : clients) << "\n"
          << "knobs:    " << (knobs.empty() ? "none" : knobs) << "\n";
    return kDone;
  }

  int Tree() {
    if (!Positionals(0, 0)) return Usage("tree takes no arguments");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("tree", reply)) return rc;
    if (m_json) {
      m_out << ToJSON(cf::GetDict(reply.get(), "tree")) << "\n";
      return kDone;
    }
    PrintTree(m_out, cf::GetDict(reply.get(), "tree"), 0);
    return kDone;
  }

  // The changers of the reply; with --changer only that one.
  int ChangerList(std::vector<CFDictionaryRef>& o_list, CFRef<CFDictionaryRef>& o_reply) {
    o_list.clear();
    auto request = cf::Dict();
    cf::Set(request.get(), "op", "control");
    cf::Set(request.get(), "command", "changers");
    o_reply = platform::hostlink::Call(request.get());
    if (!o_reply) return NoHost();
    uint64_t wanted = 0;
    bool filter = m_args.Has("--changer");
    if (filter && !ParseGUID(m_args.Get("--changer"), wanted))
      return Fail("\"" + m_args.Get("--changer") + "\" is not a GUID (up to 16 hexadecimal digits)");
    if (CFArrayRef all = cf::GetArray(o_reply.get(), "changers"))
      for (CFIndex i = 0; i < CFArrayGetCount(all); ++i) {
        auto c = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(all, i));
        uint64_t guid = 0;
        // A changer whose GUID does not parse must not match "--changer 0".
        bool known = ParseGUID(cf::GetString(c, "GUID").value_or(""), guid);
        if (!filter || (known && guid == wanted)) o_list.push_back(c);
      }
    if (filter && o_list.empty()) return Fail("no changer with GUID " + FormatGUID(wanted));
    return kDone;
  }

  int Changers() {
    if (!Positionals(0, 0)) return Usage("changers takes no arguments");
    std::vector<CFDictionaryRef> list;
    CFRef<CFDictionaryRef> reply;
    if (int rc = ChangerList(list, reply)) return rc;
    if (m_json) {
      auto array = cf::Array();
      for (CFDictionaryRef c : list) cf::Append(array.get(), c);
      m_out << ToJSON(array.get()) << "\n";
      return kDone;
    }
    m_out << "GUID              STATE      SLOTS  LOADED  DRIVES  MEDIA OBJECT\n";
    for (CFDictionaryRef c : list) {
      CFArrayRef media = cf::GetArray(c, "Media Object");
      std::string mediaText;
      for (CFIndex i = 0; media && i < CFArrayGetCount(media); ++i)
        mediaText += (i ? "," : "") + cf::ToString(CFArrayGetValueAtIndex(media, i)).value_or("");
      CFArrayRef drives = cf::GetArray(c, "Drives");
      m_out << Pad(cf::GetString(c, "GUID").value_or(""), 18)
            << Pad(cf::GetBool(c, "Plugged").value_or(false) ? "plugged" : "unplugged", 11)
            << Pad(std::to_string(cf::GetInt(c, "Storage Elements").value_or(0)), 7)
            << Pad(std::to_string(cf::GetInt(c, "Loaded").value_or(0)), 8)
            << Pad(std::to_string(drives ? CFArrayGetCount(drives) : 0), 8) << (mediaText.empty() ? "-" : mediaText)
            << "\n";
    }
    return kDone;
  }

  int Slots() {
    if (!Positionals(0, 0)) return Usage("slots takes no arguments");
    std::vector<CFDictionaryRef> list;
    CFRef<CFDictionaryRef> reply;
    if (int rc = ChangerList(list, reply)) return rc;
    if (m_json) return PrintSection(list, "Slots");
    for (CFDictionaryRef c : list) {
      m_out << "changer " << cf::GetString(c, "GUID").value_or("") << "\n"
            << "SLOT  MEDIA     DRIVE  DISK     CONTENT\n";
      CFArrayRef slots = cf::GetArray(c, "Slots");
      for (CFIndex i = 0; slots && i < CFArrayGetCount(slots); ++i) {
        auto s = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(slots, i));
        std::string line = PadLeft(std::to_string(cf::GetInt(s, "Storage Element").value_or(i)), 4) + "  ";
        if (!cf::GetBool(s, "Full").value_or(false)) {
          m_out << line << "empty\n";
          continue;
        }
        int64_t drive = cf::GetInt(s, "Drive").value_or(-1);
        std::string disk = "-";
        if (CFArrayRef bsd = cf::GetArray(s, "BSD Names"); bsd && CFArrayGetCount(bsd) > 0)
          disk = cf::ToString(CFArrayGetValueAtIndex(bsd, 0)).value_or("-");
        line += Pad(cf::GetString(s, "Media Type").value_or(""), 10) + Pad(drive >= 0 ? std::to_string(drive) : "-", 7) +
                Pad(disk, 9) + DiscContent(s);
        CFDictionaryRef entry = cf::GetDict(s, "Entry");
        std::string tag = Trimmed(cf::GetString(entry, "Primary Volume Tag").value_or(""));
        if (!tag.empty())
          line += "  tag \"" + tag + "\" " + std::to_string(cf::GetInt(entry, "Primary Volume Sequence").value_or(0)) +
                  "/" + std::to_string(cf::GetInt(entry, "Alternate Volume Sequence").value_or(0));
        m_out << line << "\n";
      }
    }
    return kDone;
  }

  int Drives() {
    if (!Positionals(0, 0)) return Usage("drives takes no arguments");
    std::vector<CFDictionaryRef> list;
    CFRef<CFDictionaryRef> reply;
    if (int rc = ChangerList(list, reply)) return rc;
    if (m_json) return PrintSection(list, "Drives");
    for (CFDictionaryRef c : list) {
      m_out << "changer " << cf::GetString(c, "GUID").value_or("") << "\n"
            << "DRIVE  FEATURES  SLOT  DISK\n";
      CFArrayRef drives = cf::GetArray(c, "Drives");
      for (CFIndex i = 0; drives && i < CFArrayGetCount(drives); ++i) {
        auto d = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(drives, i));
        int64_t se = cf::GetInt(d, "Storage Element").value_or(-1);
        std::string disk = cf::GetString(d, "BSD Name").value_or("");
        m_out << PadLeft(std::to_string(cf::GetInt(d, "Drive").value_or(i)), 5) << "  "
              << Pad(Hex(cf::GetInt(d, "DVD Features").value_or(0)), 10) << Pad(se >= 0 ? std::to_string(se) : "-", 6)
              << (disk.empty() ? "-" : disk) << (cf::GetBool(d, "Published").value_or(false) ? "" : "  (not published)")
              << "\n";
      }
    }
    return kDone;
  }

  int PrintSection(const std::vector<CFDictionaryRef>& list, const char* key) {
    auto array = cf::Array();
    for (CFDictionaryRef c : list) {
      auto d = cf::Dict();
      cf::Set(d.get(), "GUID", cf::Get(c, "GUID"));
      cf::Set(d.get(), key, cf::Get(c, key));
      cf::Append(array.get(), d.get());
    }
    m_out << ToJSON(array.get()) << "\n";
    return kDone;
  }

  int AddChanger() {
    if (!Positionals(1, 1)) return Usage("add-changer takes one description file");
    std::string file = m_args.positional[1];
    std::string error;
    CFRef<CFDictionaryRef> description = ReadPlistFile(file, error);
    if (!description) return Fail(error);
    std::error_code ec;
    std::string baseDir = fs::absolute(file, ec).parent_path().string();
    ChangerSpec spec;
    if (!ParseChangerDescription(description.get(), baseDir, spec, error)) return Fail(file + ": " + error);
    std::string guid = FormatGUID(spec.guid);
    bool atStart = m_args.Has("--at-start");
    // A running host decides first: a changer it refuses is not kept either.
    if (atStart && !platform::hostlink::Available()) {
      if (int rc = KeepAtStart(description.get(), baseDir, guid)) return rc;
      auto reply = cf::Dict();
      cf::Set(reply.get(), "guid", guid);
      return Done(reply.get(), "changer " + guid + " will be plugged in at every start of " + m_root);
    }
    auto request = cf::Dict();
    cf::Set(request.get(), "description", description.get());
    cf::Set(request.get(), "baseDir", baseDir);
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("add-changer", request.get(), reply)) return rc;
    if (atStart) {
      if (int rc = KeepAtStart(description.get(), baseDir, guid)) return rc;
    }
    return Done(reply.get(), "added changer " + guid);
  }

  // Kept in the root with its base directory, for every later start of the host.
  int KeepAtStart(CFDictionaryRef description, const std::string& baseDir, const std::string& guid) {
    CFRef<CFMutableDictionaryRef> kept(CFDictionaryCreateMutableCopy(nullptr, 0, description));
    if (!cf::Get(kept.get(), "Base Directory")) cf::Set(kept.get(), "Base Directory", baseDir);
    fs::path dir = fs::path(m_root) / fs::path(kAtStartDir).relative_path();
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ofstream out(dir / (guid + ".plist"), std::ios::binary | std::ios::trunc);
    out << platform::plist::EncodeXML(kept.get());
    if (!out.flush()) return Fail("cannot write " + (dir / (guid + ".plist")).string());
    return kDone;
  }

  int Unplug() {
    if (!Positionals(0, 0)) return Usage("unplug takes no arguments");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("unplug", reply)) return rc;
    return Done(reply.get(), "unplugged");
  }

  int Replug() {
    if (!Positionals(0, 0)) return Usage("replug takes no arguments");
    auto request = cf::Dict();
    double after = 0;
    if (m_args.Has("--after")) {
      auto a = ParseReal(m_args.Get("--after"));
      if (!a || *a < 0) return Usage("--after takes a number of seconds");
      after = *a;
    }
    cf::Set(request.get(), "after", cf::Double(after).get());
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("replug", request.get(), reply)) return rc;
    char text[64];
    std::snprintf(text, sizeof text, "plugged in again after %g seconds", after);
    return Done(reply.get(), text);
  }

  int Insert() {
    if (!Positionals(0, 1)) return Usage("insert takes at most one disc description file");
    auto request = cf::Dict();
    auto disc = cf::Dict();
    std::error_code ec;
    if (m_args.positional.size() == 2) {
      std::string error;
      CFRef<CFDictionaryRef> d = ReadPlistFile(m_args.positional[1], error);
      if (!d) return Fail(error);
      disc.reset(CFDictionaryCreateMutableCopy(nullptr, 0, d.get()));
      cf::Set(request.get(), "baseDir", fs::absolute(m_args.positional[1], ec).parent_path().string());
    }
    if (m_args.Has("--type")) cf::Set(disc.get(), "Media Type", m_args.Get("--type"));
    if (m_args.Has("--blank")) cf::SetBool(disc.get(), "Blank", true);
    if (m_args.Has("--unreadable")) cf::SetBool(disc.get(), "Unreadable", true);
    if (m_args.Has("--fs") || m_args.Has("--name")) {
      auto part = cf::Dict();
      cf::Set(part.get(), "File System", m_args.Get("--fs"));
      cf::Set(part.get(), "Volume Name", m_args.Get("--name"));
      auto parts = cf::Array();
      cf::Append(parts.get(), part.get());
      cf::Set(disc.get(), "Partitions", parts.get());
    }
    cf::Set(request.get(), "disc", disc.get());
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("insert", request.get(), reply)) return rc;
    return Done(reply.get(), "inserted a disc into storage element " +
                                 std::to_string(cf::GetInt(reply.get(), "slot").value_or(-1)));
  }

  int Remove() {
    if (!Positionals(0, 0) || !m_args.Has("--slot")) return Usage("remove needs --slot N");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("remove", reply)) return rc;
    return Done(reply.get(), "removed the disc of storage element " + m_args.Get("--slot"));
  }

  int LoadEnd() {
    if (!Positionals(0, 0)) return Usage("load-end takes no arguments");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("load-end", reply)) return rc;
    return Done(reply.get(), "load ended");
  }

  int Set() {
    if (!Positionals(2, 2)) return Usage("set takes a knob and a value");
    auto request = cf::Dict();
    cf::Set(request.get(), "knob", m_args.positional[1]);
    cf::Set(request.get(), "value", m_args.positional[2]);
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("set", request.get(), reply)) return rc;
    return Done(reply.get(), m_args.positional[1] + " = " + m_args.positional[2]);
  }

  int Message() {
    if (!Positionals(1, 2)) return Usage("message takes a message type and an optional argument");
    auto type = ParseInteger(m_args.positional[1]);
    if (!type || *type < 0 || *type > 0xFFFFFFFFLL) return Usage("the message type is a 32-bit number (0xE0034001)");
    auto request = cf::Dict();
    cf::Set(request.get(), "type", *type);
    if (m_args.positional.size() == 3) {
      auto argument = ParseInteger(m_args.positional[2]);
      if (!argument) return Usage("the message argument is a number");
      cf::Set(request.get(), "argument", *argument);
    }
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("message", request.get(), reply)) return rc;
    return Done(reply.get(), "sent message " + Hex(*type));
  }

  int Eject() {
    if (!Positionals(1, 1)) return Usage("eject takes a BSD name (disk2)");
    auto request = cf::Dict();
    cf::Set(request.get(), "op", "ejectDisk");
    cf::Set(request.get(), "bsd", m_args.positional[1]);
    CFRef<CFDictionaryRef> reply = platform::hostlink::Call(request.get());
    if (!reply) return NoHost();
    int kr = platform::hostlink::ReplyStatus(reply.get(), -1);
    if (kr != 0) return Fail("cannot eject " + m_args.positional[1] + " (" + Hex(static_cast<uint32_t>(kr)) + ")");
    return Done(reply.get(), "ejected " + m_args.positional[1]);
  }

  int Alerts() {
    if (!Positionals(0, 0)) return Usage("alerts takes no arguments");
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("alerts", reply)) return rc;
    CFArrayRef list = cf::GetArray(reply.get(), "alerts");
    if (m_json) {
      m_out << ToJSON(list) << "\n";
      return kDone;
    }
    static const char* levels[] = {"stop", "note", "caution", "plain"};
    for (CFIndex i = 0; list && i < CFArrayGetCount(list); ++i) {
      auto a = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(list, i));
      char time[32];
      std::snprintf(time, sizeof time, "%.0f", cf::GetReal(a, "time").value_or(0));
      int64_t level = cf::GetInt(a, "level").value_or(0) & 3;
      m_out << time << " [" << cf::GetInt(a, "pid").value_or(0) << "] " << levels[level] << ": "
            << cf::GetString(a, "header").value_or("") << ": " << cf::GetString(a, "message").value_or("") << " ("
            << cf::GetString(a, "defaultButton").value_or("") << "; icon "
            << (cf::GetString(a, "iconURL").value_or("").empty() ? "none" : cf::GetString(a, "iconURL").value_or(""))
            << ")\n";
    }
    return kDone;
  }

  int Log() {
    if (!Positionals(0, 0)) return Usage("log takes no arguments");
    int64_t lines = 20;
    if (m_args.Has("-n")) {
      auto n = ParseInteger(m_args.Get("-n"));
      if (!n || *n < 0) return Usage("-n takes a number of lines");
      lines = *n;
    }
    std::string path = m_root + "/var/log/system.log";
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(path + ": cannot be read");
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) all.push_back(line);
    size_t from = all.size() > static_cast<size_t>(lines) ? all.size() - static_cast<size_t>(lines) : 0;
    for (size_t i = from; i < all.size(); ++i) m_out << all[i] << "\n";
    m_out.flush();
    if (!m_args.Has("-f")) return kDone;
    in.clear();
    for (;;) {
      std::string line;
      if (std::getline(in, line)) {
        m_out << line << "\n";
        m_out.flush();
        continue;
      }
      in.clear();
      ::usleep(100000);
    }
  }

  int Clock() {
    if (!Positionals(0, 0)) return Usage("clock takes no arguments");
    auto request = cf::Dict();
    if (m_args.Has("--rate")) {
      auto r = ParseReal(m_args.Get("--rate"));
      if (!r || *r < platform::clock::kMinRate || *r > platform::clock::kMaxRate)
        return Usage("--rate takes a number from 0.001 to 1000000");
      cf::Set(request.get(), "rate", cf::Double(*r).get());
    }
    if (m_args.Has("--advance")) {
      auto a = ParseReal(m_args.Get("--advance"));
      if (!a || *a < 0 || *a > platform::clock::kMaxSimSeconds)
        return Usage("--advance takes a number of seconds up to 1000000000000");
      cf::Set(request.get(), "advance", cf::Double(*a).get());
    }
    CFRef<CFDictionaryRef> reply;
    if (int rc = Send("clock", request.get(), reply)) return rc;
    char text[96];
    std::snprintf(text, sizeof text, "now %.3f rate %g", cf::GetReal(reply.get(), "now").value_or(0),
                  cf::GetReal(reply.get(), "rate").value_or(1));
    return Done(reply.get(), text);
  }

  int Knobs() {
    if (!Positionals(0, 0)) return Usage("knobs takes no arguments");
    static const char* types[] = {"boolean", "seconds", "names", "choice"};
    static const char* scopes[] = {"host", "changer", "changer or slot"};
    auto array = cf::Array();
    for (const KnobInfo& k : AllKnobs()) {
      if (m_json) {
        auto d = cf::Dict();
        cf::Set(d.get(), "name", k.name);
        cf::Set(d.get(), "type", types[static_cast<int>(k.type)]);
        cf::Set(d.get(), "scope", scopes[static_cast<int>(k.scope)]);
        cf::Set(d.get(), "help", k.help);
        cf::Append(array.get(), d.get());
      } else {
        std::string type = k.type == KnobType::choice ? k.choices : types[static_cast<int>(k.type)];
        m_out << Pad(k.name, 28) << Pad(type, 20) << Pad(scopes[static_cast<int>(k.scope)], 17) << k.help << "\n";
      }
    }
    if (m_json) m_out << ToJSON(array.get()) << "\n";
    return kDone;
  }

  std::ostream& m_out;
  std::ostream& m_err;
  Args m_args;
  bool m_json = false;
  std::string m_root;
};

}  // namespace

int RunCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  return Ctl(out, err).Run(args);
}

}  // namespace simhost
