#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>

#include "platform/BSD.h"
#include "platform/SysRoot.h"

extern char** environ;

namespace bsd {

int execv(const char* path, char* const argv[]) {
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  return ::execv(platform::MacToHost(path).c_str(), argv);
}

int execl(const char* path, const char* arg0, ...) {
  std::vector<char*> argv{const_cast<char*>(arg0)};
  if (arg0) {
    va_list args;
    va_start(args, arg0);
    while (const char* a = va_arg(args, const char*)) argv.push_back(const_cast<char*>(a));
    va_end(args);
  }
  argv.push_back(nullptr);
  return execv(path, argv.data());
}

int SignedExitStatus(int waitStatus) { return static_cast<signed char>(WEXITSTATUS(waitStatus) & 0xFF); }

pid_t StartProgram(const std::string& path, const std::vector<std::string>& argv,
                   const std::vector<std::string>& setEnv) {
  std::string host = platform::MacToHost(path);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string var = *e;
    std::string name = var.substr(0, var.find('='));
    bool replaced = false;
    for (const auto& s : setEnv)
      if (s.substr(0, s.find('=')) == name) replaced = true;
    if (!replaced) env.push_back(var);
  }
  env.insert(env.end(), setEnv.begin(), setEnv.end());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  // The child starts with no blocked signals and default handlers, whatever this thread uses.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int err = posix_spawn(&pid, host.c_str(), nullptr, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return pid;
}

ProgramResult WaitForProgram(pid_t pid) {
  ProgramResult result;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    result.startError = errno;
    return result;
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.status = SignedExitStatus(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& setEnv) {
  pid_t pid = StartProgram(path, argv, setEnv);
  if (pid < 0) {
    ProgramResult result;
    result.startError = errno;
    return result;
  }
  return WaitForProgram(pid);
}

}  // namespace bsd
