#include "platform/pulse/server_watch.h"

#include <signal.h>

#include <cstdlib>

#include "platform/pulse/pulse_connection.h"
#include "platform/threads.h"

namespace platform::pulse {

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

void ServerWatch::connect() {
  context_ = newClientContext(pa_threaded_mainloop_get_api(loop_));
  if (!context_) return;  // changes go unheard: the capture stays where it is
  pa_context_set_state_callback(context_, onState, this);
  pa_context_set_subscribe_callback(context_, onEvent, this);
  // A connection that fails at once has usually been let go of already, by onState.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 && context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_unref(context_);
    context_ = nullptr;
  }
}

void ServerWatch::onState(pa_context* context, void* self) {
  auto* watch = static_cast<ServerWatch*>(self);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      if (pa_operation* operation = pa_context_subscribe(
              context,
              static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER |
                                                  PA_SUBSCRIPTION_MASK_SINK_INPUT),
              nullptr, nullptr)) {
        pa_operation_unref(operation);
      }
      watch->nudged_.nudge();
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_set_subscribe_callback(context, nullptr, nullptr);
      pa_context_unref(context);
      watch->context_ = nullptr;
      break;
    default:
      break;
  }
}

void ServerWatch::onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self) {
  static_cast<ServerWatch*>(self)->nudged_.nudge();
}

}  // namespace platform::pulse
