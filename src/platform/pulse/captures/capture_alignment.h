// Where one application stream's capture falls among the monitor's frames. Both are fed by one
// render of the output, so frame counts of the two taken at the same moment place one against the
// other, up to a piece of what the server sends at a time. The place is taken at the capture's
// first audio and kept (moving it would skip or repeat some of its sound), unless the counts part
// by more than a piece several times running: the capture skipped or fell behind for good.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

namespace platform::pulse {

class CaptureAlignment {
 public:
  static constexpr int kRetakeAfter = 4;

  explicit CaptureAlignment(int64_t toleranceFrames) : tolerance_(toleranceFrames) {}

  // The monitor's frame that the capture's frame 0 stands beside, as measured once more.
  void sample(int64_t offset) {
    if (!known_ || std::llabs(offset - offset_) <= tolerance_) {
      if (!known_) offset_ = offset;
      known_ = true;
      apart_ = 0;
      return;
    }
    apartSamples_[static_cast<size_t>(apart_++)] = offset;
    if (apart_ < kRetakeAfter) return;
    std::sort(apartSamples_.begin(), apartSamples_.end());
    offset_ = apartSamples_[kRetakeAfter / 2];
    apart_ = 0;
  }
  // Moves the place by `frames`, as the audio itself showed it to be.
  void shift(int64_t frames) { offset_ += frames; }
  bool known() const { return known_; }
  // The monitor's frame that the capture's frame 0 stands beside.
  int64_t offset() const { return offset_; }

 private:
  const int64_t tolerance_;
  bool known_ = false;
  int64_t offset_ = 0;
  int apart_ = 0;  // samples running that stood too far from the place
  std::array<int64_t, kRetakeAfter> apartSamples_{};
};

}  // namespace platform::pulse
