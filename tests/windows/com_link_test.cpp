// The COM link client against the COM link simulator, under wine or on Windows: the link
// contract, and what only a COM link program can do to it (answer late or never, die).
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "link/com/class_registry.h"
#include "link/com/com_link.h"
#include "link/com/com_worker.h"
#include "link/com/echolink.h"
#include "tests/contracts/link_contract.h"
#include "tests/windows/sim_process.h"

namespace corvanta {

namespace {

using testing::PumpUntil;
using testing::SimProcess;

class ComLinkHarness {
 public:
  ~ComLinkHarness() {
    if (!::testing::Test::HasFailure() && std::getenv("CORVANTA_TEST_VERBOSE") == nullptr) return;
    for (const std::string& s : statuses) std::fprintf(stderr, "status: %s\n", s.c_str());
    for (const std::string& l : sim_.Lines()) std::fprintf(stderr, "linksim: %s\n", l.c_str());
  }
  std::unique_ptr<LinkObject> Make(LinkEventSink sink) {
    if (!sim_.Running()) {
      EXPECT_TRUE(sim_.Start(options_));
    }
    const std::size_t advised = sim_.Records("ADVISE").size() + 1;
    ComLinkOptions options = link_options;
    options.status = [this](const std::string& text) { statuses.push_back(text); };
    auto link = ComLinkFactory(options)(std::move(sink));
    if (expect_connected) {
      EXPECT_GE(sim_.Records("ADVISE").size(), advised) << "no subscription to the events";
    }
    return link;
  }
  void Raise(const char* event, bool on) {
    sim_.Command(std::string(event == std::string("PTT") ? "ptt " : "tx ") + (on ? "1" : "0"));
  }
  bool ProcessMessagesUntil(const std::function<bool()>& done) { return PumpUntil(done, 5000); }
  std::vector<bool> Requests() const { return sim_.Requests(); }
  bool Keyed() const { return sim_.Keyed(); }
  void RefuseKeying() { options_.push_back(L"--err"); }
  void Drop() { sim_.Command("drop"); }

  SimProcess& sim() { return sim_; }
  std::vector<std::wstring>& options() { return options_; }
  // A status starting with `start`, among those from the `from`-th on.
  bool SawStatus(const std::string& start, std::size_t from = 0) const {
    for (std::size_t i = from; i < statuses.size(); ++i) {
      if (statuses[i].rfind(start, 0) == 0) return true;
    }
    return false;
  }

  std::vector<std::string> statuses;
  ComLinkOptions link_options;
  bool expect_connected = true;

 private:
  SimProcess sim_;
  std::vector<std::wstring> options_;
};

class ComLink : public ::testing::Test {
 protected:
  ComLinkHarness harness;
};

double ElapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
      .count();
}

std::string GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  std::string out;
  for (const wchar_t* p = text; *p != 0; ++p) out += static_cast<char>(*p);
  return out;
}

// The identities are the link program's; a typo in one would leave the program talking to
// nobody, and SetPTT called through any other table entry would key nothing.
TEST(LinkTypeLibrary, CarriesTheLinkProgramsIdentitiesAndLayout) {
  const struct {
    const GUID& guid;
    const char* text;
  } identities[] = {
      {LIBID_EchoLink, "{4CF5B97B-A0F5-41F3-848C-6E25FAB62AD3}"},
      {CLSID_EchoLinkAutomation, "{D1FB3C9A-BB2D-446A-A74A-E771F134ED56}"},
      {IID_IEchoLinkAutomation, "{7733112C-4577-4432-9DB0-A9398184EAF6}"},
      {DIID_IEchoLinkAutomationEvents, "{6F55F7AF-8DA6-400F-96EB-C371F0311611}"},
  };
  for (const auto& id : identities) EXPECT_EQ(GuidText(id.guid), id.text);

  // The library as the simulator carries it (and registers it).
  ITypeLib* library = nullptr;
  ASSERT_EQ(::LoadTypeLibEx(testing::SimulatorPath().c_str(), REGKIND_NONE, &library), S_OK);
  ITypeInfo* automation = nullptr;
  ASSERT_EQ(library->GetTypeInfoOfGuid(IID_IEchoLinkAutomation, &automation), S_OK);
  wchar_t set_ptt[] = L"SetPTT";
  LPOLESTR name = set_ptt;
  MEMBERID id = 0;
  ASSERT_EQ(automation->GetIDsOfNames(&name, 1, &id), S_OK);
  bool found = false;
  for (UINT i = 0; !found; ++i) {
    FUNCDESC* f = nullptr;
    if (FAILED(automation->GetFuncDesc(i, &f))) break;
    if (f->memid == id) {
      found = true;
      EXPECT_EQ(f->oVft, static_cast<SHORT>(12 * sizeof(void*))) << "not the thirteenth entry";
      ASSERT_EQ(f->cParams, 1);
      EXPECT_EQ(f->lprgelemdescParam[0].tdesc.vt, VT_BOOL);
    }
    automation->ReleaseFuncDesc(f);
  }
  EXPECT_TRUE(found);
  automation->Release();

  ITypeInfo* events = nullptr;
  ASSERT_EQ(library->GetTypeInfoOfGuid(DIID_IEchoLinkAutomationEvents, &events), S_OK);
  for (const wchar_t* event : {L"PTT", L"TX"}) {
    std::wstring text = event;
    LPOLESTR event_name = text.data();
    MEMBERID event_id = 0;
    EXPECT_EQ(events->GetIDsOfNames(&event_name, 1, &event_id), S_OK);
  }
  events->Release();
  library->Release();
}

// The call waits for the late answer; an event raised while it waits arrives after it, never
// inside it.
TEST_F(ComLink, ALateAnswerIsWaitedForAndEventsMeanwhileComeAfterIt) {
  harness.options() = {L"--late", L"400"};
  std::vector<std::string> events;
  LinkEventSink sink;
  sink.PTT = [&](std::int16_t v) { events.push_back(v ? "PTT 1" : "PTT 0"); };
  auto link = harness.Make(sink);
  harness.sim().Command("sleep 150");
  harness.sim().Command("ptt 0");
  const auto start = std::chrono::steady_clock::now();
  link->SetPTT(true);
  EXPECT_GE(ElapsedMs(start), 390.0);
  EXPECT_TRUE(events.empty()) << "an event was delivered inside SetPTT";
  EXPECT_TRUE(harness.Keyed());
  ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }, 5000));
  EXPECT_EQ(events, (std::vector<std::string>{"PTT 0"}));
}

// While SetPTT waits, the program's own window messages (posted ones, timers) wait too: nothing
// of the program re-enters it.
TEST_F(ComLink, SetPttRunsNoneOfTheProgramsWindowMessages) {
  harness.options() = {L"--late", L"300"};
  auto link = harness.Make({});
  static int handled = 0;
  handled = 0;
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
    if (m == WM_APP + 7 || m == WM_TIMER) ++handled;
    return ::DefWindowProcW(w, m, wp, lp);
  };
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"CorvantaTestMessages";
  ::RegisterClassW(&wc);
  const HWND window = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  ::PostMessageW(window, WM_APP + 7, 0, 0);
  ::SetTimer(window, 1, 10, nullptr);
  link->SetPTT(true);
  EXPECT_EQ(handled, 0) << "the program's messages ran inside SetPTT";
  EXPECT_TRUE(PumpUntil([] { return handled >= 2; }, 5000));
  ::KillTimer(window, 1);
  ::DestroyWindow(window);
}

// A request the link program does not answer fails after the answer timeout, but the instance is
// kept (the answer may still come); a request behind it does not wait at all. One that stays
// unanswered past hung_ms abandons the instance, says so, and a new one is made.
TEST_F(ComLink, AnUnansweredRequestKeepsTheInstanceUntilItCountsAsHung) {
  harness.options() = {L"--silent"};
  harness.link_options.retry_ms = 500;
  harness.link_options.hung_ms = 1500;
  auto link = harness.Make({});
  const auto start = std::chrono::steady_clock::now();
  try {
    link->SetPTT(true);
    ADD_FAILURE() << "SetPTT succeeded without an answer";
  } catch (const LinkError& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer within 1000 ms"), std::string::npos)
        << e.what();
    EXPECT_EQ(e.fate, LinkError::Fate::kUnanswered);
  }
  const double ms = ElapsedMs(start);
  EXPECT_GE(ms, 990.0);
  EXPECT_LT(ms, 1500.0);
  const auto behind = std::chrono::steady_clock::now();
  try {
    link->SetPTT(false);
    ADD_FAILURE() << "the release behind an unanswered request was taken for sent";
  } catch (const LinkError& e) {
    EXPECT_EQ(e.fate, LinkError::Fate::kQueued) << e.what();
  }
  EXPECT_LT(ElapsedMs(behind), 100.0) << "waited behind the unanswered request";
  EXPECT_EQ(harness.sim().Records("CONNECT").size(), 1u) << "the instance was not kept";
  EXPECT_FALSE(harness.Keyed());
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program not answering"); }, 5000));
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program connected", 1); }, 5000))
      << "no new instance after the abandoned one";
  EXPECT_EQ(harness.sim().Records("CONNECT").size(), 2u);
}

// The answer to a keying comes after 2 s, past the deadline: the transmitter it keyed is released
// at once (nobody holds the key by then), and the instance keeps serving events and requests.
TEST_F(ComLink, ALateKeyingIsReleasedWhenItsAnswerComes) {
  std::vector<std::string> events;
  LinkEventSink sink;
  sink.PTT = [&](std::int16_t v) { events.push_back(v ? "PTT 1" : "PTT 0"); };
  auto link = harness.Make(sink);
  harness.sim().Command("late-once 2000");
  EXPECT_THROW(link->SetPTT(true), LinkError);
  try {
    link->SetPTT(false);  // the courtesy's release, behind the late keying
    ADD_FAILURE() << "the release was taken for sent";
  } catch (const LinkError& e) {
    EXPECT_EQ(e.fate, LinkError::Fate::kQueued) << e.what();
  }
  ASSERT_TRUE(PumpUntil([&] { return harness.sim().Records("SETPTT").size() >= 2; }, 5000))
      << "no release after the late answer";
  ASSERT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 5000));
  EXPECT_EQ(harness.Requests(), (std::vector<bool>{true, false}));
  // From the late answer to the released transmitter, in the simulator's own clock.
  double answered = 0, released = 0;
  for (const std::string& line : harness.sim().Lines()) {
    if (line.find(" ANSWER OK ") != std::string::npos && answered == 0) answered = std::stod(line);
    if (line.find(" TRANSMITTER 0") != std::string::npos) released = std::stod(line);
  }
  std::printf("late answer to release: %.1f ms\n", released - answered);
  EXPECT_GT(answered, 0.0);
  EXPECT_LT(released - answered, 100.0);
  EXPECT_TRUE(harness.SawStatus("Link program answered SetPTT(true) after"));
  harness.Raise("PTT", false);
  ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }, 5000));
  link->SetPTT(true);
  link->SetPTT(false);
  EXPECT_EQ(harness.Requests(), (std::vector<bool>{true, false, true, false}));
  EXPECT_EQ(harness.sim().Records("CONNECT").size(), 1u);
}

// A link program whose thread is blocked for good answers nothing, not even COM's own calls:
// making the object, keying and letting go each hold the program up for a bounded time only.
TEST_F(ComLink, AHungLinkProgramHoldsNothingUpForLong) {
  struct Case {
    const char* name;
    bool hang_before_making;
  };
  for (const Case& c :
       {Case{"hung before the object is made", true}, Case{"hung after it is connected", false}}) {
    SCOPED_TRACE(c.name);
    ComLinkHarness fresh;
    fresh.link_options.connect_wait_ms = 1000;
    fresh.expect_connected = !c.hang_before_making;
    ASSERT_TRUE(fresh.sim().Start());
    if (c.hang_before_making) {
      fresh.sim().Command("hang");
      ASSERT_TRUE(PumpUntil([&] { return !fresh.sim().Records("HANG").empty(); }, 5000));
    }
    auto start = std::chrono::steady_clock::now();
    auto link = fresh.Make({});
    EXPECT_LT(ElapsedMs(start), 1500.0) << "making the object";
    if (!c.hang_before_making) {
      fresh.sim().Command("hang");
      ASSERT_TRUE(PumpUntil([&] { return !fresh.sim().Records("HANG").empty(); }, 5000));
    }
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(link->SetPTT(true), LinkError);
    EXPECT_LT(ElapsedMs(start), 1500.0) << "keying";
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(link->SetPTT(false), LinkError);
    EXPECT_LT(ElapsedMs(start), 100.0) << "the release behind it";
    start = std::chrono::steady_clock::now();
    link.reset();
    EXPECT_LT(ElapsedMs(start), 1500.0) << "letting go";
    fresh.sim().Kill();
    testing::RestartComService();
  }
}

// After the link program quits, its class is not asked for again (COM would start it anew): the
// operator's closing holds. Started again by hand, it is attached to within 3 s.
TEST_F(ComLink, ALinkProgramItsOperatorClosedStaysClosed) {
  auto link = harness.Make({});
  harness.sim().Command("quit");
  ASSERT_TRUE(PumpUntil([&] { return !harness.sim().Running(); }, 5000));
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program closed"); }, 10000))
      << "the loss was not noticed";
  const auto closed = std::chrono::steady_clock::now();
  PumpUntil([] { return testing::CountProcesses(L"corvanta-linksim.exe") > 0; }, 10000);
  EXPECT_EQ(testing::CountProcesses(L"corvanta-linksim.exe"), 0)
      << "the link program was started again after " << static_cast<int>(ElapsedMs(closed))
      << " ms";
  const std::size_t before = harness.statuses.size();
  ASSERT_TRUE(harness.sim().Start());
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      PumpUntil([&] { return harness.SawStatus("Link program connected", before); }, 10000));
  std::printf("attached %.0f ms after the link program was started by hand\n", ElapsedMs(started));
  EXPECT_LT(ElapsedMs(started), 3000.0);
  link->SetPTT(true);
  link->SetPTT(false);
  EXPECT_EQ(harness.Requests(), (std::vector<bool>{true, false}));
}

// A 32-bit link program as a 64-bit client sees it: its own interface cannot be had, IDispatch
// can. SetPTT goes through IDispatch, and the status bar says so.
TEST_F(ComLink, ALinkProgramReachableOnlyThroughIDispatchIsKeyedThroughIt) {
  harness.options() = {L"--dispatch-only"};
  auto link = harness.Make({});
  EXPECT_TRUE(harness.SawStatus("Link program connected")) << "not connected";
  EXPECT_TRUE(
      std::any_of(harness.statuses.begin(), harness.statuses.end(), [](const std::string& s) {
        return s.find("SetPTT through IDispatch") != std::string::npos;
      }));
  link->SetPTT(true);
  EXPECT_TRUE(harness.Keyed());
  link->SetPTT(false);
  EXPECT_FALSE(harness.Keyed());
  harness.sim().Command("err on");
  try {
    link->SetPTT(true);
    ADD_FAILURE() << "a refusal through IDispatch was taken for success";
  } catch (const LinkError& e) {
    EXPECT_EQ(e.fate, LinkError::Fate::kRefused) << e.what();
  }
}

// --drop-after N cuts the object off at its N-th request, unanswered: that request fails, the
// key it held is released, and the loss is reported.
TEST_F(ComLink, DropAfterCutsTheObjectOffAtThatRequest) {
  harness.options() = {L"--drop-after", L"2"};
  auto link = harness.Make({});
  link->SetPTT(true);
  EXPECT_THROW(link->SetPTT(true), LinkError);
  EXPECT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 5000)) << "left keyed";
  EXPECT_EQ(harness.sim().Records("DROP").size(), 1u);
  EXPECT_TRUE(harness.SawStatus("Link program lost"));
}

// How long a link program has run never makes it closed for good: one that seems to have started
// after now (the clock was set back since) counts as long settled.
TEST(LinkProgramProcess, ARunningTimeFromAClockSetBackCountsAsSettled) {
  const auto at = [](long long ms) {  // a FILETIME `ms` after an arbitrary moment
    const auto ticks = static_cast<unsigned long long>(13'300'000'000'000'000LL + ms * 10000);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  };
  const struct {
    long long created_ms, now_ms, running_ms;
  } cases[] = {
      {0, 10'000, 10'000},
      {5'000, 5'000, 0},
      {3'600'000, 0, com::kCannotTell},  // created an hour "after" now
      {1, 0, com::kCannotTell},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(com::RunningMs(at(c.created_ms), at(c.now_ms)), c.running_ms)
        << c.created_ms << " -> " << c.now_ms;
  }
}

// The class's server entry, rewritten for a test and put back after.
class ServerEntry {
 public:
  explicit ServerEntry(const std::wstring& entry) {
    const std::wstring sub = L"Software\\Classes\\CLSID\\" +
                             Wide(GuidText(CLSID_EchoLinkAutomation)) + L"\\LocalServer32";
    // The machine's entries in both views, and the user's, which the merged classes show first.
    for (const auto& [root, view] : {std::pair{HKEY_LOCAL_MACHINE, REGSAM{KEY_WOW64_64KEY}},
                                     std::pair{HKEY_LOCAL_MACHINE, REGSAM{KEY_WOW64_32KEY}},
                                     std::pair{HKEY_CURRENT_USER, REGSAM{0}}}) {
      HKEY key = nullptr;
      if (::RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ | KEY_WRITE | view, &key) !=
          ERROR_SUCCESS) {
        continue;
      }
      wchar_t value[1024] = {};
      DWORD bytes = sizeof value - sizeof(wchar_t);
      if (::RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                             &bytes) == ERROR_SUCCESS) {
        saved_.push_back({key, value});
        Write(key, entry);
      } else {
        ::RegCloseKey(key);
      }
    }
  }
  ~ServerEntry() {
    for (const auto& [key, value] : saved_) {
      Write(key, value);
      ::RegCloseKey(key);
    }
  }
  ServerEntry(const ServerEntry&) = delete;
  ServerEntry& operator=(const ServerEntry&) = delete;
  bool changed() const { return !saved_.empty(); }

 private:
  static std::wstring Wide(const std::string& text) { return {text.begin(), text.end()}; }
  static void Write(HKEY key, const std::wstring& value) {
    ::RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  std::vector<std::pair<HKEY, std::wstring>> saved_;
};

// A link program that takes its time to close (its class and objects gone at once, its process
// 3 s later) is not started again by asking COM for its class while it closes: it is said to be
// closed and waited for.
TEST_F(ComLink, ALinkProgramThatTakesItsTimeToCloseIsNotStartedAgain) {
  harness.link_options.retry_ms = 500;
  auto link = harness.Make({});
  // A simulator an earlier test let go of may still be on its way out.
  ASSERT_TRUE(
      PumpUntil([] { return testing::CountProcesses(L"corvanta-linksim.exe") == 1; }, 10000));
  harness.sim().Command("quit 3000");
  int most = 0;
  const bool closed = PumpUntil(
      [&] {
        most = std::max(most, testing::CountProcesses(L"corvanta-linksim.exe"));
        return harness.SawStatus("Link program closed");
      },
      15000);
  EXPECT_TRUE(closed) << "never said closed";
  EXPECT_LE(most, 1) << "a second copy was started while the first closed";
  PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(testing::CountProcesses(L"corvanta-linksim.exe"), 0) << "started again";
  EXPECT_FALSE(harness.SawStatus("Link program connected", 1));
}

// An installer may register the link program under its 8.3 short path: the running program is
// still recognised by its full path, so that after it was killed and started again by hand it is
// attached to, not taken for closed for good.
TEST_F(ComLink, ALinkProgramRegisteredByItsShortPathIsAttachedToAgain) {
  const std::wstring path = testing::SimulatorPath();
  wchar_t short_path[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW(path.c_str(), short_path, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(short_path), path) << "no short path to register under";
  const ServerEntry entry(short_path);
  ASSERT_TRUE(entry.changed()) << "the class is not registered in the machine's classes";
  harness.link_options.retry_ms = 500;
  auto link = harness.Make({});
  harness.sim().Kill();
  testing::RestartComService();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program lost"); }, 10000));
  ASSERT_TRUE(harness.sim().Start());
  const std::size_t before = harness.statuses.size();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program connected", before); }, 15000))
      << "the link program registered by its short path was not attached to again";
  link->SetPTT(true);
  link->SetPTT(false);
  EXPECT_FALSE(harness.Keyed());
}

// A link program that owns the radio cuts its objects off while it runs and keeps the key: the
// loss is noticed without a request, the courtesy's release is not told the key went with the
// connection, and it reaches the link program through the next instance.
TEST_F(ComLink, ALinkProgramThatCutsItsObjectsOffKeepsTheKeyUntilTheNextInstanceReleasesIt) {
  harness.options() = {L"--keep-key"};
  harness.link_options.retry_ms = 500;
  harness.link_options.closing_ms = 500;
  auto link = harness.Make({});
  link->SetPTT(true);
  harness.Drop();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program lost"); }, 5000))
      << "the cut-off object was not noticed";
  EXPECT_TRUE(harness.Keyed());
  try {
    link->SetPTT(false);
  } catch (const LinkError& e) {
    EXPECT_FALSE(e.released) << "said released, but the link program still runs and keys";
  }
  ASSERT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 5000)) << "left keyed";
  EXPECT_EQ(harness.sim().Records("SETPTT").back(), "0 2");
}

// The link program is started again while the process Corvanta is attached to still runs, hidden
// (its operator closed it, our instance keeps it alive): the events come from the newer process,
// so the newer one is attached to. Each new process counts once, once settled, and only beside
// an older one that still runs (alone, it is the one to attach to anyway).
TEST(LinkProgramProcess, ANewerOneBesideTheKnownIsToldOnceSettled) {
  const struct {
    const char* name;
    std::vector<com::LinkProcess> now;
    std::vector<DWORD> known;
    bool newer;
    std::vector<DWORD> known_after;
  } cases[] = {
      {"only the known one", {{10, 60000}}, {10}, false, {10}},
      {"a new one beside it, settled", {{10, 60000}, {20, 1500}}, {10}, true, {10, 20}},
      {"a new one not settled yet", {{10, 60000}, {20, 400}}, {10}, false, {10}},
      {"a new one, told before", {{10, 60000}, {20, 9000}}, {10, 20}, false, {10, 20}},
      {"the known one gone", {{20, 1500}}, {10}, false, {10, 20}},
      {"a new one that cannot be inspected",
       {{10, 60000}, {30, com::kCannotTell}},
       {10},
       true,
       {10, 30}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<DWORD> known = c.known;
    EXPECT_EQ(com::NewerBesideKnown(c.now, 1000, known), c.newer);
    EXPECT_EQ(known, c.known_after);
  }
}

// The same with two link programs: the requests go to the newer one. (Under wine the older
// process's connections break as soon as the newer one offers the class, so there it is the loss
// that leads to the newer one.)
TEST_F(ComLink, ANewerLinkProgramIsAttachedTo) {
  harness.link_options.retry_ms = 500;
  auto link = harness.Make({});
  SimProcess newer;
  ASSERT_TRUE(newer.Start());
  const std::size_t before = harness.statuses.size();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program connected", before); }, 10000))
      << "not attached to the newer link program";
  EXPECT_FALSE(newer.Records("ADVISE").empty()) << "the new instance is not the newer program's";
  link->SetPTT(true);
  link->SetPTT(false);
  EXPECT_EQ(newer.Requests(), (std::vector<bool>{true, false}));
  EXPECT_TRUE(harness.Requests().empty());
  PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(newer.Records("CONNECT").size(), 1u) << "attached again and again";
}

// The link program dies while keyed and comes back: the loss is noticed without a request,
// nothing stays keyed, the new instance gets the release first, and the program keys again
// through it.
TEST_F(ComLink, AKilledLinkProgramIsNoticedAndTheNextOneIsUsed) {
  harness.link_options.retry_ms = 500;
  auto link = harness.Make({});
  link->SetPTT(true);
  ASSERT_TRUE(harness.Keyed());
  harness.sim().Kill();
  testing::RestartComService();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program lost"); }, 10000))
      << "the loss was not noticed";
  try {
    link->SetPTT(false);
  } catch (const LinkError& e) {
    EXPECT_TRUE(e.released) << e.what();
  }
  ASSERT_TRUE(harness.sim().Start());
  const std::size_t before = harness.statuses.size();
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program connected", before); }, 15000))
      << "no reconnection";
  // The key the dead instance held is released on the new one first, then it keys as usual.
  ASSERT_TRUE(PumpUntil([&] { return !harness.sim().Records("SETPTT").empty(); }, 5000));
  link->SetPTT(true);
  link->SetPTT(false);
  EXPECT_EQ(harness.sim().Requests(), (std::vector<bool>{false, true, false}));
  EXPECT_FALSE(harness.Keyed());
}

// A thread of the multithreaded apartment for as long as it lives, as an instance abandoned to a
// hung call is: the apartment, and what COM holds in it, outlives the other instances' threads.
class ApartmentKeeper {
 public:
  ApartmentKeeper()
      : done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), thread_([this] {
          ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
          ::WaitForSingleObject(done_, INFINITE);
          ::CoUninitialize();
        }) {}
  ~ApartmentKeeper() {
    ::SetEvent(done_);
    thread_.join();
    ::CloseHandle(done_);
  }
  ApartmentKeeper(const ApartmentKeeper&) = delete;
  ApartmentKeeper& operator=(const ApartmentKeeper&) = delete;

 private:
  HANDLE done_;
  std::thread thread_;
};

// However the link program went away, the instance's event sink (and the mailbox it holds) is
// freed once the link object is, also while the apartment lives on. A killed link program never
// lets go of its subscription, and wine, unlike Windows, never gives up on it for the dead
// program: the sink was held until the apartment ended.
TEST(ComLinkLoss, TheEventSinkIsFreedHoweverTheLinkProgramWent) {
  struct Case {
    const char* how;
    std::function<void(SimProcess&)> end;
  };
  const Case cases[] = {
      {"killed",
       [](SimProcess& sim) {
         sim.Kill();
         testing::RestartComService();
       }},
      {"closed by its operator", [](SimProcess& sim) { sim.Command("quit"); }},
      {"cut off while running on", [](SimProcess& sim) { sim.Command("drop"); }},
  };
  // Instances of earlier tests whose calls have only just returned free theirs first.
  ASSERT_TRUE(PumpUntil([] { return com::EventSink::Alive() == 0; }, 10000))
      << com::EventSink::Alive() << " event sinks held before the test";
  const ApartmentKeeper apartment;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    const int before = com::EventSink::Alive();  // held by an earlier case that failed
    ComLinkHarness harness;
    harness.link_options.retry_ms = 500;
    auto link = harness.Make({});
    link->SetPTT(true);
    link->SetPTT(false);
    EXPECT_EQ(com::EventSink::Alive(), before + 1);
    c.end(harness.sim());
    EXPECT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program lost"); }, 10000))
        << "the loss was not noticed";
    link.reset();
    EXPECT_TRUE(PumpUntil([&] { return com::EventSink::Alive() == before; }, 5000))
        << com::EventSink::Alive() - before << " event sinks still held";
  }
}

// The first line a record of `kind` with `fields` (the record's own text) appears at, in the
// simulator's clock; -1 when none does. `last`: the last such line instead.
double RecordAt(const SimProcess& sim, const std::string& kind, const std::string& fields,
                bool last = false) {
  double at = -1;
  for (const std::string& line : sim.Lines()) {
    if (line.find(" " + kind + " " + fields) == std::string::npos &&
        !(fields.empty() && line.find(" " + kind) != std::string::npos)) {
      continue;
    }
    at = std::stod(line);
    if (!last) break;
  }
  return at;
}

// A deadline counted from two reads of the clock turns negative when the clock moves between
// them; as a wait in milliseconds that is about 49 days. The remaining time is read once and a
// deadline already past waits not at all, however the clock moved.
TEST(ComCall, AWaitWhoseDeadlineHasPassedReturnsAtOnce) {
  // Each read of the clock after the call was made moves it on by `step` from `first`.
  static std::atomic<ULONGLONG> next{0}, step{0};
  struct Case {
    const char* name;
    ULONGLONG first;  // the first read after the call was made at 0
    ULONGLONG step;
    int deadline_ms;
  };
  const Case cases[] = {
      {"5 ms left at one read, 5 ms past at the next", 995, 10, 1000},
      {"passed long ago", 60000, 1, 1000},
      {"exactly at the deadline", 1000, 0, 1000},
  };
  struct Restore {
    com::TickClock saved = com::CallClock();
    ~Restore() { com::CallClock() = saved; }
  } restore;
  com::CallClock() = [] { return next.fetch_add(step.load()); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    next = 0;
    step = 0;
    auto call = std::make_shared<com::Call>(com::Call::What::kProbe, false);
    next = c.first;
    step = c.step;
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([call, returned, deadline = c.deadline_ms] {
      call->WaitUntilAge(deadline);
      *returned = true;
    }).detach();
    const auto start = std::chrono::steady_clock::now();
    while (!*returned && ElapsedMs(start) < 2000) ::Sleep(5);
    EXPECT_TRUE(*returned) << "the wait did not return within 2 s";
  }
}

// A link program that owns the radio keeps its transmitter keyed when its client lets go. A
// keying it answers only after the instance was abandoned (7 s late, hung_ms 5 s) is followed by
// a release on that same instance, whenever the answer comes.
TEST_F(ComLink, AKeyingAnsweredAfterItsInstanceWasAbandonedIsReleasedOnIt) {
  harness.options() = {L"--keep-key"};
  harness.link_options.retry_ms = 500;  // the abandon is seen well before the answer
  auto link = harness.Make({});
  harness.sim().Command("late-once 7000");
  EXPECT_THROW(link->SetPTT(true), LinkError);
  EXPECT_THROW(link->SetPTT(false), LinkError);  // queued behind the keying
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program not answering"); }, 10000));
  ASSERT_TRUE(PumpUntil([&] { return RecordAt(harness.sim(), "ANSWER", "OK 1") >= 0; }, 10000))
      << "the late keying was never answered";
  ASSERT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 4000)) << "left keyed";
  const double answered = RecordAt(harness.sim(), "ANSWER", "OK 1");
  const double released = RecordAt(harness.sim(), "TRANSMITTER", "0", true);
  std::printf("late keying answered at %.0f ms, released %.0f ms later\n", answered,
              released - answered);
  EXPECT_GT(released, answered);
  EXPECT_LT(released - answered, 2000.0);
  const auto records = harness.sim().Records("SETPTT");
  EXPECT_NE(std::find(records.begin(), records.end(), "0 1"), records.end())
      << "no release on the instance that keyed";
}

// A keying queued behind a liveness check the link program does not answer never reaches it
// once the instance is given up: the release the next instance got would come before it.
TEST_F(ComLink, AKeyingQueuedBehindAHungCallIsDroppedWithItsInstance) {
  harness.options() = {L"--keep-key"};
  harness.link_options.retry_ms = 500;
  harness.link_options.hung_ms = 1500;
  auto link = harness.Make({});
  harness.sim().Command("hang 4000");
  ASSERT_TRUE(PumpUntil([&] { return !harness.sim().Records("HANG").empty(); }, 5000));
  PumpUntil([] { return false; }, 700);  // a liveness check is under way, unanswered
  EXPECT_THROW(link->SetPTT(true), LinkError);
  EXPECT_THROW(link->SetPTT(false), LinkError);
  ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program not answering"); }, 5000));
  // The old instance's thread has ended: its hung call returned and the instance was released.
  ASSERT_TRUE(PumpUntil(
      [&] {
        const auto gone = harness.sim().Records("DISCONNECT");
        return std::find(gone.begin(), gone.end(), "1") != gone.end();
      },
      10000));
  PumpUntil([] { return false; }, 500);
  const auto records = harness.sim().Records("SETPTT");
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const std::string& r) { return r[0] == '1'; }),
            0)
      << "the dropped keying reached the link program";
  EXPECT_FALSE(harness.Keyed());
}

// A release owed to a new instance that is itself given up on stays owed: the instance after it
// gets it.
TEST_F(ComLink, AnOwedReleaseThatIsAbandonedIsOwedToTheNextInstance) {
  harness.options() = {L"--keep-key"};
  harness.link_options.retry_ms = 500;
  harness.link_options.hung_ms = 1500;
  auto link = harness.Make({});
  link->SetPTT(true);
  harness.sim().Command("silent on");
  EXPECT_THROW(link->SetPTT(false), LinkError);  // never answered: instance 1 is given up
  ASSERT_TRUE(PumpUntil([&] { return harness.sim().Records("SETPTT").size() >= 3; }, 10000))
      << "no release owed to instance 2";
  EXPECT_EQ(harness.sim().Records("SETPTT").back(), "0 2");
  harness.sim().Command("silent off");  // instance 2 never answers either: it is given up too
  ASSERT_TRUE(PumpUntil(
      [&] {
        const auto records = harness.sim().Records("SETPTT");
        return std::find(records.begin(), records.end(), "0 3") != records.end();
      },
      10000))
      << "the release owed to instance 2 was not owed to instance 3";
  ASSERT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 5000));
}

// Instances given up on whose calls the link program never answers are bounded: past
// max_abandoned, the next one that hangs (here on the release owed to it) is waited for instead,
// and said; once the link program wakes, the held keying and the release both go through.
TEST_F(ComLink, PastTheBoundAHungInstanceIsWaitedForInsteadOfGivenUp) {
  harness.options() = {L"--keep-key"};
  harness.link_options.retry_ms = 300;
  harness.link_options.hung_ms = 1000;
  harness.link_options.max_abandoned = 1;
  ASSERT_TRUE(PumpUntil([] { return com::RetiredStillRunning() == 0; }, 5000))
      << "an instance of an earlier test still waits";
  auto link = harness.Make({});
  harness.sim().Command("silent on");
  EXPECT_THROW(link->SetPTT(true), LinkError);
  EXPECT_THROW(link->SetPTT(false), LinkError);
  const auto waited_for = [&] {
    return std::any_of(harness.statuses.begin(), harness.statuses.end(), [](const std::string& s) {
      return s.find("1 instances given up on still wait for it, so this one is waited for") !=
             std::string::npos;
    });
  };
  ASSERT_TRUE(PumpUntil(waited_for, 10000));
  PumpUntil([] { return false; }, 2000);
  EXPECT_EQ(harness.sim().Records("CONNECT").size(), 2u) << "one instance too many was made";
  harness.sim().Command("silent off");
  harness.sim().Command("wake");
  ASSERT_TRUE(PumpUntil([&] { return harness.sim().Records("SETPTT").size() >= 3; }, 10000));
  ASSERT_TRUE(PumpUntil([&] { return !harness.Keyed(); }, 5000));
  EXPECT_EQ(harness.sim().Records("SETPTT").front(), "1 1");
}

// A liveness check that hangs: the instance is given up, and the events its link program sends
// as it wakes (the end of an over) are delivered all the same; the keying for the courtesy that
// follows waits for the next instance and reaches the link program. When a key was left down on
// the abandoned instance (a link program that keeps it), that instance gets its release when it
// wakes, the next one gets it too, and the keying follows that release.
TEST(ComLinkAbandon, EventsSentAsTheInstanceWakesAreDeliveredAndTheNextKeyingGoesOut) {
  const struct {
    const char* name;
    bool keyed_before;
    std::vector<std::string> requests;  // "key instance"
  } cases[] = {
      {"idle", false, {"1 2", "0 2"}},
      {"keyed and not released", true, {"1 1", "0 1", "0 2", "1 2", "0 2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComLinkHarness harness;
    harness.options() = {L"--keep-key"};
    harness.link_options.retry_ms = 500;
    harness.link_options.hung_ms = 1500;
    std::vector<std::string> events;
    LinkEventSink sink;
    sink.PTT = [&](std::int16_t v) { events.push_back(v ? "PTT 1" : "PTT 0"); };
    auto link = harness.Make(sink);
    if (c.keyed_before) link->SetPTT(true);
    harness.sim().Command("hang 4000");
    harness.sim().Command("ptt 1");
    harness.sim().Command("ptt 0");
    if (c.keyed_before) {
      ASSERT_TRUE(PumpUntil([&] { return harness.SawStatus("Link program not answering"); }, 5000));
      EXPECT_THROW(link->SetPTT(false), LinkError);  // the courtesy's release: nowhere to go yet
    }
    ASSERT_TRUE(PumpUntil([&] { return events.size() >= 2; }, 10000))
        << "events lost around the abandon: " << events.size();
    EXPECT_EQ(events, (std::vector<std::string>{"PTT 1", "PTT 0"}));
    EXPECT_TRUE(harness.SawStatus("Link program not answering"));
    link->SetPTT(true);
    link->SetPTT(false);
    EXPECT_EQ(harness.sim().Records("SETPTT"), c.requests);
    EXPECT_FALSE(harness.Keyed());
    PumpUntil([] { return false; }, 1000);
    EXPECT_EQ(events.size(), 2u) << "an event was delivered twice";
  }
}

}  // namespace

}  // namespace corvanta

namespace corvanta {
namespace {
// The contract with a link program that owns the radio: its transmitter keeps its key when an
// object is released or cut off, until a release request comes.
class ComKeepKeyHarness : public ComLinkHarness {
 public:
  static constexpr bool kKeepsKey = true;
  ComKeepKeyHarness() {
    options().push_back(L"--keep-key");
    link_options.retry_ms = 500;
    link_options.closing_ms = 500;
  }
};

// The same contract through IDispatch alone, as with a 32-bit link program.
class ComDispatchHarness : public ComLinkHarness {
 public:
  ComDispatchHarness() { options().push_back(L"--dispatch-only"); }
};
}  // namespace
}  // namespace corvanta

namespace corvanta::contracts {
INSTANTIATE_TYPED_TEST_SUITE_P(Com, LinkContract, corvanta::ComLinkHarness);
INSTANTIATE_TYPED_TEST_SUITE_P(ComDispatch, LinkContract, corvanta::ComDispatchHarness);
INSTANTIATE_TYPED_TEST_SUITE_P(ComKeepKey, LinkContract, corvanta::ComKeepKeyHarness);
}  // namespace corvanta::contracts
