// syslog(3) as the Mac system code calls it; also copied to the root's system log.
#pragma once
#include <syslog.h>

#include <cstdarg>

namespace bsd {
void syslog(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vsyslog(int priority, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
}  // namespace bsd
