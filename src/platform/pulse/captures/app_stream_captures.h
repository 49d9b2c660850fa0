// The captures of the applications' streams that play to the recorded output, one each, started
// as a stream starts playing there and let go of as it stops (ends, pauses, or moves to another
// output), and their mix over the monitor's frames.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/media.h"
#include "platform/pulse/captures/app_stream_capture.h"
#include "platform/pulse/captures/stream_mix.h"
#include "platform/pulse/connection/server_watch.h"

namespace platform::pulse {

// The streams that `view` lists as playing to the output `sink`: not paused by their application,
// not on another output (one moved away included) nor on none yet. None until the watch has listed
// them.
std::vector<uint32_t> streamsPlayingTo(const ServerView& view, uint32_t sink);
// How many times the loop's usual pace the connection is to be read at while `captures` are made.
int readingPace(size_t captures, bool serverHoldsBackUnread);

class AppStreamCaptures {
 public:
  // Under the loop's lock, as everything below.
  AppStreamCaptures(pa_context* context, const StreamBasicDescription& frames);

  // Captures each stream that `view` lists as playing to the output `sink`, whose monitor is
  // `source`, and lets go of the others; lets go of all while the `monitorRecords` them. The
  // monitor stands in for what the captures lack only where it `sounds`.
  void follow(const ServerView& view, uint32_t sink, const std::string& source, bool monitorRecords,
              bool monitorSounds);
  // Lets go of every capture: the output is no longer recorded.
  void clear() { captures_.clear(); }
  bool empty() const { return captures_.empty(); }
  // How many times the loop's usual pace the connection is to be read at while there are captures.
  int readingPace() const { return pulse::readingPace(captures_.size(), holdsBack_); }
  // Whether a capture waits for its place among the monitor's frames: the server's answers are
  // to be read as they come.
  bool placing() const;
  void read();

  // Mixes the monitor's frames [first, first + frames) in place, as `monitor` collected them.
  // Returns how many of them, from the front, are done; the others wait for captures that are a
  // little behind, unless `all` are to go now.
  size_t mix(RecordStream& monitor, float* samples, int64_t first, size_t frames, bool all);

 private:
  // The monitor's frames as `capture` is to be placed in them: less the streams already placed to
  // the frame, where there are any.
  const float* withoutOthers(AppStreamCapture& capture, const float* samples, int64_t first,
                             size_t frames);

  pa_context* const context_;
  const StreamBasicDescription frames_;
  std::vector<std::unique_ptr<AppStreamCapture>> captures_;
  // Streams whose capture the server ended: not captured again while the server still lists them,
  // as it does for a moment after their end. Those it refused (ended before any audio came) are
  // the monitor's to stand in for meanwhile; those that ended are not.
  std::vector<uint32_t> over_;
  std::vector<uint32_t> refused_;
  bool standIn_ = false;       // a stream plays that no capture covers: the monitor stands in
  bool holdsBack_ = false;     // see ServerView
  bool monitorSounds_ = true;  // it has the output's sound to stand in with: not muted
  float gain_ = 1;             // undoes the monitor's volume, where it reaches the captures
  StreamMix mix_;
  std::vector<MixSource> sources_;  // reused from one mix to the next
  std::vector<float> explained_;    // and these while a capture is being placed
  std::vector<float> residual_;
};

}  // namespace platform::pulse
