// Following the output: the capture moved with the default output or failed with it, corked while
// nothing plays on it, and recording by the path that what plays there, and at what levels, allows.
#include "platform/pulse/monitor/pulse_stream.h"

namespace platform::pulse {
namespace {

// The monitor's pieces while it records alone, when nothing waits for a new stream's first moments
// on the output (a capture made on it gets them only while the output renders little ahead).
// PipeWire's graph runs in cycles no longer than its longest whatever is asked: pieces just over
// one let it run at its players' pace (longer ones would spare both sides some messages, but an
// output removed loses those not yet sent). PulseAudio's output renders as far ahead as its clients
// let it: pieces as long as the loop's relaxed turn, each read on its own turn, wake the server
// half as often as a recorder's usual 125 ms, and the tool (loop and queue) no more often than such
// a recorder.
constexpr double kPastCycleSeconds = 0.002;

}  // namespace

double PulseStream::monitorPiece(const CapturePath& path, const ServerView& view) const {
  if (!path.monitorRecords) return RecordStream::kPieceSeconds;
  if (view.longestCycleSeconds > 0) return view.longestCycleSeconds + kPastCycleSeconds;
  return connection_.loop().relaxedSeconds();
}

void PulseStream::followOrFail(const Error& error) {
  pa_context* context = connection_.context();
  // PipeWire's server, asked about a stream that the removal of its output was ending, now and
  // then breaks the connection with a malformed answer ("Protocol error", once in a hundred moves
  // on an idle machine): the server is still there, and a new connection follows the default.
  const bool broken = pa_context_get_state(context) == PA_CONTEXT_FAILED &&
                      pa_context_errno(context) == PA_ERR_PROTOCOL;
  if (startHandler_ || stopping_ ||
      (pa_context_get_state(context) != PA_CONTEXT_READY && !broken)) {
    return fail(error);
  }
  release();
  if (broken) connection_.replace([](std::optional<Error>) {});  // the follower looks meanwhile
  follower_.lost(error);
}

void PulseStream::recordFollowedOutput() {
  if (stream_) {
    stream_->read();
    release();
  }
  if (int code = connect()) fail(libraryError(code));
}

void PulseStream::lookAtPlaying() {
  if (!stream_ || !stream_->running() || stopping_) return;
  const ServerView view = connection_.serverView();
  anyPlaying_ = view.plays(follower_.output().index);
  if (anyPlaying_) setCorked(false);
  const CapturePath path = choosePath(view, follower_.output().index, follower_.output().source);
  if (path != path_) {
    // A change of level reaches the monitor's audio from the moment it was made; placed by the
    // monitor's timing where it is known, else at the audio arriving now.
    int64_t from = 0;
    if (path_.known) {
      from = stream_->timingCurrent() ? monitorFrameAt(view.levelsChangedAt)
                                      : static_cast<int64_t>(stream_->collectedFrames());
    }
    monitorGain_.set(from, static_cast<float>(path.undo));
    path_ = path;
    // Shortened before a capture is made: it gets the output's audio from the moment it is made
    // only once the output renders little ahead.
    stream_->setPiece(monitorPiece(path_, view));
  }
  // After the uncork: a capture of one application's stream gets the output's audio from the
  // moment it starts only while the monitor keeps the output's latency short.
  if (appStreams_) {
    appStreams_->follow(view, follower_.output().index, follower_.output().source,
                        path_.monitorRecords, path_.monitorSounds);
  }
}

void PulseStream::resumeAfterGap() {
  resuming_ = true;
  resumingSince_ = secondsNow();
}

void PulseStream::setCorked(bool corked) {
  if (!stream_ || stream_->corked() == corked || !stream_->running() || stopping_) return;
  // Whatever plays next is a resumption: the stretch before it is silence, counted by the clock.
  resumeAfterGap();
  // Its arrival is what places it on the clock: it is read the moment it comes, not at the loop's
  // next turn, which may be a relaxed one away.
  if (!corked) connection_.loop().setPaced(false);
  stream_->setCorked(corked);
}

}  // namespace platform::pulse
