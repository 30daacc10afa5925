#pragma once
// One Corvanta per Windows session, as there is one link program per session: a second copy
// would receive the same events and key the same transmitter, so every courtesy would go out
// twice. The first copy holds a named mutex; a second copy finds it held (or, when the first runs
// as administrator, finds it there but may not open it), brings the first copy's window to the
// front (its status bar says why) and ends.
//
// Thread rules: the window thread. Nothing here blocks.

namespace corvanta::win32 {

class SessionClaim {
 public:
  SessionClaim();
  ~SessionClaim();
  SessionClaim(const SessionClaim&) = delete;
  SessionClaim& operator=(const SessionClaim&) = delete;

  // True when this copy is the session's one.
  bool claimed() const { return claimed_; }

 private:
  void* mutex_ = nullptr;  // HANDLE
  bool claimed_ = false;
};

// A second copy: brings the running copy's main window to the front, restored if minimised, and
// has it say that a second copy was started and ended. False when no such window exists.
bool ShowFirstCopy();

// The named mutex the session's copy holds. "Local\": per session, so two operators logged on to
// one machine each run their own.
inline constexpr const wchar_t* kOneCopyMutexName = L"Local\\Corvanta.OneCopyPerLink";

// The message a second copy posts to the first copy's main window.
unsigned SecondCopyMessage();

// What the first copy's status bar says then.
inline constexpr const char* kSecondCopyText =
    "A second copy of Corvanta was started and ended: one copy keys a link";

}  // namespace corvanta::win32
