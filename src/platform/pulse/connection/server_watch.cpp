#include "platform/pulse/connection/server_watch.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/pulse/connection/pulse_connection.h"
#include "platform/threads.h"

namespace platform::pulse {
namespace {

// PipeWire's server, now and then, leaves a connection's view of its settings stale: after a quick
// run of changes the last one goes unannounced there and, asked there, the default output is the
// one before, for good, while a new connection is told the right one; seldom, a single change goes
// unannounced. So a while after the last change heard of (at least every few seconds during a long
// run of them) the watch asks everything again on a new connection; and while applications play,
// every half minute as well, so that a change never heard of is followed within that. (Every ten
// seconds cost 4 % more wakeups while one application played.) Nothing plays, nothing changes:
// nothing is asked.
constexpr pa_usec_t kRenewAfterChangeUsec = 1000 * 1000;
constexpr pa_usec_t kRenewAtLeastEveryUsec = 5000 * 1000;
constexpr pa_usec_t kRenewWhilePlayingUsec = 30 * 1000 * 1000;

// How many bits of a sample of that format carry the sound: a float keeps its 24 at any level.
int significantBits(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_U8:
    case PA_SAMPLE_ALAW:
    case PA_SAMPLE_ULAW:
      return 8;
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S16BE:
      return 16;
    default:  // 24 and 32 bits, and float
      return 24;
  }
}

}  // namespace

bool ServerView::plays(uint32_t sink) const {
  // PipeWire lists a new player corked and on no output, a tenth of a second and more before its
  // sound comes. Counted as playing, it has a corked capture running again by then.
  return !playingKnown || std::any_of(streams.begin(), streams.end(), [sink](const AppStream& on) {
    return on.sink == PA_INVALID_INDEX || (on.sink == sink && !on.corked);
  });
}

ServerWatch::ServerWatch(PacedLoop& loop) : nudged_(loop), loop_(pa_threaded_mainloop_new()) {
  // The library's thread takes no signal, whichever thread starts the watch.
  const sigset_t blocked = asynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const bool started = loop_ && pa_threaded_mainloop_start(loop_) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) std::abort();
  ensureConnected();
}

void ServerWatch::ensureConnected() {
  pa_threaded_mainloop_lock(loop_);
  if (!context_) connect();
  pa_threaded_mainloop_unlock(loop_);
}

ServerView ServerWatch::view() const {
  std::lock_guard hold(viewMutex_);
  return view_;
}

void ServerWatch::connect() {
  context_ = newClientContext(pa_threaded_mainloop_get_api(loop_));
  if (!context_) return;  // changes go unheard: the capture stays where it is
  pa_context_set_state_callback(context_, onState, this);
  pa_context_set_subscribe_callback(context_, onEvent, this);
  // A connection that fails at once has usually been let go of already, by onState.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && context_) {
    forget();
  }
}

void ServerWatch::letGo() {
  for (Question* question :
       {&defaultQuestion_, &playingQuestion_, &monitorsQuestion_, &outputsQuestion_}) {
    if (question->operation) pa_operation_unref(std::exchange(question->operation, nullptr));
    question->askAgain = false;
  }
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
}

void ServerWatch::forget() {
  letGo();
  {
    std::lock_guard hold(viewMutex_);
    view_ = ServerView();
  }
  nudged_.nudge();  // nothing is known: a corked capture runs again
}

void ServerWatch::onState(pa_context* context, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      if (pa_operation* operation = pa_context_subscribe(
              context,
              static_cast<pa_subscription_mask_t>(
                  PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK_INPUT |
                  PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK),
              nullptr, nullptr)) {
        pa_operation_unref(operation);
      }
      watch->ask(watch->defaultQuestion_);
      watch->ask(watch->playingQuestion_);
      watch->ask(watch->monitorsQuestion_);
      watch->ask(watch->outputsQuestion_);
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      watch->forget();
      break;
    default:
      break;
  }
}

void ServerWatch::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
      watch->ask(watch->defaultQuestion_);
      watch->renewAfterChange();
      break;
    case PA_SUBSCRIPTION_EVENT_SINK:
      watch->levelEventAt_ = realtimeSeconds();
      watch->ask(watch->outputsQuestion_);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      watch->levelEventAt_ = realtimeSeconds();
      watch->ask(watch->monitorsQuestion_);
      // An output that goes away takes its monitor with it, and the default moves to another
      // output, which may go unannounced here as any change may (PipeWire, beside a busy loop,
      // once in twenty: the capture looked for the new default for five seconds, then failed).
      if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        watch->ask(watch->defaultQuestion_);
        watch->renewAfterChange();
      }
      break;
    default:
      watch->ask(watch->playingQuestion_);
      break;
  }
}

void ServerWatch::renewAfterChange() {
  const pa_usec_t now = pa_rtclock_now();
  if (!renewTimer_) return renewAt(now + kRenewAfterChangeUsec, now + kRenewAtLeastEveryUsec);
  pa_context_rttime_restart(context_, renewTimer_, std::min(now + kRenewAfterChangeUsec, renewBy_));
}

void ServerWatch::renewWhilePlaying() {
  if (renewTimer_) return;  // due sooner
  const pa_usec_t due = pa_rtclock_now() + kRenewWhilePlayingUsec;
  renewAt(due, due);
}

void ServerWatch::renewAt(pa_usec_t due, pa_usec_t latest) {
  renewBy_ = latest;
  renewTimer_ = pa_context_rttime_new(context_, due, onRenew, this);
}

void ServerWatch::onRenew(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*,
                          void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  api->time_free(timer);
  watch->renewTimer_ = nullptr;
  if (!watch->context_) return;  // gone: connected again by the next capture that follows
  // What is known stands until the new connection's answers replace it.
  watch->letGo();
  watch->connect();
}

void ServerWatch::ask(Question& question) {
  // A question that the library cancelled (the connection died) answers no more.
  if (question.operation && pa_operation_get_state(question.operation) == PA_OPERATION_RUNNING) {
    question.askAgain = true;
    return;
  }
  if (question.operation) pa_operation_unref(question.operation);
  question.askAgain = false;
  question.operation = (this->*question.send)();
}

void ServerWatch::answered(Question& question) {
  if (question.operation) pa_operation_unref(std::exchange(question.operation, nullptr));
  if (question.askAgain) ask(question);
  nudged_.nudge();  // each answer, even one already followed by the next question
}

pa_operation* ServerWatch::askDefault() {
  return pa_context_get_server_info(context_, onServerInfo, this);
}

pa_operation* ServerWatch::askPlaying() {
  streamsFound_.clear();
  return pa_context_get_sink_input_info_list(context_, onSinkInput, this);
}

void ServerWatch::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  if (info) {
    std::lock_guard hold(watch->viewMutex_);
    watch->view_.known = true;
    watch->view_.defaultSink = info->default_sink_name ? info->default_sink_name : "";
    const bool pipeWire =
        info->server_name &&
        std::string_view(info->server_name).find("PipeWire") != std::string_view::npos;
    watch->view_.holdsBackUnread = pipeWire;
    watch->view_.monitorLevelReachesStreams = !pipeWire;
    watch->view_.longestCycleSeconds = pipeWire ? 2048.0 / 48000 : 0;
  }
  watch->answered(watch->defaultQuestion_);
}

void ServerWatch::onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  if (eol == 0) {
    watch->streamsFound_.push_back(AppStream{info->index, info->sink, info->corked != 0});
    return;
  }
  if (eol > 0) {  // an error answers nothing: what was known holds until the next listing
    std::lock_guard hold(watch->viewMutex_);
    watch->view_.playingKnown = true;
    watch->view_.streams = watch->streamsFound_;
  }
  const std::vector<AppStream>& found = watch->streamsFound_;
  const bool anyPlaying = std::any_of(found.begin(), found.end(), [](const AppStream& stream) {
    return !stream.corked || stream.sink == PA_INVALID_INDEX;
  });
  if (eol > 0 && anyPlaying) watch->renewWhilePlaying();
  watch->answered(watch->playingQuestion_);
}

pa_operation* ServerWatch::askMonitors() {
  monitorsFound_.clear();
  return pa_context_get_source_info_list(context_, onSource, this);
}

void ServerWatch::onSource(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  if (eol == 0) {
    if (info->monitor_of_sink != PA_INVALID_INDEX && info->name) {
      const double level = info->mute ? 0 : pa_sw_volume_to_linear(pa_cvolume_avg(&info->volume));
      watch->monitorsFound_.push_back(MonitorLevel{
          info->name, level, pa_cvolume_max(&info->volume) == pa_cvolume_min(&info->volume)});
    }
    return;
  }
  if (eol > 0) {
    std::lock_guard hold(watch->viewMutex_);
    watch->view_.monitors = watch->monitorsFound_;
    watch->view_.levelsChangedAt = watch->levelEventAt_;
  }
  watch->answered(watch->monitorsQuestion_);
}

pa_operation* ServerWatch::askOutputs() {
  outputsFound_.clear();
  return pa_context_get_sink_info_list(context_, onSink, this);
}

void ServerWatch::onSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  if (eol == 0) {
    const double level = info->mute ? 0 : pa_sw_volume_to_linear(pa_cvolume_avg(&info->volume));
    watch->outputsFound_.push_back(OutputLevel{
        info->index, level, pa_cvolume_max(&info->volume) == pa_cvolume_min(&info->volume),
        significantBits(info->sample_spec.format)});
    return;
  }
  if (eol > 0) {
    std::lock_guard hold(watch->viewMutex_);
    watch->view_.outputs = watch->outputsFound_;
    watch->view_.levelsChangedAt = watch->levelEventAt_;
  }
  watch->answered(watch->outputsQuestion_);
}

}  // namespace platform::pulse
