// LogMessage: the daemon-wide log call. Every message goes to the system log at LOG_ALERT.
#pragma once

void LogMessage(const char* i_formatStrP, ...) __attribute__((format(printf, 1, 2)));
