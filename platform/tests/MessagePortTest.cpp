#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/CFMessagePort.h"
#include "platform/CFRef.h"
#include "platform/Clock.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace {

namespace clk = platform::clock;

constexpr SInt32 Code(const char (&c)[5]) {
  return static_cast<SInt32>(static_cast<uint32_t>(c[0]) << 24 | static_cast<uint32_t>(c[1]) << 16 |
                             static_cast<uint32_t>(c[2]) << 8 | static_cast<uint32_t>(c[3]));
}

CFRef<CFStringRef> Str(const std::string& s) {
  return CFRef(CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8));
}

CFRef<CFDataRef> Data(const std::string& s) {
  return CFRef(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), static_cast<CFIndex>(s.size())));
}

std::string Text(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<size_t>(CFDataGetLength(d)));
}

// The server's answers, by message id.
CFDataRef Serve(CFMessagePortRef, SInt32 msgid, CFDataRef data, void*) {
  switch (msgid) {
    case Code("gver"): {
      UInt32 version = 262;
      return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(&version), sizeof version);
    }
    case Code("none"):
      return nullptr;
    case Code("echo"): {
      if (!data) return Data("no data").release();
      std::string s = Text(data);
      return Data(std::string(s.rbegin(), s.rend())).release();
    }
    case Code("slow"):
      clk::SleepFor(10);
      return Data("late").release();
    case Code("thrd"):
      return Data(static_cast<pid_t>(::gettid()) == ::getpid() ? "main thread" : "other thread").release();
    case Code("quit"):
      CFRunLoopStop(CFRunLoopGetCurrent());
      return Data("bye").release();
    default:
      return nullptr;
  }
}

class MessagePortTest : public platform_test::TempRootTest {
 protected:
  MessagePortTest() : TempRootTest("msgporttest") {}
  void TearDown() override {
    if (m_server > 0) {
      ::kill(m_server, SIGKILL);
      ::waitpid(m_server, nullptr, 0);
    }
    clk::UseRootClock();
    TempRootTest::TearDown();
  }

  // A second process serving `name` on its main run loop until asked to quit.
  void StartServer(const std::string& name) {
    int ready[2];
    ASSERT_EQ(0, ::pipe(ready));
    m_server = ::fork();
    ASSERT_GE(m_server, 0);
    if (m_server == 0) {
      ::close(ready[0]);
      CFRef<CFMessagePortRef> port(CFMessagePortCreateLocal(nullptr, Str(name).get(), Serve, nullptr, nullptr));
      if (!port) ::_exit(2);
      CFRef<CFRunLoopSourceRef> source(CFMessagePortCreateRunLoopSource(nullptr, port.get(), 0));
      CFRunLoopAddSource(CFRunLoopGetCurrent(), source.get(), kCFRunLoopDefaultMode);
      ssize_t ignored = ::write(ready[1], "r", 1);
      (void)ignored;
      CFRunLoopRun();
      CFMessagePortInvalidate(port.get());
      ::_exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 10000));
    ASSERT_EQ(1, ::read(ready[0], &c, 1));
    ::close(ready[0]);
  }

  int WaitForServer() {
    int status = -1;
    ::waitpid(m_server, &status, 0);
    m_server = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t m_server = 0;
};

// Tests with several threads; they also run under ThreadSanitizer.
using MessagePortConcurrency = MessagePortTest;

// Connections waiting on the listening socket at `path`, not yet accepted: the kernel lists
// each with the listener's path.
int WaitingConnections(const std::string& path) {
  std::ifstream in("/proc/net/unix");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, name;
    if (fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name && name == path &&
        flags != "00010000")
      ++count;
  }
  return count;
}

// The hand-shake with a client thread: true once one more connection than `before` waits.
bool WaitForConnection(const std::string& path, int before) {
  for (int i = 0; i < 60000; ++i) {
    if (WaitingConnections(path) > before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// A raw connection to a port that sends `bytes` and then keeps still.
int Connect(const std::string& path, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

struct Exchange {
  const char* what;
  SInt32 msgid;
  std::optional<std::string> request;
  SInt32 status;
  std::optional<std::string> reply;  // nullopt: no reply data
};

TEST_F(MessagePortTest, RequestsAndRepliesBetweenTwoProcesses) {
  StartServer("Discwarden-4242");
  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-4242")));
  ASSERT_TRUE(remote);
  EXPECT_TRUE(CFMessagePortIsValid(remote.get()));
  EXPECT_TRUE(CFMessagePortIsRemote(remote.get()));
  EXPECT_TRUE(CFEqual(CFSTR("Discwarden-4242"), CFMessagePortGetName(remote.get())));
  EXPECT_TRUE(std::filesystem::exists(m_root + "/var/run/ports/Discwarden-4242"));

  const UInt32 version = 262;
  const Exchange exchanges[] = {
      {"version", Code("gver"), std::nullopt, kCFMessagePortSuccess,
       std::string(reinterpret_cast<const char*>(&version), 4)},
      {"no reply", Code("none"), std::string("x"), kCFMessagePortSuccess, std::nullopt},
      {"unknown id", 12345, std::nullopt, kCFMessagePortSuccess, std::nullopt},
      {"data both ways", Code("echo"), std::string("abc\0def", 7), kCFMessagePortSuccess, std::string("fed\0cba", 7)},
      {"null request data", Code("echo"), std::nullopt, kCFMessagePortSuccess, std::string("no data")},
      {"empty request data", Code("echo"), std::string(), kCFMessagePortSuccess, std::string()},
      {"served on the loop's thread", Code("thrd"), std::nullopt, kCFMessagePortSuccess, std::string("main thread")},
  };
  for (const Exchange& x : exchanges) {
    CFRef<CFDataRef> request = x.request ? Data(*x.request) : CFRef<CFDataRef>();
    CFDataRef reply = reinterpret_cast<CFDataRef>(0x1);  // must be cleared
    EXPECT_EQ(x.status, CFMessagePortSendRequest(remote.get(), x.msgid, request.get(), 600, 600,
                                                 kCFRunLoopDefaultMode, &reply))
        << x.what;
    CFRef<CFDataRef> held(reply);
    ASSERT_EQ(x.reply.has_value(), reply != nullptr) << x.what;
    if (x.reply) {
      EXPECT_EQ(*x.reply, Text(reply)) << x.what;
    }
  }

  // The server ends; its name is gone and the next request finds the port invalid.
  CFDataRef reply = nullptr;
  EXPECT_EQ(kCFMessagePortSuccess,
            CFMessagePortSendRequest(remote.get(), Code("quit"), nullptr, 600, 600, kCFRunLoopDefaultMode, &reply));
  CFRef<CFDataRef> bye(reply);
  EXPECT_EQ("bye", Text(reply));
  EXPECT_EQ(0, WaitForServer());
  EXPECT_FALSE(std::filesystem::exists(m_root + "/var/run/ports/Discwarden-4242"));
  EXPECT_EQ(kCFMessagePortIsInvalid,
            CFMessagePortSendRequest(remote.get(), Code("gver"), nullptr, 600, 600, kCFRunLoopDefaultMode, &reply));
  EXPECT_EQ(nullptr, reply);
  EXPECT_FALSE(CFMessagePortIsValid(remote.get()));
}

TEST_F(MessagePortTest, ReplyTimeOutOnThePlatformClock) {
  clk::UseScaled(50);  // the forked server shares it
  StartServer("SlowServer");
  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("SlowServer")));
  ASSERT_TRUE(remote);
  CFDataRef reply = nullptr;
  auto start = std::chrono::steady_clock::now();
  // The server takes 10 s; the client waits 2 s (40 ms at 50x).
  EXPECT_EQ(kCFMessagePortReceiveTimeout,
            CFMessagePortSendRequest(remote.get(), Code("slow"), nullptr, 5, 2, kCFRunLoopDefaultMode, &reply));
  double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(nullptr, reply);
  EXPECT_GE(real, 0.035);
  EXPECT_LT(real, 0.15);
  // A time-out leaves the port usable: the next request waits its turn behind the slow one.
  EXPECT_TRUE(CFMessagePortIsValid(remote.get()));
  EXPECT_EQ(kCFMessagePortSuccess,
            CFMessagePortSendRequest(remote.get(), Code("echo"), Data("ok").get(), 5, 60, kCFRunLoopDefaultMode,
                                     &reply));
  CFRef<CFDataRef> held(reply);
  EXPECT_EQ("ko", Text(reply));
}

TEST_F(MessagePortConcurrency, ClientThreadsSendInParallel) {
  StartServer("Busy");
  constexpr int kThreads = 4, kEach = 20;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        // Each request has its own remote port, as the client library makes them.
        CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("Busy")));
        std::string text = std::to_string(t) + "-" + std::to_string(i);
        CFDataRef reply = nullptr;
        SInt32 status = remote ? CFMessagePortSendRequest(remote.get(), Code("echo"), Data(text).get(), 600, 600,
                                                          kCFRunLoopDefaultMode, &reply)
                               : -100;
        CFRef<CFDataRef> held(reply);
        if (status == kCFMessagePortSuccess && reply && Text(reply) == std::string(text.rbegin(), text.rend()))
          ++good;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(kThreads * kEach, good.load());
}

TEST_F(MessagePortTest, NamesAndValidity) {
  // No port of that name.
  EXPECT_EQ(nullptr, CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-1")));
  for (const char* bad : {"", "a/b", ".."}) {
    Boolean shouldFree = false;
    EXPECT_EQ(nullptr, CFMessagePortCreateLocal(nullptr, Str(bad).get(), Serve, nullptr, &shouldFree)) << bad;
    EXPECT_TRUE(shouldFree) << bad;
  }

  // A socket file left by a process that died is no port, and a new local port replaces it.
  std::string stale = platform::MacToHost("/var/run/ports/Discwarden-2");
  std::filesystem::create_directories(std::filesystem::path(stale).parent_path());
  {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, stale.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ::close(fd);
  }
  EXPECT_EQ(nullptr, CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-2")));
  Boolean shouldFree = true;
  CFRef<CFMessagePortRef> local(CFMessagePortCreateLocal(nullptr, CFSTR("Discwarden-2"), Serve, nullptr, &shouldFree));
  ASSERT_TRUE(local);
  EXPECT_FALSE(shouldFree);
  EXPECT_FALSE(CFMessagePortIsRemote(local.get()));

  // A live name is taken.
  EXPECT_EQ(nullptr, CFMessagePortCreateLocal(nullptr, CFSTR("Discwarden-2"), Serve, nullptr, &shouldFree));
  EXPECT_TRUE(shouldFree);
  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-2")));
  EXPECT_TRUE(remote);
  // Requests go to remote ports only.
  CFDataRef reply = nullptr;
  EXPECT_EQ(kCFMessagePortIsInvalid,
            CFMessagePortSendRequest(local.get(), Code("gver"), nullptr, 1, 1, kCFRunLoopDefaultMode, &reply));
  EXPECT_EQ(nullptr, CFMessagePortCreateRunLoopSource(nullptr, remote.get(), 0));

  // Another system root does not see this root's ports.
  char other[] = "/tmp/msgporttest.XXXXXX";
  ASSERT_NE(nullptr, ::mkdtemp(other));
  ::setenv("SHELVONX_SYSROOT", other, 1);
  platform::ResetSysRoot();
  EXPECT_EQ(nullptr, CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-2")));
  CFRef<CFMessagePortRef> second(CFMessagePortCreateLocal(nullptr, CFSTR("Discwarden-2"), Serve, nullptr, nullptr));
  EXPECT_TRUE(second);
  second.reset();
  std::filesystem::remove_all(other);
  ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
  platform::ResetSysRoot();

  // Invalidating gives the name up.
  CFMessagePortInvalidate(local.get());
  EXPECT_FALSE(CFMessagePortIsValid(local.get()));
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_EQ(nullptr, CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-2")));
}

// Clients that connect and say nothing, or announce a huge request and send none of it, neither
// hold up a real request nor make the server set memory aside for what they claim.
TEST_F(MessagePortTest, SilentAndGreedyClientsDelayNobody) {
  StartServer("Discwarden-7");
  std::string path = m_root + "/var/run/ports/Discwarden-7";
  long before = ResidentKiB(m_server);
  std::string greedy(16, '\0');
  const uint32_t header[4] = {0x43464d51, 1, 3, 64u << 20};  // a request of 64 MiB
  std::memcpy(greedy.data(), header, sizeof header);
  std::vector<int> idle;
  for (int i = 0; i < 3; ++i) idle.push_back(Connect(path, ""));
  for (int i = 0; i < 4; ++i) idle.push_back(Connect(path, greedy));
  idle.push_back(Connect(path, greedy.substr(0, 7)));
  for (int fd : idle) ASSERT_GE(fd, 0);

  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("Discwarden-7")));
  ASSERT_TRUE(remote);
  CFDataRef reply = nullptr;
  // The clock is real: a server that waits its turn on each silent client first misses this.
  EXPECT_EQ(kCFMessagePortSuccess, CFMessagePortSendRequest(remote.get(), Code("echo"), Data("abc").get(), 5, 5,
                                                            kCFRunLoopDefaultMode, &reply));
  CFRef<CFDataRef> held(reply);
  ASSERT_TRUE(reply);
  EXPECT_EQ("cba", Text(reply));
  long after = ResidentKiB(m_server);
  std::printf("server resident: %ld KiB before, %ld KiB after\n", before, after);
  EXPECT_LT(after - before, 16 * 1024) << "KiB set aside for requests that never came";
  for (int fd : idle) ::close(fd);
}

TEST_F(MessagePortConcurrency, InvalidatingTheServerFailsAWaitingRequest) {
  clk::UseScaled(50);
  CFRef<CFMessagePortRef> local(CFMessagePortCreateLocal(nullptr, CFSTR("Quitter"), Serve, nullptr, nullptr));
  ASSERT_TRUE(local);
  CFRef<CFMessagePortRef> remote(CFMessagePortCreateRemote(nullptr, CFSTR("Quitter")));
  ASSERT_TRUE(remote);
  std::string path = m_root + "/var/run/ports/Quitter";
  int before = WaitingConnections(path);
  std::atomic<SInt32> status{1};
  std::thread client([&] {
    CFDataRef reply = nullptr;
    status = CFMessagePortSendRequest(remote.get(), Code("gver"), nullptr, 600, 600, kCFRunLoopDefaultMode, &reply);
    if (reply) CFRelease(reply);
  });
  // Nobody serves the port; once the request waits on its socket, the port goes away.
  ASSERT_TRUE(WaitForConnection(path, before));
  EXPECT_EQ(1, status.load());
  CFMessagePortInvalidate(local.get());
  client.join();
  EXPECT_EQ(kCFMessagePortBecameInvalidError, status.load());
  EXPECT_FALSE(CFMessagePortIsValid(remote.get()));
}

}  // namespace
