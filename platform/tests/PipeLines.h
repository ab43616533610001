// Line-by-line talk between a test and the child process it forked.
#pragma once
#include <poll.h>
#include <unistd.h>

#include <string>

namespace platform_test {

// Reads up to a newline (not included); gives up after 10 s of silence.
inline std::string ReadLine(int fd) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 10000) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

inline void WriteLine(int fd, const std::string& line) {
  std::string withEnd = line + "\n";
  ssize_t ignored = ::write(fd, withEnd.data(), withEnd.size());
  (void)ignored;
}

}  // namespace platform_test
