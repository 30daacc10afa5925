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
}

std::int64_t EdgeClock::FrameFor(std::int64_t at_ns) const {
  const double frames = (static_cast<double>(at_ns) - lowest_ns_) * rate_ / 1e9;
  return static_cast<std::int64_t>(std::ceil(frames)) + latency_frames_;
}

}  // namespace corvanta
