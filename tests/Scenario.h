// Helpers for scenario tests: a system root served by a real simhostd process, and the system's
// programs run as processes with their output and exit status.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace scenario {

inline const std::string kStage = SHELVONX_STAGE_DIR;
inline const std::string kSource = SHELVONX_SOURCE_DIR;

struct Output {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
};

// Runs `argv` (argv[0] a path) with SHELVONX_SYSROOT = `root`, collecting its standard output.
inline Output RunProgram(const std::vector<std::string>& argv, const std::string& root) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    ::setenv("SHELVONX_SYSROOT", root.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    _exit(127);
  }
  ::close(pipeFds[1]);
  Output o;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) o.out.append(buf, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return o;
}

// Polls `done` every 10 ms of real time for up to `realSeconds`.
inline bool WaitFor(const std::function<bool()>& done, double realSeconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(realSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A fresh system root with its own simhostd process.
class Root {
 public:
  Root() {
    std::string pattern = (std::filesystem::temp_directory_path() / "scenario-XXXXXX").string();
    m_path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    Output init = RunProgram({kStage + "/simhostd", "init", m_path}, m_path);
    EXPECT_EQ(init.status, 0) << init.out;
  }
  ~Root() {
    Stop();
    std::filesystem::remove_all(m_path);
  }
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;

  const std::string& Path() const { return m_path; }
  pid_t HostPid() const { return m_host; }

  bool Start(double rate) {
    m_host = ::fork();
    if (m_host == 0) {
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, 1);
      ::setenv("SHELVONX_SYSROOT", m_path.c_str(), 1);  // so that it is a process of its own root
      std::string r = std::to_string(rate);
      ::execl((kStage + "/simhostd").c_str(), "simhostd", "run", m_path.c_str(), "--rate", r.c_str(),
              static_cast<char*>(nullptr));
      _exit(127);
    }
    return WaitFor([&] { return Ctl({"status"}).status == 0; });
  }
  // SIGTERM and wait: the host stops what it started and removes its socket.
  int Stop() {
    if (m_host <= 0) return -1;
    ::kill(m_host, SIGTERM);
    int status = 0;
    ::waitpid(m_host, &status, 0);
    m_host = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  Output Ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), {kStage + "/simhostctl", "--root", m_path});
    return RunProgram(args, m_path);
  }

 private:
  std::string m_path;
  pid_t m_host = 0;
};

}  // namespace scenario
