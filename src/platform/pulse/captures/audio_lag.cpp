#include "platform/pulse/captures/audio_lag.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace platform::pulse {
namespace {

// How alike the two must be (normalized correlation) to count as one sound: other streams mixed
// into the monitor lower it (one of two as loud: 0.7; of three: 0.58), while two sounds that are
// not the same stay near 0 over the frames compared.
constexpr double kAlike = 0.5;
// A peak of the match this close to the best is as good: a steady tone matches once a period.
constexpr double kAsGood = 0.98;
// Below this the other copy is too quiet to tell anything by (-50 dB).
constexpr double kQuietPower = 1e-5;

double power(const float* samples, size_t frames, uint32_t channels) {
  double sum = 0;
  for (size_t i = 0; i < frames; ++i) sum += samples[i * channels] * samples[i * channels];
  return sum;
}

}  // namespace

bool audible(const float* samples, size_t frames, uint32_t channels, double level) {
  return frames > 0 &&
         power(samples, frames, channels) / static_cast<double>(frames) >= level * level;
}

std::optional<int64_t> findLag(const float* reference, const float* other, size_t frames,
                               uint32_t channels, size_t maxLag) {
  if (frames == 0 || channels == 0) return std::nullopt;
  auto at = [channels](const float* samples, size_t frame) { return samples[frame * channels]; };
  const double referencePower = power(reference, frames, channels);
  if (referencePower == 0) return std::nullopt;  // a muted output: nothing to match
  std::vector<double> match(2 * maxLag + 1);
  double best = 0;
  for (size_t shift = 0; shift <= 2 * maxLag; ++shift) {
    // Lag `maxLag - shift`: the reference's frame i beside other's frame i + shift.
    double product = 0;
    double otherPower = 0;
    for (size_t i = 0; i < frames; ++i) {
      const double value = at(other, i + shift);
      product += at(reference, i) * value;
      otherPower += value * value;
    }
    if (otherPower / static_cast<double>(frames) < kQuietPower) return std::nullopt;
    match[shift] = product / std::sqrt(referencePower * otherPower);
    best = std::max(best, match[shift]);
  }
  if (best < kAlike) return std::nullopt;
  std::optional<int64_t> found;
  for (size_t shift = 0; shift <= 2 * maxLag; ++shift) {
    const bool peak = (shift == 0 || match[shift] >= match[shift - 1]) &&
                      (shift == 2 * maxLag || match[shift] >= match[shift + 1]);
    const int64_t lag = static_cast<int64_t>(maxLag) - static_cast<int64_t>(shift);
    if (peak && match[shift] >= kAsGood * best &&
        (!found || std::llabs(lag) < std::llabs(*found))) {
      found = lag;
    }
  }
  return found;
}

void removeExplained(float* reference, const float* explained, size_t samples) {
  double product = 0;
  double explainedPower = 0;
  for (size_t i = 0; i < samples; ++i) {
    product += static_cast<double>(reference[i]) * explained[i];
    explainedPower += static_cast<double>(explained[i]) * explained[i];
  }
  if (explainedPower == 0) return;
  const auto scale = static_cast<float>(product / explainedPower);
  for (size_t i = 0; i < samples; ++i) reference[i] -= scale * explained[i];
}

}  // namespace platform::pulse
