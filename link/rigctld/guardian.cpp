#include "link/rigctld/guardian.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace corvanta::rigctld {

Guardian::Guardian(std::string program, std::string host, std::uint16_t port)
    : program_(std::move(program)), host_(std::move(host)), port_(port) {
  Start();
}

Guardian::~Guardian() {
  // Ending with a key held is the case the guardian is for: it releases once the pipe closes.
  if (pipe_ >= 0) close(pipe_);
  if (pid_ > 0) {
    // Reaped later by nobody: a short-lived zombie is cheaper than waiting for its release here.
    int status = 0;
    waitpid(pid_, &status, WNOHANG);
  }
}

void Guardian::Start() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("no pipe for the guardian: ") + std::strerror(errno);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);  // dup2 clears close-on-exec
  const std::string port = std::to_string(port_);
  std::vector<char*> argv = {program_.data(), host_.data(), const_cast<char*>(port.c_str()),
                             nullptr};
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (failed != 0) {
    close(fds[1]);
    error_ = "the guardian " + program_ + " could not be started: " + std::strerror(failed);
    return;
  }
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  pipe_ = fds[1];
  pid_ = pid;
  error_.clear();
}

void Guardian::Say(char word) {
  if (pipe_ < 0) Start();  // it ended: a new one, told the present state below
  if (pipe_ < 0) return;
  if (write(pipe_, &word, 1) == 1) return;
  // It ended (EPIPE; SIGPIPE is ignored by the program): start another and say it again.
  close(pipe_);
  pipe_ = -1;
  int status = 0;
  waitpid(pid_, &status, WNOHANG);
  Start();
  if (pipe_ >= 0 && write(pipe_, &word, 1) != 1) error_ = "the guardian does not listen";
}

void Guardian::Hold() {
  if (holders_++ == 0) Say('K');
}

void Guardian::Let() {
  if (holders_ == 0) return;
  if (--holders_ == 0) Say('R');
}

void Guardian::Released() {
  if (holders_ == 0) return;
  holders_ = 0;
  Say('R');
}

}  // namespace corvanta::rigctld
