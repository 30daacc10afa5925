#pragma once
// One Morse element as sound: a sine tone synthesised as unsigned 8-bit mono PCM at 44100 samples
// per second, written over the whole looping sound buffer, which is never stopped between
// elements: the tone is off while the buffer loops silence (the byte 128).
#include <cstdint>
#include <vector>

#include "audio/directsound_interface.h"  // kSampleRate, kSilence

namespace corvanta {

// The frequency slider's setting (300..1800) as the tone frequency in hertz. Throws
// ArithmeticError for settings whose math has no integer result (-1000 and below).
std::int32_t ToneHz(std::int16_t setting);

// Bytes of the looping buffer for a tone of `hz`: as many whole cycles as fit into 4096 samples
// at the rounded cycle length, stretched to the exact cycle length (one cycle for 10 Hz and
// below). Defined for 1..88199 Hz; throws ArithmeticError outside.
std::int32_t BufferLength(std::int32_t hz);

// The samples of one buffer at `level` (0.0..1.0) scaled by `amplitude_scale`. Throws
// ArithmeticError when a sample falls outside 0..255.
std::vector<std::uint8_t> ToneSamples(std::int32_t hz, float level, float amplitude_scale);

// Fills the buffer for `hz` at `level`, makes a new buffer when the length changed, writes it
// whole and keeps it playing in a loop. Errors of the sound objects pass to the caller. With no
// output device open the tone is skipped (silently, status text set) so timing goes on.
void PlayTone(std::int32_t hz, float level);

// Readies the output for a transmission about to start, well before its first tone: the buffer
// for `frequency_setting` is made if the length differs (or its stream, closed while idle, is
// opened again) and loops silence. A new stream takes some tens of milliseconds to fill the sound
// server's queue; until it has, its timing is not steady, so the first tone would come out
// longer than the others. Nothing happens without an open device. Errors pass to the caller
// (an output that was lost: nothing has been keyed yet).
void PrepareOutput(std::int16_t frequency_setting);

// How long a tone written now takes to be heard (the buffer's output path), in ns; 0 without a
// buffer, when the backend cannot tell, or when the output is gone. May wait for a stream that
// has just started to settle (at most 300 ms after its start).
std::int64_t OutputPathNs();

// Sounds one element: tone at the volume slider's level for `duration_ms`, then silence.
void SoundElement(std::int16_t frequency_setting, std::int16_t duration_ms);

}  // namespace corvanta
