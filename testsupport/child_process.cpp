#include "testsupport/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace corvane::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extra_environment) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  environment.insert(environment.end(), extra_environment.begin(), extra_environment.end());
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    // The test runner may block signals; the child starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();  // no controlling terminal: message boxes stay silent
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_fd_ = out[0];
  fcntl(output_fd_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (!exit_code_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (input_ >= 0) close(input_);
  if (output_fd_ >= 0) close(output_fd_);
}

void ChildProcess::WriteInput(const std::string& text) {
  if (input_ >= 0 && write(input_, text.data(), text.size()) < 0) {
    throw std::runtime_error("write to child");
  }
}

void ChildProcess::CloseInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void ChildProcess::Signal(int signal_number) { kill(pid_, signal_number); }

void ChildProcess::Drain() {
  char buffer[4096];
  for (;;) {
    ssize_t got = read(output_fd_, buffer, sizeof buffer);
    if (got <= 0) break;
    output_.append(buffer, static_cast<size_t>(got));
  }
}

std::optional<int> ChildProcess::Wait(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!exit_code_) {
    Drain();
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    pollfd ready{output_fd_, POLLIN, 0};
    poll(&ready, 1, 10);
  }
  Drain();
  return exit_code_;
}

std::string ChildProcess::output() {
  Drain();
  return output_;
}

RunResult RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extra_environment, int timeout_ms) {
  ChildProcess child(program, arguments, extra_environment);
  child.CloseInput();
  RunResult result;
  result.exit_code = child.Wait(timeout_ms);
  result.output = child.output();
  return result;
}

pid_t ForkChild(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int status = 0;
    try {
      body();
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }
  return pid;
}

int WaitForChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace corvane::testing
