// The system log: syslog(3) plus the root's "/var/log/system.log", which tests read.
#pragma once
#include <string>
#include <vector>

namespace platform::log {

// Sends `text` at `priority` to syslog and appends "<time> <program>[<pid>]: <text>" to the
// root's system.log. A trailing newline in `text` ends the line; one is added when missing.
void Write(int priority, const std::string& text);

// Collects, in this process, every text written while it lives (texts as given, unformatted).
class Capture {
 public:
  Capture();
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::vector<std::string> Lines() const;
  [[nodiscard]] bool Contains(const std::string& text) const;
  void Clear();
};

}  // namespace platform::log
