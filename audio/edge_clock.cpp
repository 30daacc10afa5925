#include "audio/edge_clock.h"

#include <algorithm>
#include <cmath>

namespace corvanta {

void EdgeClock::Observe(std::int64_t now_ns, std::int64_t produced) {
  const double offset = static_cast<double>(now_ns) - static_cast<double>(produced) * 1e9 / rate_;
  offsets_ns_[next_] = offset;
  next_ = (next_ + 1) % kWindow;
  count_ = std::min(count_ + 1, kWindow);
  lowest_ns_ = *std::min_element(offsets_ns_.begin(),
                                 offsets_ns_.begin() + static_cast<std::ptrdiff_t>(count_));
  if (!settled_) Settle(offset, produced);
}

void EdgeClock::Reset() {
  count_ = 0;
  next_ = 0;
  settled_ = false;
  span_start_ = -1;
  have_previous_span_ = false;
  have_reference_ = false;
}

double EdgeClock::FollowReference(std::int64_t now_ns, double max_slow, double max_fast) {
  if (!have_reference_) {
    reference_ns_ = lowest_ns_;
  } else {
    const auto since = static_cast<double>(now_ns - reference_at_ns_);
    reference_ns_ =
        std::clamp(lowest_ns_, reference_ns_ - since * max_fast, reference_ns_ + since * max_slow);
  }
  have_reference_ = true;
  reference_at_ns_ = now_ns;
  return reference_ns_;
}

void EdgeClock::Settle(double offset_ns, std::int64_t produced) {
  if (settle_frames_ <= 0) {
    settled_ = true;
    return;
  }
  if (span_start_ < 0) {
    span_start_ = produced;
    span_low_ns_ = offset_ns;
    return;
  }
  span_low_ns_ = std::min(span_low_ns_, offset_ns);
  if (produced - span_start_ < settle_frames_) return;
  if (have_previous_span_ && std::abs(span_low_ns_ - previous_span_low_ns_) <= settle_jitter_ns_) {
    // Steady: the start's offsets go, the last span's lowest stays as the reference.
    settled_ = true;
    offsets_ns_[0] = span_low_ns_;
    count_ = 1;
    next_ = 1 % kWindow;
    lowest_ns_ = span_low_ns_;
    return;
  }
  previous_span_low_ns_ = span_low_ns_;
  have_previous_span_ = true;
  span_start_ = produced;
  span_low_ns_ = offset_ns;
}

std::int64_t EdgeClock::FrameFor(std::int64_t at_ns, double reference_ns) const {
  const double frames = (static_cast<double>(at_ns) - reference_ns) * rate_ / 1e9;
  return static_cast<std::int64_t>(std::ceil(frames)) + latency_frames_;
}

}  // namespace corvanta
