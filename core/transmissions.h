#pragma once
// Courtesy transmissions in progress, and what must wait for them.
//
// While a transmission runs the link transmitter is keyed, so nothing on the window thread may
// wait for the operator: a message box or the About window asked for meanwhile is deferred until
// the outermost transmission has released the key (the status bar gets the text at once). Closing
// the program ends every transmission at its next symbol first.
//
// Thread rules: window thread only; the counts are unsynchronised. Nothing here blocks by itself;
// the deferred actions and the closing requests run from the destructor of the outermost
// TransmissionScope, that is from inside the handler (a click or a link event) that started the
// transmission, or at once inside WhenIdle and EndTransmissions when none runs. An action may
// block there (a message box waits for the operator and runs other handlers meanwhile) and may
// start a transmission of its own. The actions are held here until they run or are dropped, so
// what they capture must stay valid that long.
#include <functional>
#include <string>

namespace corvanta {

// How many transmissions are running now (nested ones included).
int TransmissionDepth();

// Marks one transmission as running for its lifetime. When the outermost one ends:
// - if closing was requested (EndTransmissions), SendState goes back to 0, every closing request
//   runs in the order given and the deferred actions are dropped (the program is going);
// - otherwise the deferred actions run in the order they were deferred.
class TransmissionScope {
 public:
  TransmissionScope();
  ~TransmissionScope();
  TransmissionScope(const TransmissionScope&) = delete;
  TransmissionScope& operator=(const TransmissionScope&) = delete;
};

// Runs `action` now when no transmission runs, otherwise once the outermost one has ended. An
// action with a non-empty `key` is not deferred twice: a second one with the same key while the
// first still waits is dropped.
void WhenIdle(std::function<void()> action, const std::string& key = {});

// Ends every running transmission at its next symbol (each releases its key and restores its
// flag and picture); `then` runs once the outermost one has ended, or at once when none runs.
// Every request is kept: an Exit followed by the close box runs both, in that order.
void EndTransmissions(std::function<void()> then);

// The program is closing (Exit or the close box was asked for): from then on no transmission
// starts, so a link event queued behind the request cannot key the transmitter again before the
// program goes. Closing() stays true until ResetTransmissions.
void BeginClosing();
bool Closing();

// Forgets every count, request and deferred action (a fresh start-up in the same process).
void ResetTransmissions();

}  // namespace corvanta
