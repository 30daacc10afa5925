// The whole Windows program in this process under wine: the Win32 window and start-up, DirectSound
// into the private null sink, the COM link to the COM link simulator. Run under a display (Xvfb)
// and scripts/null-sink.sh.
#include "core/station_log.h"
#include "core/transmissions.h"
#include "tests/windows/window_station.h"

// After windows.h, which the station's header brings.
#include <sddl.h>

namespace corvanta {
namespace {

// At the window's DPI: 15 twips a pixel at 96 dpi, 10 at 144 (150 %, where the test is run again
// with CORVANTA_EXPECT_DPI set; CORVANTA_SCREENSHOT names a bitmap file to keep what it showed).
TEST_F(WindowStation, TheWindowIsLaidOutAsTheControlTableSays) {
  const int dpi = static_cast<int>(::GetDpiForWindow(window_));
  if (const char* expect = std::getenv("CORVANTA_EXPECT_DPI")) {
    EXPECT_EQ(dpi, std::atoi(expect));
  }
  const auto Px = [dpi](int twips) { return TwipsToPixels(twips, dpi); };
  RECT client{};
  ::GetClientRect(window_, &client);
  EXPECT_EQ(client.right, Px(kMainClient.width));
  EXPECT_EQ(client.bottom, Px(kMainClient.height));
  std::printf("at %d dpi the client area is %ld x %ld\n", dpi, client.right, client.bottom);
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(frm_->Control("cmdExit"), WM_GETFONT, 0, 0)),
               sizeof font, &font);
  EXPECT_EQ(-font.lfHeight, PointsToPixels(kMainFont.points, dpi));
  if (const char* shot = std::getenv("CORVANTA_SCREENSHOT")) SaveScreenshot(window_, shot);
  for (const ControlEntry& c : MainFormControls()) {
    HWND control = frm_->Control(c.name);
    ASSERT_NE(control, nullptr) << c.name;
    int left = c.place.left, top = c.place.top;
    if (*c.parent != '\0') {
      left += MainFormControl(c.parent).place.left;
      top += MainFormControl(c.parent).place.top;
    }
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, Px(left)) << c.name;
    EXPECT_EQ(r.top, Px(top)) << c.name;
    EXPECT_EQ(r.right - r.left, Px(c.place.width)) << c.name;
    if (c.kind != ControlKind::kComboBox) {
      EXPECT_EQ(r.bottom - r.top, Px(c.place.height)) << c.name;
    }
    const bool shown = c.visible && c.kind != ControlKind::kPicture;
    EXPECT_EQ(::IsWindowVisible(control) != FALSE, shown) << c.name;
  }
  wchar_t text[32];
  for (const auto& [name, caption] : std::vector<std::pair<const char*, const wchar_t*>>{
           {"cmdExit", L"Ex&it"}, {"CmdSend", L"Sen&d"}, {"cmdEchoLink", L"Start"}}) {
    ::GetWindowTextW(frm_->Control(name), text, 32);
    EXPECT_STREQ(text, caption) << name;
  }
  EXPECT_FALSE(::IsWindowEnabled(frm_->Control("cmdTest")));
  // The settings file is loaded: the controls show it, the device list holds the sink.
  EXPECT_EQ(frm_->SliderValue(Slider::sldFreq), 500);
  EXPECT_EQ(frm_->TextBoxText(TextBox::txtRX), "k");
  EXPECT_EQ(frm_->DeviceText(), SinkDescription());
  EXPECT_GE(frm_->DeviceCount(), device_index_);
  EXPECT_TRUE(StatusSays("Direct Sound Devices Loaded"));
  // Only the main window is up: the splash has gone.
  int windows = 0;
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND w, LPARAM n) -> BOOL {
        if (::IsWindowVisible(w)) ++*reinterpret_cast<int*>(n);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  EXPECT_EQ(windows, 1);
}

// Start saves and enables Test; the simulator's PTT 0 keys the RX character, heard at the set
// frequency; Test keys and sends the TX character.
TEST_F(WindowStation, StartThenARxCourtesyAndATest) {
  frm_->SetSlider(Slider::HScroll2, 90);
  Click("cmdEchoLink");
  EXPECT_TRUE(::IsWindowEnabled(frm_->Control("cmdTest")));
  EXPECT_NE(ReadAll(settings_).find(" 90 \r\n"), std::string::npos) << "Start did not save";

  std::size_t start = rec::SampleCount(recording_);
  sim_.Command("ptt 1");
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2; }, 20000));
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{true, false}));
  for (const auto& l : sim_.Lines()) std::printf("linksim: %s\n", l.c_str());
  EXPECT_NEAR(KeyedMs(0), 150 + (150 + 450) + (150 + 150) + (150 + 450) + 150, 25.0);
  ExpectCourtesy(start, {450, 150, 450}, [&] { OneMore("ptt 0"); });  // "k"

  start = rec::SampleCount(recording_);
  std::size_t requests = sim_.Records("SETPTT").size();
  Click("cmdTest");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= requests + 2; }, 20000));
  const auto test_requests = sim_.Requests();
  EXPECT_EQ(std::vector<bool>(test_requests.end() - 2, test_requests.end()),
            (std::vector<bool>{true, false}));
  EXPECT_NEAR(KeyedMs(requests), 150 + (150 + 450) + 150, 25.0);
  ExpectCourtesy(start, {450}, [&] {  // "t"
    requests = sim_.Records("SETPTT").size();
    Click("cmdTest");
    EXPECT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= requests + 2; }, 20000));
  });
  EXPECT_FALSE(sim_.Keyed());
}

// The operator drops the device list, moves to another output with the arrow keys and presses
// Return, then Start: the output picked is the one stored and saved, position and name, and the
// box shows it. (The box reports the new selection before its text follows.)
TEST_F(WindowStation, AnOutputPickedFromTheListWithTheKeyboardIsTheOneSaved) {
  ASSERT_GE(device_index_, 2) << "needs an entry above the sink";
  HWND box = frm_->Control("cmboDevice");
  ::SetForegroundWindow(window_);
  ::SetFocus(box);
  ASSERT_TRUE(PumpUntil([&] { return ::GetFocus() == box || ::IsChild(box, ::GetFocus()); }, 5000));
  // The list is dropped on the stored name's entry (the one the box shows) ...
  ::SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(device_index_ - 1), 0);
  ASSERT_TRUE(Press({VK_F4, VK_UP, VK_RETURN}));  // ... then one entry up, and taken
  const std::string above = std::to_string(device_index_ - 1);
  ASSERT_TRUE(PumpUntil([&] { return Settings.DeviceIndex == above; }, 5000))
      << "the output picked is not the one stored; DeviceIndex " << Settings.DeviceIndex;
  wchar_t entry[256] = {};
  ::SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(device_index_ - 2),
                 reinterpret_cast<LPARAM>(entry));
  const std::string name = win32::Narrow(entry);
  EXPECT_EQ(Settings.DeviceName, name);
  EXPECT_EQ(frm_->DeviceText(), name);
  Click("cmdEchoLink");
  EXPECT_EQ(ReadAll(settings_).rfind(above + "\r\n" + name + "\r\n", 0), 0u) << ReadAll(settings_);
}

// Started with an output that is gone (its name nowhere in the list): the box says so and stays
// open for a pick, the operator picks the sink with the keyboard without restarting, and the
// station runs on it with the box locked again.
TEST_F(WindowStation, AMissingOutputCanBeReplacedWithoutARestart) {
  initial_settings_ = "1\r\nGone Card\r\n 100 \r\n 250 \r\n 500 \r\n 0 \r\nt\r\nk\r\n 100 \r\n";
  TearDown();
  SetUp();
  Click("cmdEchoLink");
  HWND box = frm_->Control("cmboDevice");
  EXPECT_TRUE(StatusSays("Error: sound output not found: Gone Card"));
  ASSERT_TRUE(::IsWindowEnabled(box)) << "the box is locked on a missing output";
  EXPECT_EQ(frm_->DeviceText(), "Gone Card");
  ::SetForegroundWindow(window_);
  ::SetFocus(box);
  ASSERT_TRUE(PumpUntil([&] { return ::GetFocus() == box || ::IsChild(box, ::GetFocus()); }, 5000));
  // The list drops with no entry chosen: the first Down takes the first entry.
  std::vector<WORD> keys{VK_F4};
  for (int i = 0; i < device_index_; ++i) keys.push_back(VK_DOWN);
  keys.push_back(VK_RETURN);
  ASSERT_TRUE(Press(keys));
  ASSERT_TRUE(PumpUntil([&] { return Settings.DeviceName == SinkDescription(); }, 5000))
      << Settings.DeviceName;
  EXPECT_EQ(Settings.DeviceIndex, std::to_string(device_index_));
  EXPECT_FALSE(::IsWindowEnabled(box)) << "monitoring keeps the box locked once the output opens";
  const std::size_t start = rec::SampleCount(recording_);
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2; }, 20000));
  ExpectCourtesy(start, {450, 150, 450}, [&] { OneMore("ptt 0"); });
}

// The operator presses Tab while a courtesy sounds: the focus moves on to the next control, as it
// does when the station is idle, instead of the key going to the character box.
TEST_F(WindowStation, TabMovesTheFocusWhileACourtesySounds) {
  Click("cmdEchoLink");
  HWND box = frm_->Control("txtRX");
  ::SetForegroundWindow(window_);
  ::SetFocus(box);
  ASSERT_TRUE(PumpUntil([&] { return ::GetFocus() == box; }, 5000));
  const HWND next = ::GetNextDlgTabItem(window_, box, FALSE);
  ASSERT_NE(next, box);
  // Presses Tab from inside the courtesy's message processing, once it has keyed.
  const UINT_PTR timer = OnceKeyed([] {
    INPUT tab[2] = {};
    tab[0].type = tab[1].type = INPUT_KEYBOARD;
    tab[0].ki.wVk = tab[1].ki.wVk = VK_TAB;
    tab[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, tab, sizeof(INPUT));
  });
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2; }, 20000));
  ::KillTimer(nullptr, timer);
  EXPECT_EQ(::GetFocus(), next) << "Tab did not move the focus during the courtesy";
  EXPECT_EQ(frm_->TextBoxText(TextBox::txtRX), "k");
}

// A slider reports on release and on keyboard steps, not while its thumb is dragged.
TEST_F(WindowStation, SlidersReportWhenLetGoNotWhileDragged) {
  HWND speed = frm_->Control("sldSpeed");
  ::SendMessageW(speed, TBM_SETPOS, TRUE, 150);
  ::SendMessageW(window_, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, 150),
                 reinterpret_cast<LPARAM>(speed));
  EXPECT_EQ(Settings.SpeedSetting, 100) << "changed while dragged";
  ::SendMessageW(window_, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(speed));
  EXPECT_EQ(Settings.SpeedSetting, 150);
  EXPECT_EQ(frm_->LabelText(ValueLabel::TextSpeed), "30 WPM");
  ::SetFocus(frm_->Control("HScroll2"));
  ::SendMessageW(frm_->Control("HScroll2"), WM_KEYDOWN, VK_LEFT, 0);  // one step down
  EXPECT_EQ(Settings.Volume, 99);
  EXPECT_EQ(frm_->LabelText(ValueLabel::lblVolumeValue), "99%");
}

TEST_F(WindowStation, ExitSaves) {
  frm_->SetSlider(Slider::sldSpeed, 120);
  Click("cmdExit");
  EXPECT_FALSE(::IsWindow(window_));
  EXPECT_NE(ReadAll(settings_).find("\r\n 120 \r\n"), std::string::npos) << ReadAll(settings_);
}

TEST_F(WindowStation, TheCloseBoxDoesNotSave) {
  const std::string before = ReadAll(settings_);
  frm_->SetSlider(Slider::sldSpeed, 120);
  ::SendMessageW(window_, WM_CLOSE, 0, 0);
  EXPECT_FALSE(::IsWindow(window_));
  EXPECT_EQ(ReadAll(settings_), before);
}

// The link program dies in the middle of a courtesy: the program keeps running, says so, releases
// nothing it cannot reach, and works again once the link program is back.
TEST_F(WindowStation, AKilledLinkProgramMidCourtesyAndItsReturn) {
  Click("cmdEchoLink");
  // Kills the simulator from inside the courtesy's message processing, once it has keyed.
  const UINT_PTR timer = OnceKeyed([this] {
    sim_.Kill();
    testing::RestartComService();
  });
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return !sim_.Running(); }, 20000)) << "the courtesy never keyed";
  ::KillTimer(nullptr, timer);
  ASSERT_TRUE(
      PumpUntil([&] { return StatusSays("Link program lost") || StatusSays("failed"); }, 20000));
  EXPECT_TRUE(::IsWindow(window_));
  ASSERT_TRUE(sim_.Start());
  ASSERT_TRUE(PumpUntil(
      [&] {
        const auto& h = frm_->StatusHistory();
        return !h.empty() && h.back().rfind("Link program connected", 0) == 0;
      },
      20000));
  sim_.Command("ptt 0");
  // The key the killed instance held is released on the new one first.
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 3; }, 20000));
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{false, true, false}));
}

// The link program answers the keying 2 s late: the courtesy goes on without it and says so, the
// transmitter is released as soon as the answer comes, and the next event, 500 ms after the
// answer, gives a whole courtesy on the same instance.
TEST_F(WindowStation, ALateKeyingIsReleasedAndTheNextEventGivesAWholeCourtesy) {
  Click("cmdEchoLink");
  sim_.Command("late-once 2000");
  sim_.Command("ptt 0");
  ASSERT_TRUE(
      PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2 && !sim_.Keyed(); }, 20000));
  EXPECT_TRUE(StatusSays("RX courtesy failed: keying unanswered")) << frm_->StatusText();
  double answered = 0, released = 0;
  for (const auto& line : sim_.Lines()) {
    if (line.find(" ANSWER OK ") != std::string::npos && answered == 0) answered = std::stod(line);
    if (line.find(" TRANSMITTER 0") != std::string::npos) released = std::stod(line);
  }
  std::printf("late answer to released transmitter: %.1f ms\n", released - answered);
  ASSERT_GT(answered, 0.0);
  EXPECT_LT(released - answered, 100.0);

  const std::size_t start = rec::SampleCount(recording_);
  sim_.Command("sleep 500");
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 4; }, 20000));
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(sim_.Records("CONNECT").size(), 1u);
  EXPECT_NEAR(KeyedMs(2), 150 + (150 + 450) + (150 + 150) + (150 + 450) + 150, 25.0);
  ExpectCourtesy(start, {450, 150, 450}, [&] { OneMore("ptt 0"); });  // "k"
  EXPECT_FALSE(sim_.Keyed());
}

// The link program's event calls never wait for the window thread, not even while it sleeps
// through a 450 ms dash: the event is taken at once and handled between two symbols.
TEST_F(WindowStation, TheLinkProgramsEventCallsNeverWaitForAMorseElement) {
  Click("cmdEchoLink");
  sim_.Command("ptt 0");
  sim_.Command("wait-setptt 1 10000");
  sim_.Command("sleep 400");  // inside the first dash of "k" (300 to 750 ms after the keying)
  sim_.Command("ptt 1");
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2; }, 20000));
  const auto events = sim_.Records("EVENT");  // "PTT 1 <reached> <longest call in ms>"
  ASSERT_EQ(events.size(), 2u);
  std::printf("event call during a dash: %s\n", events[1].c_str());
  EXPECT_EQ(events[1].rfind("PTT 1 1 ", 0), 0u) << events[1];
  EXPECT_LT(std::stoi(events[1].substr(8)), 100) << "the link program waited for the element";
}

// A link program that owns the radio answers the keying 2.8 s late, and Exit comes 1.2 s after
// the request (the 0.2 s short of 3 s leave a loaded machine room for when the request really
// went out). The release that must follow the late keying goes out on the keying's own instance
// once it is answered; Exit waits for it (at most 2 s more, the window answering), so that by the
// time the program could end, the transmitter is released.
TEST_F(WindowStation, ExitWhileAKeyingIsUnansweredWaitsForItsRelease) {
  sim_.Command("keep-key on");
  Click("cmdEchoLink");
  sim_.Command("late-once 2800");
  // The keying is requested 100 ms after the event (the pipe to the simulator takes a moment
  // more), and its courtesy gives up on it 1 s later.
  const auto requested = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  sim_.Command("ptt 0");
  const auto since = [&requested] {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - requested)
        .count();
  };
  PumpUntil([&] { return since() >= 1200; }, 5000);
  ASSERT_EQ(sim_.Records("SETPTT").size(), 1u);
  Click("cmdExit");
  std::printf("Exit returned %.0f ms after the keying request\n", since());
  EXPECT_FALSE(::IsWindow(window_));
  EXPECT_LT(since(), 1200 + 2000 + 500.0) << "Exit waited past its bound";
  const auto answers = sim_.Records("ANSWER");
  EXPECT_FALSE(answers.empty()) << "Exit returned before the late keying was answered";
  EXPECT_FALSE(sim_.Keyed()) << "Exit returned with the late keying not released";
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{true, false}));
}

// Windows ends the session in the middle of a courtesy: before the window's answer returns (the
// process may be ended then), the key is released and the station log's lines are written; the
// window then closes as its close box closes it.
TEST_F(WindowStation, ASessionEndingMidCourtesyReleasesTheKeyAndWritesTheLog) {
  sim_.Command("keep-key on");
  const fs::path log = dir_.File(L"corvanta.log");
  OpenStationLog(log);
  Click("cmdEchoLink");
  bool released = false;
  std::string logged;
  const UINT_PTR timer = OnceKeyed([&] {
    EXPECT_TRUE(::SendMessageW(window_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF));
    ::SendMessageW(window_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    released = !sim_.Keyed();
    logged = ReadAll(log);
  });
  sim_.Command("ptt 0");
  ASSERT_TRUE(PumpUntil([&] { return !::IsWindow(window_); }, 20000)) << "the window stayed";
  ::KillTimer(nullptr, timer);
  CloseStationLog();
  EXPECT_TRUE(released) << "the key was down when the session's end was answered";
  EXPECT_NE(logged.find("The session is ending during a courtesy"), std::string::npos) << logged;
  EXPECT_NE(logged.find("Window closed without Exit: settings not saved"), std::string::npos)
      << logged;
  EXPECT_FALSE(sim_.Keyed());
}

// Exit by its access key during a courtesy, with a link event arriving while the courtesy lets
// go of the key: the courtesy ends with the key released, nothing more is keyed, the settings
// are saved, and the main loop gets its quit (the program ends instead of waiting windowless).
TEST_F(WindowStation, ExitDuringACourtesyWithAnEventBehindItEndsTheProgram) {
  Click("cmdEchoLink");
  frm_->SetSlider(Slider::sldSpeed, 120);
  ::SetForegroundWindow(window_);
  ::SetFocus(frm_->Control("txtRX"));
  const UINT_PTR timer = OnceKeyed([this] {
    // Alt+I ("Ex&it"), then the next event while the courtesy ends and lets go.
    INPUT keys[4] = {};
    for (INPUT& k : keys) k.type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[3].ki.wVk = VK_MENU;
    keys[1].ki.wVk = keys[2].ki.wVk = 'I';
    keys[2].ki.dwFlags = keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(4, keys, sizeof(INPUT));
    sim_.Command("sleep 40");
    sim_.Command("ptt 0");
  });
  sim_.Command("ptt 0");
  // The program's own main loop: it ends on the quit and on nothing else.
  bool quit = false;
  const ULONGLONG end = ::GetTickCount64() + 20000;
  while (!quit && ::GetTickCount64() < end) {
    MSG msg;
    while (!quit && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      quit = msg.message == WM_QUIT;
      if (quit) break;
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (!quit) ::MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(quit) << "the main loop never got its quit";
  EXPECT_FALSE(::IsWindow(window_));
  // The link object went with the window: any keying the second event made is in the log by now.
  ASSERT_TRUE(PumpUntil([&] { return sim_.Records("EVENT").size() >= 2; }, 5000));
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{true, false}));
  EXPECT_FALSE(sim_.Keyed());
  EXPECT_NE(ReadAll(settings_).find("\r\n 120 \r\n"), std::string::npos) << "Exit did not save";
}

// A second copy of the program started while this one runs: it ends at once, before touching the
// link program, and this copy's window comes to the front saying why. The claim is the session's
// one: taken again only once its holder has let it go.
TEST_F(WindowStation, ASecondCopyBringsTheFirstForwardAndEnds) {
  auto claim = std::make_unique<win32::SessionClaim>();  // as the program takes it at start
  ASSERT_TRUE(claim->claimed());
  EXPECT_FALSE(win32::SessionClaim().claimed());
  ::ShowWindow(window_, SW_MINIMIZE);
  std::wstring program = testing::SimulatorPath();
  program = program.substr(0, program.find(L"\\tools\\")) + L"\\app\\win32\\corvanta.exe";
  std::wstring command = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION second{};
  ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir_.File(L"").c_str(), &startup, &second));
  ASSERT_TRUE(
      PumpUntil([&] { return ::WaitForSingleObject(second.hProcess, 0) == WAIT_OBJECT_0; }, 10000));
  DWORD code = 0;
  ::GetExitCodeProcess(second.hProcess, &code);
  ::CloseHandle(second.hProcess);
  ::CloseHandle(second.hThread);
  EXPECT_EQ(code, 1u);
  EXPECT_TRUE(PumpUntil([&] { return StatusSays(win32::kSecondCopyText); }, 5000));
  EXPECT_FALSE(::IsIconic(window_));
  EXPECT_EQ(::GetForegroundWindow(), window_);
  EXPECT_EQ(sim_.Records("CONNECT").size(), 1u) << "the second copy reached the link program";
  claim.reset();
  EXPECT_TRUE(win32::SessionClaim().claimed());
}

// Who holds the session's claim decides whether a copy may run: nobody, a copy of this user, or
// a copy run as administrator, whose mutex this copy may not open (stood in for by one whose
// security denies everyone).
TEST(OneCopy, AClaimHeldByAnyCopyKeepsTheNextOneOut) {
  const struct {
    const char* name;
    const wchar_t* held_with;  // the holder's security descriptor; nullptr: nobody holds it
    DWORD opening;             // what opening the holder's mutex gives this copy
    bool claimed;
  } cases[] = {
      {"nobody", nullptr, ERROR_SUCCESS, true},
      {"a copy of this user", L"", ERROR_ALREADY_EXISTS, false},
      {"a copy as administrator", L"D:", ERROR_ACCESS_DENIED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE held = nullptr;
    if (c.held_with != nullptr) {
      PSECURITY_DESCRIPTOR sd = nullptr;
      if (*c.held_with != L'\0') {
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            c.held_with, SDDL_REVISION_1, &sd, nullptr));
      }
      SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
      held = ::CreateMutexW(sd != nullptr ? &sa : nullptr, FALSE, win32::kOneCopyMutexName);
      ::LocalFree(sd);
      ASSERT_NE(held, nullptr);
      // The stand-in holds as the real holder would: this copy's opening meets that.
      HANDLE probe = ::CreateMutexW(nullptr, FALSE, win32::kOneCopyMutexName);
      EXPECT_EQ(::GetLastError(), c.opening);
      if (probe != nullptr) ::CloseHandle(probe);
    }
    EXPECT_EQ(win32::SessionClaim().claimed(), c.claimed);
    if (held != nullptr) ::CloseHandle(held);
  }
}

// The output goes away in the middle of a courtesy (a USB interface unplugged): the courtesy ends
// at its next element with the key released and the window says so; once the output is back,
// the next event's courtesy is heard whole on it, without a restart.
TEST_F(WindowStation, ALostOutputEndsTheCourtesyAndTheReturningOneIsUsed) {
  ASSERT_NE(std::getenv("CORVANTA_SINK_CONTROL"), nullptr) << "needs CORVANTA_SINK_CONTROL=1";
  Click("cmdEchoLink");
  frm_->SetTextBox(TextBox::txtRX, "0");  // five dashes: keyed for 3.3 s
  bool unloaded = false;
  const UINT_PTR timer = OnceKeyed([&unloaded] { unloaded = Sink("unload"); }, 300);
  sim_.Command("ptt 0");
  ASSERT_TRUE(
      PumpUntil([&] { return sim_.Records("SETPTT").size() >= 2 && !sim_.Keyed(); }, 15000));
  ::KillTimer(nullptr, timer);
  EXPECT_TRUE(unloaded);
  EXPECT_EQ(sim_.Requests(), (std::vector<bool>{true, false}));
  std::printf("keyed while the output went: %.0f ms\n", KeyedMs(0));
  EXPECT_LT(KeyedMs(0), 2500.0) << "the courtesy went on without its output";
  EXPECT_TRUE(StatusSays("Sound output lost: " + SinkDescription())) << frm_->StatusText();

  ASSERT_TRUE(Sink("load"));
  frm_->SetTextBox(TextBox::txtRX, "k");
  const std::size_t start = rec::SampleCount(recording_);
  // The system notices the returning output on its own time: events until one keys.
  ASSERT_TRUE(PumpUntil(
      [&] {
        if (sim_.Records("SETPTT").size() >= 4) return sim_.Records("SETPTT").size() % 2 == 0;
        if (TransmissionDepth() == 0 && sim_.Records("EVENT").size() < 12) {
          sim_.Command("ptt 0");
          PumpUntil([&] { return sim_.Records("SETPTT").size() > 2; }, 500);
        }
        return false;
      },
      20000));
  ASSERT_TRUE(PumpUntil([&] { return !sim_.Keyed() && TransmissionDepth() == 0; }, 10000));
  ExpectCourtesy(start, {450, 150, 450}, [&] { OneMore("ptt 0"); });
}

// A link program whose thread is blocked for good: Exit, and the close box with the release that
// follows it, each answer within 1.5 s; Exit still saves.
TEST_F(WindowStation, AHungLinkProgramNeverHoldsUpExitOrTheCloseBox) {
  for (const bool exit : {true, false}) {
    SCOPED_TRACE(exit ? "Exit" : "the close box");
    if (frm_ == nullptr) SetUp();
    Click("cmdEchoLink");
    frm_->SetSlider(Slider::sldSpeed, 120);
    sim_.Command("hang");
    ASSERT_TRUE(PumpUntil([&] { return !sim_.Records("HANG").empty(); }, 5000));
    const auto start = std::chrono::steady_clock::now();
    if (exit) {
      Click("cmdExit");
    } else {
      ::SendMessageW(window_, WM_CLOSE, 0, 0);
    }
    EXPECT_FALSE(::IsWindow(window_));
    SetMainWindowRef(nullptr);
    delete frm_;  // the program's last step: the link object it held is released
    frm_ = nullptr;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s against a hung link program: %.0f ms\n", exit ? "Exit" : "close box", ms);
    EXPECT_LT(ms, 1500.0);
    EXPECT_EQ(ReadAll(settings_).find("\r\n 120 \r\n") != std::string::npos, exit);
    sim_.Kill();
    testing::RestartComService();
    TearDown();
  }
}

}  // namespace
}  // namespace corvanta

namespace corvanta {
namespace {

std::wstring HelpFileBuilt() {
  return testing::SimulatorPath().substr(0, testing::SimulatorPath().find(L"\\tools\\")) +
         L"\\app\\win32\\corvanta.chm";
}

HWND HelpWindow() {
  return ::FindWindowW(L"HH Parent", nullptr);  // the viewer's frame window
}

// The About window shows the title, the version and the description, and Esc and Enter each
// close it; every opening builds it anew, and shows the one icon the program loaded (a new icon
// each time would be a handle lost at every opening).
TEST(About, ShowsTheVersionAndClosesWithEscAndEnter) {
  static std::vector<std::string> texts;
  static std::vector<LRESULT> icons;  // the icon shown at each opening
  icons.clear();
  static WPARAM key = 0;
  static int ticks = 0;  // a window the key did not close is closed after 5 s, as a failure
  for (const WPARAM close_key : {WPARAM{VK_ESCAPE}, WPARAM{VK_RETURN}}) {
    texts.clear();
    key = close_key;
    ticks = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) {
      HWND about = ::FindWindowW(nullptr, L"About Corvanta");
      if (about != nullptr && ++ticks == 100) ::PostMessageW(about, WM_CLOSE, 0, 0);
      if (about == nullptr || !texts.empty()) return;
      ::EnumChildWindows(
          about,
          [](HWND child, LPARAM) -> BOOL {
            wchar_t text[512] = {};
            ::GetWindowTextW(child, text, 512);
            texts.push_back(win32::Narrow(text));
            if (const LRESULT icon = ::SendMessageW(child, STM_GETICON, 0, 0))
              icons.push_back(icon);
            return TRUE;
          },
          0);
      ::PostMessageW(::GetFocus(), WM_KEYDOWN, key, 0);
    });
    win32::mnuHelpAbout_Click();  // returns once the window has closed
    ::KillTimer(nullptr, timer);
    EXPECT_LT(ticks, 100) << "the key did not close the About window";
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Version 1.0.22"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Corvanta"), texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), win32::AboutDescription()), texts.end());
    EXPECT_EQ(win32::AboutDescription().rfind("Echolink Courtesy Tone generator.\r\n\r\n", 0), 0u);
    EXPECT_EQ(::FindWindowW(nullptr, L"About Corvanta"), nullptr);
  }
  ASSERT_EQ(icons.size(), 2u);
  EXPECT_EQ(icons[0], icons[1]) << "each opening loaded an icon of its own, never freed";
}

TEST(SettingsLocation, BesideAPortableCopyElseInAppData) {
  testing::TempDir writable;
  const fs::path exe_dir = fs::path(writable.File(L"x")).parent_path();
  const fs::path missing = exe_dir / L"no" / L"such";
  const wchar_t* appdata = L"C:\\Users\\op\\AppData\\Roaming";
  testing::TempDir installed_dir;  // writable, as Program Files is to an administrator
  const fs::path installed = fs::path(installed_dir.File(L"uninstall.exe")).parent_path();
  std::ofstream(installed / L"uninstall.exe").close();
  const struct {
    fs::path exe_dir;
    const wchar_t* appdata;
    fs::path want;
  } cases[] = {
      {exe_dir, appdata, exe_dir / L"corvanta.cfg"},
      {exe_dir, nullptr, exe_dir / L"corvanta.cfg"},
      {missing, appdata, fs::path(appdata) / L"Corvanta" / L"corvanta.cfg"},
      {missing, nullptr, missing / L"corvanta" / L"corvanta.cfg"},
      {installed, appdata, fs::path(appdata) / L"Corvanta" / L"corvanta.cfg"},
      {installed, nullptr, installed / L"corvanta.cfg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32::SettingsLocation(c.exe_dir, c.appdata), c.want) << c.exe_dir.string();
  }
}

// Contents and Search For Help On ask the viewer for the contents and for the keyword index of
// the help file; the viewer opens on the compiled file.
TEST(Help, TheMenuAsksForTheContentsAndTheIndexAndTheViewerOpens) {
  win32::HelpFile() = HelpFileBuilt();
  std::vector<unsigned> asked;
  const win32::HelpCall real = win32::HelpCaller();
  std::vector<std::intptr_t> viewers;
  win32::HelpCaller() = [&](std::intptr_t window, const std::wstring& file, unsigned command) {
    EXPECT_EQ(file, HelpFileBuilt());
    asked.push_back(command);
    viewers.push_back(real(window, file, command));
    return viewers.back();
  };
  win32::mnuHelpContents_Click();
  win32::mnuHelpSearchForHelpOn_Click();
  win32::HelpCaller() = real;
  EXPECT_EQ(asked, (std::vector<unsigned>{HH_DISPLAY_TOC, HH_DISPLAY_INDEX}));
  ASSERT_EQ(viewers.size(), 2u);
  EXPECT_NE(viewers[0], 0) << "the viewer did not open the contents";
  EXPECT_NE(viewers[1], 0) << "the viewer did not open the index";
  ASSERT_TRUE(PumpUntil([] { return HelpWindow() != nullptr; }, 5000));
  ::DestroyWindow(HelpWindow());
}

// A help file that the viewer cannot open is said in a box (HTML Help itself says nothing), titled
// with the program's name and without an icon; a viewer that opens brings no box.
TEST(Help, AHelpFileTheViewerCannotOpenIsSaidInABox) {
  struct Boxes final : Platform {
    void Sleep(std::int32_t) override {}
    void DoEvents() override {}
    std::int64_t NowMs() override { return 0; }
    void MessageBox(const std::string& text, const std::string& title, MsgIcon icon) override {
      shown.push_back(title + ": " + text + (icon == MsgIcon::kNone ? "" : " (with an icon)"));
    }
    std::vector<std::string> shown;
  } boxes;
  ScopedPlatform installed(boxes);
  const std::wstring missing = HelpFileBuilt() + L".missing";
  for (const std::wstring& file : {missing, HelpFileBuilt()}) {
    win32::HelpFile() = file;
    boxes.shown.clear();
    win32::mnuHelpContents_Click();
    if (file == missing) {
      EXPECT_EQ(boxes.shown, std::vector<std::string>{"Corvanta: The help viewer could not open " +
                                                      win32::Narrow(missing)});
    } else {
      EXPECT_TRUE(boxes.shown.empty()) << boxes.shown.front();
      if (PumpUntil([] { return HelpWindow() != nullptr; }, 2000)) ::DestroyWindow(HelpWindow());
    }
  }
}

}  // namespace
}  // namespace corvanta
