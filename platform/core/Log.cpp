#include "platform/Log.h"

#include <errno.h>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include "platform/Clock.h"
#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

namespace platform::log {
namespace {

Mutex g_captureMutex;
std::vector<std::string> g_captured GUARDED_BY(g_captureMutex);
int g_captureDepth GUARDED_BY(g_captureMutex) = 0;

std::string LinePrefix() {
  time_t now = static_cast<time_t>(clock::Now());
  struct tm tmv {};
  localtime_r(&now, &tmv);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tmv);
  return std::string(stamp) + " " + program_invocation_short_name + "[" +
         std::to_string(::getpid()) + "]: ";
}

void AppendToSystemLog(const std::string& line) {
  std::string path = MacToHost("/var/log/system.log");
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // no log directory: syslog still has the line
  // One write per line keeps lines whole when several processes append at once.
  ssize_t ignored = ::write(fd, line.data(), line.size());
  (void)ignored;
  ::close(fd);
}

}  // namespace

void Write(int priority, const std::string& text) {
  int savedErrno = errno;
  ::syslog(priority, "%s", text.c_str());
  std::string line = LinePrefix() + text;
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  AppendToSystemLog(line);
  {
    MutexLock lock(g_captureMutex);
    if (g_captureDepth > 0) g_captured.push_back(text);
  }
  errno = savedErrno;
}

Capture::Capture() {
  MutexLock lock(g_captureMutex);
  if (g_captureDepth++ == 0) g_captured.clear();
}

Capture::~Capture() {
  MutexLock lock(g_captureMutex);
  --g_captureDepth;
}

std::vector<std::string> Capture::Lines() const {
  MutexLock lock(g_captureMutex);
  return g_captured;
}

bool Capture::Contains(const std::string& text) const {
  MutexLock lock(g_captureMutex);
  return std::find(g_captured.begin(), g_captured.end(), text) != g_captured.end();
}

void Capture::Clear() {
  MutexLock lock(g_captureMutex);
  g_captured.clear();
}

}  // namespace platform::log
