// How far one recording of a sound lags another, found in the audio itself: the server's timing
// places an application stream's capture against the monitor within a few milliseconds, but a
// switch between two copies of a tone that far apart cancels it for a moment. Where the monitor
// carries the stream's sound too (an output not muted), the lag is found to the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform::pulse {

// `reference` holds `frames` frames; `other` holds `frames + 2 * maxLag`, its frame `j` placed
// beside the reference's `j - maxLag`. Returns by how many frames `other` is placed too early
// (the reference's frame `i` is `other`'s placed at `i - lag`), if the two are clearly the same
// sound; the smallest such lag where a steady tone matches at several.
// Whether `frames` frames hold a sound loud enough to tell a lag by, at least `level` of full
// scale (the monitor of an output turned down to 10 % carries a sound at a thousandth of its
// level: quiet, but not too quiet to match).
bool audible(const float* samples, size_t frames, uint32_t channels, double level);

std::optional<int64_t> findLag(const float* reference, const float* other, size_t frames,
                               uint32_t channels, size_t maxLag);

// Takes out of the `samples` values of `reference` the multiple of `explained` that best accounts
// for them: a monitor less the streams already placed in it, in which a stream quieter than
// another is matched by its own sound (beside one 6 dB louder, it is too little alike the whole
// monitor to be matched at all, and its capture, placed by the timing alone, breaks the tone
// where the monitor takes over from it).
void removeExplained(float* reference, const float* explained, size_t samples);

}  // namespace platform::pulse
