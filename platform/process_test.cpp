#include "platform/process.h"

#include <signal.h>

#include <cerrno>

#include <chrono>
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

TEST(Process, WindowsProgramNamesLoseTheirExtension) {
  EXPECT_EQ(NativeProgramName("marker.exe"), "marker");
  EXPECT_EQ(NativeProgramName("Lemmick.EXE"), "Lemmick");
  EXPECT_EQ(NativeProgramName("cvsend"), "cvsend");
  EXPECT_EQ(NativeProgramName(".exe"), ".exe");
}

}  // namespace
}  // namespace corvane::platform
