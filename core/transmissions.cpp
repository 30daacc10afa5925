#include "core/transmissions.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "core/main_window.h"
#include "core/state.h"
#include "core/station_log.h"

namespace corvanta {
namespace {

struct Deferred {
  std::function<void()> action;
  std::string key;
};

int g_depth = 0;
bool g_ending = false;
bool g_closing_program = false;
std::vector<std::function<void()>> g_closing;
std::vector<Deferred> g_deferred;

// A failing action must not keep the ones after it from running.
void RunReporting(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    if (MainWindow* w = MainWindowRef()) w->SetStatusText(e.what());
    LogLine(e.what());
  }
}

}  // namespace

int TransmissionDepth() {
  return g_depth;
}

TransmissionScope::TransmissionScope() {
  ++g_depth;
}

TransmissionScope::~TransmissionScope() {
  --g_depth;
  // Lines logged during the transmission go to the file now that no symbol is left to send.
  if (g_depth == 0) ReleaseStationLog();
  if (g_ending) {
    if (g_depth > 0) {
      // The inner send consumed the request; the outer one must end at its next symbol too.
      Settings.SendState = 2;
      return;
    }
    g_ending = false;
    Settings.SendState = 0;
    g_deferred.clear();
    std::vector<std::function<void()>> closing;
    closing.swap(g_closing);
    for (const auto& then : closing) RunReporting(then);
    return;
  }
  if (g_depth > 0) return;
  // An action may start a transmission of its own and defer again: take the list as it is now.
  std::vector<Deferred> deferred;
  deferred.swap(g_deferred);
  for (const Deferred& d : deferred) RunReporting(d.action);
}

void WhenIdle(std::function<void()> action, const std::string& key) {
  if (!action) return;
  if (g_depth == 0) {
    action();
    return;
  }
  if (!key.empty() && std::any_of(g_deferred.begin(), g_deferred.end(),
                                  [&key](const Deferred& d) { return d.key == key; })) {
    return;
  }
  g_deferred.push_back({std::move(action), key});
}

void EndTransmissions(std::function<void()> then) {
  if (g_depth == 0) {
    if (then) then();
    return;
  }
  g_ending = true;
  if (then) g_closing.push_back(std::move(then));
  Settings.SendState = 2;
}

void BeginClosing() {
  g_closing_program = true;
}

bool Closing() {
  return g_closing_program;
}

void ResetTransmissions() {
  g_depth = 0;
  g_closing_program = false;
  g_ending = false;
  g_closing.clear();
  g_deferred.clear();
}

}  // namespace corvanta
