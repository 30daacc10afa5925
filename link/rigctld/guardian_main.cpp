// corvanta-guardian: releases the radio's PTT when Corvanta ends while a key may be down.
//
// rigctld leaves the PTT as it is when its client goes, so a Corvanta killed in the middle of a
// courtesy (a crash, kill -9, the out-of-memory killer) would leave the transmitter keyed. This
// process outlives such an end: Corvanta starts it with a pipe on its standard input and writes
// 'K' before a keying request leaves and 'R' once every key is released. When the pipe closes
// (Corvanta ended, however) while the last word was 'K', it sends rigctld "T 0" over a
// connection of its own, and ends.
//
// It never keys: the only command it ever sends is the release. Idle, it sleeps in poll().
//
// Usage: corvanta-guardian HOST PORT
// Exit status: 0 nothing to release or released, 1 the release could not be confirmed, 2 usage.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/rigctld/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

int Connect(const char* host, const char* port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, port, &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  return fd;
}

// Sends the release and waits for its RPRT (hamlib answers a release after about 50 ms).
bool Release(int fd, Clock::time_point deadline) {
  const std::string command = corvanta::rigctld::SetPttCommand(false);
  if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(command.size())) {
    return false;
  }
  std::string line;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) continue;
    char c = 0;
    if (read(fd, &c, 1) != 1) return false;
    if (c != '\n') {
      if (line.size() < 256) line += c;
      continue;
    }
    if (const auto code = corvanta::rigctld::ParseRprt(line)) return *code == 0;
    line.clear();
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: corvanta-guardian HOST PORT (started by corvanta)\n");
    return 2;
  }
  // The terminal's and the session's signals reach the whole group: Corvanta releases by itself
  // then, and its pipe closing ends this process.
  for (const int s : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE}) std::signal(s, SIG_IGN);

  const char* host = argv[1];
  const char* port = argv[2];
  int rig = Connect(host, port);  // held ready, so a release needs no connection first
  bool keyed = false;
  while (true) {
    pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {rig, POLLIN, 0}};
    if (poll(p, rig >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (rig >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char sink[256];
      if (read(rig, sink, sizeof sink) <= 0) {  // rigctld went: connect again when needed
        close(rig);
        rig = -1;
      }
    }
    if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char words[64];
    const ssize_t n = read(STDIN_FILENO, words, sizeof words);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // Corvanta has ended
    for (ssize_t i = 0; i < n; ++i) {
      if (words[i] == 'K') keyed = true;
      if (words[i] == 'R') keyed = false;
    }
    if (keyed && rig < 0) rig = Connect(host, port);
  }
  if (!keyed) return 0;
  // Tries for a few seconds: rigctld may be restarting. Never longer, so this process does not
  // outlive its Corvanta by more than the release.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < give_up) {
    if (rig < 0) rig = Connect(host, port);
    if (rig >= 0 && Release(rig, std::min(give_up, Clock::now() + std::chrono::seconds(1)))) {
      std::fprintf(stderr, "corvanta-guardian: Corvanta ended with the key down; released\n");
      return 0;
    }
    if (rig >= 0) close(rig);
    rig = -1;
    usleep(200 * 1000);
  }
  std::fprintf(stderr,
               "corvanta-guardian: Corvanta ended with the key down; the release was not "
               "confirmed by rigctld at %s:%s\n",
               host, port);
  return 1;
}
