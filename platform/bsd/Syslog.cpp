#include "platform/Syslog.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace bsd {

void vsyslog(int priority, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return;
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  std::vsnprintf(buf.data(), buf.size(), format, args);
  platform::log::Write(priority, std::string(buf.data(), static_cast<size_t>(n)));
}

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsyslog(priority, format, args);
  va_end(args);
}

}  // namespace bsd
