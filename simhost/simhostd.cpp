// simhostd: the simulated Mac behind one system root.
//   simhostd init ROOT [--version X.Y.Z]   lay out a root and install the built programs
//   simhostd run ROOT [--rate N]           serve it: registry, changers, clock; start the daemon
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "ChangerDescription.h"
#include "Host.h"
#include "Install.h"
#include "Server.h"
#include "platform/Clock.h"
#include "platform/SysRoot.h"

namespace fs = std::filesystem;

namespace {

int Usage() {
  std::cerr << "usage: simhostd init ROOT [--version X.Y.Z]\n"
               "       simhostd run ROOT [--rate N]\n";
  return 64;
}

std::string StageDir() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

int Init(const std::string& root, const std::vector<std::string>& options) {
  std::string version = "10.3.9";
  for (size_t i = 0; i < options.size(); ++i) {
    if (options[i] == "--version" && i + 1 < options.size()) {
      version = options[++i];
    } else {
      return Usage();
    }
  }
  std::vector<std::string> installed;
  std::string error;
  if (!simhost::InitRoot(root, StageDir(), SHELVONX_SOURCE_DIR, version, installed, error)) {
    std::cerr << "simhostd: " << error << "\n";
    return 1;
  }
  std::cout << "system root " << root << " (Mac OS X " << version << ")\n";
  for (const auto& line : installed) std::cout << "installed " << line << "\n";
  return 0;
}

pid_t Start(const std::string& root, const std::string& macPath) {
  std::string path = root + macPath;
  pid_t pid = ::fork();
  if (pid == 0) {
    // Its own group (the terminal's Ctrl-C is for simhostd), and signals as a new process has them.
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

void StopAll(std::vector<std::pair<pid_t, std::string>>& children) {
  for (auto& [pid, name] : children) ::kill(pid, SIGTERM);
  // Give them a moment of real time to clean up, then make sure.
  for (int i = 0; i < 100 && !children.empty(); ++i) {
    std::erase_if(children, [](const auto& c) { return ::waitpid(c.first, nullptr, WNOHANG) == c.first; });
    if (!children.empty()) ::usleep(20000);
  }
  for (auto& [pid, name] : children) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  children.clear();
}

int Run(const std::string& root, const std::vector<std::string>& options) {
  double rate = 1;
  for (size_t i = 0; i < options.size(); ++i) {
    if (options[i] == "--rate" && i + 1 < options.size()) {
      char* end = nullptr;
      rate = std::strtod(options[++i].c_str(), &end);
      if (!end || *end || !(rate >= platform::clock::kMinRate && rate <= platform::clock::kMaxRate)) {
        std::cerr << "simhostd: --rate takes a number from 0.001 to 1000000\n";
        return 64;
      }
    } else {
      return Usage();
    }
  }
  if (!fs::is_directory(root + "/var/run")) {
    std::cerr << "simhostd: " << root << " is not a system root (run `simhostd init " << root << "` first)\n";
    return 1;
  }
  ::setenv("SHELVONX_SYSROOT", root.c_str(), 1);
  platform::ResetSysRoot();
  platform::clock::UseRootClock();
  if (!platform::clock::PublishRate(rate)) {
    std::cerr << "simhostd: cannot publish the clock in " << root << "/var/run/clock\n";
    return 1;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  simhost::Host host(root);
  simhost::Server server(host);
  std::string error;
  if (!server.Start(error)) {
    std::cerr << "simhostd: " << error << "\n";
    return 1;
  }
  // Serving now, this is the root's only host: what a killed one left goes before anything is
  // published or started.
  host.ClearCrashedRun();
  // The changers attached at every start of this root.
  std::vector<fs::path> descriptions;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + simhost::kAtStartDir, ec))
    if (entry.path().extension() == ".plist") descriptions.push_back(entry.path());
  std::sort(descriptions.begin(), descriptions.end());
  for (const auto& path : descriptions) {
    simhost::ChangerSpec spec;
    if (!simhost::LoadChangerDescription(path.string(), spec, error) || !host.AddChanger(std::move(spec), error))
      std::cerr << "simhostd: " << error << "\n";
  }
  char rateText[32];
  std::snprintf(rateText, sizeof rateText, "%g", rate);
  host.Log("serving " + root + " at " + rateText + " times real time");
  std::cout << "simhostd: serving " << root << " (rate " << rate << ")" << std::endl;

  std::vector<std::pair<pid_t, std::string>> children;
  if (fs::exists(root + simhost::kDaemonPath)) {
    pid_t pid = Start(root, simhost::kDaemonPath);
    if (pid > 0) children.emplace_back(pid, "Discwarden");
  }

  for (;;) {
    int sig = 0;
    sigwait(&signals, &sig);
    if (sig == SIGCHLD) {
      for (auto it = children.begin(); it != children.end();) {
        int status = 0;
        if (::waitpid(it->first, &status, WNOHANG) == it->first) {
          host.Log(it->second + " [" + std::to_string(it->first) + "] ended with status " +
                   std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
          it = children.erase(it);
        } else {
          ++it;
        }
      }
      continue;
    }
    break;
  }
  StopAll(children);
  host.Shutdown();
  server.Stop();
  std::cout << "simhostd: stopped" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string command = argv[1];
  std::error_code ec;
  std::string root = fs::absolute(argv[2], ec).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::vector<std::string> options(argv + 3, argv + argc);
  if (command == "init") return Init(root, options);
  if (command == "run") return Run(root, options);
  return Usage();
}
