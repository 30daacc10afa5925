#pragma once
// One instance of the link program's object and the thread that makes every call to it.
//
// Thread rules: Post, Retire and MayBeKeyed are for the window thread (any thread would do: they
// only take the queue's lock, and finish the calls they drop); the calls themselves run on the
// instance's own thread, in the multithreaded apartment, one after the other, and may block there
// for as long as the link program takes. A Call is written by that thread before it is marked done
// and read by the window thread after; Wait blocks the caller at most its deadline, processing
// nothing.
#include <windows.h>

#include <ocidl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "link/com/com_events.h"
#include "link/com/echolink.h"

namespace corvanta::com {

// The clock calls are timed on, in ms: GetTickCount64 unless a test puts another in.
using TickClock = ULONGLONG (*)();
TickClock& CallClock();

// The result a call gets when its instance was let go before the call started: it never crossed
// to the link program.
inline constexpr HRESULT kDropped = HRESULT_FROM_WIN32(ERROR_CANCELLED);

// One call handed to an instance's thread; the window thread waits for it, or looks at it again
// when the thread says it has ended.
struct Call {
  enum class What { kConnect, kSetPtt, kProbe, kStop };
  Call(What w, bool k);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  bool Done() const { return done.load(std::memory_order_acquire); }
  // Waits until the call is done or until `deadline_ms` after it started, whichever is first;
  // false when it is not done. The time left is read once, and a deadline already past does not
  // wait at all.
  bool WaitUntilAge(int deadline_ms) const;
  // Waits until the call is done, at most `ms` (none when negative); false when not done.
  bool WaitFor(int ms) const;
  int AgeMs() const { return static_cast<int>(CallClock()() - started); }
  // How long the link program took to answer; valid once done.
  int AnswerMs() const { return static_cast<int>(finished - started); }
  // The result is in; wakes whoever waits. The instance's thread, or the window thread for a call
  // dropped before it started.
  void Finish(HRESULT hr);

  const What what;
  const bool key;  // kSetPtt
  const ULONGLONG started;
  // Written by the instance's thread before `done`; read by the window thread after it.
  HRESULT result = S_OK;
  std::string error;         // kConnect: why it failed
  bool by_dispatch = false;  // kConnect: SetPTT goes through IDispatch
  ULONGLONG finished = 0;
  bool owed = false;  // a release Retire queued: counted in ReleasesOnTheWay until it has run
  std::atomic<bool> done{false};
  HANDLE event;
};

// Releases that instances let go of still owe their link program: queued behind a call that has
// not returned yet. The program must not end before they have gone out.
int ReleasesOnTheWay();

// Instances let go of whose threads have not ended yet: nearly always those held by a call the
// link program has not answered. Each holds a thread and whatever COM keeps for its call.
int RetiredStillRunning();

// A call the link program never answers keeps the thread and the calls behind it: the window
// thread then retires the worker, and the thread ends when (if ever) the call returns, after its
// last call (kStop) has ended the subscription and released the instance.
class Worker {
 public:
  static std::shared_ptr<Worker> Start(HWND window, std::shared_ptr<Mailbox> mailbox);

  std::shared_ptr<Call> Post(Call::What what, bool key = false);
  // A release owed to the link program (a key an earlier instance or request may have left
  // down): counted in ReleasesOnTheWay until it has run, so the program does not end before.
  std::shared_ptr<Call> PostOwedRelease();
  // Lets go of the instance. Calls not started yet are dropped (done, with kDropped): a keying
  // queued behind a hung call must never reach the link program after its courtesy was given up.
  // When a key may be down on this instance, a release is queued on its own thread first, so it
  // follows the keying under way whenever that is answered. Returns the last call, after which
  // the thread ends.
  std::shared_ptr<Call> Retire();
  // A keying has started on this instance and no release was confirmed after it.
  bool MayBeKeyed();

 private:
  Worker(HWND window, std::shared_ptr<Mailbox> mailbox)
      : window_(window), mailbox_(std::move(mailbox)) {}

  void Run();
  void Execute(Call& call);
  HRESULT Connect(Call& call);
  bool EventIds(DISPID& ptt, DISPID& tx);
  HRESULT SetPtt(bool key);
  void Release();

  const HWND window_;
  const std::shared_ptr<Mailbox> mailbox_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Call>> queue_;  // under mutex_
  bool may_be_keyed_ = false;                // under mutex_
  bool retired_ = false;                     // under mutex_
  // The instance's thread only.
  IDispatch* object_ = nullptr;
  IEchoLinkAutomation* dual_ = nullptr;
  DISPID set_ptt_id_ = DISPID_UNKNOWN;
  IConnectionPoint* point_ = nullptr;
  EventSink* sink_ = nullptr;
  DWORD cookie_ = 0;
};

}  // namespace corvanta::com
