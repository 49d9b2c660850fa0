#include "platform/pulse/captures/app_stream_captures.h"

#include <algorithm>

#include "platform/pulse/captures/audio_lag.h"

namespace platform::pulse {
namespace {

// How long the monitor's audio waits for a capture a little behind it before the monitor stands in
// for it. PulseAudio renders the captures with the monitor: only the pieces' own schedule parts
// them, later on a busy machine.
constexpr double kHoldSeconds = 0.12;
// PipeWire sends each stream's pieces on its own schedule: beside two players that keep a tenth of
// a second or more buffered (a music or video player's), one of their captures came in lumps 0.3
// to 1 s apart while the other and the monitor came steadily, however often the connection was
// read. Waited for 120 ms only, the monitor stood in for most of that stream (at the output's
// volume, or not at all on a muted output). A kill loses what is held, only while one is behind.
constexpr double kHeldBackHoldSeconds = 1.2;
// How long it waits for a new capture to be placed, so that the stream's first moments are its
// own rather than the monitor's.
constexpr double kPlaceHoldSeconds = 0.25;
// The ramp between the monitor and the captures, where one takes over from the other.
constexpr double kFadeSeconds = 0.005;
// How much of a stream's end the server may lose from its capture, which the monitor stands in
// for: PulseAudio now and then ends a capture without its last piece (42 ms of a 1 s tone, once in
// forty runs); PipeWire, which holds audio back, up to 60 ms read at the brisk pace.
constexpr double kLostTailSeconds = 0.06;
constexpr double kHeldBackTailSeconds = 0.1;

template <typename T>
bool contains(const std::vector<T>& items, const T& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

}  // namespace

AppStreamCaptures::AppStreamCaptures(pa_context* context, const StreamBasicDescription& frames)
    : context_(context),
      frames_(frames),
      mix_(frames.channelsPerFrame, static_cast<uint32_t>(kFadeSeconds * frames.sampleRate)) {}

std::vector<uint32_t> streamsPlayingTo(const ServerView& view, uint32_t sink) {
  std::vector<uint32_t> playing;
  if (view.playingKnown) {
    for (const AppStream& stream : view.streams) {
      if (stream.sink == sink && !stream.corked) playing.push_back(stream.index);
    }
  }
  return playing;
}

void AppStreamCaptures::follow(const ServerView& view, uint32_t sink, const std::string& source,
                               bool monitorRecords, bool monitorSounds) {
  std::vector<uint32_t> playing = streamsPlayingTo(view, sink);
  std::erase_if(over_, [&](uint32_t stream) { return !contains(playing, stream); });
  std::erase_if(refused_, [&](uint32_t stream) { return !contains(over_, stream); });
  // The monitor has every stream at its level: a capture would only cost the server a copy.
  if (monitorRecords) playing.clear();
  for (auto& capture : captures_) {
    if (!contains(playing, capture->appStream())) capture->finish();
  }
  standIn_ = !view.playingKnown && !monitorRecords;
  holdsBack_ = view.holdsBackUnread;
  monitorSounds_ = monitorSounds;
  gain_ = 1;
  for (const MonitorLevel& monitor : view.monitors) {
    // A muted monitor cannot be undone: its captures are silent too.
    if (view.monitorLevelReachesStreams && monitor.source == source && monitor.level > 0) {
      gain_ = static_cast<float>(1 / monitor.level);
    }
  }
  for (uint32_t stream : playing) {
    if (contains(over_, stream)) {
      standIn_ = standIn_ || contains(refused_, stream);
      continue;
    }
    const bool captured = std::any_of(captures_.begin(), captures_.end(), [&](const auto& capture) {
      return capture->appStream() == stream && !capture->ended();
    });
    if (!captured) {
      captures_.push_back(std::make_unique<AppStreamCapture>(context_, frames_, stream, source));
    }
  }
}

bool AppStreamCaptures::placing() const {
  return std::any_of(captures_.begin(), captures_.end(), [](const auto& capture) {
    return capture->unplaced() || capture->settling();
  });
}

// More often than the usual pace when the server sends more than it copes with a client leaving
// unread for a whole turn. PulseAudio, with three captures beside the monitor read every eighth of
// a second, sent the monitor's audio late and then in a rush, which the clock took for a stall;
// every sixteenth, four came through whole. PipeWire sent even one capture's audio in lumps up to
// a second late, and lost what it held of a stream when the stream ended; every sixteenth of a
// second it did not, and with three or more captures every thirty-second.
int readingPace(size_t captures, bool serverHoldsBackUnread) {
  if (captures >= 3) return serverHoldsBackUnread ? 4 : 2;
  return serverHoldsBackUnread ? 2 : 1;
}

const float* AppStreamCaptures::withoutOthers(AppStreamCapture& capture, const float* samples,
                                              int64_t first, size_t frames) {
  const uint32_t channels = frames_.channelsPerFrame;
  bool any = false;
  for (auto& other : captures_) {
    if (other.get() == &capture || !other->placedBySound()) continue;
    const MixSource placed = other->source();
    if (!any) explained_.assign(frames * channels, 0.0f);
    any = true;
    const int64_t from = std::max(first, placed.first);
    const int64_t to = std::min(first + static_cast<int64_t>(frames),
                                placed.first + static_cast<int64_t>(placed.frames));
    for (int64_t at = from; at < to; ++at) {
      for (uint32_t channel = 0; channel < channels; ++channel) {
        explained_[static_cast<size_t>(at - first) * channels + channel] +=
            placed.samples[static_cast<size_t>(at - placed.first) * channels + channel];
      }
    }
  }
  if (!any) return samples;
  residual_.assign(samples, samples + frames * channels);
  removeExplained(residual_.data(), explained_.data(), residual_.size());
  return residual_.data();
}

void AppStreamCaptures::read() {
  for (auto& capture : captures_) capture->read();
}

size_t AppStreamCaptures::mix(RecordStream& monitor, float* samples, int64_t first, size_t frames,
                              bool all) {
  bool standIn = standIn_;
  sources_.clear();
  // A new capture is placed by the server's timing as soon as the answers come (read as they come
  // meanwhile), then by its sound.
  bool placing = false;
  for (auto& capture : captures_) {
    capture->askTiming();
    capture->place(monitor);
    capture->refine(capture->refining() ? withoutOthers(*capture, samples, first, frames) : samples,
                    first, frames, frames_.channelsPerFrame);
    placing = placing || capture->unplaced() || capture->settling();
    // Not made again while the server still lists the stream, as it does for a moment after its
    // end.
    if (capture->endedByServer() && !contains(over_, capture->appStream())) {
      over_.push_back(capture->appStream());
    }
    if (capture->refused()) {
      if (!contains(refused_, capture->appStream())) refused_.push_back(capture->appStream());
      standIn = true;
    } else if (capture->placed()) {
      sources_.push_back(capture->source());
    } else if (!capture->ended()) {
      standIn = true;  // started, nothing of it yet
    }
  }
  const bool unplaced = std::any_of(captures_.begin(), captures_.end(),
                                    [](const auto& capture) { return capture->unplaced(); });
  if (unplaced) monitor.askTiming(AppStreamCapture::kPlaceSeconds);
  const double holdSeconds = holdsBack_ ? kHeldBackHoldSeconds : kHoldSeconds;
  const size_t hold = all ? 0 : static_cast<size_t>(holdSeconds * frames_.sampleRate);
  size_t done = StreamMix::ready(first, frames, sources_, hold);
  if (placing && !all) {
    const auto placeHold = static_cast<size_t>(kPlaceHoldSeconds * frames_.sampleRate);
    done = std::min(done, frames > placeHold ? frames - placeHold : 0);
  }
  // A server may lose the last moments of a stream's capture when the stream ends. A silent
  // monitor has nothing of them: standing in, it would only silence the other captures (a muted
  // output lost 70 ms of a new stream's tone to the tail of one moved away).
  const auto tail =
      monitorSounds_ ? static_cast<size_t>((holdsBack_ ? kHeldBackTailSeconds : kLostTailSeconds) *
                                           frames_.sampleRate)
                     : 0;
  standIn = standIn && monitorSounds_;
  mix_.mix(samples, first, done, sources_, standIn, tail, gain_);
  const int64_t doneUntil = first + static_cast<int64_t>(done);
  for (auto& capture : captures_) capture->dropBefore(doneUntil);
  // A capture that ended is let go of once all it had is mixed, and the stretch after it in which
  // the monitor stands in for what the server may have lost of it.
  std::erase_if(captures_, [&](const auto& capture) {
    return capture->ended() && capture->drained() &&
           capture->source().first + static_cast<int64_t>(tail) <= doneUntil;
  });
  return done;
}

}  // namespace platform::pulse
