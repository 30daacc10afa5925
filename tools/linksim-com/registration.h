#pragma once
// Registering the simulator as the link program's class, for tests and demonstrations only.
#include <string>

namespace corvanta::linksim {

enum class Scope {
  kUser,     // HKCU\Software\Classes: what Windows uses for this user
  kMachine,  // also the machine's classes: wine's COM reads no per-user classes (test prefixes)
};

// Registers the class (LocalServer32 = this program) and its type library. Refuses, changing
// nothing, when the class is already registered to another program: a station's real link
// program must never be displaced. Returns 0, or prints why and returns non-zero.
int RegisterServer(Scope scope);
// Removes what RegisterServer added, and only that: nothing when the class belongs to another
// program.
int UnregisterServer(Scope scope);

}  // namespace corvanta::linksim
