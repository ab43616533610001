#include <cerrno>
#include <cmath>

#include "platform/BSD.h"
#include "platform/Clock.h"

namespace bsd {

time_t time(time_t* o_time) {
  time_t now = static_cast<time_t>(std::floor(platform::clock::Now()));
  if (o_time) *o_time = now;
  return now;
}

unsigned sleep(unsigned seconds) {
  platform::clock::SleepFor(seconds);
  return 0;
}

int usleep(useconds_t microseconds) {
  platform::clock::SleepFor(static_cast<double>(microseconds) / 1e6);
  return 0;
}

int nanosleep(const struct timespec* request, struct timespec* o_remaining) {
  if (!request || request->tv_sec < 0 || request->tv_nsec < 0 || request->tv_nsec >= 1000000000L) {
    errno = EINVAL;
    return -1;
  }
  platform::clock::SleepFor(static_cast<double>(request->tv_sec) + static_cast<double>(request->tv_nsec) / 1e9);
  if (o_remaining) *o_remaining = timespec{0, 0};
  return 0;
}

}  // namespace bsd
