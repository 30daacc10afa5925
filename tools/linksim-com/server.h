#pragma once
// The link program's side under COM: the automation class, its objects and their events, the
// way SetPTT is answered, and the commands that drive it. Everything runs on the program's main
// thread, a single-threaded apartment with its own message loop; COM calls in from there too.
#include <windows.h>

#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>

#include "tools/linksim/script.h"

namespace corvanta::linksim {

class SimObject;

class ComSimulator {
 public:
  // `dispatch_only`: behave as a 32-bit link program looks to a 64-bit client, whose custom
  // interface cannot be marshaled: only IDispatch (and the connection point) can be had.
  // `keep_key`: behave as a link program that owns the radio: its one transmitter keeps its state
  // when an object is released or its client's process ends, and a request answered after its
  // client let go is still carried out.
  ComSimulator(Log& log, AnswerPolicy policy, bool embedded, bool dispatch_only = false,
               bool keep_key = false);
  ~ComSimulator();
  ComSimulator(const ComSimulator&) = delete;
  ComSimulator& operator=(const ComSimulator&) = delete;

  // Offers the class to COM; false and `error` when it cannot.
  bool Register(std::string& error);
  void Revoke();

  // Runs the message loop until Quit; returns the exit status.
  int Run();
  // `linger_ms`: the process ends that long after the class and the objects are gone.
  void Quit(int status, long linger_ms = 0);
  bool quitting() const { return quitting_; }

  // Commands, one line at a time, and single keys.
  void Append(std::string line);
  void Key(char key);
  void EndOfInput();

  Log& log() { return log_; }
  AnswerPolicy& policy() { return policy_; }
  bool dispatch_only() const { return dispatch_only_; }
  bool keep_key() const { return keep_key_; }
  // How late to answer this request: a one-time delay first, then the policy's.
  int TakeLateMs();

  // Called by the objects.
  int Adopt(SimObject* object);
  void Forget(int id, bool keyed);
  void Answered(bool key);  // a keying request arrived
  void Carried(bool key);   // a keying request was carried out
  long CountRequest() { return ++requests_; }
  void UpdateTransmitter();
  // Runs messages until `ms` have passed (ms < 0: until the program quits).
  void Wait(long ms);
  // Runs messages until a `wake` command (or the program quits): a call held by silence.
  void WaitForWake();

 private:
  enum class WaitFor { kNone, kSleep, kConnect, kSetPtt };
  static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
  void Pump();
  void Execute(const std::string& line);
  void SendEvent(const char* name, bool on);
  void DropAll();
  void StartWait(WaitFor what, long timeout_ms);
  void EndWait();
  void OnTimer();

  Log& log_;
  AnswerPolicy policy_;
  bool embedded_;
  bool dispatch_only_;
  bool keep_key_;
  bool held_ = false;  // keep_key: the one transmitter's state, as the last request left it
  int late_once_ms_ = 0;
  long wakes_ = 0;  // `wake` commands so far: held calls wait for the count to change
  HWND window_ = nullptr;
  DWORD cookie_ = 0;
  IClassFactory* factory_ = nullptr;
  std::map<int, SimObject*> objects_;
  int next_id_ = 1;
  long requests_ = 0;
  bool transmitter_ = false;
  std::deque<std::string> queue_;
  WaitFor wait_ = WaitFor::kNone;
  bool wait_key_ = false;
  long wait_timeout_ms_ = 0;
  bool pumping_ = false;
  bool quitting_ = false;
  bool ever_connected_ = false;
  int status_ = 0;
};

// Messages the input thread posts to the simulator's window.
inline constexpr UINT kLineMessage = WM_APP + 1;  // lParam: a std::string* to take over
inline constexpr UINT kKeyMessage = WM_APP + 2;   // wParam: the key
inline constexpr UINT kEndMessage = WM_APP + 3;   // end of standard input
HWND SimulatorWindow();

}  // namespace corvanta::linksim
