// The Windows platform services: what a courtesy's timeline asks of the system, and gives back.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "core/win32/win32_platform.h"

namespace corvanta {
namespace {

// Above normal priority while a transmission runs (so that a busy machine does not make the key
// and the edges late), and only then: nested timelines keep it until the outermost one closes,
// and a platform destroyed with one open gives it back.
TEST(WindowsPlatform, TheWindowThreadRunsAboveNormalOnlyWhileATimelineIsOpen) {
  const HANDLE self = ::GetCurrentThread();
  ASSERT_EQ(::GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
  {
    Win32Platform platform;
    platform.OpenTimeline();
    EXPECT_EQ(::GetThreadPriority(self), THREAD_PRIORITY_HIGHEST);
    platform.OpenTimelineAt(platform.TimelineNowNs());
    platform.CloseTimeline();
    EXPECT_EQ(::GetThreadPriority(self), THREAD_PRIORITY_HIGHEST) << "the outer one still runs";
    platform.CloseTimeline();
    EXPECT_EQ(::GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
    platform.OpenTimeline();
  }
  EXPECT_EQ(::GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
}

std::int64_t ThreadCpuNs() {
  FILETIME created, exited, kernel, user;
  ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
  const auto ns = [](const FILETIME& t) {
    return static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime) *
           100;
  };
  return ns(kernel) + ns(user);
}

// The waits of a timeline end on a timer: never before their deadline, and asleep until then, not
// turning round a timer that is already due.
TEST(WindowsPlatform, ATimelinesWaitsSleepUntilTheirDeadlinesAndNoEarlier) {
  Win32Platform platform;
  platform.OpenTimeline();
  const std::int64_t start = platform.TimelineNowNs();
  const std::int64_t cpu_before = ThreadCpuNs();
  for (int i = 1; i <= 12; ++i) {
    platform.Sleep(53);
    EXPECT_GE(platform.TimelineNowNs(), start + i * 53'000'000LL) << "wait " << i;
  }
  const std::int64_t wall = platform.TimelineNowNs() - start;
  const std::int64_t cpu = ThreadCpuNs() - cpu_before;
  platform.CloseTimeline();
  EXPECT_LT(cpu, wall / 4) << "the waits took " << cpu / 1'000'000 << " ms of CPU in "
                           << wall / 1'000'000 << " ms";
}

}  // namespace
}  // namespace corvanta
