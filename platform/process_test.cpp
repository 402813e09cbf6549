#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "testsupport/temp_root.h"

namespace corvane::platform {
namespace {

TEST(Process, RunProgramCapturesOutputAndExitCode) {
  ProgramResult result = RunProgram({"/bin/sh", "-c", "echo hello; exit 3"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.output, "hello\n");
  EXPECT_THROW(RunProgram({"/nonexistent/program"}), OsError);
}

TEST(Process, AStartedProgramDoesNotInheritBlockedSignals) {
  testing::TempRoot root;
  std::string report = root.path() + "/status";
  sigset_t control;
  sigemptyset(&control);
  sigaddset(&control, SIGTERM);
  sigset_t previous;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &control, &previous), 0);
  // cp copies its own status; a shell would reset the mask itself.
  bool started = StartProgram({"/bin/cp", "/proc/self/status", report});
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(started);

  std::string status;
  for (int i = 0; i < 500 && status.find("SigCgt") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = testing::ReadFileOrEmpty(report);
  }
  EXPECT_NE(status.find("SigBlk:\t0000000000000000\n"), std::string::npos) << status;
  EXPECT_FALSE(StartProgram({"/nonexistent/program"}));
}

TEST(Process, ItsEndIsAWaitableAndItsStatusIsKept) {
  testing::TempRoot root;
  const std::string gate = root.path() + "/gate";
  std::unique_ptr<Process> program = Process::Start(
      {"/bin/sh", "-c", "while [ ! -e '" + gate + "' ]; do sleep 0.01; done; exit 3"});
  EXPECT_FALSE(program->Ended());
  Event stop(true, false);
  EXPECT_EQ(WaitForAny({&stop, program.get()}, 50), kWaitTimeout);
  testing::WriteFile(gate, "");
  EXPECT_EQ(WaitForAny({&stop, program.get()}, 10000), 1);
  EXPECT_TRUE(program->Ended());
  EXPECT_EQ(program->exit_code(), 3);
  // Still signalled: a later wait sees the end at once.
  EXPECT_EQ(WaitForAny({&stop, program.get()}, 0), 1);
}

TEST(Process, AProgramThatCannotStartRaisesWithItsErrno) {
  try {
    Process::Start({"/nonexistent/rivozu32", "/f"});
    FAIL() << "started";
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
    EXPECT_NE(std::string(error.what()).find("/nonexistent/rivozu32"), std::string::npos);
  }
}

// Polls for a file that a started program writes; empty when it does not
// appear (complete: the programs below write it in one go) within 5 s.
std::string AwaitFile(const std::string& path,
                      const std::function<bool(const std::string&)>& done) {
  std::string text;
  for (int i = 0; i < 500 && !done(text = testing::ReadFileOrEmpty(path)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return text;
}

TEST(Process, AProgramStartedOnThePathIsFoundThereAndOnlyThere) {
  testing::TempRoot root;
  const std::string bin = root.path() + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const std::string report = root.path() + "/arguments";
  testing::WriteFile(bin + "/fakejob", "#!/bin/sh\necho \"$@\" > " + report + ".tmp && mv " +
                                           report + ".tmp " + report + "\n");
  ASSERT_EQ(chmod((bin + "/fakejob").c_str(), 0755), 0);
  const std::string path = bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/bin");
  ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);

  // Without the search, a bare name is a path relative to the current
  // directory, where there is no such program.
  EXPECT_FALSE(StartProgram({"fakejob", "/A=1"}));
  ASSERT_TRUE(StartProgramOnPath({"fakejob", "/TASKID=7", "/MACH=3"}));
  EXPECT_EQ(AwaitFile(report, [](const std::string& text) { return !text.empty(); }),
            "/TASKID=7 /MACH=3\n");
  EXPECT_FALSE(StartProgramOnPath({"no-such-program-anywhere"}));
  EXPECT_FALSE(StartProgramOnPath({}));
}

TEST(Process, AStartedProgramInheritsOnlyTheStandardDescriptors) {
  testing::TempRoot root;
  const std::string report = root.path() + "/descriptors";
  // A descriptor as a library might leave it: open across exec.
  const int open_fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(open_fd, 0);
  ASSERT_EQ(dup2(open_fd, 57), 57);
  // The shell lists its own descriptors (besides the standard ones it may
  // keep a copy of one for its redirections).
  const bool started = StartProgramOnPath(
      {"sh", "-c", "ls /proc/$$/fd > " + report + ".tmp && mv " + report + ".tmp " + report});
  close(57);
  close(open_fd);
  ASSERT_TRUE(started);
  const std::string listed =
      AwaitFile(report, [](const std::string& text) { return !text.empty(); });
  EXPECT_NE(listed.find("0\n1\n"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("57\n"), std::string::npos) << listed;
}

TEST(Process, WindowsProgramNamesLoseTheirExtension) {
  EXPECT_EQ(NativeProgramName("marker.exe"), "marker");
  EXPECT_EQ(NativeProgramName("Lemmick.EXE"), "Lemmick");
  EXPECT_EQ(NativeProgramName("cvsend"), "cvsend");
  EXPECT_EQ(NativeProgramName(".exe"), ".exe");
}

}  // namespace
}  // namespace corvane::platform
