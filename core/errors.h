#pragma once
// One exception type per platform service. Every entry point from the toolkit catches these at
// its boundary, reports the text in the status bar and goes on.
#include <stdexcept>
#include <string>

namespace corvanta {

// Arithmetic faults of the tone and timing math (division by zero, a value that does not fit).
struct ArithmeticError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct AudioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct LinkError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct SettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct WindowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace corvanta
