#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PipeLines.h"
#include "platform/CFMachPort.h"
#include "platform/CFRef.h"
#include "platform/Clock.h"
#include "platform/Mach.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace {

namespace clk = platform::clock;

class MachTest : public platform_test::TempRootTest {
 protected:
  MachTest() : TempRootTest("machtest") {}
  void TearDown() override {
    clk::UseRootClock();
    TempRootTest::TearDown();
  }
};

// Tests with several threads; they also run under ThreadSanitizer.
using MachConcurrency = MachTest;

struct Request {
  mach_msg_header_t head;
  NDR_record_t ndr;
  char payload[12];
};
static_assert(sizeof(Request) == 44);

// Large enough for any reply and its trailer.
struct ReceiveBuffer {
  mach_msg_header_t head;
  uint8_t body[256];
};

using platform_test::ReadLine;
using platform_test::WriteLine;

// The client half, in a child process: asks the server named on `in` and reports the reply.
std::string RunClient(int in) {
  std::string endpoint = ReadLine(in);
  mach_port_t server = platform::mach::SendRightForEndpoint(endpoint);
  if (server == MACH_PORT_NULL) return "no send right for " + endpoint;
  mach_port_t reply;
  if (mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &reply) != KERN_SUCCESS) return "no reply port";
  union {
    Request req;
    ReceiveBuffer rcv;
  } msg{};
  msg.req.head.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  msg.req.head.msgh_size = sizeof(Request);
  msg.req.head.msgh_remote_port = server;
  msg.req.head.msgh_local_port = reply;
  msg.req.head.msgh_id = 1000;
  msg.req.ndr = NDR_record;
  std::memcpy(msg.req.payload, "abcdefghijk", 12);
  mach_msg_return_t kr = mach_msg(&msg.req.head, MACH_SEND_MSG | MACH_RCV_MSG | MACH_RCV_TIMEOUT, sizeof(Request),
                                  sizeof msg, reply, 10000, MACH_PORT_NULL);
  const auto* r = reinterpret_cast<const mig_reply_error_t*>(&msg);
  char text[200];
  std::snprintf(text, sizeof text, "kr=%x id=%d size=%u bits=%#x remote=%u local=%s ret=%d int_rep=%d", kr,
                r->Head.msgh_id, r->Head.msgh_size, r->Head.msgh_bits, r->Head.msgh_remote_port,
                r->Head.msgh_local_port == reply ? "reply" : "other", r->RetCode, r->NDR.int_rep);
  return text;
}

TEST_F(MachTest, RequestAndReplyBetweenTwoProcesses) {
  int toChild[2], fromChild[2];
  ASSERT_EQ(0, ::pipe(toChild));
  ASSERT_EQ(0, ::pipe(fromChild));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    WriteLine(fromChild[1], RunClient(toChild[0]));
    ::_exit(0);
  }

  mach_port_t port;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port));
  ASSERT_EQ(KERN_SUCCESS, mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND));
  std::string endpoint = platform::mach::EndpointForPort(port);
  EXPECT_EQ(0u, endpoint.find("/var/run/ports/")) << endpoint;
  EXPECT_TRUE(std::filesystem::exists(m_root + endpoint));
  WriteLine(toChild[1], endpoint);

  union {
    Request req;
    ReceiveBuffer rcv;
  } in{};
  ASSERT_EQ(MACH_MSG_SUCCESS,
            mach_msg(&in.req.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof in, port, 10000, MACH_PORT_NULL));
  EXPECT_EQ(44u, in.req.head.msgh_size);
  EXPECT_EQ(1000, in.req.head.msgh_id);
  EXPECT_EQ(MACH_MSGH_BITS(MACH_MSG_TYPE_PORT_SEND_ONCE, MACH_MSG_TYPE_PORT_SEND), in.req.head.msgh_bits);
  EXPECT_EQ(port, in.req.head.msgh_local_port);
  EXPECT_EQ(0, std::memcmp(in.req.payload, "abcdefghijk", 12));
  EXPECT_EQ(NDR_record.int_rep, in.req.ndr.int_rep);
  mach_port_t replyTo = in.req.head.msgh_remote_port;
  mach_port_urefs_t refs = 0;
  EXPECT_EQ(KERN_SUCCESS, mach_port_get_refs(mach_task_self(), replyTo, MACH_PORT_RIGHT_SEND_ONCE, &refs));
  EXPECT_EQ(1u, refs);
  // A trailer follows the message when the buffer has room.
  mach_msg_trailer_t trailer;
  std::memcpy(&trailer, reinterpret_cast<uint8_t*>(&in) + 44, sizeof trailer);
  EXPECT_EQ(8u, trailer.msgh_trailer_size);

  // The reply as a MIG server writes it.
  mig_reply_error_t reply{};
  reply.Head.msgh_bits = MACH_MSGH_BITS_REMOTE(in.req.head.msgh_bits);
  reply.Head.msgh_size = sizeof reply;
  reply.Head.msgh_remote_port = replyTo;
  reply.Head.msgh_local_port = MACH_PORT_NULL;
  reply.Head.msgh_id = in.req.head.msgh_id + 100;
  reply.NDR = NDR_record;
  reply.RetCode = MIG_BAD_ID;
  ASSERT_EQ(MACH_MSG_SUCCESS, mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, 0));
  // The send-once right is spent by the reply.
  EXPECT_EQ(KERN_INVALID_NAME, mach_port_get_refs(mach_task_self(), replyTo, MACH_PORT_RIGHT_SEND_ONCE, &refs));
  EXPECT_EQ(MACH_SEND_INVALID_DEST, mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, 0));

  char expected[160];
  std::snprintf(expected, sizeof expected, "kr=0 id=1100 size=36 bits=0x1200 remote=0 local=reply ret=-303 int_rep=%d",
                NDR_record.int_rep);
  EXPECT_EQ(expected, ReadLine(fromChild[0]));
  int status = -1;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_EQ(KERN_SUCCESS, mach_port_destroy(mach_task_self(), port));
  EXPECT_FALSE(std::filesystem::exists(m_root + endpoint));
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
}

TEST_F(MachTest, ReferenceCounts) {
  mach_port_t task = mach_task_self();
  mach_port_t port;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &port));
  std::string endpoint = platform::mach::EndpointForPort(port);
  enum Op { insertSend, insertOtherName, modSend, modReceive, dealloc, rightForEndpoint };
  struct Step {
    Op op;
    int delta;
    kern_return_t expected;
    mach_port_urefs_t sendRefs;
    mach_port_urefs_t receiveRefs;
  } steps[] = {
      {modSend, 1, KERN_INVALID_RIGHT, 0, 1},  // no send right yet
      {dealloc, 0, KERN_INVALID_RIGHT, 0, 1},
      {insertSend, 0, KERN_SUCCESS, 1, 1},
      {modSend, 2, KERN_SUCCESS, 3, 1},
      {rightForEndpoint, 0, KERN_SUCCESS, 4, 1},  // the same port: the same name
      {modSend, -5, KERN_INVALID_VALUE, 4, 1},
      {insertOtherName, 0, KERN_INVALID_VALUE, 4, 1},
      {dealloc, 0, KERN_SUCCESS, 3, 1},
      {modSend, -3, KERN_SUCCESS, 0, 1},  // the receive right keeps the name
      {modReceive, 2, KERN_INVALID_VALUE, 0, 1},
      {modReceive, -1, KERN_SUCCESS, 0, 0},  // the name is gone with its last right
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& s = steps[i];
    kern_return_t kr = KERN_FAILURE;
    switch (s.op) {
      case insertSend: kr = mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND); break;
      case insertOtherName: kr = mach_port_insert_right(task, port + 1, port, MACH_MSG_TYPE_MAKE_SEND); break;
      case modSend: kr = mach_port_mod_refs(task, port, MACH_PORT_RIGHT_SEND, s.delta); break;
      case modReceive: kr = mach_port_mod_refs(task, port, MACH_PORT_RIGHT_RECEIVE, s.delta); break;
      case dealloc: kr = mach_port_deallocate(task, port); break;
      case rightForEndpoint:
        kr = platform::mach::SendRightForEndpoint(endpoint) == port ? KERN_SUCCESS : KERN_FAILURE;
        break;
    }
    EXPECT_EQ(s.expected, kr) << "step " << i;
    mach_port_urefs_t send = 99, receive = 99;
    kern_return_t expectedQuery = s.receiveRefs == 0 && s.sendRefs == 0 ? KERN_INVALID_NAME : KERN_SUCCESS;
    EXPECT_EQ(expectedQuery, mach_port_get_refs(task, port, MACH_PORT_RIGHT_SEND, &send)) << "step " << i;
    EXPECT_EQ(expectedQuery, mach_port_get_refs(task, port, MACH_PORT_RIGHT_RECEIVE, &receive)) << "step " << i;
    EXPECT_EQ(s.sendRefs, send) << "step " << i;
    EXPECT_EQ(s.receiveRefs, receive) << "step " << i;
  }
  EXPECT_FALSE(std::filesystem::exists(m_root + endpoint));
  EXPECT_EQ(MACH_PORT_NULL, platform::mach::SendRightForEndpoint(endpoint));
}

TEST_F(MachTest, ReceiveTimesOutOnThePlatformClock) {
  clk::UseScaled(50);
  mach_port_t port;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port));
  ReceiveBuffer buf{};
  auto start = std::chrono::steady_clock::now();
  // 2 s on a 50x clock: 40 ms.
  EXPECT_EQ(MACH_RCV_TIMED_OUT, mach_msg(&buf.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buf, port, 2000, 0));
  double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(real, 0.035);
  EXPECT_LT(real, 1.0);

  clk::UseManual(1.0e9);
  std::atomic<mach_msg_return_t> result{-1};
  std::thread waiter([&] {
    ReceiveBuffer b{};
    result = mach_msg(&b.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof b, port, 1000, 0);
  });
  // The waiter takes its deadline from the clock as it starts: let it do so first.
  EXPECT_TRUE(clk::AwaitManualPolls(1));
  clk::Advance(0.75);
  EXPECT_TRUE(clk::AwaitManualPolls(2));
  EXPECT_EQ(-1, result.load());
  clk::Advance(0.25);
  waiter.join();
  EXPECT_EQ(MACH_RCV_TIMED_OUT, result.load());
  mach_port_destroy(mach_task_self(), port);
}

TEST_F(MachTest, MessageErrors) {
  mach_port_t task = mach_task_self();
  mach_port_t port, gone;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &port));
  ASSERT_EQ(KERN_SUCCESS, mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND));
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &gone));
  mach_port_t toGone = platform::mach::SendRightForEndpoint(platform::mach::EndpointForPort(gone));
  ASSERT_EQ(gone, toGone);
  ASSERT_EQ(KERN_SUCCESS, mach_port_mod_refs(task, gone, MACH_PORT_RIGHT_RECEIVE, -1));

  struct Case {
    const char* what;
    mach_port_t dest;
    mach_msg_type_name_t destType;
    mach_port_t reply;
    mach_msg_type_name_t replyType;
    mach_msg_size_t size;
    mach_msg_return_t expected;
  } cases[] = {
      {"unknown name", 0x7777, MACH_MSG_TYPE_COPY_SEND, 0, 0, 24, MACH_SEND_INVALID_DEST},
      {"smaller than a header", port, MACH_MSG_TYPE_COPY_SEND, 0, 0, 20, MACH_SEND_MSG_TOO_SMALL},
      {"larger than the limit", port, MACH_MSG_TYPE_COPY_SEND, 0, 0, platform::mach::kMaxMessageSize + 4,
       MACH_SEND_TOO_LARGE},
      {"destroyed port", toGone, MACH_MSG_TYPE_COPY_SEND, 0, 0, 24, MACH_SEND_INVALID_DEST},
      {"send-once from a send right", port, MACH_MSG_TYPE_MOVE_SEND_ONCE, 0, 0, 24, MACH_SEND_INVALID_DEST},
      {"bad disposition", port, 7, 0, 0, 24, MACH_SEND_INVALID_HEADER},
      {"reply without a receive right", port, MACH_MSG_TYPE_COPY_SEND, toGone, MACH_MSG_TYPE_MAKE_SEND_ONCE, 24,
       MACH_SEND_INVALID_REPLY},
      {"good", port, MACH_MSG_TYPE_COPY_SEND, 0, 0, 24, MACH_MSG_SUCCESS},
  };
  std::vector<uint8_t> big(platform::mach::kMaxMessageSize + 8);
  for (const Case& c : cases) {
    auto* h = reinterpret_cast<mach_msg_header_t*>(big.data());
    *h = mach_msg_header_t{MACH_MSGH_BITS(c.destType, c.replyType), c.size, c.dest, c.reply, 0, 5};
    EXPECT_EQ(c.expected, mach_msg(h, MACH_SEND_MSG, c.size, 0, 0, 0, 0)) << c.what;
  }
  // The one good message is there, but too large for a 30-byte buffer: it is destroyed.
  ReceiveBuffer buf{};
  EXPECT_EQ(MACH_RCV_TOO_LARGE, mach_msg(&buf.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, 20, port, 0, 0));
  EXPECT_EQ(MACH_RCV_TIMED_OUT, mach_msg(&buf.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buf, port, 0, 0));
  EXPECT_EQ(MACH_RCV_INVALID_NAME, mach_msg(&buf.head, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buf, toGone, 0, 0));
  EXPECT_STREQ("receive: timed out", mach_error_string(MACH_RCV_TIMED_OUT));
  EXPECT_STREQ("unknown error code", mach_error_string(12345));
  mach_port_destroy(task, port);
  mach_port_destroy(task, toGone);
}

// Each message is handed to the callout on the loop's thread, which answers it.
struct EchoServer {
  std::vector<mach_msg_id_t> ids;
  std::thread::id thread;
};

void Echo(CFMachPortRef, void* msg, CFIndex size, void* info) {
  auto* server = static_cast<EchoServer*>(info);
  auto* in = static_cast<mach_msg_header_t*>(msg);
  server->ids.push_back(in->msgh_id);
  server->thread = std::this_thread::get_id();
  mig_reply_error_t reply{};
  reply.Head.msgh_bits = MACH_MSGH_BITS_REMOTE(in->msgh_bits);
  reply.Head.msgh_size = sizeof reply;
  reply.Head.msgh_remote_port = in->msgh_remote_port;
  reply.Head.msgh_id = in->msgh_id + 100;
  reply.RetCode = static_cast<kern_return_t>(size);
  EXPECT_EQ(MACH_MSG_SUCCESS, mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, 0, 0));
}

TEST_F(MachConcurrency, CFMachPortSourceHandsEveryMessageToTheCallout) {
  mach_port_t task = mach_task_self();
  mach_port_t port;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &port));
  ASSERT_EQ(KERN_SUCCESS, mach_port_insert_right(task, port, port, MACH_MSG_TYPE_MAKE_SEND));
  EchoServer server;
  CFMachPortContext ctx{0, &server, nullptr, nullptr, nullptr};
  Boolean shouldFree = true;
  CFRef<CFMachPortRef> cfPort(CFMachPortCreateWithPort(nullptr, port, Echo, &ctx, &shouldFree));
  ASSERT_TRUE(cfPort);
  EXPECT_FALSE(shouldFree);
  EXPECT_EQ(port, CFMachPortGetPort(cfPort.get()));

  std::atomic<CFRunLoopRef> loop{nullptr};
  std::atomic<SInt32> lastResult{0};
  std::thread::id loopThreadId;
  std::thread loopThread([&] {
    loopThreadId = std::this_thread::get_id();
    CFRef<CFRunLoopSourceRef> source(CFMachPortCreateRunLoopSource(nullptr, cfPort.get(), 0));
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);
    loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
    SInt32 r;
    do r = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1000, false);
    while (r == kCFRunLoopRunTimedOut);
    lastResult = r;
  });
  while (!loop) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  mach_port_t reply;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &reply));
  std::vector<std::string> answers;
  for (mach_msg_id_t id : {7, 8, 9}) {
    union {
      Request req;
      ReceiveBuffer rcv;
    } msg{};
    msg.req.head = {MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE), sizeof(Request), port,
                    reply, 0, id};
    ASSERT_EQ(MACH_MSG_SUCCESS, mach_msg(&msg.req.head, MACH_SEND_MSG | MACH_RCV_MSG | MACH_RCV_TIMEOUT,
                                         sizeof(Request), sizeof msg, reply, 10000, 0));
    const auto* r = reinterpret_cast<const mig_reply_error_t*>(&msg);
    answers.push_back(std::to_string(r->Head.msgh_id) + ":" + std::to_string(r->RetCode));
  }
  EXPECT_EQ((std::vector<std::string>{"107:44", "108:44", "109:44"}), answers);

  // Invalidating the port removes its source; the loop has nothing left and finishes.
  CFMachPortInvalidate(cfPort.get());
  EXPECT_FALSE(CFMachPortIsValid(cfPort.get()));
  CFRunLoopWakeUp(loop);
  loopThread.join();
  if (loop) CFRelease(loop);
  EXPECT_EQ(kCFRunLoopRunFinished, lastResult.load());
  EXPECT_EQ((std::vector<mach_msg_id_t>{7, 8, 9}), server.ids);
  EXPECT_EQ(loopThreadId, server.thread);
  mach_port_destroy(task, reply);
  mach_port_destroy(task, port);
}

TEST_F(MachTest, DestroyedReceiveRightInvalidatesTheCFMachPort) {
  mach_port_t port;
  ASSERT_EQ(KERN_SUCCESS, mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port));
  CFRef<CFMachPortRef> cfPort(CFMachPortCreateWithPort(nullptr, port, Echo, nullptr, nullptr));
  CFRef<CFRunLoopSourceRef> source(CFMachPortCreateRunLoopSource(nullptr, cfPort.get(), 0));
  EXPECT_TRUE(CFMachPortIsValid(cfPort.get()));
  EXPECT_TRUE(CFRunLoopSourceIsValid(source.get()));
  mach_port_destroy(mach_task_self(), port);
  EXPECT_FALSE(CFMachPortIsValid(cfPort.get()));
  EXPECT_FALSE(CFRunLoopSourceIsValid(source.get()));
  EXPECT_EQ(nullptr, CFMachPortCreateWithPort(nullptr, port, Echo, nullptr, nullptr));
}

}  // namespace
