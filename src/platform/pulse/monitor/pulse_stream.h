// A record stream on the monitor of the default output device, as a capture stream; it moves with
// the default output (see OutputFollower). While no application plays to the output, the stream is
// corked and the file is kept on the clock with silence of our own.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pulse/captures/app_stream_captures.h"
#include "platform/pulse/connection/operations.h"
#include "platform/pulse/connection/output_follower.h"
#include "platform/pulse/connection/pulse_connection.h"
#include "platform/pulse/monitor/held_silence.h"
#include "platform/pulse/monitor/record_stream.h"
#include "platform/pulse/monitor/timeline.h"
#include "platform/pulse/path/capture_path.h"
#include "platform/pulse/path/monitor_gain.h"

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
  // The recording of the output ended while the server is still there: its output may have gone.
  // The default output is followed if there still is one; the capture fails with the error if not.
  void followOrFail(const Error& error);
  // Records the monitor of the output followed from now on. What the old stream delivered is kept;
  // the moment in between becomes silence through the timeline.
  void recordFollowedOutput();

  // Whether applications play to the recorded output, as the watch last heard. While none does,
  // the record stream is corked once what the output played has been read, and the server sends
  // nothing: its silence is ours to count.
  void lookAtPlaying();
  void setCorked(bool corked);
  // The monitor's pieces on the path chosen.
  double monitorPiece(const CapturePath& path, const ServerView& view) const;
  // The next audio is the first after a gap (a start, a move, an uncork, a quiet stretch).
  void resumeAfterGap();

  // Reading the server, and keeping the recording on the clock.
  static void onTailArrived(pa_stream*, int, void* userdata);
  void disconnectAfterTail();
  // The recording reaches the moment of the stop: what the server sent until then, and silence for
  // whatever it did not (a server that had stopped answering, say).
  void takeTail();
  // Whether the record stream holds audio not yet handed over.
  bool collecting() const { return stream_ && !stream_->collected().empty(); }
  // What the record stream collected, handed over when a burst of reads ends, as one sample
  // buffer, the applications' own streams mixed in. Audio that came the moment it was sent tells
  // how far the recording lags the clock; audio that waited for the loop's turn tells only the
  // least it lags, which shows what the server dropped. The last moments may wait for a capture a
  // little behind, unless `all` is to go now.
  // Nothing from the monitor's frame `until` on goes yet, nor from a pending hand-over's moment on.
  void deliverBatch(bool all = false, int64_t until = std::numeric_limits<int64_t>::max());
  // The monitor's frame that sounded at `realtime` (seconds of the server's timing clock), by its
  // last timing answer; none before the first since the last uncork.
  int64_t monitorFrameAt(double realtime) const;
  // Whether the monitor has sent what sounded until `realtime`, or will send nothing more for it
  // (corked, not running, its timing not known).
  bool monitorReached(double realtime) const;
  // The hand-overs whose moment the monitor has reached, or that have waited long enough for it:
  // what sounded before it goes, then their `then`.
  void runDueHandOvers();
  // Runs every hand-over, waited for long enough or not.
  void handOverNow();
  // What follows each burst: the batch, and whatever waited for it.
  void afterBurst();
  // Reads at the steady pace from now on, or at the relaxed one after `silent` audio, unless the
  // server is to be read as it sends (a reply awaited).
  void settlePace(bool silent);
  // The server has sent nothing for a while: silence, if the output does not run.
  void catchUpWithClock();
  static void onFirstLook(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                          void* userdata);
  static void onQuietOutput(pa_context*, const pa_sink_info* sink, int eol, void* userdata);
  // Silence that may wait is held until there is enough of it for a piece of its own, or
  // something else goes out. Pieces handed over together wake the capture's queue once.
  void deliverSilence(uint64_t frames, bool mayWait = false);
  void deliverSamples(std::vector<uint8_t> samples, size_t frames);

  Connection& connection_;
  const StreamBasicDescription description_;
  // Everything below is touched only under the main loop's lock.
  OutputFollower follower_;
  std::unique_ptr<RecordStream> stream_;
  std::optional<AppStreamCaptures> appStreams_;  // of the output stream_ records
  CapturePath path_;         // what records that output, as its levels were last heard
  MonitorGain monitorGain_;  // undoes those levels on stream_'s frames
  CompletionHandler startHandler_;
  std::vector<CompletionHandler> stopHandlers_;
  pa_time_event* stopTimer_ = nullptr;
  pa_time_event* firstLookTimer_ = nullptr;  // at the clock, just after the start
  bool stopping_ = false;                    // a stop was asked for
  double stopSeconds_ = 0;                   // when
  double stopAt_ = 0;                        // and when by the server's timing clock
  bool tailAwaited_ = false;  // the stop waits for the monitor to send what sounded until it
  // A hand-over (a mute, say) goes once the monitor has sent what sounded until its moment: the
  // server sends the monitor's audio up to a piece late, and what sounded after the moment is not
  // to go before it.
  struct HandOver {
    double at;         // by the server's timing clock
    double waitUntil;  // by the loop's
    std::function<void()> then;
  };
  std::vector<HandOver> handOvers_;
  bool tailTaken_ = false;             // the recording has reached the stop: nothing more goes in
  HeldSilence silence_{description_};  // not yet handed over
  Operations operations_;
  std::optional<Timeline> timeline_;  // from the moment the stream runs
  bool resuming_ = true;        // the next audio is the first of a stream, or after a quiet stretch
  double resumingSince_ = 0;    // when it began to be: a timing answer from before places nothing
  uint64_t renderedAhead_ = 0;  // frames handed over of the last stream that had not sounded
  uint64_t seenCollected_ = 0;  // the stream's frames collected by the last burst's end
  double newestSince_ = 0;      // the newest of them came after this
  bool anyPlaying_ = true;      // as far as is known, an application plays to the output
  bool outputAsked_ = false;    // whether the recorded output runs, after a quiet stretch
  double outputAskedAt_ = 0;
};

}  // namespace platform::pulse
