// The recording's one channel, made from the source's own channels. The server is asked for the
// output's layout as it is and the channels are averaged here, in float: an average is never louder
// than the loudest channel, and is the same on every server. Left to the server, the downmix is
// not: PulseAudio averages, but PipeWire adds stereo at -3 dB per channel, so a sound in both
// channels came out 3 dB louder than it played (clipped, near full scale).
#pragma once

#include <pulse/sample.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::pulse {

class Downmix {
 public:
  // From now on the source's frames have `sourceChannels` channels, of which the recording keeps
  // `keptChannels`. Only a mix down to one channel is made here; frames whose count already is the
  // recording's pass as they are.
  void setLayout(uint32_t sourceChannels, uint32_t keptChannels);
  // Appends to `out` what `length` bytes of the source's interleaved float frames make; no data (a
  // hole in what the server sent) is silence of that length. Allocates nothing beyond `out`'s own
  // growth: it runs for every piece the server sends.
  void append(const void* data, size_t length, std::vector<uint8_t>& out);

 private:
  void mix(const uint8_t* frames, size_t count, uint8_t* mono) const;
  // Keeps the start of a frame that the piece ends in (zeros for a hole) until the rest comes.
  void keepPartial(const uint8_t* data, size_t length);

  uint32_t channels_ = 1;
  bool mixing_ = false;
  float scale_ = 1;
  // The library hands over whole frames, but nothing promises it: a frame split between two
  // pieces waits here, so that the channels never slip out of step.
  std::array<uint8_t, PA_CHANNELS_MAX * sizeof(float)> partial_{};
  size_t partialBytes_ = 0;
};

}  // namespace platform::pulse
