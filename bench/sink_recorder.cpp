#include "bench/sink_recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "audio/directsound_interface.h"
#include "audio/pulse/pulse_session.h"
#include "core/errors.h"
#include "support/recording.h"

namespace corvanta::bench {
namespace {

constexpr int kLimitMs = 2000;

}  // namespace

SinkRecorder::SinkRecorder(std::string source) : session_(std::make_shared<PulseSession>()) {
  LoopLock lock(*session_);
  std::string error;
  if (!session_->Reach(kLimitMs, error)) throw AudioError("No sound server: " + error);
  const pa_sample_spec format{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(kSampleRate), 1};
  stream_ = pa_stream_new(session_->context(), "Courtesy benchmark recorder", &format, nullptr);
  if (stream_ == nullptr) throw AudioError("Cannot make the recorder's stream");
  pa_stream_set_state_callback(stream_, &OnState, this);
  pa_stream_set_read_callback(stream_, &OnRead, this);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(kSampleRate * 2 / 1000 * 2);  // 2 ms
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                     PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
  // libpulse lets PULSE_LATENCY_MSEC (a deep path asked for the program's own stream) replace
  // every stream's buffer sizes: the recorder would read in blocks that long, and place its
  // samples on the clock no finer. Its own 2 ms hold while it connects.
  const char* asked = std::getenv("PULSE_LATENCY_MSEC");
  const std::string path_asked = asked != nullptr ? asked : "";
  if (asked != nullptr) ::unsetenv("PULSE_LATENCY_MSEC");
  const int connected = pa_stream_connect_record(stream_, source.c_str(), &attr, flags);
  if (asked != nullptr) ::setenv("PULSE_LATENCY_MSEC", path_asked.c_str(), 1);
  if (connected < 0 ||
      !session_->WaitFor([this] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; },
                         kLimitMs) ||
      pa_stream_get_state(stream_) != PA_STREAM_READY) {
    throw AudioError("Cannot record " + source + ": " +
                     pa_strerror(pa_context_errno(session_->context())));
  }
}

SinkRecorder::~SinkRecorder() {
  LoopLock lock(*session_);
  if (stream_ == nullptr) return;
  pa_stream_set_state_callback(stream_, nullptr, nullptr);
  pa_stream_set_read_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

void SinkRecorder::OnState(pa_stream*, void* self) {
  static_cast<SinkRecorder*>(self)->session_->Signal();
}

void SinkRecorder::OnRead(pa_stream* stream, std::size_t, void* self) {
  auto* r = static_cast<SinkRecorder*>(self);
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    const auto* in = static_cast<const std::int16_t*>(data);
    const std::size_t n = bytes / 2;
    // A hole in the capture (data == null) is silence the sink played.
    if (in != nullptr) {
      r->samples_.insert(r->samples_.end(), in, in + n);
    } else {
      r->samples_.resize(r->samples_.size() + n, 0);
    }
    pa_stream_drop(stream);
  }
  pa_usec_t latency_us = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream, &latency_us, &negative) != 0) return;
  const double now = recording::SteadySeconds();
  // The next sample to read was captured (the sink's clock played it) `latency` ago; a monitor
  // reports it negative while that sample is still to be played.
  const double latency_s = (negative != 0 ? -1.0 : 1.0) * static_cast<double>(latency_us) / 1e6;
  r->marks_.push_back({r->samples_.size(), now, now - latency_s});
}

std::size_t SinkRecorder::Count() {
  LoopLock lock(*session_);
  return samples_.size();
}

std::vector<std::int16_t> SinkRecorder::Samples() {
  LoopLock lock(*session_);
  return samples_;
}

std::vector<SinkRecorder::Mark> SinkRecorder::MarksNear(std::size_t sample, double window_s) {
  LoopLock lock(*session_);
  const auto window = static_cast<std::size_t>(window_s * kSampleRate);
  std::vector<Mark> near;
  for (const Mark& m : marks_) {
    const std::size_t distance = m.count > sample ? m.count - sample : sample - m.count;
    if (distance <= window) near.push_back(m);
  }
  if (near.empty()) throw AudioError("No read of the recorder near that sample");
  return near;
}

double SinkRecorder::HeardAt(std::size_t sample, double window_s) {
  std::vector<double> offsets;
  for (const Mark& m : MarksNear(sample, window_s)) {
    offsets.push_back(m.heard_s - static_cast<double>(m.count) / kSampleRate);
  }
  std::nth_element(offsets.begin(),
                   offsets.begin() + static_cast<std::ptrdiff_t>(offsets.size() / 2),
                   offsets.end());
  return static_cast<double>(sample) / kSampleRate + offsets[offsets.size() / 2];
}

double SinkRecorder::ArrivedAt(std::size_t sample, double window_s) {
  double offset = INFINITY;
  for (const Mark& m : MarksNear(sample, window_s)) {
    offset = std::min(offset, m.now_s - static_cast<double>(m.count) / kSampleRate);
  }
  return static_cast<double>(sample) / kSampleRate + offset;
}

}  // namespace corvanta::bench
