#include "engine/courtesy.h"

#include <cstdint>
#include <exception>
#include <string>

#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "engine/morse_sender.h"
#include "engine/morse_table.h"

namespace corvanta {
namespace {

int g_depth = 0;
bool g_ending = false;
std::function<void()> g_after_end;

struct Shape {
  const char* name;
  Picture picture;
  std::int16_t* flag;
  std::string* text;
};

// Keeps the transmission count right on every way out, and passes an end request on to the
// transmission this one is nested in.
class DepthGuard {
 public:
  DepthGuard() { ++g_depth; }
  ~DepthGuard() {
    --g_depth;
    if (!g_ending) return;
    if (g_depth > 0) {
      // The inner send consumed the request; the outer one must end at its next symbol too.
      Settings.SendState = 2;
      return;
    }
    g_ending = false;
    Settings.SendState = 0;
    if (auto then = std::move(g_after_end)) {
      g_after_end = nullptr;
      try {
        then();
      } catch (const std::exception& e) {
        if (MainWindow* w = MainWindowRef()) w->SetStatusText(e.what());
      }
    }
  }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
};

// The held link object at the moment of the call: a nested Send may have replaced or emptied it.
LinkObject* HeldLink() {
  MainWindow* w = MainWindowRef();
  return w != nullptr ? w->Echolink.get() : nullptr;
}

// Releases the key after a failure. Returns what went wrong with the release, empty on success.
std::string ReleaseAfterFailure() {
  LinkObject* link = HeldLink();
  if (link == nullptr) return "no link object is held";
  try {
    link->SetPTT(false);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

void Report(const char* name, const std::string& error, bool keyed) {
  std::string text = std::string(name) + " failed: " + error;
  if (keyed) {
    const std::string release_error = ReleaseAfterFailure();
    text += release_error.empty() ? "; key released"
                                  : "; the key could not be released (" + release_error + ")";
  }
  if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
}

void SetPicture(Picture picture, bool visible) {
  if (MainWindow* w = MainWindowRef()) {
    w->SetPictureVisible(picture, visible);
    w->Refresh();
  }
}

void Transmit(const Shape& s) {
  DepthGuard depth;
  SetPicture(s.picture, true);
  *s.flag = kTrue;
  // The key counts as down from the moment it was asked for: a request that timed out may
  // still have keyed the transmitter.
  bool keyed = false;
  try {
    Sleep(100);
    if (HeldLink() == nullptr) CreateLinkObject();  // after a Send nothing is held
    LinkObject* link = HeldLink();
    if (link == nullptr) throw LinkError("the link program is not connected");
    keyed = true;
    link->SetPTT(true);
    Sleep(150);
    std::string pattern = MorseFor(*s.text);
    SendMorse(pattern);
    Sleep(150);
    link = HeldLink();
    if (link != nullptr) link->SetPTT(false);
    keyed = false;
  } catch (const std::exception& e) {
    Report(s.name, e.what(), keyed);
  }
  *s.flag = kFalse;
  SetPicture(s.picture, false);
}

}  // namespace

void PlayTxCourtesy() {
  Transmit({"TX courtesy", Picture::picTX, &Flags.TxTonePlaying, &Settings.TxCourtesyText});
}

void PlayRxCourtesy() {
  Transmit({"RX courtesy", Picture::picRX, &Flags.RxTonePlaying, &Settings.RxCourtesyText});
}

void cmdTest_Click() {
  Transmit({"Test", Picture::picTX, &Flags.TxTonePlaying, &Settings.TxCourtesyText});
}

void CmdSend_Click() {
  DepthGuard depth;
  bool keyed = false;
  try {
    MainWindow& w = Window();
    w.Echolink = NewLinkObject();
    CreateSoundDevice();
    keyed = true;
    w.Echolink->SetPTT(true);
    Sleep(200);
    std::string pattern = MorseFor(Settings.RxCourtesyText);
    SendMorse(pattern);
    Sleep(200);
    if (LinkObject* link = HeldLink()) link->SetPTT(false);
    keyed = false;
  } catch (const std::exception& e) {
    Report("Send", e.what(), keyed);
  }
  if (MainWindow* w = MainWindowRef()) w->Echolink.reset();
}

int TransmissionDepth() {
  return g_depth;
}

void EndTransmissions(std::function<void()> then) {
  if (g_depth == 0) {
    if (then) then();
    return;
  }
  g_ending = true;
  g_after_end = std::move(then);
  Settings.SendState = 2;
}

}  // namespace corvanta
