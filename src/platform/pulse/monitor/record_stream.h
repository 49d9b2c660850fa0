// One record stream of the server's, on a source: made, run, corked and let go of. What it sends
// is collected as it comes, mixed to the recording's channels, until its owner takes it.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/media.h"
#include "platform/pulse/monitor/downmix.h"

namespace platform::pulse {

class RecordStream {
 public:
  // Each runs on the loop's thread, under its lock.
  struct Handlers {
    std::function<void()> ready;       // the stream runs
    std::function<void(int)> failed;   // the server ended it, with the library's error code
    std::function<void()> terminated;  // it ended without an error (disconnected, or killed)
    std::function<void()> moved;       // the server moved it to another source
  };

  // `frames` describes the recording's frames, which the stream's are mixed to. The server sends
  // the audio in pieces of `pieceSeconds`.
  RecordStream(pa_context* context, const StreamBasicDescription& frames, Handlers handlers,
               double pieceSeconds = kPieceSeconds);
  // Small, so that the file ends with what sounded until the stop; the loop's pace, not this,
  // decides how often the process wakes.
  static constexpr double kPieceSeconds = 0.02;
  // Disconnects, if need be: no handler runs afterwards.
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Records `source`, or only what one application's stream (`attachedTo`, a sink input) plays to
  // the output that `source` monitors; a non-zero library error code if the stream cannot even be
  // asked for.
  int connect(const std::string& source, uint32_t attachedTo = PA_INVALID_INDEX);
  bool running() const;
  void setCorked(bool corked);
  bool corked() const { return corked_; }
  // Asks the server for pieces of `seconds` from now on.
  void setPiece(double seconds);
  // Collects whatever the library holds of the stream's audio.
  void read();
  // What was collected since the last take, in the recording's frames (whole ones at the front).
  std::vector<uint8_t>& collected() { return collected_; }
  // How many frames have been collected since the stream was made, taken or not.
  uint64_t collectedFrames() const { return collectedBytes_ / frames_.bytesPerFrame; }
  // From now on what the stream sends is dropped: the recording has ended.
  void stopCollecting() { collecting_ = false; }
  // A round trip to the server: what it has sent before the answer has arrived with it.
  pa_operation* updateTiming(pa_stream_success_cb_t callback, void* userdata);
  // Asks the server when the stream's audio sounded, unless a question is under way already or
  // the last was asked less than `sinceSeconds` ago.
  void askTiming(double sinceSeconds);
  // When the stream's frame 0 sounded at the output, in seconds of the clock the server's timing
  // is told in, by the last answer; 0 before the first. Frame `f` sounded `f / rate` after it.
  double frameZeroSeconds() const { return frameZeroSeconds_; }
  // How many answers have come, and when the question behind the last was asked.
  uint64_t timings() const { return timings_; }
  // Whether the last answer tells of the stream as it runs now: its frames stop while it is corked
  // and time does not, so an answer from before the last uncork places them too late.
  bool timingCurrent() const { return timingTellsOfCollected() && !corked_; }
  // Whether it tells of the frames collected so far: those of a stream corked since included.
  bool timingTellsOfCollected() const { return timings_ > 0 && lastTimingAskedAt_ >= uncorkedAt_; }
  double lastTimingAskedAt() const { return lastTimingAskedAt_; }
  // Asks the server to end the stream; `terminated` runs once it has.
  void disconnect();

 private:
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, size_t, void* self);
  static void onMoved(pa_stream*, void* self);
  static void onTiming(pa_stream* stream, int success, void* self);
  // The state callback of a stream let go of while the server was still making it.
  static void endOnceRunning(pa_stream* stream, void*);
  // The stream runs: what it delivers is read in the layout the server gave it.
  void takeLayout();

  const StreamBasicDescription frames_;
  const Handlers handlers_;
  double pieceSeconds_;
  double connectedPiece_ = 0;  // as asked for when connecting
  pa_stream* stream_ = nullptr;
  int madeError_ = 0;  // why the stream could not be made
  Downmix downmix_;
  std::vector<uint8_t> collected_;
  uint64_t collectedBytes_ = 0;
  bool collecting_ = true;
  pa_operation* timingAsked_ = nullptr;
  double timingAskedAt_ = 0;
  double lastTimingAskedAt_ = 0;
  double frameZeroSeconds_ = 0;
  uint64_t timings_ = 0;
  bool corked_ = false;
  double uncorkedAt_ = 0;
};

}  // namespace platform::pulse
