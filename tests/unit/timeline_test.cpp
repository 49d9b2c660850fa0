// Placing a record stream's fragments on the clock.
#include "platform/pulse/timeline.h"

#include <gtest/gtest.h>

namespace {

using platform::pulse::Timeline;

constexpr bool kResuming = true;
constexpr bool kRunning = false;

TEST(Timeline, StretchesTheServerDidNotDeliverBecomeSilence) {
  Timeline timeline(16000, 100.0);
  // Nothing for 1.9 s (a sleeping output), then 0.1 s of audio: 1.8 s of silence go first.
  EXPECT_EQ(timeline.silenceBefore(1600, 101.9, kResuming), 28800u);
  // A steady stream is never padded.
  for (int i = 1; i <= 50; ++i) {
    EXPECT_EQ(timeline.silenceBefore(1600, 101.9 + 0.1 * i, kRunning), 0u);
  }
  // A suspend of half a second: exactly that, as silence.
  EXPECT_EQ(timeline.silenceBefore(1600, 107.5, kResuming), 8000u);
  // The stop brings the recording to its moment.
  EXPECT_EQ(timeline.silenceUntil(107.55), 800u);
  EXPECT_EQ(timeline.frames(), 16000u * 7 + 8800u);
}

TEST(Timeline, JitterAndSlowDriftNeverInsertSilence) {
  Timeline timeline(16000, 0.0);
  // A device clock 200 ppm slow over two hours, with up to 30 ms of scheduling jitter.
  double deviceSeconds = 0;
  for (int i = 0; i < 72000; ++i) {
    deviceSeconds += 0.1;
    const double jitter = 0.03 * ((i * 7919) % 11) / 10.0;
    ASSERT_EQ(timeline.silenceBefore(1600, deviceSeconds * 1.0002 + jitter, kRunning), 0u)
        << "at " << i;
  }
}

TEST(Timeline, DataArrivingAheadOfTheClockIsNeverCut) {
  Timeline timeline(16000, 0.0);
  EXPECT_EQ(timeline.silenceBefore(16000, 0.5, kResuming), 0u);  // a second after half a second
  EXPECT_EQ(timeline.silenceUntil(0.6), 0u);
  EXPECT_EQ(timeline.frames(), 16000u);
}

// A busy machine: the server falls 60 ms behind, then sends what it held back. Running, that is no
// gap, and the file stays as long as the clock; the same lag where the stream resumes is one.
TEST(Timeline, AServerRunningLateForAMomentIsNotAGap) {
  Timeline timeline(16000, 0.0);
  EXPECT_EQ(timeline.silenceBefore(1600, 0.1, kResuming), 0u);
  EXPECT_EQ(timeline.silenceBefore(320, 0.18, kRunning), 0u);  // 20 ms of audio, 60 ms late
  EXPECT_EQ(timeline.silenceBefore(1280, 0.2, kRunning), 0u);  // and the rest
  EXPECT_EQ(timeline.silenceUntil(0.2), 0u);
  EXPECT_EQ(timeline.frames(), 3200u);

  Timeline resumed(16000, 0.0);
  EXPECT_EQ(resumed.silenceBefore(320, 0.08, kResuming), 960u);
}

}  // namespace
