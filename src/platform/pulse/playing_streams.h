// Whether any application plays to the recorded output: a stream of its (a sink input) on that
// output that is not corked. While none does, the output can only play silence, which the capture
// need not read from the server: the file is kept on the clock without it, and the process sleeps.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform::pulse {

class PlayingStreams {
 public:
  // `onChange` runs on the loop's thread, under its lock, with whether any stream plays, after a
  // look that finds it changed; the first look always tells.
  explicit PlayingStreams(std::function<void(bool)> onChange) : onChange_(std::move(onChange)) {}
  PlayingStreams(const PlayingStreams&) = delete;
  PlayingStreams& operator=(const PlayingStreams&) = delete;

  // Under the loop's lock: looks at the streams on the output with that index. A look asked for
  // while one is under way is made once that one has answered.
  void lookAt(pa_context* context, uint32_t sinkIndex);
  // Under the loop's lock: what is known is forgotten (another output is recorded from now on),
  // and no reply reaches this object afterwards.
  void forget();

 private:
  static void onSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  bool lookUnderWay() const;

  const std::function<void(bool)> onChange_;
  pa_operation* look_ = nullptr;
  pa_context* context_ = nullptr;
  uint32_t sinkIndex_ = PA_INVALID_INDEX;
  bool lookAgain_ = false;  // something changed while a look was under way
  int playing_ = 0;         // found so far by the look under way
  std::optional<bool> known_;
};

}  // namespace platform::pulse
