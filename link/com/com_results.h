#pragma once
// What COM's results mean to the link client, in words for the status bar and the log.
//
// Thread rules: any thread; nothing here blocks or calls across to the link program.
#include <windows.h>

#include <string>

namespace corvanta::com {

// UTF-16 to UTF-8; empty for nullptr.
std::string Narrow(const wchar_t* text);

// "Class not registered (0x80040154)": the system's text where it has one.
std::string ResultText(HRESULT hr);

// Results that mean the link program's process, or our connection to it, is gone.
bool IsGone(HRESULT hr);

// "2 s", "1.5 s": a period as the status texts give it.
std::string Seconds(int ms);

}  // namespace corvanta::com
