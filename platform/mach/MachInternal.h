// What the Core Foundation Mach port needs from the Mach layer. Shared by cf/ and mach/ only.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mach.h"

namespace platform::mach::internal {

// The socket behind a receive right. It stays open while anyone holds it, so a waiter never
// polls a closed (or reused) descriptor; `dead` tells that the right was destroyed.
struct ReceivePort {
  ReceivePort() = default;
  ~ReceivePort();
  ReceivePort(const ReceivePort&) = delete;
  ReceivePort& operator=(const ReceivePort&) = delete;

  int fd = -1;
  std::string hostPath;
  ino_t inode = 0;
  pid_t owner = 0;
  std::atomic<bool> dead{false};
};

// Null when `name` holds no receive right.
std::shared_ptr<ReceivePort> ReceiveRight(mach_port_t name);

// Takes one message from the port, waiting until `simDeadline` (for ever when negative). The
// header is rewritten as the receiver sees it: its reply port becomes a name of this process.
mach_msg_return_t Receive(const std::shared_ptr<ReceivePort>& port, mach_port_t name, double simDeadline,
                          std::vector<uint8_t>& o_message);

}  // namespace platform::mach::internal
