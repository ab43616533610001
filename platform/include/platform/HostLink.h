// The link between a process and the simulated host of its system root: one Unix socket,
// "/var/run/simhost.sock", carrying frames of a 4-byte big-endian length and a binary property
// list. Requests are dictionaries with "id" and "op"; replies carry the same "id" and a "kr";
// events pushed by the host carry "event" instead of "id".
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "platform/CoreFoundation.h"

namespace platform::hostlink {

inline constexpr size_t kMaxFrame = 16u << 20;

// Whole frames on a blocking socket; false on error, end of stream, or a frame over kMaxFrame.
[[nodiscard]] bool WriteFrame(int fd, const std::string& payload);
[[nodiscard]] bool ReadFrame(int fd, std::string& o_payload);
// A dictionary as a frame, and back. Receive gives null (with a reason) for anything else.
[[nodiscard]] bool SendMessage(int fd, CFDictionaryRef message);
CFRef<CFDictionaryRef> ReceiveMessage(int fd, std::string* o_error);

// Host path of the socket of the current system root.
std::string SocketPath();

// Sends `request` (a dictionary with "op"; "id" is added) and waits for the reply. Null when the
// host cannot be reached or the connection broke: a host that went away stays gone for this
// process (no reconnection), and every call fails cleanly.
CFRef<CFDictionaryRef> Call(CFDictionaryRef request);
// Connects if needed; false when the host cannot be reached.
[[nodiscard]] bool Available();
// Called on the link's reader thread for each event whose "event" is `name`; it must not block.
void SetEventHandler(const std::string& name, std::function<void(CFDictionaryRef event)> handler);
// Called once on the link's reader thread when the host ends a connection this process did not
// close itself (the host stopped or died); it must not block. Null removes it.
void SetHostGoneHandler(std::function<void()> handler);
// Drops the connection; the next call connects afresh (tests that start a new host use it).
void Disconnect();

// "kr" of a reply, or `fallback` when the reply is null or has none.
[[nodiscard]] int ReplyStatus(CFDictionaryRef reply, int fallback);

}  // namespace platform::hostlink
