// The monitor's frames scaled back by what the output's and the monitor's levels took away, each
// by the level in force when it sounded. A change of level reaches the monitor's audio from the
// moment it was made on: the frames before it are scaled by the old factor, those from it on by
// the new, so that the recording keeps its level across the change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace platform::pulse {

class MonitorGain {
 public:
  // From the monitor's frame `from` on, its frames are scaled by `factor`; frames already scaled
  // keep theirs (they may be in the file already).
  void set(int64_t from, float factor);
  // A new monitor stream: its frames count from 0 again, at `factor`.
  void restart(float factor);
  // Scales those of the frames [first, first + frames) (`channels` interleaved samples each) that
  // have not been scaled yet. Allocates nothing.
  void apply(float* samples, int64_t first, size_t frames, uint32_t channels);
  // The factor of the newest frames, as last set.
  float factor() const { return changes_.empty() ? factor_ : changes_.back().factor; }

 private:
  struct Change {
    int64_t from;
    float factor;
  };
  float factor_ = 1;  // in force at `scaledUntil_`
  int64_t scaledUntil_ = std::numeric_limits<int64_t>::min();
  std::vector<Change> changes_;  // still to come into force, in order
};

}  // namespace platform::pulse
