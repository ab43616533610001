// What one client can hold of the host through its socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "HostFixture.h"
#include "platform/HostLink.h"

namespace simhost::test {
namespace {

namespace hl = platform::hostlink;

// A frame left unfinished is dropped after this much real time.
constexpr double kFrameLimit = 0.3;

class ServerTest : public HostFixture {
 protected:
  double ClockRate() const override { return 50; }
  virtual double FrameLimit() const { return kFrameLimit; }
  void SetUp() override {
    HostFixture::SetUp();
    m_server = std::make_unique<Server>(*m_host, FrameLimit());
    std::string error;
    ASSERT_TRUE(m_server->Start(error)) << error;
  }
  void TearDown() override {
    for (int fd : m_fds) ::close(fd);
    m_host->Shutdown();
    m_server.reset();
    HostFixture::TearDown();
  }
  int Connect() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = m_root + "/var/run/simhost.sock";
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    m_fds.push_back(fd);
    return fd;
  }
  static bool SendRaw(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // True when the host closes `fd` within a generous real bound; a hang shows as false.
  static bool ClosedByHost(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
  }
  static bool Hello(int fd, int id) {
    auto request = cf::Dict();
    cf::Set(request.get(), "op", "hello");
    cf::Set(request.get(), "id", static_cast<int64_t>(id));
    return hl::SendMessage(fd, request.get());
  }
  static std::string Header(uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
            static_cast<char>(length)};
  }
  static long StatusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
  }

  std::unique_ptr<Server> m_server;
  std::vector<int> m_fds;
};

TEST_F(ServerTest, AnnouncedFramesGetNoMemoryAheadOfTheirBytesAndMustBeFinished) {
  long before = StatusKiB("VmHWM:");
  std::vector<int> greedy;
  for (int i = 0; i < 8; ++i) {
    greedy.push_back(Connect());
    ASSERT_TRUE(SendRaw(greedy.back(), Header(hl::kMaxFrame) + std::string(100, 'x')));
  }
  for (int fd : greedy) EXPECT_TRUE(ClosedByHost(fd)) << "a half-sent frame is dropped";
  long after = StatusKiB("VmHWM:");
  std::printf("peak resident: %ld KiB before, %ld KiB after\n", before, after);
  EXPECT_LT(after - before, 32 * 1024);
  // A frame over the limit is refused at its header.
  int big = Connect();
  ASSERT_TRUE(SendRaw(big, Header(hl::kMaxFrame + 1)));
  EXPECT_TRUE(ClosedByHost(big));
  // A client that is merely idle between frames keeps its connection.
  int idle = Connect();
  ASSERT_TRUE(Hello(idle, 1));
  std::string reply;
  ASSERT_TRUE(hl::ReadFrame(idle, reply));
  pollfd p{idle, POLLIN, 0};
  EXPECT_EQ(0, ::poll(&p, 1, static_cast<int>(kFrameLimit * 3000)));
  ASSERT_TRUE(Hello(idle, 2));
  EXPECT_TRUE(hl::ReadFrame(idle, reply));
}

TEST_F(ServerTest, ConnectionsBeyondTheCapAreRefused) {
  for (size_t i = 0; i < kMaxSessions; ++i) {
    int fd = Connect();
    ASSERT_TRUE(Hello(fd, 1));
    std::string reply;
    ASSERT_TRUE(hl::ReadFrame(fd, reply)) << i;
  }
  EXPECT_TRUE(ClosedByHost(Connect()));
  // One leaving makes room for the next.
  ::close(m_fds.front());
  m_fds.erase(m_fds.begin());
  int next = -1;
  std::string reply;
  for (int attempt = 0; attempt < 200 && reply.empty(); ++attempt) {
    next = Connect();
    if (Hello(next, 1)) (void)hl::ReadFrame(next, reply);
  }
  EXPECT_FALSE(reply.empty());
}

TEST_F(ServerTest, AClientThatNeverReadsIsDropped) {
  int fd = Connect();
  int sent = 0;
  while (sent < 200000 && Hello(fd, sent)) ++sent;
  std::printf("requests sent before the host dropped the client: %d\n", sent);
  EXPECT_LT(sent, 200000);
  EXPECT_GT(sent, static_cast<int>(kMaxQueuedMessages));
}

// A frame of four megabytes that takes the decoder all its time, then the host stops: the
// decode is one pass and the stop does not wait on it for long.
class BigFrameTest : public ServerTest {
 protected:
  double FrameLimit() const override { return 60; }  // the frame's own sending is not at issue
};

TEST_F(BigFrameTest, StopsPromptlyWhileASessionDecodesIt) {
  constexpr uint32_t kCount = 1000000;
  std::string array = "bplist00";
  array += "\xAF\x12";
  for (int i = 3; i >= 0; --i) array += static_cast<char>((kCount >> (8 * i)) & 0xFF);
  for (uint32_t i = 0; i < kCount; ++i) array += std::string("\x00\x00\x00\x01", 4);
  uint64_t second = array.size();
  array += "\x10\x07";
  uint64_t table = array.size();
  for (uint64_t off : {uint64_t{8}, second})
    for (int i = 3; i >= 0; --i) array += static_cast<char>((off >> (8 * i)) & 0xFF);
  std::string trailer(32, '\0');
  trailer[6] = 4;
  trailer[7] = 4;
  trailer[15] = 2;
  for (int i = 0; i < 8; ++i) trailer[24 + i] = static_cast<char>((table >> (8 * (7 - i))) & 0xFF);
  array += trailer;
  int fd = Connect();
  ASSERT_TRUE(hl::WriteFrame(fd, array));
  int half = Connect();
  ASSERT_TRUE(SendRaw(half, Header(1000)));
  auto start = std::chrono::steady_clock::now();
  m_host->Shutdown();
  m_server->Stop();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("stopped in %.3f s\n", seconds);
  EXPECT_LT(seconds, 30.0);  // generous; a per-element decode takes hours
  EXPECT_TRUE(ClosedByHost(fd));
  EXPECT_TRUE(ClosedByHost(half));
}

}  // namespace
}  // namespace simhost::test
