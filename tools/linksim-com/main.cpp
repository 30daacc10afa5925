// corvanta-linksim for Windows: plays the link program for Corvanta's tests and demonstrations,
// as an out-of-process COM server of the link program's class.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/linksim-com/registration.h"
#include "tools/linksim-com/server.h"
#include "tools/linksim/options.h"

namespace {

using namespace corvanta::linksim;

constexpr int kExitCannotListen = 1;
constexpr int kExitUsage = 2;

const char kComUsage[] =
    "usage: corvanta-linksim [--script FILE] [--log FILE] [--err] [--late MS] [--silent]\n"
    "                        [--drop-after N] [--dispatch-only] [--keep-key] [--help]\n"
    "                        [--version]\n"
    "       corvanta-linksim /RegServer [/Machine] | /UnregServer [/Machine]\n"
    "\n"
    "Plays the link program for Corvanta: serves the link program's COM class, answers SetPTT\n"
    "the way it is told to and raises PTT and TX events.\n"
    "\n"
    "  --script FILE      run the commands in FILE first, then those from standard input\n"
    "  --log FILE         write the log to FILE instead of standard output\n"
    "  --err              answer every SetPTT with an error\n"
    "  --late MS          answer every SetPTT MS milliseconds late\n"
    "  --silent           never answer (until the command wake)\n"
    "  --drop-after N     disconnect the object that gets the N-th SetPTT, unanswered\n"
    "  --dispatch-only    offer only IDispatch, as a 32-bit link program does to a 64-bit\n"
    "                     client (its own interface cannot be marshaled there)\n"
    "  --keep-key         one transmitter that keeps its state when an object is released or\n"
    "                     its client ends, as a link program that owns the radio: only a\n"
    "                     release request (from any object) releases it\n"
    "  /RegServer         register this program as the class's server for this user; refused\n"
    "                     when another program (the link program) owns the class\n"
    "  /UnregServer       remove that registration, and nothing else\n"
    "  /Machine           with either: the machine's classes too (wine test prefixes only)\n"
    "\n"
    "Commands (one a line; blank lines and lines starting with # are skipped):\n"
    "  ptt 0|1, tx 0|1            raise PTT / TX on every object's subscribers\n"
    "  sleep MS                   pause the commands; clients are still served\n"
    "  wait-connect [TIMEOUT_MS]  wait until a client holds an object\n"
    "  wait-setptt 0|1 [TIMEOUT_MS]  wait until that request arrives\n"
    "  err on|off, silent on|off, late MS   change how requests are answered\n"
    "  late-once MS               answer the next request MS milliseconds late\n"
    "  wake                       answer the requests held by silence (late, as asked then)\n"
    "  keep-key on|off            as --keep-key, from now on\n"
    "  hang [MS]                  block the program's thread (for good, or MS milliseconds):\n"
    "                             nothing is processed, not even COM's calls\n"
    "  drop                       disconnect every object\n"
    "  quit [MS]                  end the program (its process MS milliseconds after its class\n"
    "                             and objects, as a link program that takes its time to close)\n"
    "\n"
    "Keys, when standard input is a console: P/p PTT on/off, T/t TX on/off, q quit.\n"
    "\n"
    "Exit status: 0 normally, 1 cannot serve the class, 2 bad usage, 3 a wait timed out.\n";

int Usage(const std::string& error) {
  std::fprintf(stderr, "corvanta-linksim: %s\nTry corvanta-linksim --help.\n", error.c_str());
  return kExitUsage;
}

std::string Utf8(const wchar_t* text) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

bool SameWord(const std::string& arg, const char* word) {
  return arg.size() > 1 && (arg[0] == '/' || arg[0] == '-') &&
         ::lstrcmpiA(arg.c_str() + 1, word) == 0;
}

void Post(UINT message, WPARAM w, LPARAM l) {
  if (!::PostMessageW(SimulatorWindow(), message, w, l) && message == kLineMessage) {
    delete reinterpret_cast<std::string*>(l);
  }
}

// Standard input, on a thread of its own: single keys from a console, lines from anything else.
void ReadInput(HANDLE in) {
  DWORD mode = 0;
  if (::GetConsoleMode(in, &mode)) {
    ::SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    std::fputs("keys: P/p PTT on/off, T/t TX on/off, q quit\n", stderr);
    char key = 0;
    DWORD n = 0;
    while (::ReadConsoleA(in, &key, 1, &n, nullptr) && n == 1)
      Post(kKeyMessage, static_cast<unsigned char>(key), 0);
    return;
  }
  constexpr std::size_t kMaxCommand = 64 * 1024;
  std::string partial;
  bool too_long = false;
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    for (DWORD i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c != '\n') {
        if (partial.size() < kMaxCommand) {
          partial += c;
        } else {
          too_long = true;
        }
      } else if (too_long) {
        std::fprintf(stderr, "corvanta-linksim: skipped a command longer than %zu bytes\n",
                     kMaxCommand);
        too_long = false;
        partial.clear();
      } else {
        Post(kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string(std::move(partial))));
        partial.clear();
      }
    }
  }
  if (!partial.empty() && !too_long) {
    Post(kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string(std::move(partial))));
  }
  Post(kEndMessage, 0, 0);
}

BOOL WINAPI OnConsoleControl(DWORD) {
  Post(kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string("quit")));
  return TRUE;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8(argv[i]));
  ::LocalFree(argv);

  // COM's own arguments: registration, and the start of a server COM asked for.
  bool reg = false, unreg = false, machine = false, embedded = false, dispatch_only = false,
       keep_key = false;
  std::vector<std::string> rest;
  for (const std::string& arg : args) {
    if (SameWord(arg, "RegServer")) {
      reg = true;
    } else if (SameWord(arg, "UnregServer")) {
      unreg = true;
    } else if (SameWord(arg, "Machine")) {
      machine = true;
    } else if (SameWord(arg, "Embedding")) {
      embedded = true;
    } else if (arg == "--dispatch-only") {
      dispatch_only = true;
    } else if (arg == "--keep-key") {
      keep_key = true;
    } else {
      rest.push_back(arg);
    }
  }
  if (reg || unreg) {
    if (reg && unreg) return Usage("/RegServer and /UnregServer exclude each other");
    if (!rest.empty()) return Usage("unexpected argument \"" + rest.front() + "\"");
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const Scope scope = machine ? Scope::kMachine : Scope::kUser;
    const int status = reg ? RegisterServer(scope) : UnregisterServer(scope);
    ::CoUninitialize();
    return status;
  }
  if (machine) return Usage("/Machine goes with /RegServer or /UnregServer");

  std::string error;
  const auto options = ParseOptions(rest, error);
  if (!options) return Usage(error);
  if (options->help) {
    std::fputs(kComUsage, stdout);
    return 0;
  }
  if (options->version) {
    std::puts("corvanta-linksim " CORVANTA_VERSION);
    return 0;
  }
  if (!options->listen.empty()) {
    return Usage("--listen has no meaning here: the simulator serves the link program's class");
  }
  if (options->rigctld) return Usage("--rigctld has no meaning here: rigctld is a Linux daemon");
  std::vector<std::string> script;
  if (!options->script.empty() && !ReadLines(options->script, script)) {
    return Usage("cannot read the script " + options->script);
  }
  std::FILE* log_file = stdout;
  if (!options->log.empty()) {
    log_file = std::fopen(options->log.c_str(), "w");
    if (log_file == nullptr) return Usage("cannot write the log " + options->log);
  }

  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::fputs("corvanta-linksim: COM cannot start\n", stderr);
    return kExitCannotListen;
  }
  int status = 0;
  {
    Log log(log_file);
    ComSimulator sim(log, {options->err, options->silent, options->late_ms, options->drop_after},
                     embedded, dispatch_only, keep_key);
    if (!sim.Register(error)) {
      std::fprintf(stderr, "corvanta-linksim: %s\n", error.c_str());
      status = kExitCannotListen;
    } else {
      for (std::string& line : script) {
        Post(kLineMessage, 0, reinterpret_cast<LPARAM>(new std::string(std::move(line))));
      }
      ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
      const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
      if (!embedded && in != nullptr && in != INVALID_HANDLE_VALUE) {
        std::thread(ReadInput, in).detach();  // blocked in a read at exit; the process ends it
      }
      status = sim.Run();
    }
  }
  ::CoUninitialize();
  std::fflush(nullptr);
  // The input thread may be blocked in a read: end the process without waiting for it.
  ::ExitProcess(static_cast<UINT>(status));
}
