// The stream's life: the record stream made and started, stopped with everything the server sent
// until the stop, or failed.
#include <cstring>

#include "platform/pulse/pulse_stream.h"

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

pa_buffer_attr bufferAttributes(const pa_sample_spec& format) {
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // server defaults, but for:
  attributes.fragsize = static_cast<uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(kFragmentSeconds * 1e6), &format));
  // Room for what collects between two relaxed reads, many times over: a server whose buffer
  // overflows drops audio (PipeWire's default room is smaller than PulseAudio's).
  attributes.maxlength = static_cast<uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(kBufferSeconds * 1e6), &format));
  return attributes;
}

}  // namespace

PulseStream::PulseStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                         std::weak_ptr<StreamDelegate> delegate)
    : Stream(filter, configuration, std::move(delegate)),
      connection_(Connection::shared()),
      sink_(filter.display().name),
      sinkIndex_(filter.display().displayID),
      source_(filter.display().source),
      description_(packedFloatDescription(static_cast<double>(configuration.sampleRate()),
                                          static_cast<uint32_t>(configuration.channelCount()))) {
  LoopLock lock(connection_.loop());
  connection_.loop().addBurstEndHandler(this, [this] { deliverBatch(); });
  connection_.loop().addQuietHandler(this, [this] { catchUpWithClock(); });
}

PulseStream::~PulseStream() {
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
  stopLooking();
}

void PulseStream::startCapture(CompletionHandler handler) {
  connection_.whenReady([this, handler = std::move(handler)](std::optional<Error> error) mutable {
    if (error) return handler(std::move(error));
    startHandler_ = std::move(handler);
    if (int code = connect()) finishStart(libraryError(code));
  });
}

void PulseStream::handOverHeldBuffers(std::function<void()> then) {
  connection_.loop().afterNextBurst(std::move(then));
}

void PulseStream::stopCapture(CompletionHandler handler) {
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

int PulseStream::connect() {
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

  const pa_buffer_attr attributes = bufferAttributes(sampleSpec);
  // A monitor records all its output plays; the stream must never wander to another source.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  // One channel is mixed here from the output's own (see Downmix): the server keeps them as they
  // are, in whatever layout the output has. Both servers honour this; the rate is still theirs to
  // convert.
  if (sampleSpec.channels == 1) {
    flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_FIX_CHANNELS);
  }
  if (pa_stream_connect_record(stream_, source_.c_str(), &attributes, flags) < 0) {
    return pa_context_errno(context);
  }
  connection_.loop().setPaced(false);  // until it runs
  return 0;
}

void PulseStream::takeLayout() {
  const pa_sample_spec& format = *pa_stream_get_sample_spec(stream_);
  downmix_.setLayout(format.channels, description_.channelsPerFrame);
  if (format.channels == description_.channelsPerFrame) return;
  // The buffer's sizes were asked for in bytes of the frames asked for, and the servers take them
  // as bytes of the stream's own: a stereo stream would hold half the time meant, and be sent twice
  // as many pieces. Asked again in its frames.
  const pa_buffer_attr attributes = bufferAttributes(format);
  if (pa_operation* operation = pa_stream_set_buffer_attr(stream_, &attributes, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void PulseStream::finishStart(std::optional<Error> error) {
  if (error) release();
  if (auto handler = std::move(startHandler_)) {
    startHandler_ = nullptr;
    handler(std::move(error));
  }
}

void PulseStream::finishStop(std::optional<Error> error) {
  if (stopTimer_) {
    connection_.loop().api()->time_free(stopTimer_);
    stopTimer_ = nullptr;
  }
  release();
  std::vector<CompletionHandler> handlers;
  handlers.swap(stopHandlers_);
  for (CompletionHandler& handler : handlers) handler(error);
}

void PulseStream::release() {
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
  anyPlaying_ = true;  // until the new stream's output says otherwise
  corked_ = false;
}

void PulseStream::fail(const Error& error) {
  if (startHandler_) return finishStart(error);
  if (stopping_) return finishStop(std::nullopt);
  release();
  unsubscribe();
  stopLooking();
  reportStop(error);
}

void PulseStream::onState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self->takeLayout();      // each stream's: an output moved to may have another
      self->resuming_ = true;  // after a start or a move: the moment in between is a gap
      self->lookAtPlaying();
      if (!self->timeline_) {
        // The recording's time zero: what plays from now on belongs at its moment in the file.
        self->timeline_.emplace(static_cast<uint32_t>(self->description_.sampleRate), secondsNow());
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

void PulseStream::onMoved(pa_stream*, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  self->fail(
      Error(kDomain, PA_ERR_NOTSUPPORTED, "the sound server moved the capture to another source"));
}

void PulseStream::onStopTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  self->takeTail();
  self->finishStop(libraryError(PA_ERR_TIMEOUT));
}

bool PulseStream::track(pa_operation* operation) {
  if (!operation) return false;
  std::erase_if(operations_, [](pa_operation* done) {
    if (pa_operation_get_state(done) == PA_OPERATION_RUNNING) return false;
    pa_operation_unref(done);
    return true;
  });
  operations_.push_back(operation);
  return true;
}

void PulseStream::awaitReply() {
  ++awaitedReplies_;
  connection_.loop().setPaced(false);
}

void PulseStream::replyArrived() {
  if (awaitedReplies_ > 0) --awaitedReplies_;
}

}  // namespace platform::pulse

namespace platform {

std::shared_ptr<Stream> Stream::make(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<pulse::PulseStream>(filter, configuration, std::move(delegate));
}

}  // namespace platform
