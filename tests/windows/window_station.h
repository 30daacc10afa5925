#pragma once
// The whole Windows program in the test's process under wine, as a test fixture: the Win32 window
// and start-up, DirectSound into the private null sink, the COM link to a COM link simulator of
// the test's own. Run under a display (Xvfb) and scripts/null-sink.sh.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "audio/audio_state.h"
#include "audio/directsound/directsound_sound.h"
#include "core/form_layout.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/state.h"
#include "core/win32/win32_platform.h"
#include "engine/tone_generator.h"
#include "link/com/com_link.h"
#include "settings/settings.h"
#include "support/recording.h"
#include "ui/win32/main_window.h"
#include "ui/win32/one_copy.h"
#include "ui/win32/startup.h"

// Windows' headers last: their macros rename names of the program's interfaces.
#include <windows.h>

#include <commctrl.h>
#include <htmlhelp.h>
#undef MessageBox

#include "tests/windows/sim_process.h"

namespace corvanta {
namespace {

namespace rec = recording;
namespace fs = std::filesystem;
using testing::PumpUntil;
using testing::SimProcess;

// Edges are placed at their samples; the tolerance is for what a loaded machine's sound server
// does to the stream under wine (a stall that lengthens a gap or an element by a few ms).
constexpr double kToleranceMs = 12.0;

inline std::string SinkDescription() {
  const char* sink = std::getenv("CORVANTA_SINK_DESCRIPTION");
  return sink != nullptr ? sink : "Test-Sink";
}

inline std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline int Px(int twips) {
  return static_cast<int>(std::lround(twips / 15.0));
}

// Keeps what `window` shows, frame included, as a 24-bit bitmap file at `path` (a POSIX path).
inline void SaveScreenshot(HWND window, const std::string& path) {
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT r{};
  ::GetWindowRect(window, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  ::GdiFlush();
  const DWORD row = static_cast<DWORD>((width * 3 + 3) & ~3);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + row * static_cast<DWORD>(height);
  std::ofstream out(fs::path("Z:" + path), std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(row) * height);
  ::SelectObject(memory, old);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
}

// A settings file naming the null sink, "k" for RX and "t" for TX, 150 ms dots, setting 500.
inline std::string SettingsFor(int device_index) {
  return std::to_string(device_index) + "\r\n" + SinkDescription() +
         "\r\n 100 \r\n 250 \r\n 500 \r\n 0 \r\nt\r\nk\r\n 100 \r\n";
}

class WindowStation : public ::testing::Test {
 protected:
  void SetUp() override {
    recording_ = rec::RecordingFile();
    ASSERT_FALSE(recording_.empty()) << "run this test through scripts/null-sink.sh";
    ASSERT_TRUE(sim_.Start());
    ResetProcessState();
    ResetAudioState();
    Audio.Backend = &backend_;
    // The sink's place in DirectSound's list, for the settings file.
    auto root = backend_.CreateDirectX7();
    const auto outputs = root->GetDSEnum();
    for (int i = 1; i <= outputs->GetCount(); ++i) {
      if (outputs->GetDescription(i) == SinkDescription()) device_index_ = i;
    }
    ASSERT_GT(device_index_, 0) << "the null sink is not listed";
    settings_ = fs::path(dir_.File(L"corvanta.cfg"));
    std::ofstream(settings_, std::ios::binary)
        << (initial_settings_.empty() ? SettingsFor(device_index_) : initial_settings_);
    SetSettingsPath(settings_);
    ComLinkOptions options;
    options.status = [](const std::string& text) {
      if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
    };
    LinkObjectFactory() = ComLinkFactory(options);
    LinkReleasesSent() = ComLinkReleasesSent;
    frm_ = win32::Main();
    ASSERT_NE(frm_, nullptr);
    window_ = reinterpret_cast<HWND>(frm_->Handle());
  }
  void TearDown() override {
    if (::testing::Test::HasFailure() && frm_ != nullptr) {
      for (const auto& s : frm_->StatusHistory()) std::fprintf(stderr, "status: %s\n", s.c_str());
      for (const auto& l : sim_.Lines()) std::fprintf(stderr, "linksim: %s\n", l.c_str());
    }
    SetMainWindowRef(nullptr);
    delete frm_;
    frm_ = nullptr;
    // What the closing left in the queue (the WM_QUIT of a destroyed main window) ends with the
    // program's message loop, not in the next test's.
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    LinkObjectFactory() = nullptr;
    LinkReleasesSent() = nullptr;
    ResetAudioState();
    ResetProcessState();
  }

  void Click(const char* name) { ::SendMessageW(frm_->Control(name), BM_CLICK, 0, 0); }
  bool StatusSays(const std::string& part) const {
    for (const auto& s : frm_->StatusHistory()) {
      if (s.find(part) != std::string::npos) return true;
    }
    return false;
  }
  // Runs `act` once, from inside the courtesy's own message processing (a timer every
  // `period_ms`), as soon as the simulator has seen the keying request. Returns the timer, to be
  // killed once the courtesy is over.
  UINT_PTR OnceKeyed(std::function<void()> act, UINT period_ms = 20) {
    static SimProcess* sim = nullptr;
    static std::function<void()> pending;
    sim = &sim_;
    pending = std::move(act);
    return ::SetTimer(nullptr, 0, period_ms, [](HWND, UINT, UINT_PTR id, DWORD) {
      if (!pending || sim->Records("SETPTT").empty()) return;
      ::KillTimer(nullptr, id);
      const std::function<void()> run = std::exchange(pending, nullptr);
      run();
    });
  }
  // Presses and lets go of each key in turn, as the operator's keyboard does, giving the window a
  // moment for each (a dropped list animates) before the next. False when the system refused one.
  static bool Press(const std::vector<WORD>& keys) {
    for (const WORD key : keys) {
      INPUT input[2] = {};
      input[0].type = input[1].type = INPUT_KEYBOARD;
      input[0].ki.wVk = input[1].ki.wVk = key;
      input[1].ki.dwFlags = KEYEVENTF_KEYUP;
      if (::SendInput(2, input, sizeof(INPUT)) != 2) return false;
      PumpUntil([] { return false; }, 200);
    }
    return true;
  }
  // Takes the null sink away or brings it back ("unload", "load"), as a USB interface unplugged
  // and replugged, through scripts/null-sink.sh's sink control; true once done.
  static bool Sink(const std::string& what) {
    const char* dir = std::getenv("CORVANTA_SINK_CONTROL");
    if (dir == nullptr) return false;
    const fs::path folder("Z:" + std::string(dir));
    std::ofstream(folder / what).close();
    for (int i = 0; i < 400; ++i) {
      if (fs::exists(folder / (what + "ed"))) return true;
      ::Sleep(25);
    }
    return false;
  }
  // The sound recorded from `start` on, once what was played before has been heard.
  std::vector<std::int16_t> Heard(std::size_t start) {
    const auto want = rec::SampleCount(recording_) + static_cast<std::size_t>(0.5 * rec::kRate);
    EXPECT_TRUE(rec::WaitForSamples(recording_, want, 5000));
    return rec::ReadFrom(recording_, start);
  }
  // What is wrong with the elements heard against `nominal` (ms) and the tone of setting 500;
  // empty when nothing is.
  static std::string ElementsFault(const std::vector<std::int16_t>& heard,
                                   const std::vector<double>& nominal) {
    const auto segments = rec::FindSegments(heard, rec::kServerHoleJoin);
    for (const auto& s : segments) {
      std::printf("segment at %.1f ms, %.1f ms long, %.3f Hz\n",
                  static_cast<double>(s.begin - segments[0].begin) * 1000.0 / rec::kRate, s.Ms(),
                  rec::FrequencyHz(heard, s));
    }
    if (segments.size() != nominal.size()) {  // a hole would split a tone
      return std::to_string(segments.size()) + " runs of sound for " +
             std::to_string(nominal.size()) + " elements";
    }
    std::string fault;
    for (std::size_t i = 0; i < nominal.size(); ++i) {
      const std::string element = "element " + std::to_string(i) + " ";
      if (std::abs(segments[i].Ms() - nominal[i]) > kToleranceMs) {
        fault += element + std::to_string(segments[i].Ms()) + " ms; ";
      }
      // The tone's own frequency, away from its edges.
      const auto trim = static_cast<std::size_t>(rec::kRate * 3 / 1000);  // 3 ms
      const rec::Segment inner{segments[i].begin + trim, segments[i].end - trim};
      const double hz = rec::FrequencyHz(heard, inner);
      if (std::abs(hz - ToneHz(500)) > 0.1) fault += element + std::to_string(hz) + " Hz; ";
      if (i > 0) {
        const rec::Segment gap{segments[i - 1].end, segments[i].begin};
        if (std::abs(gap.Ms() - 150.0) > kToleranceMs) {
          fault += "gap before " + element + std::to_string(gap.Ms()) + " ms; ";
        }
      }
    }
    return fault;
  }
  std::string Counters() const {
    return "late edges " + std::to_string(Stats().late_edges) + ", stalls " +
           std::to_string(Stats().stalls) + ", stops " + std::to_string(Stats().idle_stops) +
           ", releases " + std::to_string(Stats().idle_releases);
  }
  // The elements heard, checked against `nominal` (ms) and the tone of setting 500.
  void ExpectElements(const std::vector<std::int16_t>& heard, const std::vector<double>& nominal) {
    EXPECT_EQ(Stats().underruns.load(), 0u) << "the stream ran out of what was written ahead";
    EXPECT_EQ(ElementsFault(heard, nominal), "") << Counters();
  }
  // The courtesy heard from `start`, checked as ExpectElements does. A loaded machine's sound
  // server under wine now and then leaves a hole the program did not make (its stream never ran
  // dry): then `again` plays one more like it, checked as strictly, so that a fault of the
  // program's own fails both.
  void ExpectCourtesy(std::size_t start, const std::vector<double>& nominal,
                      const std::function<void()>& again) {
    const auto heard = Heard(start);
    const std::string fault = ElementsFault(heard, nominal);
    if (fault.empty() || Stats().underruns.load() != 0) {
      EXPECT_EQ(Stats().underruns.load(), 0u) << "the stream ran out of what was written ahead";
      EXPECT_EQ(fault, "") << Counters();
      return;
    }
    std::printf("the sound server broke the courtesy (%s; %s): one more\n", fault.c_str(),
                Counters().c_str());
    const std::size_t again_start = rec::SampleCount(recording_);
    again();
    ExpectElements(Heard(again_start), nominal);
  }
  // One more courtesy: `event` from the simulator, waited for until its key is released.
  void OneMore(const std::string& event) {
    const std::size_t requests = sim_.Records("SETPTT").size();
    sim_.Command(event);
    EXPECT_TRUE(PumpUntil(
        [&] { return sim_.Records("SETPTT").size() >= requests + 2 && !sim_.Keyed(); }, 20000));
  }
  // The time the simulator saw the key down for the keying requests `first` and `first + 1`:
  // 150 ms, each symbol after a dot's pause, 150 ms.
  double KeyedMs(std::size_t first) const {
    std::vector<double> at;
    for (const auto& line : sim_.Lines()) {
      if (line.find(" SETPTT ") != std::string::npos) at.push_back(std::stod(line));
    }
    return at.size() > first + 1 ? at[first + 1] - at[first] : -1;
  }

  Win32Platform platform_;
  ScopedPlatform installed_{platform_};
  DirectSoundBackend backend_;
  SimProcess sim_;
  testing::TempDir dir_;
  fs::path settings_;
  fs::path recording_;
  int device_index_ = 0;
  std::string initial_settings_;  // the settings file start-up finds, when not SettingsFor's
  win32::FrmMain* frm_ = nullptr;
  HWND window_ = nullptr;
};

}  // namespace
}  // namespace corvanta
