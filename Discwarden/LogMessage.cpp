#include "LogMessage.h"

#include <cstdarg>

#include "platform/Syslog.h"

void LogMessage(const char* i_formatStrP, ...) {
  va_list args;
  va_start(args, i_formatStrP);
  bsd::vsyslog(LOG_ALERT, i_formatStrP, args);
  va_end(args);
}

bool g_runningOnTiger = false;
