// The capture of one application's stream (a sink input) on its own, before the output's volume
// and mute: a record stream on the output's monitor attached to that stream, with its audio placed
// among the monitor's frames.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <string>

#include "platform/media.h"
#include "platform/pulse/captures/capture_alignment.h"
#include "platform/pulse/captures/stream_mix.h"
#include "platform/pulse/monitor/record_stream.h"

namespace platform::pulse {

class AppStreamCapture {
 public:
  // How soon a capture not yet placed asks the server's timing again; the monitor's is asked as
  // often meanwhile. A placed capture keeps its place (both are rendered by one output), and is
  // asked nothing more: PipeWire's server, asked about a stream that its output's removal was
  // ending, now and then broke the connection with a malformed answer.
  static constexpr double kPlaceSeconds = 0.02;
  // How many times its place is looked for in its sound: a moment of it may be too unlike the
  // monitor's (another stream louder there, not placed yet).
  static constexpr int kRefineTries = 8;

  // Under the loop's lock, as everything below. `source` is the monitor of the output the stream
  // plays to.
  AppStreamCapture(pa_context* context, const StreamBasicDescription& frames, uint32_t appStream,
                   const std::string& source);
  AppStreamCapture(const AppStreamCapture&) = delete;
  AppStreamCapture& operator=(const AppStreamCapture&) = delete;

  uint32_t appStream() const { return appStream_; }
  // Nothing more comes: the server ended it (the stream ended, say), or it was let go of.
  bool ended() const { return ended_ || letGo_; }
  bool endedByServer() const { return ended_; }
  // The server ended it before any of its audio came: it would not capture that stream, which is
  // left to the monitor.
  bool refused() const { return ended_ && !alignment_.known(); }
  // Whether its audio has a place among the monitor's frames yet.
  bool placed() const { return alignment_.known(); }
  // Still running, and not placed yet.
  bool unplaced() const { return !placed() && !ended(); }
  // Nothing more is to be captured: the stream has stopped playing to the output.
  void finish();

  // Reads what the library holds.
  void read() { stream_.read(); }
  // Asks the server when its audio sounded, until it is placed among the monitor's frames by the
  // answers.
  void askTiming();
  void place(const RecordStream& monitor);
  // Places it to the frame by its sound in the monitor's frames [first, first + frames), if the
  // monitor carries it (an output not muted) and it has not been yet: a switch between the two
  // placed even a millisecond apart cancels a tone for a moment. Tried before each mix, on the
  // newest of its sound, while all of it is held back.
  void refine(const float* monitor, int64_t first, size_t frames, uint32_t channels);
  // Whether its place is still to be found by its sound, and whether it was.
  bool refining() const { return placed() && refineTries_ < kRefineTries && !ended(); }
  bool placedBySound() const { return placedBySound_; }
  // Whether its sound waits to be placed so: the monitor's audio is held back meanwhile.
  bool settling() const { return settling_ && !ended(); }
  // Its audio not yet mixed, on the monitor's frames; valid until the next call that changes it.
  MixSource source();
  // Lets go of its audio before the monitor's frame `frame`: mixed, or too late to be.
  void dropBefore(int64_t frame);
  bool drained() { return source().frames == 0; }

 private:
  const uint32_t appStream_;
  const uint32_t bytesPerFrame_;
  const double rate_;
  RecordStream stream_;
  CaptureAlignment alignment_;
  const double madeAt_;
  double firstPlaceAt_ = 0;  // when it was first to be placed
  uint64_t placedBy_ = 0;    // the timing answers taken
  uint64_t dropped_ = 0;     // frames let go of from the front of what was collected
  int refineTries_ = 0;
  bool settling_ = false;
  bool placedBySound_ = false;
  bool ended_ = false;
  bool letGo_ = false;
};

}  // namespace platform::pulse
