// Exit and the close box while a release is still on its way to the link program (a keying it
// answers late, after its object was let go): they wait for it, the window answering, and say so
// in the status bar and the station log when it does not go out in time. On the virtual clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/link.h"
#include "core/state.h"
#include "core/station_log.h"
#include "link/startup.h"
#include "settings/settings.h"
#include "support/fakes/fake_link.h"
#include "support/fakes/test_world.h"

namespace corvanta {
namespace {

using testing::FakeLinks;
using testing::LoggedTexts;
using testing::TempDir;
using testing::TestWorld;

TEST(Shutdown, WaitsForAReleaseOnItsWayAndSaysWhenItDoesNotGoOut) {
  constexpr std::int64_t kNever = -1;
  struct Case {
    const char* name;
    bool exit;               // Exit, or the close box
    std::int64_t sent_at;    // when the owed release reaches the link program (virtual ms)
    std::int64_t ended_min;  // the shutdown's end, in virtual ms, at least...
    std::int64_t ended_max;  // ...and at most
    const char* last_line;
  };
  const std::string failed =
      ": the link program did not take the key's release within 2 s; the "
      "transmitter may still be keyed";
  const std::string exit_failed = "Exit" + failed;
  const std::string close_failed = "Close" + failed;
  const Case cases[] = {
      {"Exit, nothing owed", true, 0, 0, 0, "Exit: settings saved"},
      {"Exit, released 1.8 s on", true, 1800, 1800, 1830, "Exit: settings saved"},
      {"Exit, never released", true, kNever, 2000, 2030, exit_failed.c_str()},
      {"close box, released 0.7 s on", false, 700, 700, 730,
       "Window closed without Exit: settings not saved"},
      {"close box, never released", false, kNever, 2000, 2030, close_failed.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    TestWorld world;
    FakeLinks links{[&world] { return world.platform.NowMs(); }};
    SetSettingsPath(dir.path / "corvanta.cfg");
    OpenStationLog(dir.path / "corvanta.log");
    Settings.DeviceIndex = "2";
    Settings.DeviceName = "Test-Sink";
    CreateLinkObject();
    ASSERT_EQ(links.alive(), 1);
    int answered = 0;  // the window's messages run while it waits
    world.platform.At(100, [&answered] { ++answered; });
    const std::int64_t sent_at = c.sent_at;
    LinkReleasesSent() = [&world, sent_at] {
      return sent_at != kNever && world.platform.NowMs() >= sent_at;
    };
    if (c.exit) {
      ExitWhenIdle();
    } else {
      EXPECT_TRUE(CloseWhenIdle());
    }
    EXPECT_EQ(links.alive(), 0) << "the link object was kept";
    EXPECT_GE(world.platform.NowMs(), c.ended_min);
    EXPECT_LE(world.platform.NowMs(), c.ended_max);
    EXPECT_EQ(answered, c.sent_at == 0 ? 0 : 1) << "the window did not answer while it waited";
    CloseStationLog();
    const auto lines = LoggedTexts(dir.path / "corvanta.log");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.last_line);
    if (c.sent_at == kNever) {
      EXPECT_EQ(world.window.StatusText(), c.last_line);
    }
    LinkReleasesSent() = nullptr;
  }
}

}  // namespace
}  // namespace corvanta
