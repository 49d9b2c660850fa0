// The recording made of the applications' own streams: which are captured, their mix over the
// monitor's frames, the place of each among them, and the lag found in the sound itself.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/pulse/captures/app_stream_captures.h"
#include "platform/pulse/captures/audio_lag.h"
#include "platform/pulse/captures/capture_alignment.h"
#include "platform/pulse/captures/stream_mix.h"
#include "platform/pulse/connection/output_follower.h"
#include "platform/pulse/path/capture_path.h"

namespace {

using platform::pulse::MixSource;
using platform::pulse::StreamMix;

struct Source {
  std::vector<float> samples;
  int64_t first;
  bool ended;
};

struct MixCase {
  const char* what;
  std::vector<Source> sources;
  std::vector<float> out;  // of a monitor of four frames at 0.1
  bool standIn = false;
  size_t tail = 0;
  float gain = 1;
  uint32_t fade = 0;
};

TEST(StreamMix, EachFrameIsTheCapturesSumWhereEveryStreamIsCoveredAndTheMonitorsElsewhere) {
  const std::vector<float> full(4, 0.6f);
  const std::vector<float> two(2, 0.6f);
  for (const MixCase& test : std::vector<MixCase>{
           {"two streams, summed and clipped as the output would",
            {{full, 0, false}, {full, 0, false}},
            {1, 1, 1, 1}},
           {"one joining late: before it, the monitor",
            {{full, 0, false}, {two, 2, false}},
            {0.1f, 0.1f, 1, 1}},
           {"one ended: the other alone", {{two, 0, true}, {full, 0, false}}, {1, 1, 0.6f, 0.6f}},
           {"one ended, its end maybe cut short: the monitor a while",
            {{two, 0, true}, {full, 0, false}},
            {1, 1, 0.1f, 0.1f},
            false,
            2},
           {"one behind: the monitor until it comes",
            {{two, 0, false}, {full, 0, false}},
            {1, 1, 0.1f, 0.1f}},
           {"a stream nobody captures", {{full, 0, false}}, {0.1f, 0.1f, 0.1f, 0.1f}, true},
           {"the monitor's volume undone",
            {{{0.05f, 0.05f, 0.05f, 0.05f}, 0, false}},
            {0.5f, 0.5f, 0.5f, 0.5f},
            false,
            0,
            10},
           {"a ramp in", {{{0, 0, 1, 1}, 0, false}}, {0.05f, 0, 1, 1}, false, 0, 1, 2},
           {"a ramp out to the monitor standing in after an end, over the last frames",
            {{{1, 1, 1, 1}, 0, true}},
            {0.55f, 1, 0.55f, 0.1f},
            false,
            2,
            1,
            2},
           {"nothing captured", {}, {0.1f, 0.1f, 0.1f, 0.1f}},
       }) {
    std::vector<float> monitor(4, 0.1f);
    std::vector<MixSource> sources;
    for (const Source& source : test.sources) {
      sources.push_back({source.samples.data(), source.first, source.samples.size(), source.ended});
    }
    StreamMix mix(1, test.fade);
    mix.mix(monitor.data(), 0, 2, sources, test.standIn, test.tail, test.gain);
    mix.mix(monitor.data() + 2, 2, 2, sources, test.standIn, test.tail, test.gain);
    for (size_t i = 0; i < 4; ++i)
      EXPECT_FLOAT_EQ(monitor[i], test.out[i]) << test.what << " " << i;
  }
}

TEST(StreamMix, TheMonitorWaitsForCapturesBehindItButNotLong) {
  const std::vector<float> samples(10);
  auto source = [&](int64_t first, size_t frames, bool ended) {
    return MixSource{samples.data(), first, frames, ended};
  };
  const std::vector<MixSource> behind{source(0, 8, false), source(2, 4, false), source(0, 1, true)};
  EXPECT_EQ(StreamMix::ready(0, 10, behind, 8), 6u);  // up to the one furthest behind
  EXPECT_EQ(StreamMix::ready(0, 10, behind, 2), 8u);  // but no more than the hold
  EXPECT_EQ(StreamMix::ready(0, 10, {}, 8), 10u);
  const std::vector<MixSource> farBehind{source(0, 3, false)};
  EXPECT_EQ(StreamMix::ready(4, 10, farBehind, 20), 0u);
}

TEST(AppStreamCaptures, OnlyTheStreamsPlayingToTheRecordedOutputAreCaptured) {
  using platform::pulse::AppStream;
  const uint32_t recorded = 7;
  platform::pulse::ServerView view;
  view.playingKnown = true;
  // Playing there; paused; on another output (or moved to it); on none yet; playing there.
  view.streams = {AppStream{1, recorded, false}, AppStream{2, recorded, true},
                  AppStream{3, 8, false}, AppStream{4, PA_INVALID_INDEX, false},
                  AppStream{5, recorded, false}};
  EXPECT_EQ(platform::pulse::streamsPlayingTo(view, recorded), (std::vector<uint32_t>{1, 5}));
  view.playingKnown = false;  // listed before the watch had heard
  EXPECT_TRUE(platform::pulse::streamsPlayingTo(view, recorded).empty());
}

TEST(CapturePath, TheMonitorRecordsWhereWhatItsLevelsTookAwayCanBeUndone) {
  using platform::pulse::OutputLevel;
  struct Case {
    const char* what;
    OutputLevel output;
    double monitor;
    bool monitorRecords;
    double undo;
  };
  for (const Case& c : std::vector<Case>{
           {"as played", {7, 1.0, true, 16}, 1.0, true, 1},
           {"output at 50 %", {7, 0.125, true, 16}, 1.0, true, 8},
           {"16 bits at 10 %: six left", {7, 0.001, true, 16}, 1.0, false, 1000},
           {"float at 10 %", {7, 0.001, true, 24}, 1.0, true, 1000},
           {"monitor at 10 %", {7, 1.0, true, 16}, 0.001, false, 1000},
           {"16 bits at -120 dB: nothing left", {7, 1e-6, true, 16}, 1.0, false, 1},
           {"output muted", {7, 0.0, true, 24}, 1.0, false, 1},
           {"monitor muted", {7, 1.0, true, 24}, 0.0, false, 1},
           {"boosted: the output clips", {7, 2.0, true, 24}, 1.0, false, 0.5},
           {"a balance", {7, 0.5, false, 24}, 1.0, false, 2},
       }) {
    platform::pulse::ServerView view;
    view.outputs = {OutputLevel{3, 1.0}, c.output};
    view.monitors = {{"other.monitor", 1.0}, {"out.monitor", c.monitor}};
    const auto path = platform::pulse::choosePath(view, 7, "out.monitor");
    EXPECT_TRUE(path.known) << c.what;
    EXPECT_EQ(path.monitorRecords, c.monitorRecords) << c.what;
    EXPECT_DOUBLE_EQ(path.undo, c.undo) << c.what;
    EXPECT_EQ(path.monitorSounds, c.output.level * c.monitor > 0) << c.what;
  }
  // Levels not heard yet: the captures record.
  EXPECT_FALSE(platform::pulse::choosePath({}, 7, "out.monitor").known);
}

TEST(AppStreamCaptures, TheMoreCapturesTheMoreOftenTheConnectionIsRead) {
  for (const auto& [captures, holdsBack, pace] : std::vector<std::tuple<size_t, bool, int>>{
           {1, false, 1},
           {2, false, 1},
           {3, false, 2},
           {6, false, 2},  // PulseAudio
           {1, true, 2},
           {2, true, 2},
           {3, true, 4},
           {6, true, 4},  // PipeWire
       }) {
    EXPECT_EQ(platform::pulse::readingPace(captures, holdsBack), pace) << captures << holdsBack;
  }
}

TEST(OutputFollower, OnlyAnAnswerAboutTheDefaultAsLastHeardMovesTheCapture) {
  platform::pulse::ServerView view;  // A, then B, then A again: the answer about B comes last
  view.defaultSink = "A";
  for (const auto& [answered, recorded, known, moves] :
       std::vector<std::tuple<std::string, std::optional<std::string>, bool, bool>>{
           {"B", "A", true, false},          // no longer the default
           {"A", "A", true, false},          // recorded already
           {"A", std::nullopt, true, true},  // between outputs
           {"A", "B", true, true},
           {"B", "A", false, true},  // the watch has not heard yet: the answer is all there is
       }) {
    view.known = known;
    EXPECT_EQ(platform::pulse::answerMovesTheCapture(answered, recorded, view), moves)
        << answered << " " << recorded.value_or("none") << known;
  }
}

TEST(CaptureAlignment, ThePlaceIsTakenOnceAndRetakenOnlyWhenItStaysOff) {
  platform::pulse::CaptureAlignment alignment(10);
  EXPECT_FALSE(alignment.known());
  for (const auto& [sample, place] : std::vector<std::pair<int64_t, int64_t>>{
           {100, 100},
           {108, 100},
           {300, 100},
           {301, 100},
           {299, 100},
           {300, 300},  // off 4 times
           {500, 300},
           {302, 300},
           {500, 300},
           {501, 300},
           {502, 300},
           {290, 300},  // not running
       }) {
    alignment.sample(sample);
    EXPECT_EQ(alignment.offset(), place) << sample;
  }
  alignment.shift(-7);
  EXPECT_EQ(alignment.offset(), 293);
}

// A sound that never repeats, and one placed `lag` frames too early beside it.
std::vector<float> noise(size_t frames, int64_t from) {
  std::vector<float> samples;
  for (size_t i = 0; i < frames; ++i) {
    uint64_t n = static_cast<uint64_t>(from + static_cast<int64_t>(i) + 100000);
    n = (n ^ (n >> 30)) * 0xbf58476d1ce4e5b9u;
    n = (n ^ (n >> 27)) * 0x94d049bb133111ebu;
    samples.push_back(static_cast<float>((n ^ (n >> 31)) % 1000) / 1000.0f - 0.5f);
  }
  return samples;
}

TEST(FindLag, TheLagOfOneCopyOfASoundBehindAnother) {
  const size_t frames = 640, reach = 40;
  const std::vector<float> reference = noise(frames, 0);
  for (int64_t lag : {-23, 0, 31}) {
    const std::vector<float> other = noise(frames + 2 * reach, lag - static_cast<int64_t>(reach));
    EXPECT_EQ(platform::pulse::findLag(reference.data(), other.data(), frames, 1, reach), lag);
  }
  // A steady tone matches once a period: the match nearest to where the timing put it.
  std::vector<float> tone, late;
  for (size_t i = 0; i < frames + 2 * reach; ++i) {
    tone.push_back(static_cast<float>(std::sin(2 * M_PI * 440 * static_cast<double>(i) / 16000)));
    late.push_back(static_cast<float>(
        std::sin(2 * M_PI * 440 * (static_cast<double>(i) - reach + 36.36 - 2) / 16000)));
  }
  EXPECT_EQ(platform::pulse::findLag(tone.data(), late.data(), frames, 1, reach), -2);
  // A stream beside one 6 dB louder is too unlike the whole monitor to be matched; the louder one
  // (captured at a level of its own) taken out of it, it is matched to the frame.
  std::vector<float> monitor = noise(frames, 9000), louder = monitor;
  for (size_t i = 0; i < frames; ++i) monitor[i] = 0.5f * monitor[i] + 0.25f * reference[i];
  for (float& sample : louder) sample *= 3;
  const std::vector<float> quieter = noise(frames + 2 * reach, 7 - static_cast<int64_t>(reach));
  EXPECT_EQ(platform::pulse::findLag(monitor.data(), quieter.data(), frames, 1, reach),
            std::nullopt);
  platform::pulse::removeExplained(monitor.data(), louder.data(), frames);
  EXPECT_EQ(platform::pulse::findLag(monitor.data(), quieter.data(), frames, 1, reach), 7);
  // A muted output, a silent capture, or two different sounds: nothing to tell by.
  const std::vector<float> silence(frames + 2 * reach);
  const std::vector<float> other = noise(frames + 2 * reach, 5000);
  EXPECT_EQ(platform::pulse::findLag(silence.data(), tone.data(), frames, 1, reach), std::nullopt);
  EXPECT_EQ(platform::pulse::findLag(reference.data(), silence.data(), frames, 1, reach),
            std::nullopt);
  EXPECT_EQ(platform::pulse::findLag(reference.data(), other.data(), frames, 1, reach),
            std::nullopt);
}

}  // namespace
