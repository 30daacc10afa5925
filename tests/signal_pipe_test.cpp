#include "core/signal_pipe.h"

#include <gtest/gtest.h>

#include <csignal>

namespace corvanta {
namespace {

// Each signal is one byte on the pipe, read without blocking, however many came before the read.
TEST(SignalPipe, EachSignalIsOneByteAndDrainingNeverBlocks) {
  const int pipe = OpenSignalPipe({SIGUSR1, SIGUSR2});
  ASSERT_GE(pipe, 0);
  EXPECT_EQ(DrainSignalPipe(pipe), 0);
  std::raise(SIGUSR1);
  std::raise(SIGUSR2);
  std::raise(SIGUSR1);
  EXPECT_EQ(DrainSignalPipe(pipe), 3);
  EXPECT_EQ(DrainSignalPipe(pipe), 0);
  std::signal(SIGUSR1, SIG_DFL);
  std::signal(SIGUSR2, SIG_DFL);
}

}  // namespace
}  // namespace corvanta
