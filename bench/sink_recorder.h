#pragma once
// Records a sink's monitor through libpulse and notes, at every read, the server's own timing
// of the capture, so each recorded sample can be placed on the steady clock two ways:
//  - HeardAt: when the sink's clock plays it (the read position's capture time from the stream's
//    latency, which for a monitor is negative while the sink holds data it has rendered but not
//    yet played). This is where the server itself puts a sample on the air, and what a stream's
//    own latency report aims at.
//  - ArrivedAt: the earliest it reached the recorder (the lower envelope of arrival against the
//    count), that is when the sink rendered it: on a sink that renders ahead of its clock (a
//    PulseAudio null sink renders a whole block ahead), earlier than it is heard.
//
// Thread rules: construct, read and stop from one thread; the recording itself runs on the
// mainloop's thread. Reads take the mainloop's lock for a copy's time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pa_stream;

namespace corvanta {
class PulseSession;
}

namespace corvanta::bench {

class SinkRecorder {
 public:
  // Records `source` (S16 mono at the tone's rate) from now on; throws AudioError when the server
  // or the source does not answer.
  explicit SinkRecorder(std::string source);
  ~SinkRecorder();
  SinkRecorder(const SinkRecorder&) = delete;
  SinkRecorder& operator=(const SinkRecorder&) = delete;

  std::size_t Count();
  std::vector<std::int16_t> Samples();
  // Steady clock, s; from the reads within window_s of the sample (their median, or their lower
  // envelope), so neither one late read nor a change of the report moves the result.
  double HeardAt(std::size_t sample, double window_s = 5.0);
  double ArrivedAt(std::size_t sample, double window_s = 5.0);

  struct Mark {
    std::size_t count;  // samples read so far
    double now_s;       // when
    double heard_s;     // when the sink's clock plays sample `count`
  };

 private:
  std::vector<Mark> MarksNear(std::size_t sample, double window_s);
  static void OnRead(pa_stream* stream, std::size_t bytes, void* self);
  static void OnState(pa_stream* stream, void* self);

  std::shared_ptr<PulseSession> session_;
  pa_stream* stream_ = nullptr;
  std::vector<std::int16_t> samples_;
  std::vector<Mark> marks_;
};

}  // namespace corvanta::bench
