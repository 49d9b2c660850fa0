// Keeps a recording on the clock. The server delivers nothing while an output device sleeps (at
// start-up, when suspended, across a device switch); those stretches must become silence of the
// same length, or everything after them lands early in the file. A running stream must never be
// padded, though: its device clock may drift a little from the system clock, so only a sudden lag
// counts as a gap, and slow drift is followed instead.
#pragma once

#include <cstdint>

namespace platform::pulse {

class Timeline {
 public:
  // A lag beyond this, over the drift followed so far, is a gap when the stream resumes (its first
  // audio, or its first after the server had gone quiet): above the jitter of deliveries on a busy
  // machine, below any stretch worth keeping.
  static constexpr double kGapSeconds = 0.04;
  // While the stream runs, only a lag beyond this is: a server that falls behind for a moment on a
  // busy machine sends what it held back right after, and silence put in for the wait would split
  // the sound and push the rest late. Longer stalls go quiet first, and are resumptions.
  static constexpr double kRunningGapSeconds = 0.25;

  Timeline(uint32_t rate, double startSeconds) : rate_(rate), start_(startSeconds) {}

  // Silence put in is owed to whatever audio arrives ahead of the clock this soon after it, or
  // after the last such audio: a server that was held up (frozen, swapped out) renders the stretch
  // it missed when it resumes, faster than real time, in pieces, the first of which looks like a
  // resumption after a gap.
  static constexpr double kOwedSeconds = 2.0;

  // Of `frames` frames arriving at `nowSeconds`, how many at their front would put the recording
  // ahead of the clock over silence put in shortly before: they stand for time the file already
  // holds, and are to be dropped. Only a recording far ahead (by kRunningGapSeconds) starts that;
  // then it is brought back to its usual lag. Counts nothing.
  uint64_t overlap(uint64_t frames, double nowSeconds);
  // A fragment of `frames` frames has arrived at `nowSeconds`, the first of a resumption or not,
  // with `heldFrames` more behind it that go later. Returns how many frames of silence go before
  // it; counts both (the held ones when they go).
  uint64_t silenceBefore(uint64_t frames, double nowSeconds, bool resuming, uint64_t heldFrames);
  // A fragment read at the loop's turn rather than as it came, with `heldFrames` more behind it:
  // its newest frame came after `sinceSeconds`, so it lagged at least as much as it would have
  // then. Only a jump of that least lag by kDroppedSeconds over the one such reads settle at is a
  // gap: a server drops what a process held still for longer than its room left unread, and sends
  // on from there. Reads that waited longer than kLateSpanSeconds tell nothing, nor reads of more
  // than their wait brings (a backlog being sent: what the server still holds would look like
  // lag). The first of a resumption only starts the settling anew: where the stream went on after
  // a move or a quiet stretch is not known so. Returns how many frames of silence go before it;
  // counts both.
  uint64_t silenceBeforeLate(uint64_t frames, double sinceSeconds, double nowSeconds, bool resuming,
                             uint64_t heldFrames);
  // Far above what a read's wait for its turn hides (a relaxed turn, a piece), far below a drop.
  static constexpr double kDroppedSeconds = 1.0;
  static constexpr double kLateSpanSeconds = 0.5;
  // What a read may bring beyond its wait: a piece begun before the read before, sent after it.
  static constexpr double kPieceSeconds = 0.1;
  // The first fragment of a resumption, of `frames` frames, whose first frame sounded at
  // `soundedSeconds` by the server's timing: the silence before it brings it to that moment,
  // however late the server sent it (up to a piece), if it lags by a gap. Returns how many frames
  // of silence go before it; counts both.
  uint64_t silenceBeforeSounded(uint64_t frames, double soundedSeconds);
  // An output renders ahead at most the latency its clients ask of it, and the monitor asks at
  // most a quarter of a second: more, with the timing's jitter, is not audio rendered ahead.
  static constexpr double kRenderedAheadSeconds = 0.3;
  // How many frames the recording holds past `soundedSeconds`, up to an output's rendering ahead
  // (kRenderedAheadSeconds): more is not audio rendered ahead, and is kept.
  uint64_t aheadOf(double soundedSeconds) const;
  // Whether nothing, audio or silence, has been counted yet.
  bool empty() const { return delivered_ == 0; }
  // The capture ends at `nowSeconds`: how many frames of silence bring it to that moment.
  uint64_t silenceUntil(double nowSeconds);

 private:
  int64_t lagFrames(double nowSeconds, uint64_t pending) const;
  uint64_t putIn(uint64_t silence, double nowSeconds);

  const uint32_t rate_;
  const double start_;
  uint64_t delivered_ = 0;
  double drift_ = 0;       // the lag, in frames, that a running stream settles at
  uint64_t owed_ = 0;      // silence put in that late audio may yet cover
  bool repaying_ = false;  // audio has been dropped for it
  double owedSince_ = 0;
  double lateLag_ = 0;  // the least lag, in frames, that reads at their turn settle at
  bool lateLagKnown_ = false;
};

}  // namespace platform::pulse
