// The stream's life: the record stream made and started, stopped with everything the server sent
// until the stop, or failed.
#include "platform/pulse/monitor/pulse_stream.h"

namespace platform::pulse {
namespace {

// A server that does not confirm a disconnect within this time is not waited for any longer.
constexpr pa_usec_t kStopLimitUsec = 1000 * 1000;
// How soon after the start the capture first looks at the clock. The file appears with the first
// audio, or with the first silence counted: while nothing plays, the server stays quiet, and the
// later looks wait for half a second of its quiet (on PipeWire, whose capture takes half a second
// to start on a sleeping output, the file came a second after the start).
constexpr pa_usec_t kFirstLookUsec = 50 * 1000;
// How long a hand-over, and a stop, wait for the monitor to send what sounded until their moment:
// a piece and the server's own delay, twice over; a server that sends nothing meanwhile (frozen)
// is not waited for.
constexpr double kHandOverWaitSeconds = 0.5;
constexpr double kTailWaitSeconds = 0.5;

}  // namespace

PulseStream::PulseStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                         std::weak_ptr<StreamDelegate> delegate)
    : Stream(filter, configuration, std::move(delegate)),
      connection_(Connection::shared()),
      description_(packedFloatDescription(static_cast<double>(configuration.sampleRate()),
                                          static_cast<uint32_t>(configuration.channelCount()))),
      follower_(connection_,
                RecordedOutput{filter.display().name, filter.display().displayID,
                               filter.display().source},
                OutputFollower::Handlers{.moved = [this] { recordFollowedOutput(); },
                                         .failed = [this](const Error& error) { fail(error); },
                                         .changed = [this] { lookAtPlaying(); }}) {
  LoopLock lock(connection_.loop());
  connection_.loop().addBurstEndHandler(this, [this] { afterBurst(); });
  connection_.loop().addQuietHandler(this, [this] { catchUpWithClock(); });
}

PulseStream::~PulseStream() {
  LoopLock lock(connection_.loop());
  connection_.loop().removeBurstEndHandler(this);
  connection_.loop().removeQuietHandler(this);
  // No reply may reach this object once it is gone.
  operations_.cancelAll();
  release();
  follower_.stop();
  if (stopTimer_) connection_.loop().api()->time_free(stopTimer_);
  if (firstLookTimer_) connection_.loop().api()->time_free(firstLookTimer_);
}

void PulseStream::startCapture(CompletionHandler handler) {
  connection_.whenReady([this, handler = std::move(handler)](std::optional<Error> error) mutable {
    if (error) return handler(std::move(error));
    startHandler_ = std::move(handler);
    if (int code = connect()) finishStart(libraryError(code));
  });
}

void PulseStream::handOverHeldBuffers(std::function<void()> then) {
  connection_.loop().afterNextBurst([weak = weak_from_this(), then = std::move(then),
                                     at = realtimeSeconds()]() mutable {
    auto self = weak.lock();
    if (!self) return then();
    auto& stream = static_cast<PulseStream&>(*self);
    stream.handOvers_.push_back(HandOver{at, secondsNow() + kHandOverWaitSeconds, std::move(then)});
    stream.runDueHandOvers();
  });
}

void PulseStream::runDueHandOvers() {
  while (!handOvers_.empty()) {
    HandOver& next = handOvers_.front();
    if (!monitorReached(next.at) && secondsNow() < next.waitUntil) return;
    const double at = next.at;
    std::function<void()> then = std::move(next.then);
    handOvers_.erase(handOvers_.begin());
    // What waited for a capture behind it belongs before the hand-over too: with the monitor for
    // what the capture has not sent yet.
    deliverBatch(/*all=*/true, monitorFrameAt(at));
    then();
  }
}

void PulseStream::afterBurst() {
  if (stream_ && stream_->collectedFrames() != seenCollected_) {
    seenCollected_ = stream_->collectedFrames();
    newestSince_ = connection_.loop().burstSinceSeconds();
  }
  deliverBatch();
  runDueHandOvers();
  if (tailAwaited_ && (monitorReached(stopAt_) || secondsNow() > stopSeconds_ + kTailWaitSeconds)) {
    disconnectAfterTail();
  }
}

int64_t PulseStream::monitorFrameAt(double realtime) const {
  if (!stream_ || !stream_->timingTellsOfCollected()) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>((realtime - stream_->frameZeroSeconds()) * description_.sampleRate);
}

bool PulseStream::monitorReached(double realtime) const {
  if (!stream_ || !stream_->running() || !stream_->timingCurrent()) return true;
  return static_cast<int64_t>(stream_->collectedFrames()) >= monitorFrameAt(realtime);
}

void PulseStream::stopCapture(CompletionHandler handler) {
  LoopLock lock(connection_.loop());
  if (!stopHandlers_.empty()) {  // a stop under way: this one ends with it
    stopHandlers_.push_back(std::move(handler));
    return;
  }
  follower_.stop();
  stopping_ = true;
  if (!stream_ || !stream_->running()) {
    release();
    // Between two outputs (a move under way), or never started: what is held, and the moment up
    // to the stop, go in as silence.
    if (timeline_) deliverSilence(timeline_->silenceUntil(secondsNow()));
    return handler(std::nullopt);
  }
  // The recording reaches the moment of the stop, with everything the server has sent until
  // then: a round trip to the server brings in what is on its way before the stream ends.
  stopSeconds_ = secondsNow();
  stopAt_ = realtimeSeconds();
  stopHandlers_.push_back(std::move(handler));
  stopTimer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kStopLimitUsec,
                                     onStopTimeout, this);
  connection_.loop().setPaced(false);
  if (!operations_.track(stream_->updateTiming(onTailArrived, this))) disconnectAfterTail();
}

int PulseStream::connect() {
  outputAsked_ = false;  // a question on a connection since replaced answers no more
  const ServerView view = connection_.serverView();
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
      },
      monitorPiece(choosePath(view, follower_.output().index, follower_.output().source), view));
  appStreams_.emplace(connection_.context(), description_);
  seenCollected_ = 0;
  newestSince_ = 0;
  // A new stream, perhaps of another output: its levels are taken from its first frame on.
  path_ = CapturePath{};
  monitorGain_.restart(1);
  if (int code = stream_->connect(follower_.output().source)) return code;
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
  if (appStreams_) appStreams_->read();
  handOverNow();  // the stream's frames and its timing go with it
  // Only what sounded until now: an output renders ahead of its sound (by a piece, and more beside
  // slow players), and what it rendered of a stream that moves away it renders again where the
  // stream goes, which the next stream records on the clock. What went already is made up for
  // there.
  const int64_t now = monitorFrameAt(realtimeSeconds());
  const auto handed = static_cast<int64_t>(
      stream_->collectedFrames() - stream_->collected().size() / description_.bytesPerFrame);
  renderedAhead_ = static_cast<uint64_t>(std::max<int64_t>(handed - now, 0));
  deliverBatch(/*all=*/true, now);
  appStreams_.reset();
  stream_.reset();
  anyPlaying_ = true;  // until the new stream's output says otherwise
}

void PulseStream::fail(const Error& error) {
  if (startHandler_) return finishStart(error);
  if (stopping_) return finishStop(std::nullopt);
  release();
  deliverSilence(0);  // what is held is part of the recording too
  follower_.stop();
  reportStop(error);
}

void PulseStream::onReady() {
  resumeAfterGap();       // after a start or a move: the moment in between is a gap
  stream_->askTiming(0);  // which places the first audio
  lookAtPlaying();
  if (!timeline_) {
    // The recording's time zero: what plays from now on belongs at its moment in the file.
    timeline_.emplace(static_cast<uint32_t>(description_.sampleRate), secondsNow());
    follower_.start();
    firstLookTimer_ = pa_context_rttime_new(connection_.context(),
                                            pa_rtclock_now() + kFirstLookUsec, onFirstLook, this);
  }
  if (startHandler_) finishStart(std::nullopt);
}

void PulseStream::onStopTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  self->takeTail();
  self->finishStop(libraryError(PA_ERR_TIMEOUT));
}

void PulseStream::onFirstLook(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*,
                              void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  api->time_free(timer);
  self->firstLookTimer_ = nullptr;
  // Only while nothing has come yet: a server that already sends is not quiet.
  if (self->timeline_ && self->timeline_->empty()) self->catchUpWithClock();
}

}  // namespace platform::pulse

namespace platform {

std::shared_ptr<Stream> Stream::make(const ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     std::weak_ptr<StreamDelegate> delegate) {
  return std::make_shared<pulse::PulseStream>(filter, configuration, std::move(delegate));
}

}  // namespace platform
