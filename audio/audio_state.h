#pragma once
// The audio output's process-wide state: the sound objects in use, the buffer description and
// wave format they were made with, and the amplitude factor of every sample. The sound device
// routines own it; the tone generator makes and replaces the buffer.
#include <memory>

#include "audio/directsound_interface.h"

namespace corvanta {

struct AudioState {
  SoundBackend* Backend = nullptr;  // not owned
  std::unique_ptr<DirectX7> DxRoot;
  std::shared_ptr<DirectSoundEnum> DeviceEnum;
  std::unique_ptr<DirectSound> SoundDevice;
  std::unique_ptr<DirectSoundBuffer> SoundBuffer;
  DSBUFFERDESC BufferDesc;
  WAVEFORMATEX WaveFormat;
  float AmplitudeScale = 0.0f;
};

extern AudioState Audio;

// Releases every sound object (buffer first) and forgets the backend.
void ResetAudioState();

}  // namespace corvanta
