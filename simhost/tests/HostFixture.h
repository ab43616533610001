// A host on a temporary system root with a manual clock: tests advance time and the robot acts.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "CFUtil.h"
#include "ChangerDescription.h"
#include "Host.h"
#include "Server.h"
#include "platform/HostLink.h"
#include "platform/CFRunLoop.h"
#include "platform/Clock.h"
#include "platform/SysRoot.h"

namespace simhost::test {

inline std::string MakeTempRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "simhost-XXXXXX").string();
  std::string dir = ::mkdtemp(pattern.data()) ? pattern : std::string();
  std::filesystem::create_directories(dir + "/var/log");
  std::filesystem::create_directories(dir + "/var/run");
  std::filesystem::create_directories(dir + "/dev");
  return dir;
}

inline std::string Example(const std::string& name) { return std::string(SIMHOST_EXAMPLES_DIR) + "/" + name; }

inline ChangerSpec LoadExample(const std::string& name) {
  ChangerSpec spec;
  std::string error;
  EXPECT_TRUE(LoadChangerDescription(Example(name), spec, error)) << error;
  return spec;
}

class HostFixture : public ::testing::Test {
 protected:
  // 0: a manual clock that only Advance moves; otherwise real time times this rate.
  virtual double ClockRate() const { return 0; }

  void SetUp() override {
    m_root = MakeTempRoot();
    ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();
    if (ClockRate() > 0)
      platform::clock::UseScaled(ClockRate());
    else
      platform::clock::UseManual(kStart);
    m_host = std::make_unique<Host>(m_root);
  }
  void TearDown() override {
    m_host.reset();
    platform::clock::UseRootClock();
    std::filesystem::remove_all(m_root);
  }
  // Moves the clock on and lets every action that fell due run.
  void Advance(double seconds) {
    platform::clock::Advance(seconds);
    m_host->scheduler().Drain();
  }
  Changer& AddExample(const std::string& name) {
    ChangerSpec spec = LoadExample(name);
    uint64_t guid = spec.guid;
    std::string error;
    EXPECT_TRUE(m_host->AddChanger(std::move(spec), error)) << error;
    return *m_host->FindChanger(guid);
  }
  std::vector<ServiceId> Find(const std::string& className, uint64_t guid) {
    auto matching = cf::Dict();
    cf::Set(matching.get(), "IOProviderClass", className);
    cf::Set(matching.get(), "GUID", static_cast<int64_t>(guid));
    return m_host->registry().Match(matching.get());
  }
  CFRef<CFTypeRef> Prop(ServiceId s, const std::string& key) { return m_host->registry().CopyValue(s, key); }

  static constexpr double kStart = 1'000'000'000;
  std::string m_root;
  std::unique_ptr<Host> m_host;
};

// The host on its socket, reached through the platform's IOKit like any process of the root,
// with the clock at 50 times real time.
class ClientFixture : public HostFixture {
 protected:
  double ClockRate() const override { return 50; }
  void SetUp() override {
    HostFixture::SetUp();
    platform::hostlink::Disconnect();
    m_server = std::make_unique<Server>(*m_host);
    std::string error;
    ASSERT_TRUE(m_server->Start(error)) << error;
  }
  void TearDown() override {
    platform::hostlink::Disconnect();
    m_host->Shutdown();
    m_server.reset();
    HostFixture::TearDown();
  }
  // Runs this thread's run loop until `done` holds or `simSeconds` pass on the clock; generous
  // by default, so that at 50x a loaded machine still gets several real seconds.
  template <class Pred>
  bool RunUntil(Pred done, double simSeconds = 300) {
    double deadline = platform::clock::Now() + simSeconds;
    while (!done() && platform::clock::Now() < deadline) CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.5, true);
    return done();
  }
  std::unique_ptr<Server> m_server;
};

}  // namespace simhost::test
