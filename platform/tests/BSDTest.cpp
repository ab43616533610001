#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "platform/BSD.h"
#include "platform/Clock.h"
#include "TempRoot.h"
#include "platform/SysRoot.h"

namespace fs = std::filesystem;

namespace {

// A temporary system root for one test; the process's root is restored afterwards.
class BSDRoot : public platform_test::TempRootTest {
 protected:
  BSDRoot() : TempRootTest("bsdtest") {}
  void TearDown() override {
    for (pid_t pid : m_children) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    platform::clock::UseRootClock();
    TempRootTest::TearDown();
  }
  std::string Host(const std::string& mac) const { return m_root + mac; }
  void WriteHostFile(const std::string& mac, const std::string& text, fs::perms perms = fs::perms::owner_read |
                                                                                         fs::perms::owner_write) {
    fs::create_directories(fs::path(Host(mac)).parent_path());
    std::ofstream(Host(mac)) << text;
    fs::permissions(Host(mac), perms);
  }
  // A copy of the system's sleep(1) at a Mac path, so that its file name is ours.
  void InstallSleeper(const std::string& mac) {
    fs::create_directories(fs::path(Host(mac)).parent_path());
    fs::copy_file("/bin/sleep", Host(mac));
  }
  pid_t Start(const std::string& mac, const std::string& root) {
    pid_t pid = bsd::StartProgram(mac, {mac.substr(mac.rfind('/') + 1), "30"}, {"SHELVONX_SYSROOT=" + root});
    if (pid > 0) {
      m_children.push_back(pid);
      WaitForExec(pid, mac.substr(mac.rfind('/') + 1, 15), "SHELVONX_SYSROOT=" + root);
    }
    return pid;
  }

  // Until the child has exec'd and the kernel has set up its new environment, its environment
  // is the parent's start-up one (or empty).
  static void WaitForExec(pid_t pid, const std::string& comm, const std::string& envEntry) {
    for (int i = 0; i < 400; ++i) {
      std::ifstream commIn("/proc/" + std::to_string(pid) + "/comm");
      std::string name;
      std::getline(commIn, name);
      std::ifstream envIn("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
      std::string env((std::istreambuf_iterator<char>(envIn)), std::istreambuf_iterator<char>());
      if (name == comm && env.find(envEntry + '\0') != std::string::npos) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  std::vector<pid_t> m_children;
};

std::vector<bsd::kinfo_proc> ReadTable() {
  int mib[] = {bsd::CTL_KERN, bsd::KERN_PROC, bsd::KERN_PROC_ALL, 0};
  for (;;) {
    size_t size = 0;
    if (bsd::sysctl(mib, 4, nullptr, &size, nullptr, 0) != 0) return {};
    std::vector<bsd::kinfo_proc> table(size / sizeof(bsd::kinfo_proc));
    if (bsd::sysctl(mib, 4, table.data(), &size, nullptr, 0) == 0) {
      table.resize(size / sizeof(bsd::kinfo_proc));
      return table;
    }
    if (errno != ENOMEM) return {};
  }
}

const bsd::kinfo_proc* Find(const std::vector<bsd::kinfo_proc>& table, pid_t pid) {
  for (const auto& e : table)
    if (e.kp_proc.p_pid == pid) return &e;
  return nullptr;
}

TEST_F(BSDRoot, FileCallsUseMacPathsUnderTheRoot) {
  ASSERT_EQ(bsd::mkdir("/Library", 0755), 0);
  EXPECT_TRUE(fs::is_directory(Host("/Library")));
  int fd = bsd::open("/Library/a.txt", O_CREAT | O_EXCL | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  ::close(fd);
  EXPECT_EQ(bsd::open("/Library/a.txt", O_CREAT | O_EXCL | O_WRONLY, 0600), -1);
  EXPECT_EQ(errno, EEXIST);

  struct stat st {};
  ASSERT_EQ(bsd::stat("/Library/a.txt", &st), 0);
  EXPECT_EQ(st.st_size, 3);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(bsd::chmod("/Library/a.txt", 0664), 0);
  ASSERT_EQ(bsd::chown("/Library/a.txt", ::getuid(), 0), 0);
  ASSERT_EQ(bsd::lstat("/Library/a.txt", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  EXPECT_EQ(st.st_gid, 0u);
  EXPECT_EQ(bsd::access("/Library/a.txt", R_OK), 0);

  ASSERT_EQ(bsd::rename("/Library/a.txt", "/Library/b.txt"), 0);
  FILE* f = bsd::fopen("/Library/b.txt", "r");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 3u);
  std::fclose(f);
  EXPECT_STREQ(buf, "abc");

  char resolved[bsd::kMacPathMax];
  ASSERT_EQ(bsd::realpath("/Library/../Library/b.txt", resolved), resolved);
  EXPECT_STREQ(resolved, "/Library/b.txt");
  char* allocated = bsd::realpath("/Library", nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_STREQ(allocated, "/Library");
  std::free(allocated);
  EXPECT_EQ(bsd::realpath("/Library/none", resolved), nullptr);
  EXPECT_EQ(errno, ENOENT);

  DIR* dir = bsd::opendir("/Library");
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(dir)) names.push_back(e->d_name);
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "b.txt"}));

  EXPECT_EQ(bsd::rmdir("/Library"), -1);
  EXPECT_EQ(errno, ENOTEMPTY);
  ASSERT_EQ(bsd::unlink("/Library/b.txt"), 0);
  ASSERT_EQ(bsd::rmdir("/Library"), 0);
  EXPECT_FALSE(fs::exists(Host("/Library")));
}

TEST_F(BSDRoot, RealpathRefusesAResultLongerThanTheMacLimit) {
  // Each level is 200 characters; six of them pass the Mac path limit.
  std::string mac;
  for (int i = 0; i < 6; ++i) mac += "/" + std::string(200, static_cast<char>('a' + i));
  fs::create_directories(Host(mac));
  char resolved[bsd::kMacPathMax];
  EXPECT_EQ(bsd::realpath(mac.c_str(), resolved), nullptr);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(BSDRoot, GroupsComeFromTheRootsGroupFile) {
  EXPECT_EQ(bsd::getgrnam("admin"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  WriteHostFile("/etc/group",
                "# groups of the simulated system\n"
                "wheel:*:0:root\n"
                "broken line\n"
                "admin:*:80:root,alice\n"
                "staff:*:20:\n");
  struct Case {
    const char* name;
    bool found;
    gid_t gid;
    std::vector<std::string> members;
  } cases[] = {
      {"admin", true, 80, {"root", "alice"}},
      {"staff", true, 20, {}},
      {"wheel", true, 0, {"root"}},
      {"nobody-here", false, 0, {}},
      {"broken line", false, 0, {}},
  };
  for (const auto& c : cases) {
    struct group* g = bsd::getgrnam(c.name);
    ASSERT_EQ(g != nullptr, c.found) << c.name;
    if (!g) continue;
    EXPECT_STREQ(g->gr_name, c.name);
    EXPECT_EQ(g->gr_gid, c.gid) << c.name;
    std::vector<std::string> members;
    for (char** m = g->gr_mem; *m; ++m) members.push_back(*m);
    EXPECT_EQ(members, c.members) << c.name;
  }
}

TEST_F(BSDRoot, TimeAndSleepsFollowThePlatformClock) {
  platform::clock::UseManual(1000000.75);
  time_t t = 0;
  EXPECT_EQ(bsd::time(&t), 1000000);
  EXPECT_EQ(t, 1000000);
  platform::clock::Advance(99.5);
  EXPECT_EQ(bsd::time(nullptr), 1000100);

  // At 2000x the longest of these sleeps takes 15 ms of real time.
  platform::clock::UseScaled(2000);
  struct Case {
    const char* what;
    double seconds;
    std::function<int()> call;
  } cases[] = {
      {"sleep(30)", 30, [] { return static_cast<int>(bsd::sleep(30)); }},
      {"usleep(2500000)", 2.5, [] { return bsd::usleep(2500000); }},
      {"nanosleep(5.5 s)", 5.5, [] {
         timespec req{5, 500000000}, rem{1, 1};
         int r = bsd::nanosleep(&req, &rem);
         return r == 0 && rem.tv_sec == 0 && rem.tv_nsec == 0 ? 0 : -1;
       }},
  };
  for (const auto& c : cases) {
    double before = platform::clock::Now();
    auto realBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(c.call(), 0) << c.what;
    double slept = platform::clock::Now() - before;
    EXPECT_GE(slept, c.seconds) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - realBefore, std::chrono::seconds(2)) << c.what;
  }
  timespec bad{0, 1000000000};
  EXPECT_EQ(bsd::nanosleep(&bad, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(BSDRoot, ProcessTableShowsOnlyProcessesOfTheSameRoot) {
  InstallSleeper("/bin/DiscwardenSleeperTool");
  pid_t same = Start("/bin/DiscwardenSleeperTool", m_root);
  pid_t sameWithSlash = Start("/bin/DiscwardenSleeperTool", m_root + "/");
  pid_t other = Start("/bin/DiscwardenSleeperTool", m_root + "-other");
  ASSERT_GT(same, 0);
  ASSERT_GT(sameWithSlash, 0);
  ASSERT_GT(other, 0);

  std::vector<bsd::kinfo_proc> table = ReadTable();
  ASSERT_NE(Find(table, same), nullptr);
  EXPECT_STREQ(Find(table, same)->kp_proc.p_comm, "DiscwardenSleepe");
  EXPECT_NE(Find(table, sameWithSlash), nullptr);
  EXPECT_EQ(Find(table, other), nullptr);
  ASSERT_NE(Find(table, ::getpid()), nullptr);
  EXPECT_TRUE(std::is_sorted(table.begin(), table.end(), [](const auto& a, const auto& b) {
    return a.kp_proc.p_pid < b.kp_proc.p_pid;
  }));

  // A buffer one entry short (the table grew since the size query) gets what fits and ENOMEM.
  int mib[] = {bsd::CTL_KERN, bsd::KERN_PROC, bsd::KERN_PROC_ALL};
  size_t size = 0;
  ASSERT_EQ(bsd::sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
  ASSERT_GE(size, 2 * sizeof(bsd::kinfo_proc));
  std::vector<bsd::kinfo_proc> shortTable(size / sizeof(bsd::kinfo_proc) - 1);
  size_t shortSize = shortTable.size() * sizeof(bsd::kinfo_proc);
  EXPECT_EQ(bsd::sysctl(mib, 3, shortTable.data(), &shortSize, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(shortSize, shortTable.size() * sizeof(bsd::kinfo_proc));

  // Without a root, only processes started without one are seen.
  ::unsetenv("SHELVONX_SYSROOT");
  platform::ResetSysRoot();
  table = ReadTable();
  EXPECT_EQ(Find(table, same), nullptr);
  EXPECT_EQ(Find(table, other), nullptr);
  EXPECT_NE(Find(table, ::getpid()), nullptr);
}

TEST_F(BSDRoot, ProcessTableRejectsOtherQueries) {
  struct Case {
    std::vector<int> mib;
    int err;
  } cases[] = {
      {{bsd::CTL_KERN, bsd::KERN_PROC}, ENOENT},
      {{bsd::CTL_KERN, 1, bsd::KERN_PROC_ALL}, ENOENT},
      {{2, bsd::KERN_PROC, bsd::KERN_PROC_ALL}, ENOENT},
  };
  for (const auto& c : cases) {
    size_t size = 0;
    EXPECT_EQ(bsd::sysctl(c.mib.data(), static_cast<unsigned>(c.mib.size()), nullptr, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, c.err);
  }
}

TEST_F(BSDRoot, ProgramsReportSignedExitStatuses) {
  WriteHostFile("/bin/exitwith", "#!/bin/sh\nexit \"$1\"\n", fs::perms::owner_all);
  WriteHostFile("/bin/killself", "#!/bin/sh\nkill -TERM $$\n", fs::perms::owner_all);
  WriteHostFile("/bin/notexecutable", "#!/bin/sh\nexit 0\n");
  struct Case {
    const char* path;
    const char* arg;
    int startError;
    bool exited;
    int status;
    int signal;
  } cases[] = {
      {"/bin/exitwith", "0", 0, true, 0, 0},
      {"/bin/exitwith", "255", 0, true, -1, 0},
      {"/bin/exitwith", "247", 0, true, -9, 0},
      {"/bin/exitwith", "253", 0, true, -3, 0},
      {"/bin/exitwith", "71", 0, true, 71, 0},
      {"/bin/killself", "", 0, false, 0, SIGTERM},
      {"/bin/nothere", "", ENOENT, false, 0, 0},
      {"/bin/notexecutable", "", EACCES, false, 0, 0},
  };
  for (const auto& c : cases) {
    bsd::ProgramResult r = bsd::RunProgram(c.path, {"tool", c.arg});
    EXPECT_EQ(r.startError, c.startError) << c.path << " " << c.arg;
    EXPECT_EQ(r.exited, c.exited) << c.path << " " << c.arg;
    EXPECT_EQ(r.status, c.status) << c.path << " " << c.arg;
    EXPECT_EQ(r.signal, c.signal) << c.path << " " << c.arg;
  }
}

TEST_F(BSDRoot, ForkedChildExecsMacPaths) {
  WriteHostFile("/sbin/exitwith", "#!/bin/sh\nexit \"$1\"\n", fs::perms::owner_all);
  // The child of a program that cannot be started exits with its own status (here -4).
  struct Case {
    const char* path;
    const char* arg;
    bool list;
    int status;
  } cases[] = {
      {"/sbin/exitwith", "250", false, -6},
      {"/sbin/exitwith", "0", true, 0},
      {"/sbin/nothere", "0", false, -4},
      {"/sbin/nothere", "0", true, -4},
  };
  for (const auto& c : cases) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (c.list) {
        bsd::execl(c.path, "exitwith", c.arg, static_cast<char*>(nullptr));
      } else {
        char* argv[] = {const_cast<char*>("exitwith"), const_cast<char*>(c.arg), nullptr};
        bsd::execv(c.path, argv);
      }
      ::_exit(static_cast<unsigned char>(-4));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(bsd::SignedExitStatus(status), c.status) << c.path << " " << c.arg;
  }
}

}  // namespace
