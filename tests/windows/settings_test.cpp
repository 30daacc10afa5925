// The settings file as Windows programs keep it: texts in the ANSI code page, the system's own
// error texts, and a replacing rename that waits out a scanner holding the file.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "core/state.h"
#include "core/win32/win32_platform.h"
#include "settings/durable.h"
#include "settings/settings.h"
#include "support/fakes/fake_main_window.h"
#include "tests/windows/sim_process.h"

#include <windows.h>
#undef MessageBox

namespace corvanta {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FileFor(const std::string& name_bytes) {
  return "2\r\n" + name_bytes + "\r\n 100 \r\n 250 \r\n 500 \r\n 0 \r\nt\r\nk\r\n 100 \r\n";
}

struct WindowsSettings : ::testing::Test {
  void SetUp() override {
    ResetProcessState();
    SetMainWindowRef(&window);
    SetSettingsPath(file);
  }
  void TearDown() override { SetMainWindowRef(nullptr); }
  Win32Platform platform;
  ScopedPlatform installed{platform};
  testing::FakeMainWindow window;
  testing::TempDir dir;
  fs::path file = dir.File(L"corvanta.cfg");
};

// A name with a character of code page 1252 ("é" is byte E9 there), as an earlier installation
// wrote it, reads back as that name and is written back byte for byte; a name the code page
// cannot hold is written as UTF-8 after a byte-order mark and read back whole; the UTF-8 an
// earlier build of this program wrote still reads.
TEST_F(WindowsSettings, TextsAreInTheCodePageAndNothingIsLost) {
  ASSERT_EQ(::GetACP(), 1252u) << "the test prefix's code page";
  const struct {
    const char* name;
    std::string file_name;    // the name's bytes in the file read
    std::string device_name;  // as the program holds it (UTF-8)
    std::string saved_name;   // its bytes in the file written
  } cases[] = {
      {"code page", "Lautsprecher (Caf\xE9)", "Lautsprecher (Caf\xC3\xA9)",
       "Lautsprecher (Caf\xE9)"},
      {"beyond the code page", "\xEF\xBB\xBF\xD0\x97\xD0\xB2\xD1\x83\xD0\xBA",
       "\xD0\x97\xD0\xB2\xD1\x83\xD0\xBA", "\xEF\xBB\xBF\xD0\x97\xD0\xB2\xD1\x83\xD0\xBA"},
      {"UTF-8 of an earlier build", "Caf\xC3\xA9", "Caf\xC3\xA9", "Caf\xE9"},
      {"plain ASCII", "Speakers", "Speakers", "Speakers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The byte-order mark leads the file, before the device position.
    const bool bom = c.file_name.rfind("\xEF\xBB\xBF", 0) == 0;
    const std::string name = bom ? c.file_name.substr(3) : c.file_name;
    std::ofstream(file, std::ios::binary) << (bom ? "\xEF\xBB\xBF" : "") << FileFor(name);
    EXPECT_TRUE(LoadSettings().empty());
    EXPECT_EQ(Settings.DeviceName, c.device_name);
    EXPECT_EQ(Settings.DeviceIndex, "2");
    SaveSettings();
    const bool saved_bom = c.saved_name.rfind("\xEF\xBB\xBF", 0) == 0;
    const std::string saved = saved_bom ? c.saved_name.substr(3) : c.saved_name;
    EXPECT_EQ(ReadAll(file), (saved_bom ? "\xEF\xBB\xBF" : "") + FileFor(saved));
  }
}

// A system error is said in the system's words ("Access denied"), not in the C library's text
// for the same number ("Input/output error"); a settings file a scanner holds for a moment is
// replaced once it lets go.
TEST_F(WindowsSettings, AHeldFileIsWaitedForAndARefusalSaidInTheSystemsWords) {
  const std::string denied =
      SystemErrorText(std::error_code(ERROR_ACCESS_DENIED, std::system_category()));
  std::printf("ERROR_ACCESS_DENIED: %s\n", denied.c_str());
  EXPECT_NE(denied, std::generic_category().message(EIO));
  EXPECT_NE(denied.find("ccess"), std::string::npos);

  std::ofstream(file, std::ios::binary) << FileFor("Speakers");
  LoadSettings();
  // Held without letting others delete or rename it, for 200 ms.
  HANDLE held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::thread scanner([held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::CloseHandle(held);
  });
  Settings.Volume = 42;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(SaveSettings());
  scanner.join();
  std::printf(
      "saved after %.0f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  EXPECT_NE(ReadAll(file).find(" 42 \r\n"), std::string::npos);
}

// A save made between two symbols of a courtesy (a click handled there) waits out a scanner with
// waits of its own: each as long as asked even when the courtesy runs late, and the courtesy's
// deadlines as they were (a timeline from an event still takes its work out of its first wait).
// On a virtual clock; the scanner lets go of the file after 120 ms.
TEST_F(WindowsSettings, TheRetriesWaitOffTheCourtesysTimeline) {
  constexpr std::int64_t kMs = 1'000'000;
  const struct {
    const char* name;
    bool from_event;
    std::int64_t late;           // behind the courtesy's timeline when the save starts
    std::int64_t courtesy_next;  // the courtesy's next 100 ms wait after the save
  } cases[] = {
      {"on time", false, 0, 100 * kMs},
      {"late within the slack", false, 15 * kMs, 100 * kMs},
      {"before the first wait of a timeline from an event", true, 0, 0},
  };
  std::ofstream(file, std::ios::binary) << FileFor("Speakers");
  LoadSettings();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::int64_t now = 1000 * 1000 * kMs;
    std::int64_t release_at = 0;
    HANDLE held = INVALID_HANDLE_VALUE;
    std::vector<std::int64_t> waits;
    StdPlatform clocked([&] { return now; },
                        [&](std::int64_t until) {
                          waits.push_back(until - now);
                          now = until;
                          if (held != INVALID_HANDLE_VALUE && now >= release_at) {
                            ::CloseHandle(held);
                            held = INVALID_HANDLE_VALUE;
                          }
                        });
    ScopedPlatform virtual_clock(clocked);
    if (c.from_event) {
      clocked.OpenTimelineAt(now - 30 * kMs);
    } else {
      clocked.OpenTimeline();
      clocked.Sleep(100);
    }
    now += c.late;
    held = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    release_at = now + 120 * kMs;
    waits.clear();
    EXPECT_NO_THROW(SaveSettings());
    EXPECT_EQ(waits, (std::vector<std::int64_t>{50 * kMs, 50 * kMs, 50 * kMs}));
    const std::int64_t before = now;
    clocked.Sleep(100);
    EXPECT_EQ(now - before, c.courtesy_next);
    clocked.CloseTimeline();
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  }
}

}  // namespace
}  // namespace corvanta
