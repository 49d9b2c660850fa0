// Silence for the recording, counted in frames and handed over in pieces that all share one block
// of zeros, made once: a long stretch of it costs no more memory than the audio would.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media.h"

namespace platform::pulse {

class HeldSilence {
 public:
  // Pieces are no longer than the audio of two of the loop's relaxed turns.
  static constexpr double kLongestPieceSeconds = 0.5;

  explicit HeldSilence(const StreamBasicDescription& frames)
      : frames_(frames),
        longest_(static_cast<uint64_t>(kLongestPieceSeconds * frames.sampleRate)) {}

  void add(uint64_t frames) { held_ += frames; }
  bool empty() const { return held_ == 0; }
  // Whether silence that may wait for more still may: not once enough is held for a whole piece,
  // nor before the first piece has gone (the file appears with what is handed over first).
  bool mayWait() const { return zeros_ && held_ < longest_; }
  // All that is held, in pieces; nothing is held afterwards.
  std::vector<std::shared_ptr<const SampleBuffer>> take();

 private:
  const StreamBasicDescription frames_;
  const uint64_t longest_;
  uint64_t held_ = 0;
  std::shared_ptr<const std::vector<uint8_t>> zeros_;  // from the first piece on
};

}  // namespace platform::pulse
