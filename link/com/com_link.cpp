#include "link/com/com_link.h"

#include <windows.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/transmissions.h"
#include "link/com/class_registry.h"
#include "link/com/com_events.h"
#include "link/com/com_results.h"
#include "link/com/com_worker.h"
#include "link/com/echolink.h"
#include "link/link_event_queue.h"

namespace corvanta {

namespace {

using com::Call;
using com::IsGone;
using com::kWakeMessage;
using com::Mailbox;
using com::ResultText;
using com::Seconds;
using com::Worker;

constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT_PTR kWatchTimer = 2;

class Connection final : public std::enable_shared_from_this<Connection> {
 public:
  Connection(ComLinkOptions options, LinkEventSink sink)
      : options_(std::move(options)), sink_(std::move(sink)) {
    window_ = ::CreateWindowExW(0, WindowClass(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    if (window_ == nullptr) {
      throw LinkError("cannot make the link's message window: " +
                          ResultText(HRESULT_FROM_WIN32(::GetLastError())),
                      LinkError::Fate::kNotSent);
    }
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }

  ~Connection() {
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    Stop(false);
    CloseRetiredMailboxes();
    ::DestroyWindow(window_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Start-up creates the object as the program always has, which may start the link program.
  void Start() { TryConnect(true); }

  // The owner let go: no more events, no retries; the instance is released on its thread.
  void Detach() {
    // A release owed with no instance to take it (a link program that cut us off while keyed, not
    // attached to again yet) cannot go out: asking COM for the class now could start a copy of a
    // link program that is closing. Said, so the operator checks the transmitter.
    if (release_owed_ && state_ != State::kConnected) {
      Status("Link program not connected (" + ComLinkName() +
             "): the release owed to it could not be sent; the transmitter may still be keyed");
    }
    attached_ = false;
    sink_ = {};
    pending_.clear();
    ::KillTimer(window_, kRetryTimer);
    ::KillTimer(window_, kWatchTimer);
    Stop(true);
    CloseRetiredMailboxes();
  }

  void SetPTT(bool key) {
    if (!key) wanted_ = false;  // whatever happens to this call, no courtesy holds the key now
    // An instance being made (after a loss or an abandon, the link program just awake) may be
    // ready within a keying's deadline. A release does not wait: it is owed to that instance.
    if (key && state_ == State::kConnecting && connect_ &&
        connect_->WaitFor(options_.answer_timeout_ms)) {
      OnConnectDone();
    }
    // A request of our own sent without waiting (a release owed to this instance, perhaps sent
    // just now) gets the same deadline a request of the caller's would; one already given up on
    // gets none.
    for (int i = 0; i < 2 && late_; ++i) {  // twice: an answer may be followed by our release
      late_->WaitUntilAge(options_.answer_timeout_ms);
      if (late_->Done()) OnLateDone();
    }
    if (state_ != State::kConnected) {
      throw LinkError("the link program is not connected", LinkError::Fate::kNotSent,
                      !key && released_on_close_);
    }
    if (late_) {
      if (!key) {
        throw LinkError(
            "the link program has not answered an earlier request; the release goes "
            "out once it does",
            LinkError::Fate::kQueued);
      }
      throw LinkError("the link program has not answered an earlier request",
                      LinkError::Fate::kNotSent);
    }
    const std::shared_ptr<Call> call = worker_->Post(Call::What::kSetPtt, key);
    if (key) {
      wanted_ = true;
      keyed_here_ = true;  // it may key whatever it answers
      released_on_close_ = false;
    }
    if (!call->WaitFor(options_.answer_timeout_ms)) {
      // The instance is kept: the answer may still come, and what it did is settled then.
      late_ = call;
      throw LinkError("the link program did not answer within " +
                          std::to_string(options_.answer_timeout_ms) + " ms",
                      LinkError::Fate::kUnanswered);
    }
    const HRESULT hr = call->result;
    if (SUCCEEDED(hr)) {
      if (!key) keyed_here_ = false;
      return;
    }
    if (IsGone(hr)) {
      Lost(ResultText(hr));
      throw LinkError("the connection to the link program was lost", LinkError::Fate::kLost,
                      released_on_close_);
    }
    throw LinkError("the link program refused: " + ResultText(hr), LinkError::Fate::kRefused);
  }

 private:
  enum class State { kAway, kConnecting, kConnected };

  static const wchar_t* WindowClass() {
    static const wchar_t* name = [] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &WindowProc;
      wc.hInstance = ::GetModuleHandleW(nullptr);
      wc.lpszClassName = L"CorvantaComLink";
      ::RegisterClassW(&wc);
      return L"CorvantaComLink";
    }();
    return name;
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
    auto* self = reinterpret_cast<Connection*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return ::DefWindowProcW(window, message, w, l);
    // A handler may end in the owner's release; the connection outlives it.
    const std::shared_ptr<Connection> keep = self->shared_from_this();
    if (message == kWakeMessage) {
      self->OnWake();
      return 0;
    }
    if (message == WM_TIMER) {
      if (w == kRetryTimer) {
        ::KillTimer(window, kRetryTimer);
        self->TryConnect(false);
      } else if (w == kWatchTimer) {
        self->OnWatch();
      }
      return 0;
    }
    return ::DefWindowProcW(window, message, w, l);
  }

  // Starts making an instance. After a loss only a link program that runs is attached to: asking
  // COM for the class would start one its operator has just closed. One that has just started is
  // given settle_ms to offer its class first, or COM would start a second copy.
  void TryConnect(bool first) {
    if (!attached_ || worker_) return;
    if (!first) {
      if (StillClosing()) {
        ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.settle_ms / 2), nullptr);
        return;
      }
      const long long running_ms = com::LinkProgramRunningMs();
      if (running_ms < 0 && !closed_said_) {
        closed_said_ = true;
        Status("Link program closed; waiting for it to run again (" + ComLinkName() + ")");
      }
      if (running_ms < options_.settle_ms) {
        // Looked for more often than a retry, so that it is attached to soon after it starts.
        ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.settle_ms / 2), nullptr);
        return;
      }
    }
    first_ = first;
    mailbox_ = std::make_shared<Mailbox>(window_, options_.max_pending_events);
    worker_ = Worker::Start(window_, mailbox_);
    connect_ = worker_->Post(Call::What::kConnect);
    state_ = State::kConnecting;
    ::SetTimer(window_, kWatchTimer, static_cast<UINT>(options_.retry_ms), nullptr);
    if (first && connect_->WaitFor(options_.connect_wait_ms)) OnConnectDone();
  }

  void OnConnectDone() {
    const std::shared_ptr<Call> call = std::move(connect_);
    if (SUCCEEDED(call->result)) {
      state_ = State::kConnected;
      closed_said_ = false;
      // Subscribed: what the link program sends from now on comes here; an instance given up on
      // has delivered whatever it was sent before.
      TakeEvents();
      CloseRetiredMailboxes();
      NoteKnownProcesses();
      lost_pids_.clear();
      Status("Link program connected (" + ComLinkName() + "; SetPTT through " +
             (call->by_dispatch ? "IDispatch" : "its interface") + ")");
      // A key the lost or abandoned instance may have left down: the release goes to this one.
      if (release_owed_ && !wanted_) SendReleaseWithoutWaiting();
      release_owed_ = false;
      return;
    }
    Stop(false);
    if (first_) {
      Status("Link program not connected (" + ComLinkName() + "): " + call->error +
             "; retrying every " + Seconds(options_.retry_ms));
    }
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // A request the window thread stopped waiting for has been answered.
  void OnLateDone() {
    const std::shared_ptr<Call> call = std::move(late_);
    hung_said_ = false;
    if (IsGone(call->result)) {
      Lost(ResultText(call->result));
      return;
    }
    const std::string what = std::string("SetPTT(") + (call->key ? "true" : "false") + ")";
    if (SUCCEEDED(call->result) && !call->key) keyed_here_ = false;
    // A key that no courtesy holds any more goes up again at once.
    const bool release = call->key && !wanted_;
    if (call->AnswerMs() > options_.answer_timeout_ms || FAILED(call->result)) {
      Status("Link program answered " + what + " after " + std::to_string(call->AnswerMs()) +
             " ms" + (FAILED(call->result) ? " (refused: " + ResultText(call->result) + ")" : "") +
             (release ? "; releasing the key" : ""));
    }
    if (release) SendReleaseWithoutWaiting();
  }

  void OnProbeDone() {
    const std::shared_ptr<Call> call = std::move(probe_);
    hung_said_ = false;
    if (IsGone(call->result)) {
      Lost(ResultText(call->result));
    } else if (FAILED(call->result)) {
      Log("the liveness check failed: " + ResultText(call->result));
    }
  }

  // Every retry_ms while an instance exists: the liveness check, and the end of waiting for a
  // link program that does not answer.
  void OnWatch() {
    if (!worker_) {
      ::KillTimer(window_, kWatchTimer);
      return;
    }
    const std::string hung = " unanswered for " + Seconds(options_.hung_ms);
    if (late_ && !late_->Done() && late_->AgeMs() >= options_.hung_ms) {
      return AbandonUnlessTooMany(std::string("SetPTT(") + (late_->key ? "true" : "false") + ")" +
                                  hung);
    }
    if (probe_ && !probe_->Done() && probe_->AgeMs() >= options_.hung_ms) {
      return AbandonUnlessTooMany("a call" + hung);
    }
    if (connect_ && !connect_->Done() && connect_->AgeMs() >= options_.hung_ms) {
      // A new attempt would wait for the same link program; once it is gone, one may start.
      if (com::LinkProgramRunningMs() < 0) return Abandon("the creation of its object" + hung);
      if (!hung_said_) {
        hung_said_ = true;
        Status("Link program not answering (" + ComLinkName() + "): the creation of its object" +
               hung + "; waiting");
      }
      return;
    }
    // No call crosses to the link program in the middle of a transmission.
    if (state_ == State::kConnected && !late_ && !probe_ && TransmissionDepth() == 0) {
      if (!wanted_ && NewerLinkProgram()) return AttachToNewer();
      probe_ = worker_->Post(Call::What::kProbe);
    }
  }

  // The link program was started again while an older process of it still runs (one its operator
  // closed but that our instance keeps alive, hidden): the events come from the newer one. Each
  // new process is looked at once, when it has settled.
  bool NewerLinkProgram() {
    std::vector<com::LinkProcess> processes;
    return com::LinkProgramProcesses(processes) &&
           com::NewerBesideKnown(processes, options_.settle_ms, known_pids_);
  }

  // Lets go of the older process's instance (which lets that process end) and makes one of the
  // newer process's at once.
  void AttachToNewer() {
    Status("Link program started again (" + ComLinkName() + "); attaching to the newer one");
    OweRelease();
    keyed_here_ = false;
    Stop(false);
    TryConnect(false);
  }

  // The processes of the link program that run as its instance is lost: one of them may be
  // closing (its class and objects gone first, its process after).
  void NoteLostProcesses() {
    lost_pids_ = RunningPids();
    lost_at_ms_ = ::GetTickCount64();
  }

  static std::vector<DWORD> RunningPids() {
    std::vector<DWORD> pids;
    std::vector<com::LinkProcess> processes;
    if (com::LinkProgramProcesses(processes)) {
      for (const com::LinkProcess& p : processes) pids.push_back(p.pid);
    }
    return pids;
  }

  // Within closing_ms of a loss, while only processes that ran at the loss run: they may be on
  // their way out, and COM asked for the class would start a copy the operator did not.
  bool StillClosing() {
    if (lost_pids_.empty()) return false;
    if (::GetTickCount64() - lost_at_ms_ >= static_cast<ULONGLONG>(options_.closing_ms)) {
      lost_pids_.clear();
      return false;
    }
    std::vector<com::LinkProcess> processes;
    if (!com::LinkProgramProcesses(processes) || processes.empty()) return false;
    for (const com::LinkProcess& p : processes) {
      if (std::find(lost_pids_.begin(), lost_pids_.end(), p.pid) == lost_pids_.end()) {
        return false;  // another process offers the class: attached to as usual
      }
    }
    return true;
  }

  // The link program's processes that run as an instance is connected.
  void NoteKnownProcesses() { known_pids_ = RunningPids(); }

  // The events waiting in the mailboxes: those of instances given up on first, as they came
  // before any of the current one's.
  void TakeEvents() {
    std::size_t dropped = 0;
    auto take = [&](Mailbox& mailbox) {
      std::size_t lost = 0;
      for (const Mailbox::Event& e : mailbox.Take(lost)) {
        if (!pending_.Push(e.kind, e.value)) ++dropped;
      }
      dropped += lost;
    };
    for (const std::shared_ptr<Mailbox>& retired : retired_mailboxes_) take(*retired);
    if (mailbox_) take(*mailbox_);
    if (dropped > 0) Log("too many link events waiting; dropped " + std::to_string(dropped));
  }

  void CloseRetiredMailboxes() {
    for (const std::shared_ptr<Mailbox>& retired : retired_mailboxes_) retired->Close();
    retired_mailboxes_.clear();
  }

  void OnWake() {
    TakeEvents();
    if (connect_ && connect_->Done()) OnConnectDone();
    if (late_ && late_->Done()) OnLateDone();
    if (probe_ && probe_->Done()) OnProbeDone();
    delivery_posted_ = false;
    DeliverPending();
  }

  // A release of our own, not waited for: counted until it has run (ComLinkReleasesSent).
  void SendReleaseWithoutWaiting() { late_ = worker_->PostOwedRelease(); }

  // Lets go of the current instance: calls not started are dropped, a key it may hold gets a
  // release on its own thread, and its thread ends the subscription and releases it after the
  // call under way. `wait`: up to the answer timeout, unless it is known not to answer.
  // `keep_events`: an instance that does not answer stays subscribed until its call returns, and
  // what its link program sends meanwhile is still delivered, until a new instance is subscribed.
  void Stop(bool wait, bool keep_events = false) {
    if (!worker_) return;
    if (attached_) TakeEvents();  // what came while the window thread waited is still delivered
    if (keep_events) {
      retired_mailboxes_.push_back(mailbox_);
    } else {
      mailbox_->Close();
    }
    const bool stuck = late_ || (connect_ && !connect_->Done());
    const std::shared_ptr<Call> stop = worker_->Retire();
    if (wait && !stuck) stop->WaitFor(options_.answer_timeout_ms);
    worker_.reset();
    mailbox_.reset();
    connect_.reset();
    late_.reset();
    probe_.reset();
    state_ = State::kAway;
    hung_said_ = false;
  }

  // What the link program may still have keyed for us; the next instance gets the release. A
  // request still unanswered, a release owed from an earlier instance included, counts: the key
  // may be down whatever it was.
  void OweRelease() {
    if (keyed_here_ || (late_ && (late_->key || !late_->Done())) ||
        (worker_ && worker_->MayBeKeyed())) {
      release_owed_ = true;
    }
  }

  // The link program's process, or our connection to it, is gone.
  void Lost(const std::string& why) {
    NoteLostProcesses();
    OweRelease();
    // Only a link program whose process ended has let go of its transmitter; one that cut its
    // clients off while it runs may hold the key still (its release is owed to the next instance).
    if (keyed_here_ && com::LinkProgramRunningMs() < 0) released_on_close_ = true;
    keyed_here_ = false;
    Stop(false);
    if (!attached_) return;
    Status("Link program lost (" + ComLinkName() + "): " + why + "; retrying every " +
           Seconds(options_.retry_ms));
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // The link program does not answer: its instance is given up, its thread left to the call.
  void Abandon(const std::string& why) {
    OweRelease();
    keyed_here_ = false;
    Stop(false, true);
    Status("Link program not answering (" + ComLinkName() + "): " + why +
           "; abandoned, connecting again");
    ::SetTimer(window_, kRetryTimer, static_cast<UINT>(options_.retry_ms), nullptr);
  }

  // Each instance given up on keeps a thread, and what COM holds for its call, until the link
  // program answers; one that never does would grow the program by that much each time (every
  // hung_ms, when each new instance inherits a release that hangs too). So past max_abandoned such
  // instances, one more that does not answer is waited for instead: its calls, and the releases
  // queued behind them, go out when it wakes.
  void AbandonUnlessTooMany(const std::string& why) {
    const int waiting = com::RetiredStillRunning();
    if (waiting < options_.max_abandoned) return Abandon(why);
    if (!hung_said_) {
      hung_said_ = true;
      Status("Link program not answering (" + ComLinkName() + "): " + why + "; " +
             std::to_string(waiting) +
             " instances given up on still wait for it, so this one is waited for");
    }
  }

  // Delivers every waiting event in order (link/link_event_queue.h); what is still waiting goes
  // out through a new post, from the message processing of a transmission a handler starts.
  void DeliverPending() {
    pending_.Deliver(
        sink_, [this] { return attached_; },
        [this] {
          if (delivery_posted_) return;
          delivery_posted_ = true;
          ::PostMessageW(window_, kWakeMessage, 0, 0);
        },
        [this](const std::string& text) { Status(text); });
  }

  void Status(const std::string& text) {
    if (attached_ && options_.status) options_.status(text);
  }
  void Log(const std::string& text) {
    if (++logged_ <= 20) {
      std::cerr << "corvanta: link: " << text << '\n';
    } else if (logged_ == 21) {
      std::cerr << "corvanta: link: further link messages are not logged\n";
    }
  }

  ComLinkOptions options_;
  LinkEventSink sink_;
  HWND window_ = nullptr;
  bool attached_ = true;
  State state_ = State::kAway;
  std::shared_ptr<Worker> worker_;
  std::shared_ptr<Mailbox> mailbox_;
  // Mailboxes of instances given up on while still subscribed, open until the next subscription.
  std::vector<std::shared_ptr<Mailbox>> retired_mailboxes_;
  std::shared_ptr<Call> connect_;  // the creation under way
  std::shared_ptr<Call> late_;     // a request the window thread stopped waiting for
  std::shared_ptr<Call> probe_;    // the liveness check under way
  LinkEventQueue pending_{options_.max_pending_events};
  bool delivery_posted_ = false;
  bool first_ = true;
  bool wanted_ = false;             // a courtesy holds the key: the last keying was not released
  bool keyed_here_ = false;         // the link program may hold a key for us
  bool released_on_close_ = false;  // an instance that had keyed went away since the last keying
  bool release_owed_ = false;       // the next instance gets a release
  bool closed_said_ = false;
  bool hung_said_ = false;
  std::vector<DWORD> known_pids_;  // the link program's processes when last connected
  std::vector<DWORD> lost_pids_;   // those running at the last loss, within closing_ms of it
  ULONGLONG lost_at_ms_ = 0;
  int logged_ = 0;
};

class ComLinkObject final : public LinkObject {
 public:
  ComLinkObject(const ComLinkOptions& options, LinkEventSink sink)
      : connection_(std::make_shared<Connection>(options, std::move(sink))) {
    connection_->Start();
  }
  ~ComLinkObject() override { connection_->Detach(); }
  ComLinkObject(const ComLinkObject&) = delete;
  ComLinkObject& operator=(const ComLinkObject&) = delete;

  void SetPTT(bool key) override {
    // The connection lives through the call even if an event handler run meanwhile let go of us.
    const std::shared_ptr<Connection> keep = connection_;
    keep->SetPTT(key);
  }

 private:
  std::shared_ptr<Connection> connection_;
};

}  // namespace

std::string ComLinkName() {
  wchar_t text[40] = {};
  ::StringFromGUID2(CLSID_EchoLinkAutomation, text, 40);
  return "com:" + com::Narrow(text);
}

bool ComLinkReleasesSent() {
  return com::ReleasesOnTheWay() == 0;
}

LinkFactory ComLinkFactory(ComLinkOptions options) {
  return [options = std::move(options)](LinkEventSink sink) -> std::unique_ptr<LinkObject> {
    return std::make_unique<ComLinkObject>(options, std::move(sink));
  };
}

}  // namespace corvanta
