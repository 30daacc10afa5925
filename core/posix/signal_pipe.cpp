#include "core/signal_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace corvanta {
namespace {

int g_write_end = -1;

extern "C" void WriteSignalByte(int) {
  const int saved = errno;  // the interrupted code may be about to read errno
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_write_end, &byte, 1);
  errno = saved;
}

}  // namespace

int OpenSignalPipe(std::initializer_list<int> which) {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  g_write_end = ends[1];
  struct sigaction action {};
  action.sa_handler = WriteSignalByte;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int sig : which) ::sigaction(sig, &action, nullptr);
  return ends[0];
}

int DrainSignalPipe(int read_end) {
  int count = 0;
  char bytes[16];
  for (ssize_t n; (n = ::read(read_end, bytes, sizeof bytes)) > 0;) count += static_cast<int>(n);
  return count;
}

}  // namespace corvanta
