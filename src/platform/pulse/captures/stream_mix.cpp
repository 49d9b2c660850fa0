#include "platform/pulse/captures/stream_mix.h"

#include <algorithm>

namespace platform::pulse {

size_t StreamMix::ready(int64_t first, size_t available, std::span<const MixSource> sources,
                        size_t holdFrames) {
  const int64_t end = first + static_cast<int64_t>(available);
  int64_t readyEnd = end;
  for (const MixSource& source : sources) {
    if (!source.ended)
      readyEnd = std::min(readyEnd, source.first + static_cast<int64_t>(source.frames));
  }
  readyEnd = std::max(readyEnd, end - static_cast<int64_t>(holdFrames));
  return static_cast<size_t>(
      std::clamp<int64_t>(readyEnd - first, 0, static_cast<int64_t>(available)));
}

void StreamMix::mix(float* monitor, int64_t first, size_t frames,
                    std::span<const MixSource> sources, bool standIn, size_t tailFrames,
                    float gain) {
  const float step = fadeFrames_ ? 1.0f / static_cast<float>(fadeFrames_) : 1.0f;
  for (size_t i = 0; i < frames; ++i) {
    const int64_t at = first + static_cast<int64_t>(i);
    bool covered = !standIn;
    bool anyCovers = false;
    for (const MixSource& source : sources) {
      const int64_t end = source.first + static_cast<int64_t>(source.frames);
      if (at >= source.first && at < end) {
        anyCovers = true;
        // Its last frames, where the monitor is to stand in after it: the ramp's.
        if (source.ended && tailFrames > 0 && at + static_cast<int64_t>(fadeFrames_) >= end)
          covered = false;
      } else if (!source.ended || at < source.first ||
                 at < end + static_cast<int64_t>(tailFrames)) {
        covered = false;  // behind, joined after this frame, or maybe cut short: the monitor's
      }
    }
    const float target = covered && anyCovers ? 1.0f : 0.0f;
    weight_ =
        target > weight_ ? std::min(target, weight_ + step) : std::max(target, weight_ - step);
    if (weight_ == 0) continue;  // the monitor's frame as it is
    float* out = monitor + i * channels_;
    for (uint32_t channel = 0; channel < channels_; ++channel) {
      float sum = 0;
      for (const MixSource& source : sources) {
        const int64_t offset = at - source.first;
        if (offset >= 0 && offset < static_cast<int64_t>(source.frames)) {
          sum += source.samples[static_cast<size_t>(offset) * channels_ + channel];
        }
      }
      sum = std::clamp(sum * gain, -1.0f, 1.0f);  // as the output clips what it plays
      out[channel] = weight_ * sum + (1 - weight_) * out[channel];
    }
  }
}

}  // namespace platform::pulse
