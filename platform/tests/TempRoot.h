// A fixture base for tests that need a system root of their own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/SysRoot.h"

namespace platform_test {

// Makes a temporary root /tmp/<prefix>.XXXXXX the process's root for one test; afterwards the
// process's own root (or its absence) comes back and the folder goes. Fixtures that add to SetUp
// call TempRootTest::SetUp() first, under ASSERT_NO_FATAL_FAILURE; TearDown last.
class TempRootTest : public ::testing::Test {
 protected:
  explicit TempRootTest(const char* i_prefix) : m_prefix(i_prefix) {}
  void SetUp() override {
    const char* old = std::getenv("SHELVONX_SYSROOT");
    m_hadRoot = old != nullptr;
    if (old) m_oldRoot = old;
    std::string tmpl = "/tmp/" + m_prefix + ".XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    m_root = tmpl;
    ::setenv("SHELVONX_SYSROOT", m_root.c_str(), 1);
    platform::ResetSysRoot();
  }
  void TearDown() override {
    if (m_hadRoot) ::setenv("SHELVONX_SYSROOT", m_oldRoot.c_str(), 1);
    else ::unsetenv("SHELVONX_SYSROOT");
    platform::ResetSysRoot();
    if (!m_root.empty()) std::filesystem::remove_all(m_root);
  }

  std::string m_root;

 private:
  std::string m_prefix;
  std::string m_oldRoot;
  bool m_hadRoot = false;
};

}  // namespace platform_test
