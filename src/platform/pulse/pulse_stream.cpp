// A record stream on the monitor of the default output device, as a capture stream. When the
// default output changes (headphones plugged in), or the recorded one goes away while another is
// left, the capture moves to the new default's monitor; only when no output is left does the
// capture fail.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_service.h"
#include "platform/pulse/timeline.h"

namespace platform::pulse {
namespace {

// The most audio the server holds back before it sends it, which a stop cannot take with it. Small,
// so that the file ends with what sounded until the stop; the loop's pace, not this, decides how
// often the process wakes.
constexpr double kFragmentSeconds = 0.02;
// How much audio the server keeps for the capture before it drops some: far more than collects
// between two reads, so that a busy machine loses nothing either.
constexpr double kBufferSeconds = 4.0;
// A server that does not confirm a disconnect within this time is not waited for any longer.
constexpr pa_usec_t kStopLimitUsec = 1000 * 1000;
// How long a capture whose output went away, while others are left, waits for the server to name
// another default (PipeWire's session manager names one a moment after the removal, later on a
// busy machine) before it fails; and how often it asks meanwhile, should a change go unannounced.
constexpr pa_usec_t kNewDefaultLimitUsec = 5000 * 1000;
constexpr pa_usec_t kNewDefaultPollUsec = 100 * 1000;
// How long the server must list no output at all before the capture fails: PipeWire, busy, can
// show a moment with neither a default nor an output while it replaces the one that went away.
constexpr pa_usec_t kNoOutputLimitUsec = 500 * 1000;
// Silence goes out in pieces no longer than the audio of one of the loop's relaxed turns, so that a
// long stretch of it costs no more memory than the audio would.
constexpr double kLongestSilenceSeconds = 0.5;

double secondsNow() {
  return static_cast<double>(pa_rtclock_now()) / 1e6;
}

class PulseStream final : public Stream {
 public:
  PulseStream(const ContentFilter& filter, const StreamConfiguration& configuration,
              std::weak_ptr<StreamDelegate> delegate)
      : Stream(filter, configuration, std::move(delegate)),
        connection_(Connection::shared()),
        sink_(filter.display().name),
        source_(filter.display().source),
        description_(packedFloatDescription(static_cast<double>(configuration.sampleRate()),
                                            static_cast<uint32_t>(configuration.channelCount()))) {
    LoopLock lock(connection_.loop());
    connection_.loop().addBurstEndHandler(this, [this] { deliverBatch(); });
    connection_.loop().addQuietHandler(this, [this] { catchUpWithClock(); });
  }

  ~PulseStream() override {
    LoopLock lock(connection_.loop());
    connection_.loop().removeBurstEndHandler(this);
    connection_.loop().removeQuietHandler(this);
    // No reply may reach this object once it is gone.
    for (pa_operation* operation : operations_) {
      if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
      pa_operation_unref(operation);
    }
    release();
    unsubscribe();
    if (stopTimer_) connection_.loop().api()->time_free(stopTimer_);
    cancelLostTimer();
  }

  void startCapture(CompletionHandler handler) override {
    connection_.whenReady([this, handler = std::move(handler)](std::optional<Error> error) mutable {
      if (error) return handler(std::move(error));
      startHandler_ = std::move(handler);
      if (int code = connect()) finishStart(libraryError(code));
    });
  }

  void handOverHeldBuffers(std::function<void()> then) override {
    connection_.loop().afterNextBurst(std::move(then));
  }

  void stopCapture(CompletionHandler handler) override {
    LoopLock lock(connection_.loop());
    if (!stopHandlers_.empty()) {  // a stop under way: this one ends with it
      stopHandlers_.push_back(std::move(handler));
      return;
    }
    unsubscribe();
    stopping_ = true;
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) {
      release();
      return handler(std::nullopt);
    }
    // The recording reaches the moment of the stop, with everything the server has sent until
    // then: a round trip to the server brings in what is on its way before the stream ends.
    stopSeconds_ = secondsNow();
    stopHandlers_.push_back(std::move(handler));
    stopTimer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kStopLimitUsec,
                                       onStopTimeout, this);
    connection_.loop().setPaced(false);
    if (!track(pa_stream_update_timing_info(stream_, onTailArrived, this))) disconnectAfterTail();
  }

 private:
  static void onTailArrived(pa_stream*, int, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (self->stream_ && !self->tailTaken_) self->disconnectAfterTail();
  }

  void disconnectAfterTail() {
    takeTail();
    pa_stream_disconnect(stream_);
  }

  // The recording reaches the moment of the stop: what the server sent until then, and silence for
  // whatever it did not (a server that had stopped answering, say).
  void takeTail() {
    if (tailTaken_) return;
    if (stream_) onRead(stream_, 0, this);
    deliverBatch();
    if (timeline_) deliverSilence(timeline_->silenceUntil(stopSeconds_));
    tailTaken_ = true;
  }

  // Keeps an operation whose reply will reach this object; false if it could not be asked for.
  bool track(pa_operation* operation) {
    if (!operation) return false;
    std::erase_if(operations_, [](pa_operation* done) {
      if (pa_operation_get_state(done) == PA_OPERATION_RUNNING) return false;
      pa_operation_unref(done);
      return true;
    });
    operations_.push_back(operation);
    return true;
  }

  // While a reply is awaited (the lookups of a move), the server is read as it sends; only a stream
  // that runs undisturbed is read at the loop's pace.
  void awaitReply() {
    ++awaitedReplies_;
    connection_.loop().setPaced(false);
  }
  void replyArrived() {
    if (awaitedReplies_ > 0) --awaitedReplies_;
  }

  // Starts the record stream; a non-zero library error code if it cannot even be asked for.
  int connect() {
    pa_context* context = connection_.context();
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE,
                                    static_cast<uint32_t>(configuration().sampleRate()),
                                    static_cast<uint8_t>(configuration().channelCount())};
    if (!pa_sample_spec_valid(&sampleSpec)) return PA_ERR_INVALID;
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(context, "System audio", &sampleSpec, &map);
    if (!stream_) return pa_context_errno(context);
    pa_stream_set_state_callback(stream_, onState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_stream_set_moved_callback(stream_, onMoved, this);

    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);  // server defaults, but for:
    attributes.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(kFragmentSeconds * 1e6), &sampleSpec));
    // Room for what collects between two relaxed reads, many times over: a server whose buffer
    // overflows drops audio (PipeWire's default room is smaller than PulseAudio's).
    attributes.maxlength = static_cast<uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(kBufferSeconds * 1e6), &sampleSpec));
    // A monitor records all its output plays; the stream must never wander to another source.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_, source_.c_str(), &attributes, flags) < 0) {
      return pa_context_errno(context);
    }
    connection_.loop().setPaced(false);  // until it runs
    return 0;
  }

  void finishStart(std::optional<Error> error) {
    if (error) release();
    if (auto handler = std::move(startHandler_)) {
      startHandler_ = nullptr;
      handler(std::move(error));
    }
  }

  void finishStop(std::optional<Error> error) {
    if (stopTimer_) {
      connection_.loop().api()->time_free(stopTimer_);
      stopTimer_ = nullptr;
    }
    release();
    std::vector<CompletionHandler> handlers;
    handlers.swap(stopHandlers_);
    for (CompletionHandler& handler : handlers) handler(error);
  }

  // Lets go of the library's stream; no callback of it runs afterwards. What it delivered is kept.
  void release() {
    if (!stream_) return;
    deliverBatch();
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY ||
        pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
      pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  // The stream ended without being asked to: the capture has failed.
  void fail(const Error& error) {
    if (startHandler_) return finishStart(error);
    if (stopping_) return finishStop(std::nullopt);
    release();
    unsubscribe();
    cancelLostTimer();
    reportStop(error);
  }

  // The recorded stream ended while the server is still there: its output may have gone. Follow
  // the default output if there still is one; fail with the stream's error otherwise.
  void followOrFail(const Error& error) {
    if (startHandler_ || stopping_ ||
        pa_context_get_state(connection_.context()) != PA_CONTEXT_READY) {
      return fail(error);
    }
    release();
    lostError_ = error;
    lostDeadline_ = pa_rtclock_now() + kNewDefaultLimitUsec;
    noOutputSince_ = 0;
    lostTimer_ = pa_context_rttime_new(connection_.context(),
                                       pa_rtclock_now() + kNewDefaultPollUsec, onLostTimer, this);
    lookUpDefault();
  }

  static void onLostTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                          void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (self->stream_ || self->stopping_) return self->cancelLostTimer();
    if (pa_rtclock_now() >= self->lostDeadline_) {
      self->cancelLostTimer();
      return self->fail(*self->lostError_);
    }
    pa_context_rttime_restart(self->connection_.context(), timer,
                              pa_rtclock_now() + kNewDefaultPollUsec);
    self->lookUpDefault();
  }

  void cancelLostTimer() {
    if (!lostTimer_) return;
    connection_.loop().api()->time_free(lostTimer_);
    lostTimer_ = nullptr;
  }

  // Follows the server's changes of default output from now on.
  void subscribe() {
    connection_.watchServer([this] { lookUpDefault(); });
    subscribed_ = true;
  }

  void unsubscribe() {
    if (!subscribed_) return;
    connection_.watchServer(nullptr);
    subscribed_ = false;
  }

  void lookUpDefault() {
    if (track(pa_context_get_server_info(connection_.context(), onServerInfo, this))) awaitReply();
  }

  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->replyArrived();
    if (self->stopping_ || !self->subscribed_) return;
    const std::string sink = info && info->default_sink_name ? info->default_sink_name : "";
    if (sink.empty()) {
      // No default: if no output is left at all for a while, the capture has failed; if one is,
      // the server is about to name it.
      if (!self->stream_) {
        if (self->track(pa_context_get_sink_info_list(context, onAnyOutput, self))) {
          self->awaitReply();
        }
      }
      return;
    }
    if (sink == self->sink_ && self->stream_) return;  // still recording the default
    if (self->track(pa_context_get_sink_info_by_name(context, sink.c_str(), onDefaultSink, self))) {
      self->awaitReply();
    }
  }

  static void onAnyOutput(pa_context*, const pa_sink_info*, int eol, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (eol == 0) {
      self->noOutputSince_ = 0;
      return;
    }
    self->replyArrived();
    if (self->stopping_ || !self->subscribed_ || self->stream_) return;
    if (eol < 0) return;  // no answer: the next question decides
    const pa_usec_t now = pa_rtclock_now();
    if (!self->noOutputSince_) self->noOutputSince_ = now;
    if (now - self->noOutputSince_ < kNoOutputLimitUsec) return;
    self->cancelLostTimer();
    self->fail(self->lostError_ ? *self->lostError_ : libraryError(PA_ERR_NOENTITY));
  }

  // A default that cannot be found (already gone, or not yet there) is waited for: the next change
  // of default, or the time limit, decides.
  static void onDefaultSink(pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (eol != 0) return self->replyArrived();
    if (!sink || !sink->monitor_source_name) return;
    if (self->stopping_ || !self->subscribed_) return;
    if (self->stream_ && sink->name == self->sink_) return;
    self->moveTo(sink->name, sink->monitor_source_name);
  }

  // Records the monitor of another output from now on. What the old stream delivered is kept; the
  // moment in between becomes silence through the timeline.
  void moveTo(const std::string& sink, const std::string& source) {
    if (stream_) {
      onRead(stream_, 0, this);
      release();
    }
    sink_ = sink;
    source_ = source;
    lostError_.reset();
    cancelLostTimer();
    if (int code = connect()) fail(libraryError(code));
  }

  static void onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    switch (pa_stream_get_state(stream)) {
      case PA_STREAM_READY:
        self->resuming_ = true;  // after a start or a move: the moment in between is a gap
        if (!self->timeline_) {
          // The recording's time zero: what plays from now on belongs at its moment in the file.
          self->timeline_.emplace(static_cast<uint32_t>(self->description_.sampleRate),
                                  secondsNow());
          self->subscribe();
        }
        if (self->startHandler_) self->finishStart(std::nullopt);
        break;
      case PA_STREAM_FAILED:
        self->followOrFail(libraryError(pa_context_errno(pa_stream_get_context(stream))));
        break;
      case PA_STREAM_TERMINATED:
        if (self->stopping_) {
          self->finishStop(std::nullopt);
        } else {
          self->followOrFail(libraryError(PA_ERR_KILLED));
        }
        break;
      default:
        break;
    }
  }

  // Collects what the server sends; the loop hands it over in one piece when a burst of reads
  // ends. A hole the server reports is silence.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    const void* data;
    size_t length;
    while (pa_stream_peek(stream, &data, &length) == 0 && length > 0) {
      if (!self->tailTaken_) {
        const auto* from = static_cast<const uint8_t*>(data);
        if (from) {
          self->batch_.insert(self->batch_.end(), from, from + length);
        } else {
          self->batch_.resize(self->batch_.size() + length);
        }
      }
      pa_stream_drop(stream);
    }
  }

  // One sample buffer for everything a burst of reads collected. Audio that came the moment it
  // was sent tells how far the recording lags the clock; audio that waited for the loop's turn
  // says nothing about that, and is only counted.
  void deliverBatch() {
    size_t frames = batch_.size() / description_.bytesPerFrame;
    if (frames == 0) return;
    batch_.resize(frames * description_.bytesPerFrame);
    PacedLoop& loop = connection_.loop();
    if (timeline_) {
      const uint64_t dropped = timeline_->overlap(frames, secondsNow());
      batch_.erase(batch_.begin(),
                   batch_.begin() + static_cast<ptrdiff_t>(dropped * description_.bytesPerFrame));
      frames -= dropped;
      if (frames == 0) return;
      if (loop.burstArrivedPromptly()) {
        deliverSilence(timeline_->silenceBefore(frames, loop.burstStartSeconds(), resuming_));
      } else {
        timeline_->count(frames);
      }
    }
    resuming_ = false;
    // Digital silence (an output that plays nothing, or only silence) is handed over as silence,
    // and read at the relaxed pace: nothing in it is worth waking for more often.
    const bool silent =
        std::all_of(batch_.begin(), batch_.end(), [](uint8_t byte) { return byte == 0; });
    if (silent) {
      batch_.clear();
      deliverSilence(frames);
    } else {
      const size_t reserve = batch_.size();
      deliverSamples(std::move(batch_), frames);
      batch_ = std::vector<uint8_t>();
      batch_.reserve(reserve);
    }
    const bool running = stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY;
    if (running && !stopping_ && awaitedReplies_ == 0) {
      loop.setPaced(true);  // undisturbed
      loop.setRelaxed(silent);
    }
  }

  // The server has sent nothing for a while. An output that sleeps sends nothing: the file grows
  // with the clock all the same, so that it is as long as the recording so far even if the process
  // is killed, and a long sleep never has to be made up at once. But a server that is itself held
  // up (frozen, swapped out), or an output that renders in long blocks, sends later what it owes:
  // silence put in now would be doubled by it. So the output is asked first: only one that is not
  // running (or a server that answers that it has none) stands for silence, up to the moment of
  // the question. A server that does not answer is asked nothing more until it does.
  void catchUpWithClock() {
    if (!timeline_ || stopping_ || !batch_.empty()) return;
    resuming_ = true;  // whatever comes next ends a quiet stretch
    if (outputAsked_) return;
    outputAskedAt_ = secondsNow();
    outputAsked_ = track(pa_context_get_sink_info_by_name(connection_.context(), sink_.c_str(),
                                                          onQuietOutput, this));
  }

  static void onQuietOutput(pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (eol != 0) {
      self->outputAsked_ = false;
      return;
    }
    if (!sink || sink->state == PA_SINK_RUNNING) return;  // what it plays is on its way
    if (!self->timeline_ || self->stopping_ || !self->batch_.empty()) return;
    self->deliverSilence(self->timeline_->silenceUntil(self->outputAskedAt_));
  }

  // Every piece of silence shares one block of zeros, made once.
  void deliverSilence(uint64_t frames) {
    if (frames == 0) return;
    const auto longest = static_cast<uint64_t>(kLongestSilenceSeconds * description_.sampleRate);
    if (!zeros_) {
      zeros_ = std::make_shared<const std::vector<uint8_t>>(longest * description_.bytesPerFrame);
    }
    for (uint64_t left = frames; left > 0;) {
      const uint64_t piece = left < longest ? left : longest;
      deliver(
          std::make_shared<const SampleBuffer>(description_, static_cast<int64_t>(piece), zeros_),
          StreamOutputType::audio);
      left -= piece;
    }
  }

  void deliverSamples(std::vector<uint8_t> samples, size_t frames) {
    deliver(std::make_shared<const SampleBuffer>(description_, static_cast<int64_t>(frames),
                                                 std::move(samples)),
            StreamOutputType::audio);
  }

  static void onMoved(pa_stream*, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->fail(Error(kDomain, PA_ERR_NOTSUPPORTED,
                     "the sound server moved the capture to another source"));
  }

  static void onStopTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                            void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    self->takeTail();
    self->finishStop(libraryError(PA_ERR_TIMEOUT));
  }

  Connection& connection_;
  std::string sink_;    // the output recorded, and
  std::string source_;  // its monitor
  const StreamBasicDescription description_;
  // Everything below is touched only under the main loop's lock.
  pa_stream* stream_ = nullptr;
  CompletionHandler startHandler_;
  std::vector<CompletionHandler> stopHandlers_;
  pa_time_event* stopTimer_ = nullptr;
  bool stopping_ = false;       // a stop was asked for
  double stopSeconds_ = 0;      // when
  bool tailTaken_ = false;      // the recording has reached the stop: nothing more goes in
  std::vector<uint8_t> batch_;  // what the current burst of reads collected
  std::shared_ptr<const std::vector<uint8_t>> zeros_;  // silence, from the first on
  std::vector<pa_operation*> operations_;              // whose replies are still to come, or came
  int awaitedReplies_ = 0;
  std::optional<Timeline> timeline_;  // from the moment the stream runs
  bool resuming_ = true;      // the next audio is the first of a stream, or after a quiet stretch
  bool subscribed_ = false;   // to the server's changes of default output
  bool outputAsked_ = false;  // whether the recorded output runs, after a quiet stretch
  double outputAskedAt_ = 0;
  std::optional<Error> lostError_;      // why the recorded stream ended, while looking for another
  pa_time_event* lostTimer_ = nullptr;  // asks again for the default until the deadline
  pa_usec_t lostDeadline_ = 0;
  pa_usec_t noOutputSince_ = 0;  // when the server was first seen to list no output, or 0
};

}  // namespace

std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                   const StreamConfiguration& configuration,
                                   std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<PulseStream>(filter, configuration, std::move(delegate));
}

}  // namespace platform::pulse
