// A record stream on the monitor of the default output device, as a capture stream. When the
// default output changes (headphones plugged in), or the recorded one goes away while another is
// left, the capture moves to the new default's monitor; only when no output is left does the
// capture fail. While no application plays to the output, the stream is corked and the file is
// kept on the clock with silence of our own.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/timeline.h"

namespace platform::pulse {

class PulseStream final : public Stream {
 public:
  PulseStream(const ContentFilter& filter, const StreamConfiguration& configuration,
              std::weak_ptr<StreamDelegate> delegate);
  ~PulseStream() override;
  void startCapture(CompletionHandler handler) override;
  void handOverHeldBuffers(std::function<void()> then) override;
  void stopCapture(CompletionHandler handler) override;

 private:
  // The stream's life: start, stop, failure.
  // Starts the record stream; a non-zero library error code if it cannot even be asked for.
  int connect();
  // The record stream runs: from the start, or after a move.
  void onReady();
  void finishStart(std::optional<Error> error);
  void finishStop(std::optional<Error> error);
  // Lets go of the library's stream; no callback of it runs afterwards. What it delivered is kept.
  void release();
  // The stream ended without being asked to: the capture has failed.
  void fail(const Error& error);
  static void onStopTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                            void* userdata);
  // Keeps an operation whose reply will reach this object; false if it could not be asked for.
  bool track(pa_operation* operation);
  // While a reply is awaited (the lookups of a move), the server is read as it sends; only a stream
  // that runs undisturbed is read at the loop's pace.
  void awaitReply();
  void replyArrived();

  // Following the default output.
  // The recorded stream ended while the server is still there: its output may have gone. Follow
  // the default output if there still is one; fail with the stream's error otherwise.
  void followOrFail(const Error& error);
  // Looks for the default output again every little while, for a while: while the recorded one is
  // lost, or while the default cannot be found yet.
  void keepLooking();
  static void onLookTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                          void* userdata);
  void stopLooking();
  // Follows the server's changes of default output from now on.
  void subscribe();
  void unsubscribe();
  // Moves to the default output the watch last heard of, if it is not the one recorded.
  void lookUpDefault();
  static void onAnyOutput(pa_context*, const pa_sink_info*, int eol, void* userdata);
  // A default that cannot be found (already gone, or not yet there) is looked for again, until
  // the next change of default or the time limit.
  static void onDefaultSink(pa_context*, const pa_sink_info* sink, int eol, void* userdata);
  // Records the monitor of another output from now on. What the old stream delivered is kept; the
  // moment in between becomes silence through the timeline.
  void moveTo(const std::string& sink, uint32_t sinkIndex, const std::string& source);
  // Whether applications play to the recorded output, as the watch last heard. While none does,
  // the record stream is corked once what the output played has been read, and the server sends
  // nothing: its silence is ours to count.
  void lookAtPlaying();
  void setCorked(bool corked);

  // Reading the server, and keeping the recording on the clock.
  static void onTailArrived(pa_stream*, int, void* userdata);
  void disconnectAfterTail();
  // The recording reaches the moment of the stop: what the server sent until then, and silence for
  // whatever it did not (a server that had stopped answering, say).
  void takeTail();
  // Whether the record stream holds audio not yet handed over.
  bool collecting() const { return stream_ && !stream_->collected().empty(); }
  // What the record stream collected, handed over when a burst of reads ends, as one sample
  // buffer. Audio that came the moment it was sent tells how far the recording lags the clock;
  // audio that waited for the loop's turn says nothing about that, and is only counted.
  void deliverBatch();
  // The server has sent nothing for a while: silence, if the output does not run.
  void catchUpWithClock();
  static void onQuietOutput(pa_context*, const pa_sink_info* sink, int eol, void* userdata);
  // Every piece of silence shares one block of zeros, made once. Silence that may wait is held
  // until there is enough of it for a piece of its own, or something else goes out.
  void deliverSilence(uint64_t frames, bool mayWait = false);
  // The silence held so far, in pieces that share the block of zeros. Pieces handed over together
  // wake the capture's queue once.
  std::vector<std::shared_ptr<const SampleBuffer>> takeHeldSilence();
  void deliverSamples(std::vector<uint8_t> samples, size_t frames);

  Connection& connection_;
  std::string sink_;    // the output recorded,
  uint32_t sinkIndex_;  // its index, and
  std::string source_;  // its monitor
  const StreamBasicDescription description_;
  // Everything below is touched only under the main loop's lock.
  std::unique_ptr<RecordStream> stream_;
  CompletionHandler startHandler_;
  std::vector<CompletionHandler> stopHandlers_;
  pa_time_event* stopTimer_ = nullptr;
  bool stopping_ = false;   // a stop was asked for
  double stopSeconds_ = 0;  // when
  bool tailTaken_ = false;  // the recording has reached the stop: nothing more goes in
  std::shared_ptr<const std::vector<uint8_t>> zeros_;  // silence, from the first on
  uint64_t heldSilence_ = 0;                           // frames of it not yet handed over
  std::vector<pa_operation*> operations_;              // whose replies are still to come, or came
  int awaitedReplies_ = 0;
  std::optional<Timeline> timeline_;  // from the moment the stream runs
  bool resuming_ = true;      // the next audio is the first of a stream, or after a quiet stretch
  bool subscribed_ = false;   // to the server's changes of default output
  bool anyPlaying_ = true;    // as far as is known, an application plays to the output
  bool outputAsked_ = false;  // whether the recorded output runs, after a quiet stretch
  double outputAskedAt_ = 0;
  std::optional<Error> lostError_;      // why the recorded stream ended, while looking for another
  pa_time_event* lookTimer_ = nullptr;  // looks again for the default until the deadline
  pa_usec_t lookDeadline_ = 0;
  pa_usec_t noOutputSince_ = 0;  // when the server was first seen to list no output, or 0
};

}  // namespace platform::pulse
