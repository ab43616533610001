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
  void SetUp() override {
    m_root = MakeTempRoot();
    ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();
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

}  // namespace simhost::test
