#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/BSD.h"
#include "platform/SysRoot.h"

namespace bsd {
namespace {

// What getgrnam hands out: the strings it points into live here until the thread's next call.
struct GroupEntry {
  std::string name, passwd;
  std::vector<std::string> members;
  std::vector<char*> memberPtrs;
  struct group gr {};
};

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!s.empty() && s.back() == sep) parts.emplace_back();
  return parts;
}

// One "name:passwd:gid:member,member" line; false for comments and malformed lines.
bool ParseGroupLine(const std::string& line, GroupEntry& o_entry) {
  if (line.empty() || line[0] == '#') return false;
  std::vector<std::string> f = Split(line, ':');
  if (f.size() < 3 || f[0].empty() || f[2].empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long gid = std::strtoul(f[2].c_str(), &end, 10);
  if (errno || *end || gid > 0xFFFFFFFFul) return false;
  o_entry.name = f[0];
  o_entry.passwd = f[1];
  o_entry.members.clear();
  if (f.size() > 3)
    for (auto& m : Split(f[3], ','))
      if (!m.empty()) o_entry.members.push_back(m);
  o_entry.gr.gr_gid = static_cast<gid_t>(gid);
  return true;
}

}  // namespace

struct group* getgrnam(const char* name) {
  if (!name) return nullptr;
  if (platform::SysRootHostPrefix().empty()) return ::getgrnam(name);
  thread_local GroupEntry entry;
  std::ifstream in(platform::MacToHost("/etc/group"));
  if (!in) {
    errno = ENOENT;
    return nullptr;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!ParseGroupLine(line, entry) || entry.name != name) continue;
    entry.memberPtrs.clear();
    for (auto& m : entry.members) entry.memberPtrs.push_back(m.data());
    entry.memberPtrs.push_back(nullptr);
    entry.gr.gr_name = entry.name.data();
    entry.gr.gr_passwd = entry.passwd.data();
    entry.gr.gr_mem = entry.memberPtrs.data();
    return &entry.gr;
  }
  errno = 0;
  return nullptr;
}

}  // namespace bsd
