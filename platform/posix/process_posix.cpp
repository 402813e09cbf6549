#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Common/Include/ascii_case.h"
#include "platform/error.h"

extern char** environ;

namespace corvane::platform {

std::string NativeProgramName(const std::string& windows_name) {
  if (windows_name.size() > 4) {
    const std::string_view tail = std::string_view(windows_name).substr(windows_name.size() - 4);
    if (EqualsIgnoringCase(tail, ".exe")) return windows_name.substr(0, windows_name.size() - 4);
  }
  return windows_name;
}

ProgramResult RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) throw OsError("run program", EINVAL);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw OsError("pipe for " + argv[0], errno);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int error = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (error != 0) {
    close(pipe_fds[0]);
    throw OsError("start " + argv[0], error);
  }

  ProgramResult result;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw OsError("wait for " + argv[0], errno);
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

namespace {

// The server blocks its control signals to read them from a descriptor; a
// program it starts must get them as usual. `search_path`: a bare argv[0] is
// looked up on PATH. Returns the errno of a failed start, 0 on success.
int Spawn(const std::vector<std::string>& argv, bool search_path, pid_t& pid) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  // Descriptors that a library opened without close-on-exec (a database
  // driver's socket or file) would otherwise live on in a program that may
  // outlast the server.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  int error = search_path
                  ? posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, args.data(), environ)
                  : posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// Nobody waits for the program; this thread keeps it from lingering as a
// zombie once it ends.
void ReapInBackground(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

bool StartWithoutWaiting(const std::vector<std::string>& argv, bool search_path) {
  if (argv.empty()) return false;
  pid_t pid = 0;
  if (Spawn(argv, search_path, pid) != 0) return false;
  ReapInBackground(pid);
  return true;
}

}  // namespace

bool StartProgram(const std::vector<std::string>& argv) {
  return StartWithoutWaiting(argv, false);
}

bool StartProgramOnPath(const std::vector<std::string>& argv) {
  return StartWithoutWaiting(argv, true);
}

std::unique_ptr<Process> Process::Start(const std::vector<std::string>& argv) {
  if (argv.empty()) throw OsError("start a program", EINVAL);
  pid_t pid = 0;
  if (int error = Spawn(argv, false, pid); error != 0) {
    throw OsError("start " + argv[0], error);
  }
  const int descriptor = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (descriptor < 0) {
    const int error = errno;
    ReapInBackground(pid);
    throw OsError("watch " + argv[0], error);
  }
  return std::unique_ptr<Process>(new Process(pid, descriptor));
}

Process::~Process() {
  if (!Ended()) ReapInBackground(pid_);
  close(descriptor_);
}

bool Process::Ended() {
  if (exit_code_) return true;
  int status = 0;
  pid_t reaped = 0;
  do {
    reaped = waitpid(pid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != pid_) return false;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool RaiseProcessPriority() { return setpriority(PRIO_PROCESS, 0, -10) == 0; }

bool RaiseThreadPriority() {
  // On Linux a nice value belongs to a thread (its kernel task).
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -15) == 0;
}

}  // namespace corvane::platform
