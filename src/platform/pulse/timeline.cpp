#include "platform/pulse/timeline.h"

#include <cmath>

namespace platform::pulse {
namespace {

// How fast the followed drift moves towards each new lag: slow enough that jitter averages out.
constexpr double kDriftWeight = 1.0 / 16;

}  // namespace

int64_t Timeline::lagFrames(double nowSeconds, uint64_t pending) const {
  const double due = (nowSeconds - start_) * rate_;
  return static_cast<int64_t>(std::llround(due)) - static_cast<int64_t>(delivered_ + pending);
}

uint64_t Timeline::silenceBefore(uint64_t frames, double nowSeconds, bool resuming) {
  const double lag = static_cast<double>(lagFrames(nowSeconds, frames));
  const double gap = (resuming ? kGapSeconds : kRunningGapSeconds) * rate_;
  uint64_t silence = 0;
  if (lag - drift_ > gap) {
    silence = static_cast<uint64_t>(lag - drift_);
  } else {
    drift_ += (lag - drift_) * kDriftWeight;
  }
  delivered_ += silence + frames;
  return silence;
}

uint64_t Timeline::silenceUntil(double nowSeconds) {
  const double lag = static_cast<double>(lagFrames(nowSeconds, 0)) - drift_;
  const uint64_t silence = lag > 0 ? static_cast<uint64_t>(lag) : 0;
  delivered_ += silence;
  return silence;
}

}  // namespace platform::pulse
