#include "platform/pulse/path/monitor_gain.h"

#include <algorithm>

namespace platform::pulse {

void MonitorGain::set(int64_t from, float factor) {
  from = std::max(from, scaledUntil_);
  // A change made before a change still to come overrides it.
  while (!changes_.empty() && changes_.back().from >= from) changes_.pop_back();
  if (factor == this->factor()) return;
  changes_.push_back(Change{from, factor});
}

void MonitorGain::restart(float factor) {
  changes_.clear();
  factor_ = factor;
  scaledUntil_ = 0;
}

void MonitorGain::apply(float* samples, int64_t first, size_t frames, uint32_t channels) {
  const int64_t end = first + static_cast<int64_t>(frames);
  int64_t at = std::max(first, scaledUntil_);
  size_t next = 0;
  while (at < end) {
    while (next < changes_.size() && changes_[next].from <= at) factor_ = changes_[next++].factor;
    const int64_t until = next < changes_.size() ? std::min(end, changes_[next].from) : end;
    if (factor_ != 1) {
      float* sample = samples + static_cast<size_t>(at - first) * channels;
      float* stop = samples + static_cast<size_t>(until - first) * channels;
      for (; sample != stop; ++sample) *sample *= factor_;
    }
    at = until;
  }
  changes_.erase(changes_.begin(), changes_.begin() + static_cast<ptrdiff_t>(next));
  scaledUntil_ = std::max(scaledUntil_, end);
}

}  // namespace platform::pulse
