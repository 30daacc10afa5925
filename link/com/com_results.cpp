#include "link/com/com_results.h"

#include <cstdio>

namespace corvanta::com {

std::string Narrow(const wchar_t* text) {
  if (text == nullptr) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::string ResultText(HRESULT hr) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = n > 0 ? Narrow(text) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return message.empty() ? std::string("error ") + code : message + " (" + code + ")";
}

bool IsGone(HRESULT hr) {
  switch (static_cast<unsigned long>(hr)) {
    case 0x80010108UL:  // RPC_E_DISCONNECTED
    case 0x80010007UL:  // RPC_E_SERVER_DIED
    case 0x80010012UL:  // RPC_E_SERVER_DIED_DNE
    case 0x800706BAUL:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEUL:  // RPC_S_CALL_FAILED
    case 0x800706BFUL:  // RPC_S_CALL_FAILED_DNE
    case 0x800401FDUL:  // CO_E_OBJNOTCONNECTED
    case 0x80010114UL:  // RPC_E_INVALID_OBJECT
    // What a call on an object its server has cut off (CoDisconnectObject) gets under wine: the
    // server no longer knows the object's interface.
    case 0x800706B5UL:  // RPC_S_UNKNOWN_IF
      return true;
    default:
      return false;
  }
}

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + (ms % 1000 != 0 ? "." + std::to_string(ms % 1000 / 100) : "") +
         " s";
}

}  // namespace corvanta::com
