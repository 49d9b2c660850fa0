#include "platform/pulse/connection/output_follower.h"

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
// PipeWire's server, asked for a stream's timing as the removal of its output was ending it, now
// and then answered nothing more on that connection, and the capture looked for the default in
// vain until it failed (once in fifty moves on an idle machine). A connection that has not
// answered for this long while an output is looked for is taken for stuck.
constexpr pa_usec_t kStalledUsec = 1000 * 1000;

}  // namespace

OutputFollower::OutputFollower(Connection& connection, RecordedOutput first, Handlers handlers)
    : connection_(connection), output_(std::move(first)), handlers_(std::move(handlers)) {}

OutputFollower::~OutputFollower() {
  stop();
}

void OutputFollower::start() {
  following_ = true;
  connection_.watchServer([this] {
    lookUpDefault();
    handlers_.changed();
  });
}

void OutputFollower::stop() {
  if (following_) connection_.watchServer(nullptr);
  following_ = false;
  stopLooking();
  operations_.cancelAll();
  awaitedReplies_ = 0;
}

void OutputFollower::lost(const Error& error) {
  // Asked again below; on a connection that broke, the questions under way answer no more.
  operations_.cancelAll();
  awaitedReplies_ = 0;
  recording_ = false;
  lostError_ = error;
  noOutputSince_ = 0;
  stopLooking();  // the time limit runs from the loss
  keepLooking();
  lookUpDefault();
}

void OutputFollower::lookUpDefault() {
  if (!following_) return;
  const ServerView view = connection_.serverView();
  if (view.known) return follow(view.defaultSink);
  // The watch has no answer (not connected): asked here instead.
  ask(pa_context_get_server_info(connection_.context(), onServerInfo, this));
}

void OutputFollower::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* follower = static_cast<OutputFollower*>(self);
  follower->replyArrived();
  if (info && follower->following_) {
    follower->follow(info->default_sink_name ? info->default_sink_name : "");
  }
}

void OutputFollower::follow(const std::string& sink) {
  pa_context* context = connection_.context();
  if (sink.empty()) {
    // No default: if no output is left at all for a while, the capture has failed; if one is,
    // the server is about to name it.
    if (!recording_) ask(pa_context_get_sink_info_list(context, onAnyOutput, this));
    return;
  }
  if (sink == output_.sink && recording_) return stopLooking();  // still recording the default
  ask(pa_context_get_sink_info_by_name(context, sink.c_str(), onDefaultSink, this));
}

void OutputFollower::keepLooking() {
  if (lookTimer_) return;
  lookDeadline_ = pa_rtclock_now() + kNewDefaultLimitUsec;
  lookTimer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + kNewDefaultPollUsec,
                                     onLookTimer, this);
}

void OutputFollower::onLookTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                                 void* self) {
  auto* follower = static_cast<OutputFollower*>(self);
  if (pa_rtclock_now() >= follower->lookDeadline_) {
    // A capture that still records stays where it is, until the next change.
    follower->stopLooking();
    if (!follower->recording_) {
      follower->fail(follower->lostError_ ? *follower->lostError_ : libraryError(PA_ERR_NOENTITY));
    }
    return;
  }
  pa_context_rttime_restart(follower->connection_.context(), timer,
                            pa_rtclock_now() + kNewDefaultPollUsec);
  if (follower->stalled()) return follower->reconnect();
  follower->lookUpDefault();
}

void OutputFollower::stopLooking() {
  if (!lookTimer_) return;
  connection_.loop().api()->time_free(lookTimer_);
  lookTimer_ = nullptr;
}

void OutputFollower::onAnyOutput(pa_context*, const pa_sink_info*, int eol, void* self) {
  auto* follower = static_cast<OutputFollower*>(self);
  if (eol == 0) {
    follower->noOutputSince_ = 0;
    return;
  }
  follower->replyArrived();
  if (!follower->following_ || follower->recording_) return;
  if (eol < 0) return;  // no answer: the next question decides
  const pa_usec_t now = pa_rtclock_now();
  if (!follower->noOutputSince_) follower->noOutputSince_ = now;
  if (now - follower->noOutputSince_ < kNoOutputLimitUsec) return;
  follower->fail(follower->lostError_ ? *follower->lostError_ : libraryError(PA_ERR_NOENTITY));
}

void OutputFollower::onDefaultSink(pa_context*, const pa_sink_info* sink, int eol, void* self) {
  auto* follower = static_cast<OutputFollower*>(self);
  if (eol != 0) {
    follower->replyArrived();
    // Not known on this connection yet (an output that has just come, seen here a moment after
    // the watch saw it named), or gone already: looked for again for a while.
    if (eol < 0 && follower->following_) follower->keepLooking();
    return;
  }
  if (!sink || !sink->monitor_source_name || !follower->following_) return;
  const auto recorded = follower->recording_ ? std::optional(follower->output_.sink) : std::nullopt;
  if (answerMovesTheCapture(sink->name, recorded, follower->connection_.serverView())) {
    follower->moveTo(*sink);
  }
}

bool answerMovesTheCapture(const std::string& answered, const std::optional<std::string>& recorded,
                           const ServerView& view) {
  if (answered == recorded) return false;
  return !view.known || answered == view.defaultSink;
}

void OutputFollower::moveTo(const pa_sink_info& sink) {
  output_ = RecordedOutput{sink.name, sink.index, sink.monitor_source_name};
  recording_ = true;
  lostError_.reset();
  stopLooking();
  handlers_.moved();
}

void OutputFollower::fail(const Error& error) {
  stop();
  handlers_.failed(error);
}

void OutputFollower::ask(pa_operation* operation) {
  if (!operations_.track(operation)) return;
  if (awaitedReplies_++ == 0) lastAnswerAt_ = pa_rtclock_now();
  connection_.loop().setPaced(false);
}

void OutputFollower::replyArrived() {
  if (awaitedReplies_ > 0) --awaitedReplies_;
  lastAnswerAt_ = pa_rtclock_now();
}

bool OutputFollower::stalled() const {
  return !recording_ && awaitedReplies_ > 0 && pa_rtclock_now() - lastAnswerAt_ > kStalledUsec;
}

void OutputFollower::reconnect() {
  // Nothing records on the old connection while the output is lost. The look timer belongs to the
  // loop, and goes on; so does its time limit.
  operations_.cancelAll();
  awaitedReplies_ = 0;
  connection_.replace([this, alive = std::weak_ptr<int>(alive_)](std::optional<Error> error) {
    if (alive.expired() || error || !following_ || recording_) return;
    lookUpDefault();
  });
}

}  // namespace platform::pulse
