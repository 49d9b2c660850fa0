// The server's announcements of changes to its settings (a new default output, say) and to the
// applications' streams (one that starts, pauses or ends), heard on a connection and a thread of
// their own. The capture's connection is read at a steady pace, which
// would hold an announcement back for up to a turn; this one sleeps until the server speaks, and
// then nudges the capture's loop at once.
#pragma once

#include <pulse/pulseaudio.h>

#include "platform/pulse/paced_loop.h"

namespace platform::pulse {

class ServerWatch {
 public:
  // Nudges `loop` once the watch is in place (whatever changed meanwhile is looked at then), and
  // at each announcement after that.
  explicit ServerWatch(PacedLoop& loop);
  ServerWatch(const ServerWatch&) = delete;
  ServerWatch& operator=(const ServerWatch&) = delete;

  // Connects again if the server went away since; from any thread.
  void ensureConnected();

 private:
  void connect();  // under the watch's lock
  static void onState(pa_context* context, void* self);
  static void onEvent(pa_context*, pa_subscription_event_type_t, uint32_t, void* self);

  PacedLoop& nudged_;
  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
};

}  // namespace platform::pulse
