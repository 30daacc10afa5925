#pragma once
// Whether a PulseAudio server (or PipeWire's PulseAudio service) answers and has a default
// output. SDL's PulseAudio driver cannot start against a server without one, so the sound
// system is only started again once this holds.
//
// Any thread; no re-entry; blocks for one round trip to the server, at most `limit_ms`.
namespace corvanta {

bool PulseServerHasOutput(int limit_ms);

}  // namespace corvanta
