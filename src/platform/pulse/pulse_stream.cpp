// The stream's life: the record stream made and started, stopped with everything the server sent
// until the stop, or failed.
#include "platform/pulse/pulse_stream.h"

namespace platform::pulse {
namespace {

// A server that does not confirm a disconnect within this time is not waited for any longer.
constexpr pa_usec_t kStopLimitUsec = 1000 * 1000;

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
  if (!stream_ || !stream_->running()) {
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
  if (!track(stream_->updateTiming(onTailArrived, this))) disconnectAfterTail();
}

int PulseStream::connect() {
  stream_ = std::make_unique<RecordStream>(
      connection_.context(), description_,
      RecordStream::Handlers{
          .ready = [this] { onReady(); },
          .failed = [this](int code) { followOrFail(libraryError(code)); },
          .terminated =
              [this] {
                if (stopping_) return finishStop(std::nullopt);
                followOrFail(libraryError(PA_ERR_KILLED));
              },
          .moved =
              [this] {
                fail(Error(kDomain, PA_ERR_NOTSUPPORTED,
                           "the sound server moved the capture to another source"));
              },
      });
  if (int code = stream_->connect(source_)) return code;
  connection_.loop().setPaced(false);  // until it runs
  return 0;
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
  stream_.reset();
  anyPlaying_ = true;  // until the new stream's output says otherwise
}

void PulseStream::fail(const Error& error) {
  if (startHandler_) return finishStart(error);
  if (stopping_) return finishStop(std::nullopt);
  release();
  unsubscribe();
  stopLooking();
  reportStop(error);
}

void PulseStream::onReady() {
  resuming_ = true;  // after a start or a move: the moment in between is a gap
  lookAtPlaying();
  if (!timeline_) {
    // The recording's time zero: what plays from now on belongs at its moment in the file.
    timeline_.emplace(static_cast<uint32_t>(description_.sampleRate), secondsNow());
    subscribe();
  }
  if (startHandler_) finishStart(std::nullopt);
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
