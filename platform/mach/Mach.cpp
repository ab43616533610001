#include "platform/Mach.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "mach/MachInternal.h"
#include "mach/UnixSocket.h"
#include "platform/Clock.h"
#include "platform/SysRoot.h"
#include "platform/ThreadAnnotations.h"

const NDR_record_t NDR_record = {0, 0, 0, 0,
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
                                 NDR_INT_BIG_ENDIAN,
#else
                                 NDR_INT_LITTLE_ENDIAN,
#endif
                                 0, 0, 0};

namespace platform::mach {
namespace {

using internal::ReceivePort;

constexpr mach_port_t kTaskSelf = 0x1;
constexpr mach_port_urefs_t kMaxUrefs = 0xffff;

// What travels before the message bytes in each datagram.
struct Envelope {
  uint32_t magic;
  uint8_t destType;   // how the receiver holds the destination: PORT_SEND or PORT_SEND_ONCE
  uint8_t replyType;  // 0, PORT_SEND or PORT_SEND_ONCE
  uint16_t replyPathLength;
};
constexpr uint32_t kEnvelopeMagic = 0x4d43484d;
constexpr size_t kMaxDatagram = sizeof(Envelope) + 4096 + kMaxMessageSize;

// One name of this process's port space.
struct Entry {
  std::shared_ptr<ReceivePort> receive;
  std::string endpoint;  // host path of the port the name denotes
  mach_port_urefs_t sendRefs = 0;
  bool sendOnce = false;  // a send-once right always has a name of its own
  bool Empty() const { return !receive && sendRefs == 0 && !sendOnce; }
};

struct Space {
  Mutex mutex;
  std::map<mach_port_name_t, Entry> names GUARDED_BY(mutex);
  mach_port_name_t next GUARDED_BY(mutex) = 0x103;
  uint64_t sequence GUARDED_BY(mutex) = 0;
};

void LockSpace();
void UnlockSpace();
void RemoveOwnSocketsAtExit();

// Never destroyed: other threads may still use ports while the process exits.
Space& S() {
  static Space* space = [] {
    auto* s = new Space;
    ::pthread_atfork(LockSpace, UnlockSpace, UnlockSpace);
    std::atexit(RemoveOwnSocketsAtExit);
    return s;
  }();
  return *space;
}

// Held across fork so that the child never inherits a space caught half-changed.
void LockSpace() NO_THREAD_SAFETY_ANALYSIS { S().mutex.Lock(); }
void UnlockSpace() NO_THREAD_SAFETY_ANALYSIS { S().mutex.Unlock(); }

void RemoveOwnSocketsAtExit() {
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  for (auto& [name, e] : s.names)
    if (e.receive && e.receive->owner == ::getpid()) sock::UnlinkIfSame(e.receive->hostPath, e.receive->inode);
}

mach_port_name_t NewNameLocked(Space& s) REQUIRES(s.mutex) {
  for (;;) {
    mach_port_name_t name = s.next;
    s.next += 0x100;
    if (s.next < 0x103) s.next = 0x103;
    if (MACH_PORT_VALID(name) && name != kTaskSelf && !s.names.count(name)) return name;
  }
}

// Caller holds the space's mutex (the entry lives in its map).
void KillReceiveLocked(Entry& e) {
  if (!e.receive) return;
  e.receive->dead = true;
  if (e.receive->owner == ::getpid()) sock::UnlinkIfSame(e.receive->hostPath, e.receive->inode);
  e.receive.reset();
}

// The name of the send right to `endpoint`, coalesced as Mach does.
mach_port_name_t AddSendRightLocked(Space& s, const std::string& endpoint) REQUIRES(s.mutex) {
  for (auto& [name, e] : s.names) {
    if (e.sendOnce || e.endpoint != endpoint || !(e.receive || e.sendRefs > 0)) continue;
    if (e.sendRefs >= kMaxUrefs) return MACH_PORT_NULL;
    ++e.sendRefs;
    return name;
  }
  mach_port_name_t name = NewNameLocked(s);
  Entry& e = s.names[name];
  e.endpoint = endpoint;
  e.sendRefs = 1;
  return name;
}

void EraseIfEmptyLocked(Space& s, mach_port_name_t name) REQUIRES(s.mutex) {
  auto it = s.names.find(name);
  if (it != s.names.end() && it->second.Empty()) s.names.erase(it);
}

bool IsSelf(ipc_space_t task) { return task == kTaskSelf; }

// Where a header port goes and how the receiver will hold it.
struct Resolved {
  std::string path;
  uint8_t receivedType = 0;
};

// False when the name lacks the right the disposition needs.
[[nodiscard]] bool ResolveLocked(Space& s, mach_port_name_t name, mach_msg_type_name_t disposition,
                                 Resolved& o_resolved, bool& o_badDisposition) REQUIRES(s.mutex) {
  o_resolved = Resolved{};
  o_badDisposition = false;
  auto it = s.names.find(name);
  if (it == s.names.end()) return false;
  const Entry& e = it->second;
  switch (disposition) {
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MOVE_SEND:
      if (e.sendRefs == 0) return false;
      o_resolved = {e.endpoint, MACH_MSG_TYPE_PORT_SEND};
      return true;
    case MACH_MSG_TYPE_MAKE_SEND:
      if (!e.receive) return false;
      o_resolved = {e.receive->hostPath, MACH_MSG_TYPE_PORT_SEND};
      return true;
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
      if (!e.receive) return false;
      o_resolved = {e.receive->hostPath, MACH_MSG_TYPE_PORT_SEND_ONCE};
      return true;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
      if (!e.sendOnce) return false;
      o_resolved = {e.endpoint, MACH_MSG_TYPE_PORT_SEND_ONCE};
      return true;
    default:
      o_badDisposition = true;
      return false;
  }
}

// A moved right leaves the sender once the message is on its way.
void ConsumeMovedLocked(Space& s, mach_port_name_t name, mach_msg_type_name_t disposition) REQUIRES(s.mutex) {
  auto it = s.names.find(name);
  if (it == s.names.end()) return;
  if (disposition == MACH_MSG_TYPE_MOVE_SEND && it->second.sendRefs > 0) --it->second.sendRefs;
  if (disposition == MACH_MSG_TYPE_MOVE_SEND_ONCE) it->second.sendOnce = false;
  EraseIfEmptyLocked(s, name);
}

double DeadlineAfterMs(bool timed, mach_msg_timeout_t ms) {
  return timed ? clock::Now() + ms / 1000.0 : -1;
}

bool Expired(double simDeadline) { return simDeadline >= 0 && clock::Now() >= simDeadline; }

int WaitFd(int fd, short events, double simDeadline) {
  pollfd p{fd, events, 0};
  double real = sock::SliceUntil(simDeadline);
  timespec ts{static_cast<time_t>(real), static_cast<long>((real - std::floor(real)) * 1e9)};
  return ::ppoll(&p, 1, &ts, nullptr);
}

mach_msg_return_t Transmit(const std::string& destPath, const Envelope& env, const std::string& replyPath,
                           const void* bytes, size_t size, double simDeadline) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return MACH_SEND_INVALID_DEST;
  if (sock::ConnectPath(fd, destPath) != 0) {
    ::close(fd);
    return MACH_SEND_INVALID_DEST;
  }
  iovec iov[3] = {{const_cast<Envelope*>(&env), sizeof env},
                  {const_cast<char*>(replyPath.data()), replyPath.size()},
                  {const_cast<void*>(bytes), size}};
  msghdr mh{};
  mh.msg_iov = iov;
  mh.msg_iovlen = 3;
  mach_msg_return_t result = MACH_MSG_SUCCESS;
  for (;;) {
    if (::sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      // The receiver's queue is full.
      if (Expired(simDeadline)) {
        result = MACH_SEND_TIMED_OUT;
        break;
      }
      WaitFd(fd, POLLOUT, simDeadline);
      continue;
    }
    result = errno == EMSGSIZE ? MACH_SEND_TOO_LARGE : MACH_SEND_INVALID_DEST;
    break;
  }
  ::close(fd);
  return result;
}

mach_msg_return_t Send(mach_msg_header_t* msg, mach_msg_size_t size, double simDeadline) {
  if (size < sizeof(mach_msg_header_t)) return MACH_SEND_MSG_TOO_SMALL;
  if (size > kMaxMessageSize) return MACH_SEND_TOO_LARGE;
  mach_msg_type_name_t remoteType = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
  mach_msg_type_name_t localType = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
  Resolved dest, reply;
  Space& s = S();
  {
    platform::MutexLock lock(s.mutex);
    bool bad = false;
    if (!ResolveLocked(s, msg->msgh_remote_port, remoteType, dest, bad))
      return bad ? MACH_SEND_INVALID_HEADER : MACH_SEND_INVALID_DEST;
    if (msg->msgh_local_port != MACH_PORT_NULL &&
        !ResolveLocked(s, msg->msgh_local_port, localType, reply, bad))
      return bad ? MACH_SEND_INVALID_HEADER : MACH_SEND_INVALID_REPLY;
  }
  if (reply.path.size() > 4096) return MACH_SEND_INVALID_REPLY;
  Envelope env{kEnvelopeMagic, dest.receivedType, reply.receivedType, static_cast<uint16_t>(reply.path.size())};
  mach_msg_return_t result = Transmit(dest.path, env, reply.path, msg, size, simDeadline);
  if (result != MACH_MSG_SUCCESS) return result;
  platform::MutexLock lock(s.mutex);
  ConsumeMovedLocked(s, msg->msgh_remote_port, remoteType);
  if (msg->msgh_local_port != MACH_PORT_NULL) ConsumeMovedLocked(s, msg->msgh_local_port, localType);
  return MACH_MSG_SUCCESS;
}

}  // namespace

namespace internal {

ReceivePort::~ReceivePort() {
  if (fd >= 0) ::close(fd);
}

std::shared_ptr<ReceivePort> ReceiveRight(mach_port_t name) {
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  return it == s.names.end() ? nullptr : it->second.receive;
}

mach_msg_return_t Receive(const std::shared_ptr<ReceivePort>& port, mach_port_t name, double simDeadline,
                          std::vector<uint8_t>& o_message) {
  o_message.clear();
  if (!port) return MACH_RCV_INVALID_NAME;
  std::vector<uint8_t> buf(kMaxDatagram);
  for (;;) {
    if (port->dead) return MACH_RCV_PORT_DIED;
    ssize_t n = ::recv(port->fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return MACH_RCV_INVALID_NAME;
      if (Expired(simDeadline)) return MACH_RCV_TIMED_OUT;
      WaitFd(port->fd, POLLIN, simDeadline);
      continue;
    }
    // Anything that is not one of our datagrams is dropped.
    auto size = static_cast<size_t>(n);
    if (size > buf.size() || size < sizeof(Envelope)) continue;
    Envelope env;
    std::memcpy(&env, buf.data(), sizeof env);
    size_t offset = sizeof env + env.replyPathLength;
    if (env.magic != kEnvelopeMagic || size < offset + sizeof(mach_msg_header_t)) continue;
    std::string replyPath(reinterpret_cast<const char*>(buf.data()) + sizeof env, env.replyPathLength);
    o_message.assign(buf.begin() + static_cast<long>(offset), buf.begin() + static_cast<long>(size));

    mach_port_name_t replyName = MACH_PORT_NULL;
    if (!replyPath.empty()) {
      Space& s = S();
      platform::MutexLock lock(s.mutex);
      if (env.replyType == MACH_MSG_TYPE_PORT_SEND_ONCE) {
        replyName = NewNameLocked(s);
        Entry& e = s.names[replyName];
        e.endpoint = replyPath;
        e.sendOnce = true;
      } else {
        replyName = AddSendRightLocked(s, replyPath);
      }
    }
    mach_msg_header_t header;
    std::memcpy(&header, o_message.data(), sizeof header);
    header.msgh_bits = (header.msgh_bits & ~0xffffu) |
                       MACH_MSGH_BITS(replyName ? env.replyType : 0u, static_cast<unsigned>(env.destType));
    header.msgh_size = static_cast<mach_msg_size_t>(o_message.size());
    header.msgh_remote_port = replyName;
    header.msgh_local_port = name;
    std::memcpy(o_message.data(), &header, sizeof header);
    return MACH_MSG_SUCCESS;
  }
}

}  // namespace internal

std::string EndpointForPort(mach_port_t name) {
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return "";
  const Entry& e = it->second;
  if (e.receive) return HostToMac(e.receive->hostPath);
  return e.sendRefs > 0 || e.sendOnce ? HostToMac(e.endpoint) : "";
}

mach_port_t SendRightForEndpoint(const std::string& macPath) {
  std::string hostPath = MacToHost(macPath);
  if (macPath.empty() || !sock::IsListening(hostPath, SOCK_DGRAM)) return MACH_PORT_NULL;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  return AddSendRightLocked(s, hostPath);
}

}  // namespace platform::mach

using namespace platform::mach;
using platform::mach::internal::ReceivePort;

mach_port_t mach_task_self() { return kTaskSelf; }

kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right, mach_port_name_t* name) {
  if (!name) return KERN_INVALID_ARGUMENT;
  *name = MACH_PORT_NULL;
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  if (right != MACH_PORT_RIGHT_RECEIVE) return KERN_INVALID_VALUE;
  std::string dir = platform::sock::PortsDirectory();
  if (dir.empty()) return KERN_RESOURCE_SHORTAGE;

  auto port = std::make_shared<ReceivePort>();
  port->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (port->fd < 0) return KERN_RESOURCE_SHORTAGE;
  port->owner = ::getpid();
  Space& s = S();
  uint64_t seq;
  {
    platform::MutexLock lock(s.mutex);
    seq = ++s.sequence;
  }
  port->hostPath = dir + "/mach." + std::to_string(port->owner) + "." + std::to_string(seq);
  // A file left by an earlier process with the same pid.
  ::unlink(port->hostPath.c_str());
  if (platform::sock::BindPath(port->fd, port->hostPath) != 0) return KERN_RESOURCE_SHORTAGE;
  ::chmod(port->hostPath.c_str(), 0666);
  port->inode = platform::sock::InodeOf(port->hostPath);

  platform::MutexLock lock(s.mutex);
  mach_port_name_t fresh = NewNameLocked(s);
  Entry& e = s.names[fresh];
  e.endpoint = port->hostPath;
  e.receive = std::move(port);
  *name = fresh;
  return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(ipc_space_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  // One port has one name in a space; a second name for it is refused.
  if (name != poly) return KERN_INVALID_VALUE;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return KERN_INVALID_NAME;
  Entry& e = it->second;
  switch (polyPoly) {
    case MACH_MSG_TYPE_MAKE_SEND:
      if (!e.receive) return KERN_INVALID_RIGHT;
      break;
    case MACH_MSG_TYPE_COPY_SEND:
      if (e.sendRefs == 0) return KERN_INVALID_RIGHT;
      break;
    case MACH_MSG_TYPE_MOVE_SEND:
      return e.sendRefs == 0 ? KERN_INVALID_RIGHT : KERN_SUCCESS;
    default:
      return KERN_INVALID_VALUE;
  }
  if (e.sendRefs >= kMaxUrefs) return KERN_UREFS_OVERFLOW;
  ++e.sendRefs;
  return KERN_SUCCESS;
}

kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  if (right > MACH_PORT_RIGHT_DEAD_NAME) return KERN_INVALID_VALUE;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return KERN_INVALID_NAME;
  Entry& e = it->second;
  switch (right) {
    case MACH_PORT_RIGHT_SEND: {
      if (e.sendRefs == 0) return KERN_INVALID_RIGHT;
      long refs = static_cast<long>(e.sendRefs) + delta;
      if (refs < 0) return KERN_INVALID_VALUE;
      if (refs > static_cast<long>(kMaxUrefs)) return KERN_UREFS_OVERFLOW;
      e.sendRefs = static_cast<mach_port_urefs_t>(refs);
      break;
    }
    case MACH_PORT_RIGHT_RECEIVE:
      if (!e.receive) return KERN_INVALID_RIGHT;
      if (delta == -1) KillReceiveLocked(e);
      else if (delta != 0) return KERN_INVALID_VALUE;
      break;
    case MACH_PORT_RIGHT_SEND_ONCE:
      if (!e.sendOnce) return KERN_INVALID_RIGHT;
      if (delta == -1) e.sendOnce = false;
      else if (delta != 0) return KERN_INVALID_VALUE;
      break;
    default:
      return KERN_INVALID_RIGHT;
  }
  EraseIfEmptyLocked(s, name);
  return KERN_SUCCESS;
}

kern_return_t mach_port_get_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs) {
  if (!refs) return KERN_INVALID_ARGUMENT;
  *refs = 0;
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  if (right > MACH_PORT_RIGHT_DEAD_NAME) return KERN_INVALID_VALUE;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return KERN_INVALID_NAME;
  const Entry& e = it->second;
  if (right == MACH_PORT_RIGHT_SEND) *refs = e.sendRefs;
  if (right == MACH_PORT_RIGHT_RECEIVE) *refs = e.receive ? 1 : 0;
  if (right == MACH_PORT_RIGHT_SEND_ONCE) *refs = e.sendOnce ? 1 : 0;
  return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return KERN_INVALID_NAME;
  Entry& e = it->second;
  if (e.sendRefs > 0) --e.sendRefs;
  else if (e.sendOnce) e.sendOnce = false;
  else return KERN_INVALID_RIGHT;
  EraseIfEmptyLocked(s, name);
  return KERN_SUCCESS;
}

kern_return_t mach_port_destroy(ipc_space_t task, mach_port_name_t name) {
  if (!IsSelf(task)) return KERN_INVALID_TASK;
  Space& s = S();
  platform::MutexLock lock(s.mutex);
  auto it = s.names.find(name);
  if (it == s.names.end()) return KERN_INVALID_NAME;
  KillReceiveLocked(it->second);
  s.names.erase(it);
  return KERN_SUCCESS;
}

const char* mach_error_string(mach_error_t error) {
  switch (error) {
    case KERN_SUCCESS: return "success";
    case KERN_INVALID_ADDRESS: return "invalid address";
    case KERN_NO_SPACE: return "no space for a new name";
    case KERN_INVALID_ARGUMENT: return "invalid argument";
    case KERN_FAILURE: return "failure";
    case KERN_RESOURCE_SHORTAGE: return "resource shortage";
    case KERN_INVALID_NAME: return "unknown port name";
    case KERN_INVALID_TASK: return "invalid task";
    case KERN_INVALID_RIGHT: return "name does not hold that right";
    case KERN_INVALID_VALUE: return "invalid value";
    case KERN_UREFS_OVERFLOW: return "user reference count overflow";
    case MACH_SEND_INVALID_DATA: return "send: invalid data";
    case MACH_SEND_INVALID_DEST: return "send: invalid destination port";
    case MACH_SEND_TIMED_OUT: return "send: timed out";
    case MACH_SEND_MSG_TOO_SMALL: return "send: message smaller than a header";
    case MACH_SEND_INVALID_REPLY: return "send: invalid reply port";
    case MACH_SEND_TOO_LARGE: return "send: message too large";
    case MACH_SEND_INVALID_HEADER: return "send: invalid header";
    case MACH_RCV_INVALID_NAME: return "receive: invalid name";
    case MACH_RCV_TIMED_OUT: return "receive: timed out";
    case MACH_RCV_TOO_LARGE: return "receive: message larger than the buffer";
    case MACH_RCV_PORT_DIED: return "receive: port destroyed";
    case MACH_RCV_INVALID_DATA: return "receive: invalid buffer";
    case MIG_TYPE_ERROR: return "MIG: type check failure";
    case MIG_REPLY_MISMATCH: return "MIG: wrong reply message id";
    case MIG_REMOTE_ERROR: return "MIG: server error";
    case MIG_BAD_ID: return "MIG: bad request message id";
    case MIG_BAD_ARGUMENTS: return "MIG: bad arguments";
    case MIG_NO_REPLY: return "MIG: no reply";
    default: return "unknown error code";
  }
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t rcvSize, mach_port_name_t rcvName, mach_msg_timeout_t timeout,
                           mach_port_name_t /*notify*/) {
  if (!msg) return (option & MACH_SEND_MSG) ? MACH_SEND_INVALID_DATA : MACH_RCV_INVALID_DATA;
  if (option & MACH_SEND_MSG) {
    mach_msg_return_t r = Send(msg, sendSize, DeadlineAfterMs(option & MACH_SEND_TIMEOUT, timeout));
    if (r != MACH_MSG_SUCCESS) return r;
  }
  if (!(option & MACH_RCV_MSG)) return MACH_MSG_SUCCESS;
  std::shared_ptr<ReceivePort> port = internal::ReceiveRight(rcvName);
  if (!port) return MACH_RCV_INVALID_NAME;
  std::vector<uint8_t> message;
  mach_msg_return_t r =
      internal::Receive(port, rcvName, DeadlineAfterMs(option & MACH_RCV_TIMEOUT, timeout), message);
  if (r != MACH_MSG_SUCCESS) return r;
  if (message.size() > rcvSize) {
    // Too large for the caller: the message is destroyed, with the reply right it brought.
    mach_msg_header_t header;
    std::memcpy(&header, message.data(), sizeof header);
    if (header.msgh_remote_port != MACH_PORT_NULL) mach_port_deallocate(kTaskSelf, header.msgh_remote_port);
    return MACH_RCV_TOO_LARGE;
  }
  std::memcpy(msg, message.data(), message.size());
  if (rcvSize >= message.size() + sizeof(mach_msg_trailer_t)) {
    mach_msg_trailer_t trailer{0, sizeof(mach_msg_trailer_t)};
    std::memcpy(reinterpret_cast<uint8_t*>(msg) + message.size(), &trailer, sizeof trailer);
  }
  return MACH_MSG_SUCCESS;
}
