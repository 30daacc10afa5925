#pragma once
// What the DirectSound devices and their tone streams share: the system's list of outputs, opening
// one, making a silent secondary buffer, result codes turned into errors, and the texts of GUIDs.
//
// Thread rules: the window thread (ListOutputs and OpenOutput wait for the system's audio service:
// a few ms, tens of ms under wine when a server is slow). SteadyNs and the COM pointer any thread.
// The program's sound interface before Windows' headers, whose macros (WAVE_FORMAT_PCM) would
// rename its names.
#include "audio/directsound/directsound_sound.h"

#include <windows.h>

#include <mmsystem.h>
// mmsystem.h before dsound.h: WAVEFORMATEX comes from there.
#include <dsound.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvanta::ds {

std::string Utf8(const wchar_t* text);
std::string GuidText(const GUID& guid);
// Only the canonical form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" is a GUID here; anything else
// (a name, an empty text) names no device.
bool ParseGuid(const std::string& text, GUID& guid);
// Throws AudioError "`what`: DSERR_..." for a failed result.
void Check(HRESULT hr, const std::string& what);

template <typename T>
struct Released {
  void operator()(T* p) const {
    if (p != nullptr) p->Release();
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, Released<T>>;

struct Entry {
  std::string description;
  std::string guid;
};

// The outputs as the system lists them now. With no audio service to ask (under wine: no sound
// server reachable) the system lists nothing and says so with an error: no outputs.
std::vector<Entry> ListOutputs();
// A device object on the output `id` (the null GUID: the system's default output); throws.
IDirectSound* OpenOutput(const GUID& id, const std::string& name);
// A secondary buffer as the program asks for it, silent: DirectSound leaves a new buffer's
// contents undefined.
IDirectSoundBuffer* MakeBuffer(IDirectSound* device, DWORD flags, DWORD bytes, ::WAVEFORMATEX wave,
                               const std::string& name);
// Every device object opened on the output `guid` lets go of it. DirectSound (wine's at least)
// shares one device among all the objects opened on an output while any of them lives, so a
// dead one would be handed out again to the next opening even after the output is back.
void ForgetOutput(const GUID& guid);

std::int64_t SteadyNs();

}  // namespace corvanta::ds
