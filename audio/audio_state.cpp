#include "audio/audio_state.h"

namespace corvanta {

AudioState Audio;

void ResetAudioState() {
  Audio.SoundBuffer.reset();
  Audio.SoundDevice.reset();
  Audio.DeviceEnum.reset();
  Audio.DxRoot.reset();
  Audio = AudioState{};
}

}  // namespace corvanta
