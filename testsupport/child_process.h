// Test helper: runs a program of the build as a child process.
//
// The child inherits the environment (with `extra_environment` added),
// reads its standard input from a pipe the test can write to, and writes its
// standard output into a buffer. Every wait is bounded; a child still
// running when the object dies is killed.

#ifndef CORVANE_TESTSUPPORT_CHILD_PROCESS_H_
#define CORVANE_TESTSUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extra_environment = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void WriteInput(const std::string& text);
  void CloseInput();
  void Signal(int signal_number);
  // The exit code, or nullopt when the child did not end in time (or died
  // by a signal, which gives -signal).
  std::optional<int> Wait(int timeout_ms);
  // Standard output collected so far (complete after Wait).
  std::string output();
  pid_t pid() const { return pid_; }

 private:
  void Drain();
  pid_t pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  std::string output_;
  std::optional<int> exit_code_;
};

// Runs a program to its end (at most `timeout_ms`) and returns its exit code
// and output.
struct RunResult {
  std::optional<int> exit_code;
  std::string output;
};
RunResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extra_environment = {}, int timeout_ms = 20000);

// Runs `body` in a forked child that exits with 0 when `body` returned and 1
// when it threw.
pid_t ForkChild(const std::function<void()>& body);

// The child's exit status, 128 + the signal number when a signal ended it,
// -1 when it cannot be waited for.
int WaitForChild(pid_t pid);

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_CHILD_PROCESS_H_
