// The Windows platform services: what a courtesy's timeline asks of the system, and gives back.
#include <gtest/gtest.h>
#include <windows.h>

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

}  // namespace
}  // namespace corvanta
