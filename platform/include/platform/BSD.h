// The BSD calls the system code makes, with Mac paths. Every absolute path is resolved under the
// system root (platform/SysRoot.h); paths that come back (realpath) are in Mac form again.
// Results and errno are those of the underlying call.
#pragma once
#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/Syslog.h"

namespace bsd {

// The longest path the Mac form of realpath hands back, NUL included.
constexpr size_t kMacPathMax = 1024;

// ---- files
int open(const char* path, int flags, mode_t mode = 0);
FILE* fopen(const char* path, const char* mode);
DIR* opendir(const char* path);
int scandir(const char* path, struct dirent*** o_list, int (*filter)(const struct dirent*),
            int (*compare)(const struct dirent**, const struct dirent**));
int stat(const char* path, struct stat* o_st);
int lstat(const char* path, struct stat* o_st);
int mkdir(const char* path, mode_t mode);
int rmdir(const char* path);
int unlink(const char* path);
int remove(const char* path);
int rename(const char* from, const char* to);
int chmod(const char* path, mode_t mode);
// As the real call: only root may give a file away (EPERM otherwise).
int chown(const char* path, uid_t owner, gid_t group);
int access(const char* path, int mode);
// The canonical Mac path. `resolved` (kMacPathMax bytes) may be null: the result is then
// malloc'd. ENAMETOOLONG when the Mac path does not fit kMacPathMax.
char* realpath(const char* path, char* resolved);
mode_t umask(mode_t mask);

// Looks the group up in "<root>/etc/group" (the system's groups when the root is "/").
// The result lives until the thread's next call.
struct group* getgrnam(const char* name);

// ---- time, on the system's clock (platform/Clock.h)
time_t time(time_t* o_time);
unsigned sleep(unsigned seconds);
int usleep(useconds_t microseconds);
int nanosleep(const struct timespec* request, struct timespec* o_remaining);

// ---- the kernel's process table
enum { CTL_KERN = 1, KERN_PROC = 14, KERN_PROC_ALL = 0 };
constexpr size_t MAXCOMLEN = 16;
struct extern_proc {
  pid_t p_pid;
  char p_comm[MAXCOMLEN + 1];  // the program's file name, cut at MAXCOMLEN
};
struct kinfo_proc {
  struct extern_proc kp_proc;
};
// {CTL_KERN, KERN_PROC, KERN_PROC_ALL[, 0]}: the processes of this system root in pid order,
// as kinfo_proc entries. With `oldp` null, *oldlenp becomes the size the table needs now.
// A buffer too small for the table (it grew since the size query) gets what fits and ENOMEM.
// Processes belong to the root named by their SHELVONX_SYSROOT; two roots never see each other.
int sysctl(const int* name, unsigned namelen, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

// ---- programs
// exec of the program at a Mac path; argv as given (argv[0] included). Returns only on failure.
int execv(const char* path, char* const argv[]);
// As execv with the arguments listed, ending with a null pointer.
int execl(const char* path, const char* arg0, ...);

// An exit status the way the system reads it: the low 8 bits as a signed number (255 -> -1).
int SignedExitStatus(int waitStatus);

struct ProgramResult {
  int startError = 0;  // errno when the program could not be started; nothing ran then
  bool exited = false;  // false when a signal ended it
  int status = 0;       // SignedExitStatus, when exited
  int signal = 0;       // the ending signal, when not exited
};
// Starts the program at a Mac path with `argv` (argv[0] included) and the caller's environment
// plus `setEnv` ("NAME=value" entries that replace or add). Returns the pid, or -1 with errno.
pid_t StartProgram(const std::string& path, const std::vector<std::string>& argv,
                   const std::vector<std::string>& setEnv = {});
// Waits for a child started by StartProgram (or fork).
ProgramResult WaitForProgram(pid_t pid);
// StartProgram, then WaitForProgram.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& argv,
                         const std::vector<std::string>& setEnv = {});

}  // namespace bsd
