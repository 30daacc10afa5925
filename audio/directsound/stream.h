#pragma once
// The program's looping tone buffer, heard through one streaming DirectSound buffer that a feeder
// thread of its own keeps written ahead of the mixer (stream.cpp tells how).
//
// Thread rules: the window thread makes every call; see the class in stream.cpp for the feeder.
#include <cstdint>
#include <memory>
#include <string>

#include "audio/directsound/outputs.h"

namespace corvanta::ds {

// A tone buffer of `length` bytes on `device` (a reference is taken), the output `guid` named
// `name`; it starts streaming silence at once. Throws AudioError when the stream cannot be made.
std::unique_ptr<DirectSoundBuffer> MakeToneStream(IDirectSound* device, std::int32_t length,
                                                  const GUID& guid, const std::string& name,
                                                  HWND window, DWORD flags, ::WAVEFORMATEX wave);

// A device was opened again, as every link event does well before a tone: each live stream that
// stopped while idle starts now (one that cannot start is left for its next write to report), and
// a running one counts its idle time afresh.
void WakeToneStreams();

}  // namespace corvanta::ds
