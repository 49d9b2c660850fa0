// The recording made of the applications' own streams. The output's monitor carries what the
// output plays after its volume and mute, and the monitor's own: turned down, the recording is too;
// muted, it is silent. Each application's stream, captured on its own, carries its sound at the
// level the application plays it. This mixes those captures over the monitor's frames: where every
// stream that plays is captured, the file gets their sum, clipped as the output would; elsewhere
// (a stream whose capture has not started yet, or that the server refused) the monitor's own frame
// stands in, with a short ramp between the two so that a switch does not click.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::pulse {

// One application stream's audio, placed on the monitor's frames.
struct MixSource {
  const float* samples;  // `frames` interleaved frames, of the monitor's frame `first` on
  int64_t first;
  size_t frames;
  bool ended;  // nothing comes after its last frame: the stream stopped playing there
};

class StreamMix {
 public:
  StreamMix(uint32_t channels, uint32_t fadeFrames)
      : channels_(channels), fadeFrames_(fadeFrames) {}

  // How many of the monitor's `available` frames from `first` on can be mixed now: those that
  // every source still running covers already, and in any case those more than `holdFrames` older
  // than the newest (a capture so far behind is not waited for; the monitor stands in).
  static size_t ready(int64_t first, size_t available, std::span<const MixSource> sources,
                      size_t holdFrames);

  // Mixes the monitor's frames [first, first + frames) in place. A frame is the sources' sum where
  // at least one covers it and every other has either covered it or ended more than `tailFrames`
  // before it (a server may lose the last moments of a stream that ends: the monitor has them),
  // unless `standIn` (a stream plays that no source captures); elsewhere it is the monitor's. Where
  // the monitor stands in for a source's lost end, the ramp to it runs over the source's last
  // frames if they are still to be mixed (a capture behind the monitor, as PipeWire's come), while
  // both carry the sound: run after them, it fades the monitor in from silence.
  // The sources' sum is scaled by `gain` first: a server whose monitor's volume reaches them has
  // it undone.
  void mix(float* monitor, int64_t first, size_t frames, std::span<const MixSource> sources,
           bool standIn, size_t tailFrames, float gain);

 private:
  const uint32_t channels_;
  const uint32_t fadeFrames_;
  float weight_ = 0;  // of the sources' sum against the monitor, ramped from frame to frame
};

}  // namespace platform::pulse
