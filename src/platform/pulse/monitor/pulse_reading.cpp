// Reading the server: what it sends collected and handed over a burst at a time, silence where it
// sent nothing, and the recording kept on the clock.
#include <algorithm>
#include <utility>

#include "platform/pulse/monitor/pulse_stream.h"

namespace platform::pulse {
namespace {

constexpr double kMonitorTimingSeconds = 2.0;

}  // namespace

void PulseStream::onTailArrived(pa_stream*, int, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (!self->stream_ || self->tailTaken_) return;
  if (self->monitorReached(self->stopAt_)) return self->disconnectAfterTail();
  self->tailAwaited_ = true;  // the bursts to come bring the rest
}

void PulseStream::disconnectAfterTail() {
  tailAwaited_ = false;
  takeTail();
  stream_->disconnect();
}

void PulseStream::takeTail() {
  if (tailTaken_) return;
  if (stream_) stream_->read();
  if (appStreams_) appStreams_->read();
  handOverNow();
  deliverBatch(/*all=*/true,
               stopping_ ? monitorFrameAt(stopAt_) : std::numeric_limits<int64_t>::max());
  if (timeline_) deliverSilence(timeline_->silenceUntil(stopSeconds_));
  tailTaken_ = true;
  if (stream_) stream_->stopCollecting();
}

void PulseStream::handOverNow() {
  // A mute still waiting for its moment goes now, with what sounded before it.
  for (HandOver& handOver : handOvers_) handOver.waitUntil = 0;
  runDueHandOvers();
}

void PulseStream::deliverBatch(bool all, int64_t until) {
  if (!stream_) return;
  std::vector<uint8_t>& collected = stream_->collected();
  const size_t bytesPerFrame = description_.bytesPerFrame;
  size_t frames = collected.size() / bytesPerFrame;
  if (frames == 0) return;
  const size_t arrived = frames;
  const auto first = static_cast<int64_t>(stream_->collectedFrames() - frames);
  monitorGain_.apply(reinterpret_cast<float*>(collected.data()), first, frames,
                     description_.channelsPerFrame);
  if (!handOvers_.empty()) until = std::min(until, monitorFrameAt(handOvers_.front().at));
  if (until - first < static_cast<int64_t>(frames)) {
    frames = static_cast<size_t>(std::max<int64_t>(until - first, 0));
    if (frames == 0) return;
  }
  // Kept up to date for the changes of level to come: the monitor's timing drifts with the output's
  // clock. Its answer waits for the loop's turn.
  stream_->askTiming(kMonitorTimingSeconds);
  if (appStreams_ && !appStreams_->empty()) {
    frames = appStreams_->mix(*stream_, reinterpret_cast<float*>(collected.data()), first, frames,
                              all || !anyPlaying_);
    if (frames == 0) return settlePace(/*silent=*/false);
  }
  // What waits for a capture stays collected, for the next batch.
  std::vector<uint8_t> batch;
  if (frames * bytesPerFrame + bytesPerFrame > collected.size()) {
    const size_t reserve = collected.size();
    batch = std::move(collected);
    batch.resize(frames * bytesPerFrame);
    collected = std::vector<uint8_t>();
    collected.reserve(reserve);  // grown once, rather than piece by piece
  } else {
    const auto end = collected.begin() + static_cast<ptrdiff_t>(frames * bytesPerFrame);
    batch.assign(collected.begin(), end);
    collected.erase(collected.begin(), end);
  }
  PacedLoop& loop = connection_.loop();
  // Lets go of `count` frames at the batch's front; whether any are left.
  auto dropFront = [&](uint64_t count) {
    batch.erase(batch.begin(), batch.begin() + static_cast<ptrdiff_t>(count * bytesPerFrame));
    frames -= count;
    return frames > 0;
  };
  // What the file holds past the moment `sounded` (of the batch's front) had not sounded where it
  // was recorded: the output left rendered it ahead, and renders it again where its streams went
  // (here). That much of the front is let go; whether any is left.
  auto makeUp = [&](double& sounded) {
    const uint64_t over =
        std::min({timeline_->aheadOf(sounded), renderedAhead_, static_cast<uint64_t>(frames)});
    renderedAhead_ -= over;
    sounded += static_cast<double>(over) / description_.sampleRate;
    return dropFront(over);
  };
  if (timeline_) {
    const uint64_t dropped = timeline_->overlap(frames, secondsNow());
    if (!dropFront(dropped)) return;
    if (resuming_ && stream_->timingCurrent() && stream_->lastTimingAskedAt() >= resumingSince_) {
      // Placed where it sounded: the server sends it up to a piece after that.
      double sounded =
          stream_->frameZeroSeconds() +
          static_cast<double>(first + static_cast<int64_t>(dropped)) / description_.sampleRate +
          (secondsNow() - realtimeSeconds());
      if (!makeUp(sounded)) return;
      deliverSilence(timeline_->silenceBeforeSounded(frames, sounded));
    } else {
      // What waits for a capture arrived with this batch, and tells the lag as much as it does.
      const uint64_t held = arrived - frames - dropped;
      if (resuming_) {
        // A new stream's first audio may come before the timing that places it: it sounded about
        // as long before it was read as everything read with it lasts.
        double sounded =
            loop.burstStartSeconds() - static_cast<double>(frames + held) / description_.sampleRate;
        if (!makeUp(sounded)) return;
      }
      if (loop.burstArrivedPromptly()) {
        deliverSilence(timeline_->silenceBefore(frames, loop.burstStartSeconds(), resuming_, held));
      } else {  // read at the loop's turn: when it came is known only within the wait
        deliverSilence(
            timeline_->silenceBeforeLate(frames, newestSince_, secondsNow(), resuming_, held));
      }
    }
  }
  resuming_ = false;
  renderedAhead_ = 0;  // made up for, or not to be
  // Digital silence (an output that plays nothing, or only silence) is handed over as silence,
  // every other relaxed turn, and read at the relaxed pace: nothing in it is worth waking for more
  // often.
  const bool silent =
      std::all_of(batch.begin(), batch.end(), [](uint8_t byte) { return byte == 0; });
  if (silent) {
    deliverSilence(frames, /*mayWait=*/true);
    // Nothing plays, and what the output played has been read: corked before that, the server
    // would keep it for the next uncork, which would put it in the file late.
    if (!anyPlaying_) setCorked(true);
  } else {
    deliverSamples(std::move(batch), frames);
  }
  settlePace(silent);
}

void PulseStream::settlePace(bool silent) {
  if (!stream_ || !stream_->running() || stopping_ || follower_.awaitingReplies()) return;
  PacedLoop& loop = connection_.loop();
  // Undisturbed; but a capture waiting for its place is placed by the server's answer the moment it
  // comes, while the monitor's audio waits for it.
  loop.setPaced(!appStreams_ || !appStreams_->placing());
  // While applications' streams are captured, never relaxed, and read as often as they need.
  const bool capturing = appStreams_ && !appStreams_->empty();
  loop.setBrisk(capturing ? appStreams_->readingPace() : 1);
  // Relaxed for digital silence, and for the monitor recording alone: the server keeps seconds of
  // it unread (PipeWire's pieces of one cycle wait for the turn together), and a resumption after a
  // quiet stretch is still read the moment it comes, since a turn waits only while the server keeps
  // sending.
  loop.setRelaxed((silent || path_.monitorRecords) && !capturing);
}

// The server has sent nothing for a while. An output that sleeps sends nothing: the file grows
// with the clock all the same, so that it is as long as the recording so far even if the process
// is killed, and a long sleep never has to be made up at once. But a server that is itself held
// up (frozen, swapped out), or an output that renders in long blocks, sends later what it owes:
// silence put in now would be doubled by it. So the output is asked first: only one that is not
// running (or a server that answers that it has none) stands for silence, up to the moment of
// the question. A server that does not answer is asked nothing more until it does.
void PulseStream::catchUpWithClock() {
  if (!timeline_ || stopping_) return;
  deliverBatch(/*all=*/true);  // what waited for a capture waits no longer
  if (collecting()) return;
  resumeAfterGap();  // whatever comes next ends a quiet stretch
  // Nothing plays to the output: there is nothing to ask the server, whose silence is ours to
  // count.
  if (!anyPlaying_) setCorked(true);
  if (stream_ && stream_->corked()) return deliverSilence(timeline_->silenceUntil(secondsNow()));
  if (outputAsked_) return;
  outputAskedAt_ = secondsNow();
  outputAsked_ = operations_.track(pa_context_get_sink_info_by_name(
      connection_.context(), follower_.output().sink.c_str(), onQuietOutput, this));
}

void PulseStream::onQuietOutput(pa_context*, const pa_sink_info* sink, int eol, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (eol != 0) {
    self->outputAsked_ = false;
    return;
  }
  if (!sink || sink->state == PA_SINK_RUNNING) return;  // what it plays is on its way
  if (!self->timeline_ || self->stopping_ || self->collecting()) return;
  self->deliverSilence(self->timeline_->silenceUntil(self->outputAskedAt_));
}

void PulseStream::deliverSilence(uint64_t frames, bool mayWait) {
  silence_.add(frames);
  if (silence_.empty() || (mayWait && silence_.mayWait())) return;
  deliver(silence_.take(), StreamOutputType::audio);
}

void PulseStream::deliverSamples(std::vector<uint8_t> samples, size_t frames) {
  auto buffer = std::make_shared<const SampleBuffer>(description_, static_cast<int64_t>(frames),
                                                     std::move(samples));
  if (silence_.empty()) return deliver(std::move(buffer), StreamOutputType::audio);
  auto buffers = silence_.take();  // what was held goes first, in the same turn of the queue
  buffers.push_back(std::move(buffer));
  deliver(std::move(buffers), StreamOutputType::audio);
}

}  // namespace platform::pulse
