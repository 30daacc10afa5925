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

// A keying request that failed, with what the caller must know to tell the operator the truth
// about the transmitter and to settle it.
struct LinkError : std::runtime_error {
  // What became of the request at the link program.
  enum class Fate {
    kNotSent,     // it never reached the link program (nothing connected): nothing changed
    kRefused,     // the link program answered with an error; a real one may key and still refuse
    kUnanswered,  // no answer within the deadline; the link program may still carry it out
    kLost,        // the connection went while the request was under way
    kQueued,      // an earlier request is still unanswered; this one goes out once it is
  };
  // `released_by_link`: the link program released the key by itself because the connection that
  // keyed it closed (a link program releases the key of a closed connection).
  LinkError(const std::string& what, Fate what_became, bool released_by_link = false)
      : std::runtime_error(what), fate(what_became), released(released_by_link) {}
  // Whether the link program may have carried the request out (or still may).
  bool acted() const { return fate != Fate::kNotSent; }
  Fate fate;
  bool released;
};

struct SettingsError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct WindowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace corvanta
