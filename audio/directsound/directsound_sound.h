#pragma once
// The sound objects on the real DirectSound of Windows.
//
// Device i (1-based) is the i-th entry DirectSoundEnumerate gives, in its order ("Primary Sound
// Driver" first); its "GUID" is the entry's GUID as text, which DirectSoundCreate parses and
// opens again, so a device that vanished fails at opening. A secondary buffer is DirectSound's
// own: 8-bit unsigned mono 44100/s, looping, rewritten in place with Lock and Unlock; DirectSound
// mixes it on a thread of its own.
//
// Thread rules: every function is called on the window thread. None processes window messages,
// so none re-enters the program. Blocking: listing and opening devices wait for the system's
// audio service (normally a few ms; under wine, tens of ms when a server is slow); buffer calls
// return at once.
#include <memory>

#include "audio/directsound_interface.h"

namespace corvanta {

class DirectSoundBackend final : public SoundBackend {
 public:
  std::unique_ptr<DirectX7> CreateDirectX7() override;
};

// The text of a DirectSound or system result code, such as "DSERR_NODRIVER (0x88780078)".
std::string DirectSoundResultText(long hr);

}  // namespace corvanta
