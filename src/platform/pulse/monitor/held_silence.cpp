#include "platform/pulse/monitor/held_silence.h"

#include <utility>

namespace platform::pulse {

std::vector<std::shared_ptr<const SampleBuffer>> HeldSilence::take() {
  if (!zeros_)
    zeros_ = std::make_shared<const std::vector<uint8_t>>(longest_ * frames_.bytesPerFrame);
  std::vector<std::shared_ptr<const SampleBuffer>> pieces;
  for (uint64_t left = std::exchange(held_, 0); left > 0;) {
    const uint64_t piece = left < longest_ ? left : longest_;
    pieces.push_back(
        std::make_shared<const SampleBuffer>(frames_, static_cast<int64_t>(piece), zeros_));
    left -= piece;
  }
  return pieces;
}

}  // namespace platform::pulse
