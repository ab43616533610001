// A simulated host on its socket in this process, and the daemon's changer discovery running
// against it: the notification thread and one changer thread per changer, at 50 times real time.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CNIDTables.h"
#include "ChangerData.h"
#include "ChangerNotifications.h"
#include "ChangerThread.h"
#include "HostFixture.h"
#include "LogMessage.h"
#include "MountData.h"
#include "StoreFixture.h"
#include "platform/Log.h"

namespace discwarden::test {

// A changer of `slots` storage elements with one drive per entry of `dvdFeatures`.
inline simhost::ChangerSpec ChangerWith(UInt64 i_guid, int i_slots, std::vector<int32_t> i_dvdFeatures,
                                        std::map<int, simhost::DiscSpec> i_discs = {}) {
  simhost::ChangerSpec spec;
  spec.guid = i_guid;
  spec.storageElements = i_slots;
  for (int32_t features : i_dvdFeatures) spec.drives.push_back(simhost::DriveSpec{features});
  spec.discs = std::move(i_discs);
  return spec;
}

// Sets a fault knob in a changer's description as the host's own parser would.
inline void SetKnob(simhost::KnobSet& io_knobs, const char* i_nameP, CFTypeRef i_valueRef) {
  const simhost::KnobInfo* knobP = simhost::FindKnob(i_nameP);
  ASSERT_NE(knobP, nullptr) << i_nameP;
  CFRef<CFTypeRef> valueRef;
  std::string error;
  ASSERT_TRUE(simhost::NormaliseKnob(*knobP, i_valueRef, valueRef, error)) << error;
  io_knobs.Set(i_nameP, valueRef);
}

inline simhost::DiscSpec DiscNamed(const std::string& i_volumeName) {
  simhost::DiscSpec disc;
  simhost::PartitionSpec partition;
  partition.fileSystem = "hfs";
  partition.volumeName = i_volumeName;
  disc.partitions.push_back(partition);
  return disc;
}

class DiscoveryFixture : public simhost::test::ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    WriteFile(m_root + "/etc/group", "wheel:*:0:root\nadmin:*:80:root\n");
    m_savedMask = ::umask(002);
    g_runningOnTiger = false;
    g_changerListP = nullptr;
    ASSERT_TRUE(StartMountLists());
    ASSERT_TRUE(InitializeCNIDTables());
    m_capture.emplace();
  }

  void TearDown() override {
    StopChangerNotifications();
    EndChangerThreads();
    m_capture.reset();
    ::umask(m_savedMask);
    ClientFixture::TearDown();
  }

  // Every changer thread leaves as if its changer had gone; waits until all have finished.
  void EndChangerThreads() {
    {
      ScopedRWLock lock(g_listRWLock, "EndChangerThreads", "%s: unable to unlock (err = %d).\n");
      ASSERT_TRUE(lock.ReadLock("%s: unable to lock (err = %d).\n"));
      for (ChangerData* changerDataP = g_changerListP; changerDataP != nullptr; changerDataP = changerDataP->m_nextP)
        changerDataP->m_shouldTerminate = true;
    }
    ASSERT_TRUE(WaitUntil([] { return g_changerThreadCount == 0; }, 60));
  }

  void StartDiscovery() { ASSERT_TRUE(StartChangerNotifications()); }

  void Plug(simhost::ChangerSpec i_spec) {
    std::string error;
    ASSERT_TRUE(m_host->AddChanger(std::move(i_spec), error)) << error;
  }

  // Polls `i_done` until it holds or `i_simSeconds` pass on the clock. The default leaves a
  // loaded machine several real seconds at the tests' accelerated clock; waits for something
  // that must not happen pass their own, short, time.
  bool WaitUntil(const std::function<bool()>& i_done, double i_simSeconds = 300) {
    double deadline = platform::clock::Now() + i_simSeconds;
    while (!i_done()) {
      if (platform::clock::Now() > deadline) return i_done();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // The state of the changer's record, or -1 while it has none.
  static int StateOf(UInt64 i_guid) {
    ChangerData* changerDataP = nullptr;
    if (!GetChangerDataForGUID(i_guid, &changerDataP)) return -1;
    return changerDataP->m_changerState.load();
  }
  bool WaitForState(UInt64 i_guid, EChangerState i_state, double i_simSeconds = 300) {
    return WaitUntil([&] { return StateOf(i_guid) == static_cast<int>(i_state); }, i_simSeconds);
  }
  static ChangerData* Record(UInt64 i_guid) {
    ChangerData* changerDataP = nullptr;
    (void)GetChangerDataForGUID(i_guid, &changerDataP);  // null when not listed
    return changerDataP;
  }

  // The daemon's lines ("Function: text"); the host's own lines are left out.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : m_capture->Lines()) {
      size_t colon = line.find(": ");
      if (colon != std::string::npos && colon > 0 &&
          std::all_of(line.begin(), line.begin() + static_cast<long>(colon),
                      [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }))
        lines.push_back(line);
    }
    return lines;
  }
  size_t CountOf(const std::string& i_line) const {
    std::vector<std::string> lines = LogLines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), i_line));
  }
  // The captured lines that begin with one of the function names.
  std::vector<std::string> LinesFrom(const std::vector<std::string>& i_functions) const {
    std::vector<std::string> selected;
    for (const std::string& line : LogLines())
      for (const std::string& function : i_functions)
        if (line.rfind(function + ": ", 0) == 0) selected.push_back(line);
    return selected;
  }

  std::string ChangerDir(UInt64 i_guid) const {
    char guid[17];
    snprintf(guid, sizeof guid, "%016llX", static_cast<unsigned long long>(i_guid));
    return m_root + "/Library/Changers/" + guid;
  }

  mode_t m_savedMask = 0;
  std::optional<platform::log::Capture> m_capture;
};

}  // namespace discwarden::test
