// Starting other programs.
//
// Programs named "X.exe" elsewhere are looked up as "X" here. Arguments are
// passed as a vector, never through a shell. Thread-safe.

#ifndef CORVANE_PLATFORM_PROCESS_H_
#define CORVANE_PLATFORM_PROCESS_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sync.h"

namespace corvane::platform {

struct ProgramResult {
  int exit_code = -1;  // -1 when the program was killed by a signal
  std::string output;  // what it wrote to standard output
};

// Runs `argv` (argv[0] looked up on PATH), waits for it and captures its
// standard output; its standard error is inherited. Throws OsError when it
// cannot be started.
ProgramResult RunProgram(const std::vector<std::string>& argv);

// Starts `argv` without waiting for it; the child is reaped in the
// background when it ends. argv[0] is the program's path as given. The
// program gets the server's environment and current directory, an empty
// signal mask, and standard input, output and error as its only open
// descriptors. False when it could not be started.
bool StartProgram(const std::vector<std::string>& argv);
// The same with argv[0] looked up on PATH when it holds no "/".
bool StartProgramOnPath(const std::vector<std::string>& argv);

// Raises the scheduling priority of the whole process, or of the calling
// thread only; false when the system refused (the caller goes on as it is).
bool RaiseProcessPriority();
bool RaiseThreadPriority();

// A program whose end the caller waits for. Its end is a Waitable, so one
// WaitForAny covers it together with a stop event; it is signalled from
// the moment the program has ended and stays so. Destroying the object
// never stops the program: one still running is reaped in the background
// when it ends. One object belongs to one thread at a time.
class Process : public Waitable {
 public:
  // Starts `argv` (argv[0] is a path; it is not searched on PATH) with the
  // server's environment and current directory. Throws OsError, carrying
  // the errno, when it cannot be started.
  static std::unique_ptr<Process> Start(const std::vector<std::string>& argv);
  ~Process() override;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // True once the program has ended; never blocks.
  bool Ended();
  // Its exit status once it has ended (-1 when a signal ended it).
  std::optional<int> exit_code() const { return exit_code_; }

  int descriptor() const override { return descriptor_; }
  bool TryAcquire() override { return Ended(); }

 private:
  Process(int pid, int descriptor) : pid_(pid), descriptor_(descriptor) {}
  int pid_;
  int descriptor_;
  std::optional<int> exit_code_;
};

// "marker.exe" -> "marker"; other names stay as they are.
std::string NativeProgramName(const std::string& windows_name);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_PROCESS_H_
