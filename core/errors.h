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

// A keying request that failed. What the caller must know to tell the operator the truth about
// the transmitter: whether the link program may have carried the request out (one that was never
// sent, or that it refused, changed nothing; one that went unanswered may have), and whether the
// link program released the key by itself because the connection that keyed it closed (a link
// program releases the key of a closed connection).
struct LinkError : std::runtime_error {
  explicit LinkError(const std::string& what, bool may_have_acted = true,
                     bool released_by_link = false)
      : std::runtime_error(what), acted(may_have_acted), released(released_by_link) {}
  bool acted;
  bool released;
};

struct SettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct WindowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace corvanta
