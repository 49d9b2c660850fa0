// Which output the capture records: the default one, followed as it changes (headphones plugged
// in), or as the recorded one goes away while another is left. Only when no output is left does
// the capture fail.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/pulse/connection/operations.h"
#include "platform/pulse/connection/pulse_connection.h"

namespace platform::pulse {

struct RecordedOutput {
  std::string sink;    // the output's name,
  uint32_t index;      // its index, and
  std::string source;  // its monitor
};

// Whether an answer naming the output `answered` moves the capture there. Not if it records that
// output already (`recorded`, none while between outputs), nor if the watch has since heard of
// another default: answers come late, and the one about the newer default is on its way.
bool answerMovesTheCapture(const std::string& answered, const std::optional<std::string>& recorded,
                           const ServerView& view);

class OutputFollower {
 public:
  // Each runs on the loop's thread, under its lock.
  struct Handlers {
    std::function<void()> moved;               // output() is to be recorded from now on
    std::function<void(const Error&)> failed;  // no output is left to record
    std::function<void()> changed;             // the server announced a change
  };

  // Under the loop's lock, as everything below.
  OutputFollower(Connection& connection, RecordedOutput first, Handlers handlers);
  ~OutputFollower();
  OutputFollower(const OutputFollower&) = delete;
  OutputFollower& operator=(const OutputFollower&) = delete;

  const RecordedOutput& output() const { return output_; }
  // Follows the server's changes from now on, until stop(); no handler runs afterwards.
  void start();
  void stop();
  // The recording of output() ended with `error` while the server is still there: the output may
  // have gone. The default is followed if there still is one; `failed` runs with the error if not.
  void lost(const Error& error);
  // While a reply is awaited (the lookups of a move), the server is to be read as it sends.
  bool awaitingReplies() const { return awaitedReplies_ > 0; }

 private:
  // Moves to the default output the watch last heard of (or, without the watch, the one the server
  // names), if it is not the one recorded.
  void lookUpDefault();
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  // Moves to the output of that name, if it is not the one recorded; an empty name is no default.
  void follow(const std::string& sink);
  // Looks for the default output again every little while, for a while: while the recorded one is
  // lost, or while the default cannot be found yet.
  void keepLooking();
  static void onLookTimer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*,
                          void* self);
  void stopLooking();
  static void onAnyOutput(pa_context*, const pa_sink_info*, int eol, void* self);
  // A default that cannot be found (already gone, or not yet there) is looked for again, until
  // the next change of default or the time limit.
  static void onDefaultSink(pa_context*, const pa_sink_info* sink, int eol, void* self);
  void moveTo(const pa_sink_info& sink);
  void fail(const Error& error);
  void ask(pa_operation* operation);
  void replyArrived();
  // A connection whose answers stop while an output is looked for is replaced by a new one.
  bool stalled() const;
  void reconnect();

  Connection& connection_;
  RecordedOutput output_;
  const Handlers handlers_;
  bool following_ = false;
  bool recording_ = true;           // output() is recorded, rather than lost
  std::optional<Error> lostError_;  // why its recording ended, while looking for another
  pa_time_event* lookTimer_ = nullptr;
  pa_usec_t lookDeadline_ = 0;
  pa_usec_t noOutputSince_ = 0;  // when the server was first seen to list no output, or 0
  Operations operations_;
  int awaitedReplies_ = 0;
  pa_usec_t lastAnswerAt_ = 0;  // or when the question that awaits one was asked
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // for a connection's late answer
};

}  // namespace platform::pulse
