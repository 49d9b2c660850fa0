// Following the default output: a change of default, or the loss of the recorded output while
// another is left, moves the capture to the new default's monitor. And following what plays to it:
// while no application does, the capture reads nothing.
#include "platform/pulse/pulse_stream.h"

namespace platform::pulse {
namespace {

// How long a capture whose output went away, while others are left, waits for the server to name
// another default (PipeWire's session manager names one a moment after the removal, later on a
// busy machine) before it fails; and how often it looks meanwhile, should a change go unannounced.
// A default that this connection does not know yet is looked for as long, and as often.
constexpr pa_usec_t kNewDefaultLimitUsec = 5000 * 1000;
constexpr pa_usec_t kNewDefaultPollUsec = 100 * 1000;
// How long the server must list no output at all before the capture fails: PipeWire, busy, can
// show a moment with neither a default nor an output while it replaces the one that went away.
constexpr pa_usec_t kNoOutputLimitUsec = 500 * 1000;

}  // namespace

void PulseStream::followOrFail(const Error& error) {
  if (startHandler_ || stopping_ ||
      pa_context_get_state(connection_.context()) != PA_CONTEXT_READY) {
    return fail(error);
  }
  release();
  lostError_ = error;
  noOutputSince_ = 0;
  keepLooking();
  lookUpDefault();
}

void PulseStream::keepLooking() {
  if (lookTimer_) return;
  lookDeadline_ = pa_rtclock_now() + kNewDefaultLimitUsec;
  lookTimer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kNewDefaultPollUsec,
                                     onLookTimer, this);
}

void PulseStream::onLookTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                              void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (self->stopping_) return self->stopLooking();
  if (pa_rtclock_now() >= self->lookDeadline_) {
    // A capture that still runs stays where it is, until the next change.
    self->stopLooking();
    if (!self->stream_) {
      self->fail(self->lostError_ ? *self->lostError_ : libraryError(PA_ERR_NOENTITY));
    }
    return;
  }
  pa_context_rttime_restart(self->connection_.context(), timer,
                            pa_rtclock_now() + kNewDefaultPollUsec);
  self->lookUpDefault();
}

void PulseStream::stopLooking() {
  if (!lookTimer_) return;
  connection_.loop().api()->time_free(lookTimer_);
  lookTimer_ = nullptr;
}

void PulseStream::subscribe() {
  connection_.watchServer([this] {
    lookUpDefault();
    lookAtPlaying();
  });
  subscribed_ = true;
}

void PulseStream::unsubscribe() {
  if (!subscribed_) return;
  connection_.watchServer(nullptr);
  subscribed_ = false;
}

void PulseStream::lookUpDefault() {
  if (stopping_ || !subscribed_) return;
  const ServerView view = connection_.serverView();
  if (!view.known) return;  // the watch nudges once it knows
  const std::string& sink = view.defaultSink;
  if (sink.empty()) {
    // No default: if no output is left at all for a while, the capture has failed; if one is,
    // the server is about to name it.
    if (!stream_ &&
        track(pa_context_get_sink_info_list(connection_.context(), onAnyOutput, this))) {
      awaitReply();
    }
    return;
  }
  if (sink == sink_ && stream_) return stopLooking();  // still recording the default
  if (track(pa_context_get_sink_info_by_name(connection_.context(), sink.c_str(), onDefaultSink,
                                             this))) {
    awaitReply();
  }
}

void PulseStream::onAnyOutput(pa_context*, const pa_sink_info*, int eol, void* userdata) {
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
  self->stopLooking();
  self->fail(self->lostError_ ? *self->lostError_ : libraryError(PA_ERR_NOENTITY));
}

void PulseStream::onDefaultSink(pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (eol > 0) return self->replyArrived();
  if (eol < 0) {
    // Not known on this connection yet (an output that has just come, seen here a moment after
    // the watch saw it named), or gone already: asked again for a while.
    self->replyArrived();
    if (!self->stopping_ && self->subscribed_) self->keepLooking();
    return;
  }
  if (!sink || !sink->monitor_source_name) return;
  if (self->stopping_ || !self->subscribed_) return;
  if (self->stream_ && sink->name == self->sink_) return;
  self->moveTo(sink->name, sink->index, sink->monitor_source_name);
}

void PulseStream::moveTo(const std::string& sink, uint32_t sinkIndex, const std::string& source) {
  if (stream_) {
    stream_->read();
    release();
  }
  sink_ = sink;
  sinkIndex_ = sinkIndex;
  source_ = source;
  lostError_.reset();
  stopLooking();
  if (int code = connect()) fail(libraryError(code));
}

void PulseStream::lookAtPlaying() {
  if (!stream_ || !stream_->running() || stopping_) return;
  anyPlaying_ = connection_.serverView().plays(sinkIndex_);
  if (anyPlaying_) setCorked(false);
}

void PulseStream::setCorked(bool corked) {
  if (!stream_ || stream_->corked() == corked || !stream_->running() || stopping_) return;
  // Whatever plays next is a resumption: the stretch before it is silence, counted by the clock.
  resuming_ = true;
  // Its arrival is what places it on the clock: it is read the moment it comes, not at the loop's
  // next turn, which may be a relaxed one away.
  if (!corked) connection_.loop().setPaced(false);
  stream_->setCorked(corked);
}

}  // namespace platform::pulse
