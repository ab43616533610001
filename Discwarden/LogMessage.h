// LogMessage: the daemon-wide log call. Every message goes to the system log at LOG_ALERT.
#pragma once

void LogMessage(const char* i_formatStrP, ...) __attribute__((format(printf, 1, 2)));

// True on Mac OS X 10.4.x. Set once by the start-up's system check before any thread exists;
// read-only afterwards.
extern bool g_runningOnTiger;
