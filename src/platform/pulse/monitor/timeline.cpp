#include "platform/pulse/monitor/timeline.h"

#include <algorithm>
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

uint64_t Timeline::putIn(uint64_t silence, double nowSeconds) {
  if (silence == 0) return 0;
  owed_ += silence;
  owedSince_ = nowSeconds;
  delivered_ += silence;
  return silence;
}

uint64_t Timeline::overlap(uint64_t frames, double nowSeconds) {
  if (nowSeconds - owedSince_ > kOwedSeconds) owed_ = 0;
  if (owed_ == 0) repaying_ = false;
  // Ahead of where the stream ran before, at its usual lag behind the clock. A little ahead is the
  // lateness of the first audio after a gap, which made the gap look longer than it was: kept, as
  // a running stream is. Far ahead, it is a stretch delivered twice, repaid from then on.
  const double ahead = -static_cast<double>(lagFrames(nowSeconds, frames)) + std::max(drift_, 0.0);
  const double threshold = repaying_ ? 0 : kRunningGapSeconds * rate_;
  if (ahead <= threshold || owed_ == 0) return 0;
  repaying_ = true;
  const uint64_t dropped = std::min({static_cast<uint64_t>(ahead), owed_, frames});
  owed_ -= dropped;
  owedSince_ = nowSeconds;  // a server catching up sends what it missed over a while
  return dropped;
}

uint64_t Timeline::silenceBefore(uint64_t frames, double nowSeconds, bool resuming,
                                 uint64_t heldFrames) {
  const double lag = static_cast<double>(lagFrames(nowSeconds, frames + heldFrames));
  const double gap = (resuming ? kGapSeconds : kRunningGapSeconds) * rate_;
  if (resuming) lateLagKnown_ = false;  // placed anew: reads at their turn settle anew
  uint64_t silence = 0;
  if (lag - drift_ > gap) {
    silence = static_cast<uint64_t>(lag - drift_);
  } else {
    drift_ += (lag - drift_) * kDriftWeight;
  }
  delivered_ += frames;
  return putIn(silence, nowSeconds);
}

uint64_t Timeline::silenceBeforeLate(uint64_t frames, double sinceSeconds, double nowSeconds,
                                     bool resuming, uint64_t heldFrames) {
  if (resuming) lateLagKnown_ = false;
  const double wait = nowSeconds - sinceSeconds;
  uint64_t silence = 0;
  if (wait <= kLateSpanSeconds &&
      static_cast<double>(frames + heldFrames) <= (wait + kPieceSeconds) * rate_) {
    const double lag = static_cast<double>(lagFrames(sinceSeconds, frames + heldFrames));
    if (!lateLagKnown_) {
      lateLag_ = lag;
      lateLagKnown_ = true;
    } else if (lag - lateLag_ > kDroppedSeconds * rate_) {
      silence = static_cast<uint64_t>(lag - lateLag_);
    } else {
      lateLag_ += (lag - lateLag_) * kDriftWeight;
    }
  }
  delivered_ += frames;
  return putIn(silence, nowSeconds);
}

uint64_t Timeline::silenceBeforeSounded(uint64_t frames, double soundedSeconds) {
  // A lag within the timing's own jitter is none: a quiet stretch that the sound went on through
  // (a server slow to send, say) is a resumption too, and silence put in there would break it.
  const double lag = (soundedSeconds - start_) * rate_ - static_cast<double>(delivered_);
  const uint64_t silence = lag > kGapSeconds * rate_ ? static_cast<uint64_t>(std::llround(lag)) : 0;
  lateLagKnown_ = false;
  delivered_ += frames;
  return putIn(silence, soundedSeconds);
}

uint64_t Timeline::aheadOf(double soundedSeconds) const {
  const double ahead = static_cast<double>(delivered_) - (soundedSeconds - start_) * rate_;
  return ahead > 0 && ahead <= kRenderedAheadSeconds * rate_ ? static_cast<uint64_t>(ahead) : 0;
}

uint64_t Timeline::silenceUntil(double nowSeconds) {
  const double lag = static_cast<double>(lagFrames(nowSeconds, 0)) - drift_;
  return putIn(lag > 0 ? static_cast<uint64_t>(lag) : 0, nowSeconds);
}

}  // namespace platform::pulse
