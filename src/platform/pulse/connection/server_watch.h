// The server's announcements of changes to its settings (a new default output, say) and to the
// applications' streams (one that starts, pauses or ends), heard on a connection and a thread of
// their own. The capture's connection is read at a steady pace, which would hold an announcement
// back for up to a turn; this one sleeps until the server speaks, and then nudges the capture's
// loop at once.
//
// What changed is asked on this same connection, and the capture reads the answers here rather
// than asking on its own. A server may keep each client's view of its settings apart (PipeWire's
// does) and bring one up to date a moment after another: asked on the capture's connection right
// after an announcement heard here, it could still name the old default output, and no further
// announcement would come to correct it.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pulse/connection/paced_loop.h"

namespace platform::pulse {

// An application's stream, as the server last listed it.
struct AppStream {
  uint32_t index;  // the server's (a sink input)
  uint32_t sink;   // the output it plays to; PA_INVALID_INDEX while it is on none yet
  bool corked;     // paused by the application
};

// An output's monitor, and the level it records at: its volume, or 0 while muted; `balanced`
// while every channel is at that volume.
struct MonitorLevel {
  std::string source;
  double level;
  bool balanced = true;
};

// An output device, and the level it plays at, which its monitor records: as above, and how many
// bits its samples keep (a 16-bit output turned down to a tenth has lost ten of them).
struct OutputLevel {
  uint32_t sink;
  double level;
  bool balanced = true;
  int bits = 16;
};

// Where things stand on the server, as the watch last heard.
struct ServerView {
  bool known = false;       // the default has been asked since the watch connected
  std::string defaultSink;  // the default output's name; empty while the server names none
  // PipeWire's server holds back what it has for a client that leaves its connection unread for a
  // tenth of a second, the more so the more it has to send, and drops what it held of a stream
  // that ends.
  bool holdsBackUnread = false;
  // PulseAudio's monitor applies its own volume and mute to the captures of the applications'
  // streams made on it; PipeWire's does not.
  bool monitorLevelReachesStreams = false;
  // PipeWire's graph runs in cycles no longer than this (its default most: 2048 frames at 48 kHz)
  // whatever its clients ask; 0 where an output renders as far ahead as its clients let it.
  double longestCycleSeconds = 0;
  std::vector<MonitorLevel> monitors;  // known once asked
  std::vector<OutputLevel> outputs;    // known once asked
  // When the last change of an output's or a monitor's level was heard, in seconds of the clock
  // the server's timing is told in: the moment from which the monitor's audio carries it.
  double levelsChangedAt = 0;
  bool playingKnown = false;
  std::vector<AppStream> streams;  // known once playingKnown

  // Whether an application plays to that output (a stream uncorked); so it is taken to while
  // nothing is known. A stream not on any output yet may be about to play on any.
  bool plays(uint32_t sink) const;
};

class ServerWatch {
 public:
  // Nudges `loop` once the watch knows where things stand, and after each change it hears of.
  explicit ServerWatch(PacedLoop& loop);
  ServerWatch(const ServerWatch&) = delete;
  ServerWatch& operator=(const ServerWatch&) = delete;

  // Connects again if the server went away since; from any thread.
  void ensureConnected();
  // From any thread.
  ServerView view() const;

 private:
  // A question to the server asked once at a time: asked again while it is under way, it is asked
  // again once it has been answered, so that the last answer is never older than the last change.
  struct Question {
    pa_operation* (ServerWatch::*const send)();  // asks it
    pa_operation* operation = nullptr;
    bool askAgain = false;
  };

  void connect();  // under the watch's lock
  static void onState(pa_context* context, void* self);
  static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self);
  void ask(Question& question);
  void answered(Question& question);
  pa_operation* askDefault();
  pa_operation* askPlaying();
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self);
  pa_operation* askMonitors();
  static void onSource(pa_context*, const pa_source_info* info, int eol, void* self);
  pa_operation* askOutputs();
  static void onSink(pa_context*, const pa_sink_info* info, int eol, void* self);
  // Asks everything again on a new connection: a while after the server's settings last changed,
  // and every half minute while applications play; at `due`, or at `latest` if a later change
  // would put it off beyond that.
  void renewAfterChange();
  void renewWhilePlaying();
  void renewAt(pa_usec_t due, pa_usec_t latest);
  static void onRenew(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*,
                      void* self);
  void letGo();   // under the watch's lock: ends the connection
  void forget();  // under the watch's lock: the connection is gone, and what it told

  PacedLoop& nudged_;
  pa_threaded_mainloop* loop_;
  pa_context* context_ = nullptr;
  pa_time_event* renewTimer_ = nullptr;
  pa_usec_t renewBy_ = 0;  // whatever changes come meanwhile
  Question defaultQuestion_{&ServerWatch::askDefault};
  Question playingQuestion_{&ServerWatch::askPlaying};
  Question monitorsQuestion_{&ServerWatch::askMonitors};
  Question outputsQuestion_{&ServerWatch::askOutputs};
  std::vector<AppStream> streamsFound_;  // by the listing under way
  std::vector<MonitorLevel> monitorsFound_;
  std::vector<OutputLevel> outputsFound_;
  double levelEventAt_ = 0;       // the last announcement that may change a level
  mutable std::mutex viewMutex_;  // the view is read by the capture's thread
  ServerView view_;
};

}  // namespace platform::pulse
