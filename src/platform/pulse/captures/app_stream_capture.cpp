#include "platform/pulse/captures/app_stream_capture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/pulse/captures/audio_lag.h"
#include "platform/pulse/connection/paced_loop.h"

namespace platform::pulse {
namespace {

// The server's timing places a capture within a few milliseconds, answer after answer (PipeWire's
// strays by up to 6 ms now and then): an answer this far from the place taken, several times
// running before the capture has sound to be placed by, is the capture out of step.
constexpr double kAlignmentToleranceSeconds = 0.01;
// PipeWire's server holds back what it has for a client that does not read its connection for a
// while, the more so the more pieces it has to send, and sends it in lumps up to a second late: a
// stream's audio comes in pieces of this length, fewer than the monitor's. (The pieces still
// unsent when the stream ends are lost with it; the monitor stands in for them.)
constexpr double kPieceSeconds = 0.04;
// The timing's place is refined by the sound within this much either way, over this much of it.
constexpr double kRefineSeconds = 0.012;
constexpr double kRefineOverSeconds = 0.04;
// A capture this loud (-40 dB) tells its lag, by a monitor as much as 80 dB quieter still (an
// output at 10 %, and more).
constexpr double kRefineLoudEnough = 0.01;
constexpr double kRefineQuietest = 1e-4;
// A capture not placed within this time of the first mix that could place it (a server that does
// not answer its timing) is given up: the monitor stands in for its stream. Not counted from its
// start: an output that had rendered ahead (a null one, idle before, had 1.4 s of silence queued)
// sends the monitor nothing until the new stream's sound comes, and a capture given up meanwhile
// lost all of that stream on a muted output.
constexpr double kPlaceLimitSeconds = 1.0;
// The most of its audio a capture holds: more can only be one placed far off.
constexpr double kMostHeldSeconds = 2.0;

}  // namespace

AppStreamCapture::AppStreamCapture(pa_context* context, const StreamBasicDescription& frames,
                                   uint32_t appStream, const std::string& source)
    : appStream_(appStream),
      bytesPerFrame_(frames.bytesPerFrame),
      rate_(frames.sampleRate),
      stream_(context, frames,
              RecordStream::Handlers{.ready = [this] { stream_.askTiming(0); },
                                     .failed = [this](int) { ended_ = true; },
                                     .terminated = [this] { ended_ = true; },
                                     .moved = [this] { finish(); }},
              kPieceSeconds),
      alignment_(static_cast<int64_t>(kAlignmentToleranceSeconds * frames.sampleRate)),
      madeAt_(secondsNow()) {
  if (stream_.connect(source, appStream) != 0) ended_ = true;
}

void AppStreamCapture::finish() {
  if (ended()) return;
  stream_.read();
  stream_.stopCollecting();
  stream_.disconnect();
  letGo_ = true;
}

void AppStreamCapture::askTiming() {
  if (!alignment_.known()) stream_.askTiming(kPlaceSeconds);
}

void AppStreamCapture::place(const RecordStream& monitor) {
  if (firstPlaceAt_ == 0) firstPlaceAt_ = secondsNow();
  if (!ended() && !placed() && secondsNow() - firstPlaceAt_ > kPlaceLimitSeconds) {
    stream_.stopCollecting();
    stream_.disconnect();
    ended_ = true;  // as if refused
    return;
  }
  // The monitor's answer must be as new as the capture: one from before a cork would place it
  // off by as long as the monitor was corked.
  if (stream_.timings() == placedBy_ || monitor.lastTimingAskedAt() < madeAt_) return;
  placedBy_ = stream_.timings();
  const double apart = stream_.frameZeroSeconds() - monitor.frameZeroSeconds();
  alignment_.sample(std::llround(apart * rate_));
}

void AppStreamCapture::refine(const float* monitor, int64_t first, size_t frames,
                              uint32_t channels) {
  settling_ = false;
  if (!alignment_.known() || refineTries_ >= kRefineTries) return;
  const MixSource mine = source();
  const auto reach = static_cast<int64_t>(kRefineSeconds * rate_);
  const auto over = static_cast<int64_t>(kRefineOverSeconds * rate_);
  // The monitor's frames that this capture covers, which the next mix may take.
  const int64_t mixFrom = std::max(first, mine.first);
  const int64_t mixTo = std::min(first + static_cast<int64_t>(frames),
                                 mine.first + static_cast<int64_t>(mine.frames));
  if (mixTo <= mixFrom) return;
  // Only a sound in both tells anything; a silent stretch (or a muted output) is no try, and
  // nothing to wait for: a switch there is silent too. Its sound is looked for in all those frames,
  // the newest included, which the match cannot use yet: mixed before the match has placed it, its
  // first moments would stand off by up to the match's reach, and break where the match moves it.
  auto sounds = [&](int64_t from, int64_t to) {
    return audible(mine.samples + (from - mine.first) * channels, static_cast<size_t>(to - from),
                   channels, kRefineLoudEnough);
  };
  if (!audible(monitor + (mixFrom - first) * channels, static_cast<size_t>(mixTo - mixFrom),
               channels, kRefineQuietest * kRefineLoudEnough) ||
      !(sounds(mixFrom, mixTo) || sounds(std::max(mixFrom, mixTo - over), mixTo))) {
    return;
  }
  // Its sound is to be held back until it is placed, if it can be soon.
  settling_ = true;
  // The match: the monitor's frames that this capture covers `reach` either way.
  const int64_t from = std::max(first, mine.first + reach);
  const int64_t to = std::min(mixTo, mine.first + static_cast<int64_t>(mine.frames) - reach);
  if (to - from < over) return;
  const float* reference = monitor + (from - first) * channels;
  const float* other = mine.samples + (from - reach - mine.first) * channels;
  ++refineTries_;
  const int64_t newest = to - over;  // where its sound has surely begun
  const auto lag =
      findLag(reference + (newest - from) * channels, other + (newest - from) * channels,
              static_cast<size_t>(over), channels, static_cast<size_t>(reach));
  if (!lag) {
    settling_ = refineTries_ < kRefineTries;
    return;
  }
  alignment_.shift(*lag);
  refineTries_ = kRefineTries;  // found
  placedBySound_ = true;
  settling_ = false;
}

MixSource AppStreamCapture::source() {
  std::vector<uint8_t>& collected = stream_.collected();
  if (!alignment_.known()) return MixSource{nullptr, 0, 0, ended()};
  return MixSource{reinterpret_cast<const float*>(collected.data()),
                   alignment_.offset() + static_cast<int64_t>(dropped_),
                   collected.size() / bytesPerFrame_, ended()};
}

void AppStreamCapture::dropBefore(int64_t frame) {
  const MixSource held = source();
  if (!alignment_.known()) return;
  const auto most = static_cast<size_t>(kMostHeldSeconds * rate_);
  size_t drop = held.frames > most ? held.frames - most : 0;
  if (frame > held.first) drop = std::max(drop, static_cast<size_t>(frame - held.first));
  drop = std::min(drop, held.frames);
  if (drop == 0) return;
  std::vector<uint8_t>& collected = stream_.collected();
  collected.erase(collected.begin(),
                  collected.begin() + static_cast<ptrdiff_t>(drop * bytesPerFrame_));
  dropped_ += drop;
}

}  // namespace platform::pulse
