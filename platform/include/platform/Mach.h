// Mach ports and messages. A receive right is a datagram socket under the root's
// "/var/run/ports"; a send right names such a socket, in this process or another one. Messages
// travel byte for byte; a reply port travels beside them and arrives as a send right of the
// receiver (a send-once right gets a name of its own and is spent by one send).
#pragma once
#include <cstdint>
#include <string>

typedef int kern_return_t;
typedef kern_return_t mach_error_t;
typedef kern_return_t mach_msg_return_t;
typedef uint32_t natural_t;
typedef int32_t integer_t;
typedef natural_t mach_port_t;
typedef natural_t mach_port_name_t;
typedef mach_port_t ipc_space_t;
typedef mach_port_t task_t;
typedef natural_t mach_port_right_t;
typedef integer_t mach_port_delta_t;
typedef natural_t mach_port_urefs_t;
typedef unsigned int mach_msg_bits_t;
typedef natural_t mach_msg_size_t;
typedef integer_t mach_msg_id_t;
typedef integer_t mach_msg_option_t;
typedef natural_t mach_msg_timeout_t;
typedef unsigned int mach_msg_type_name_t;

#define MACH_PORT_NULL ((mach_port_t)0)
#define MACH_PORT_DEAD ((mach_port_t)~0u)
#define MACH_PORT_VALID(name) ((name) != MACH_PORT_NULL && (name) != MACH_PORT_DEAD)

// kern_return_t
enum : kern_return_t {
  KERN_SUCCESS = 0,
  KERN_INVALID_ADDRESS = 1,
  KERN_NO_SPACE = 3,
  KERN_INVALID_ARGUMENT = 4,
  KERN_FAILURE = 5,
  KERN_RESOURCE_SHORTAGE = 6,
  KERN_INVALID_NAME = 15,
  KERN_INVALID_TASK = 16,
  KERN_INVALID_RIGHT = 17,
  KERN_INVALID_VALUE = 18,
  KERN_UREFS_OVERFLOW = 19,
};

// mach_msg results
enum : mach_msg_return_t {
  MACH_MSG_SUCCESS = 0,
  MACH_SEND_INVALID_DATA = 0x10000002,
  MACH_SEND_INVALID_DEST = 0x10000003,
  MACH_SEND_TIMED_OUT = 0x10000004,
  MACH_SEND_MSG_TOO_SMALL = 0x10000008,
  MACH_SEND_INVALID_REPLY = 0x10000009,
  MACH_SEND_TOO_LARGE = 0x1000000e,
  MACH_SEND_INVALID_HEADER = 0x10000010,
  MACH_RCV_INVALID_NAME = 0x10004002,
  MACH_RCV_TIMED_OUT = 0x10004003,
  MACH_RCV_TOO_LARGE = 0x10004004,
  MACH_RCV_PORT_DIED = 0x10004009,
  MACH_RCV_INVALID_DATA = 0x10004008,
};

// Port rights
enum : mach_port_right_t {
  MACH_PORT_RIGHT_SEND = 0,
  MACH_PORT_RIGHT_RECEIVE = 1,
  MACH_PORT_RIGHT_SEND_ONCE = 2,
  MACH_PORT_RIGHT_PORT_SET = 3,
  MACH_PORT_RIGHT_DEAD_NAME = 4,
};

// Dispositions of the ports in a message header
enum : mach_msg_type_name_t {
  MACH_MSG_TYPE_MOVE_RECEIVE = 16,
  MACH_MSG_TYPE_MOVE_SEND = 17,
  MACH_MSG_TYPE_MOVE_SEND_ONCE = 18,
  MACH_MSG_TYPE_COPY_SEND = 19,
  MACH_MSG_TYPE_MAKE_SEND = 20,
  MACH_MSG_TYPE_MAKE_SEND_ONCE = 21,
  MACH_MSG_TYPE_PORT_SEND = MACH_MSG_TYPE_MOVE_SEND,
  MACH_MSG_TYPE_PORT_SEND_ONCE = MACH_MSG_TYPE_MOVE_SEND_ONCE,
};

#define MACH_MSGH_BITS(remote, local) ((remote) | ((local) << 8))
#define MACH_MSGH_BITS_REMOTE(bits) ((bits) & 0xff)
#define MACH_MSGH_BITS_LOCAL(bits) (((bits) >> 8) & 0xff)
#define MACH_MSGH_BITS_COMPLEX 0x80000000u

// mach_msg options
enum : mach_msg_option_t {
  MACH_MSG_OPTION_NONE = 0,
  MACH_SEND_MSG = 0x1,
  MACH_RCV_MSG = 0x2,
  MACH_SEND_TIMEOUT = 0x10,
  MACH_RCV_TIMEOUT = 0x100,
};
#define MACH_MSG_TIMEOUT_NONE ((mach_msg_timeout_t)0)

typedef struct {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_name_t msgh_reserved;
  mach_msg_id_t msgh_id;
} mach_msg_header_t;
static_assert(sizeof(mach_msg_header_t) == 24);

// Appended to a received message when the receive buffer has room for it.
typedef struct {
  unsigned int msgh_trailer_type;
  mach_msg_size_t msgh_trailer_size;
} mach_msg_trailer_t;

// Data representation record of MIG messages.
typedef struct {
  unsigned char mig_vers;
  unsigned char if_vers;
  unsigned char reserved1;
  unsigned char mig_encoding;
  unsigned char int_rep;
  unsigned char char_rep;
  unsigned char float_rep;
  unsigned char reserved2;
} NDR_record_t;
static_assert(sizeof(NDR_record_t) == 8);
enum : unsigned char { NDR_INT_BIG_ENDIAN = 0, NDR_INT_LITTLE_ENDIAN = 1 };
// This host's representation.
extern const NDR_record_t NDR_record;

// MIG return codes and the reply that carries only a code.
enum : kern_return_t {
  MIG_TYPE_ERROR = -300,
  MIG_REPLY_MISMATCH = -301,
  MIG_REMOTE_ERROR = -302,
  MIG_BAD_ID = -303,
  MIG_BAD_ARGUMENTS = -304,
  MIG_NO_REPLY = -305,
};
typedef struct {
  mach_msg_header_t Head;
  NDR_record_t NDR;
  kern_return_t RetCode;
} mig_reply_error_t;
static_assert(sizeof(mig_reply_error_t) == 36);

mach_port_t mach_task_self();

[[nodiscard]] kern_return_t mach_port_allocate(ipc_space_t task, mach_port_right_t right, mach_port_name_t* name);
[[nodiscard]] kern_return_t mach_port_insert_right(ipc_space_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
kern_return_t mach_port_mod_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
[[nodiscard]] kern_return_t mach_port_get_refs(ipc_space_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_urefs_t* refs);
// Drops one user reference of a send or send-once right.
kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name);
// Drops every right the name holds; destroying a receive right removes the port.
kern_return_t mach_port_destroy(ipc_space_t task, mach_port_name_t name);

const char* mach_error_string(mach_error_t error);

// Sends (MACH_SEND_MSG) and/or receives (MACH_RCV_MSG) one message. Time-outs are milliseconds
// on the platform clock and apply only with MACH_SEND_TIMEOUT / MACH_RCV_TIMEOUT.
[[nodiscard]] mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t rcvSize, mach_port_name_t rcvName, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

namespace platform::mach {

// Largest message body mach_msg carries.
constexpr mach_msg_size_t kMaxMessageSize = 64 * 1024;

// The Mac path of the socket behind a receive or send right ("" for a name without either),
// so that a send right can be handed to another process.
std::string EndpointForPort(mach_port_t name);
// A send right (one more user reference) to the port at `macPath`; MACH_PORT_NULL when no port
// is there.
mach_port_t SendRightForEndpoint(const std::string& macPath);

}  // namespace platform::mach
