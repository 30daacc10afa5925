#include "engine/courtesy.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "audio/audio_state.h"
#include "audio/sound_device.h"
#include "core/errors.h"
#include "core/link.h"
#include "core/main_window.h"
#include "core/platform.h"
#include "core/state.h"
#include "core/station_log.h"
#include "core/transmissions.h"
#include "engine/morse_sender.h"
#include "engine/morse_table.h"
#include "engine/tone_generator.h"

namespace corvanta {
namespace {

// Transmissions that have asked for the key and not yet given it back. Only the last of them
// releases it: a transmission nested into another must not unkey the rest of the outer one.
int g_key_holders = 0;

struct Shape {
  const char* name;
  Picture picture;
  std::int16_t* flag;
  std::string* text;
  std::int64_t event_ns = -1;  // the link event that asked for it; -1: now
};

// Where a transmission was when it failed, for an honest report on the transmitter.
enum class Step { kBeforeKeying, kKeying, kKeyed, kReleasing };

// The held link object at the moment of the call: a nested Send may have replaced or emptied it.
LinkObject* HeldLink() {
  MainWindow* w = MainWindowRef();
  return w != nullptr ? w->Echolink.get() : nullptr;
}

void SetStatus(const std::string& text) {
  if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
}

// Sends the release after a failure and says how it went, as a tail for the status text.
std::string Release(const char* sent) {
  LinkObject* link = HeldLink();
  if (link == nullptr) return "; no link object is held to release the key";
  try {
    link->SetPTT(false);
    return sent;
  } catch (const LinkError& e) {
    if (e.fate == LinkError::Fate::kQueued) return "; release sent once the link program answers";
    if (e.released) return "; the link program released the key when the connection closed";
    return std::string("; the key could not be released (") + e.what() + ")";
  } catch (const std::exception& e) {
    return std::string("; the key could not be released (") + e.what() + ")";
  }
}

// What became of the transmitter after a failure, as a tail for the status text. `last` is true
// when no other transmission holds the key, so releasing it is this one's job.
std::string SettleKey(Step step, const std::exception& error, bool last) {
  const auto* link_error = dynamic_cast<const LinkError*>(&error);
  if (step == Step::kBeforeKeying) return "; nothing keyed";
  if (step == Step::kKeying && link_error != nullptr && !link_error->acted()) {
    return last ? "; nothing keyed"
                : "; the key stays down for the transmission this one is nested in";
  }
  const bool released = link_error != nullptr && link_error->released;
  // A link program may key and still refuse, or key after its answer was given up on: after any
  // keying request that reached it, the last holder sends one release whatever the answer was.
  if (released && (step != Step::kKeying || !last)) {
    return "; the link program released the key when the connection closed";
  }
  if (!last) return "; the key stays down for the transmission this one is nested in";
  if (link_error != nullptr && link_error->fate == LinkError::Fate::kQueued) {
    return "; release sent once the link program answers";
  }
  if (step == Step::kKeying) return Release("; release sent");
  // The key counts as down from the moment it was asked for, so the release is tried whatever
  // happened.
  return Release("; key released");
}

// The head of the status text: which transmission failed, and how.
std::string FailureText(const char* name, Step step, const std::exception& error) {
  const auto* link_error = dynamic_cast<const LinkError*>(&error);
  std::string text = std::string(name) + " failed: ";
  if (step != Step::kKeying || link_error == nullptr || !link_error->acted()) {
    return text + error.what();
  }
  const char* how = link_error->fate == LinkError::Fate::kRefused      ? "keying refused ("
                    : link_error->fate == LinkError::Fate::kUnanswered ? "keying unanswered ("
                                                                       : "keying failed (";
  return text + how + error.what() + ")";
}

void SetPicture(Picture picture, bool visible) {
  if (MainWindow* w = MainWindowRef()) {
    w->SetPictureVisible(picture, visible);
    w->Refresh();
  }
}

// How a transmission went, for the station log.
struct Outcome {
  std::int64_t keyed_ns = -1;     // when the link program confirmed the key down
  std::int64_t released_ns = -1;  // when it confirmed the release
  std::string failure;            // the status text of a failure; empty when it went out
};

// Keys the held link object, runs `send`, and gives the key back: the outermost holder releases
// it, a nested one leaves it down. Whatever fails, the key is settled and reported here.
Outcome Keyed(const char* name, std::int32_t before_ms, std::int32_t around_ms,
              const std::function<void()>& send, std::int64_t event_ns = -1) {
  Outcome outcome;
  // The pauses, the symbols and the release follow deadlines counted from here, or from the
  // event: the device opening it made then is taken out of the pause before the keying.
  TimelineScope timeline(event_ns);
  Step step = Step::kBeforeKeying;
  try {
    PrepareOutput(Settings.ToneFrequency);  // settled by the first tone, 250 ms or more ahead
    if (before_ms > 0) Sleep(before_ms);
    if (HeldLink() == nullptr) CreateLinkObject();  // after a Send nothing is held
    LinkObject* link = HeldLink();
    if (link == nullptr) {
      throw LinkError("the link program is not connected", LinkError::Fate::kNotSent);
    }
    step = Step::kKeying;
    ++g_key_holders;
    link->SetPTT(true);
    outcome.keyed_ns = TimelineNowNs();
    // The transmitter gets its whole pause before the first tone *heard* from the confirmation
    // on, however long the answer took: the tones are written ahead by the output path's length.
    // A path longer than the pause delays them instead; the pause is never shorter.
    const std::int64_t path_ns = OutputPathNs();
    const std::int64_t ahead_ns = std::min<std::int64_t>(path_ns, around_ms * 1'000'000LL);
    Services().AnchorTimeline(outcome.keyed_ns - ahead_ns);
    step = Step::kKeyed;
    Sleep(around_ms);
    send();
    // And the release a whole pause after the last tone is heard: the path's length after the
    // instant its end was written.
    if (path_ns > 0) Services().AnchorTimeline(EdgeInstantNs() + path_ns);
    Sleep(around_ms);
    step = Step::kReleasing;
    if (g_key_holders == 1) {
      if (LinkObject* held = HeldLink()) {
        held->SetPTT(false);
        outcome.released_ns = TimelineNowNs();
      }
    }
    --g_key_holders;
  } catch (const std::exception& e) {
    const bool holding = step != Step::kBeforeKeying;
    std::string text = FailureText(name, step, e);
    text += SettleKey(step, e, holding && g_key_holders == 1);
    if (holding) --g_key_holders;
    if (dynamic_cast<const AudioError*>(&e) != nullptr) OutputTrouble(e.what());
    SetStatus(text);
    outcome.failure = text;
  }
  return outcome;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// The station log's line for a transmission, stamped at its end so that the log stays in the
// order of time: which, its character, the key's time down as the link program confirmed it, and
// how it ended.
void LogTransmission(const char* name, const std::string& character, const Outcome& outcome) {
  std::string line = std::string(name) + " " + Quoted(character) + ": ";
  if (outcome.keyed_ns >= 0 && outcome.released_ns >= 0) {
    char span[48];
    std::snprintf(span, sizeof span, "keyed %.1f ms, ",
                  static_cast<double>(outcome.released_ns - outcome.keyed_ns) / 1e6);
    line += span;
  } else if (outcome.keyed_ns >= 0 && outcome.failure.empty()) {
    line += "keyed, the release left to the transmission this one is nested in, ";
  }
  if (!outcome.failure.empty()) {
    line += outcome.failure;
  } else if (Closing()) {
    line += "cut short: the program is closing";
  } else if (std::string copy = character; MorseFor(copy).empty()) {
    line += "sent, but no Morse pattern for it: nothing sounded";
  } else {
    line += "sent";
  }
  LogLine(line);
}

void Transmit(const Shape& s) {
  if (Closing()) {
    // The program is going: nothing more goes on the air.
    LogLine(std::string(s.name) + " " + Quoted(*s.text) + ": not sent: the program is closing");
    return;
  }
  const std::string character = *s.text;  // a nested handler may change the setting meanwhile
  TransmissionScope scope;
  SetPicture(s.picture, true);
  *s.flag = kTrue;
  const Outcome outcome = Keyed(
      s.name, 100, 150,
      [&s] {
        std::string pattern = MorseFor(*s.text);
        SendMorse(pattern);
      },
      s.event_ns);
  *s.flag = kFalse;
  SetPicture(s.picture, false);
  LogTransmission(s.name, character, outcome);
}

}  // namespace

void PlayTxCourtesy(std::int64_t event_ns) {
  Transmit(
      {"TX courtesy", Picture::picTX, &Flags.TxTonePlaying, &Settings.TxCourtesyText, event_ns});
}

void PlayRxCourtesy(std::int64_t event_ns) {
  Transmit(
      {"RX courtesy", Picture::picRX, &Flags.RxTonePlaying, &Settings.RxCourtesyText, event_ns});
}

void PlayTxCourtesy() {
  PlayTxCourtesy(-1);
}

void PlayRxCourtesy() {
  PlayRxCourtesy(-1);
}

void cmdTest_Click() {
  // Keying the transmitter for a character nobody hears helps no one: like a link event whose
  // device cannot be opened, Test without an open output keys nothing.
  if (!Audio.SoundDevice) {
    const char* text = "Test skipped: no sound output is open; nothing keyed";
    SetStatus(text);
    LogLine(text);
    return;
  }
  Transmit({"Test", Picture::picTX, &Flags.TxTonePlaying, &Settings.TxCourtesyText});
}

void CmdSend_Click() {
  if (Closing()) return;
  TransmissionScope scope;
  try {
    MainWindow& w = Window();
    w.Echolink = NewLinkObject();
    CreateSoundDevice();
  } catch (const std::exception& e) {
    const std::string text = std::string("Send failed: ") + e.what() + "; nothing keyed";
    SetStatus(text);
    LogLine(text);
    if (MainWindow* w = MainWindowRef()) w->Echolink.reset();
    return;
  }
  const std::string character = Settings.RxCourtesyText;
  const Outcome outcome = Keyed("Send", 0, 200, [] {
    std::string pattern = MorseFor(Settings.RxCourtesyText);
    SendMorse(pattern);
  });
  LogTransmission("Send", character, outcome);
  if (MainWindow* w = MainWindowRef()) w->Echolink.reset();
}

}  // namespace corvanta
