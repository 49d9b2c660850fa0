// The capture object against the scripted capture service: start, stop, mute and the sample path.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <thread>

#include "buffers.h"
#include "capture/system_audio_capture.h"
#include "cli/cli_error.h"
#include "scripted_service.h"
#include "stderr_capture.h"

namespace fs = std::filesystem;
using platform::StreamOutputType;
using testing_support::constant;
using testing_support::floatBuffer;
using testing_support::readFile;

namespace {

// The capture object and its stream hold each other, as in the tool, where the capture lives as
// long as the process: so do the tests' captures.
std::shared_ptr<SystemAudioCapture> kept(std::shared_ptr<SystemAudioCapture> capture) {
  static auto* alive = new std::vector<std::shared_ptr<SystemAudioCapture>>;
  alive->push_back(capture);
  return capture;
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    folder_ = fs::temp_directory_path() /
              ("tarn-capture-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = (folder_ / "out.wav").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::shared_ptr<SystemAudioCapture> started(const std::string& path) {
    auto capture = kept(std::make_shared<SystemAudioCapture>(path));
    capture->start();
    return capture;
  }
  std::shared_ptr<SystemAudioCapture> started() { return started(path_); }

  fs::path folder_;
  std::string path_;
};

void expectSamples(const std::vector<int16_t>& samples, size_t from, size_t count, int16_t value) {
  ASSERT_LE(from + count, samples.size());
  for (size_t i = from; i < from + count; ++i) ASSERT_EQ(samples[i], value) << "at frame " << i;
}

TEST_F(CaptureTest, StartAsksForMonoAudioAtTheTargetRateOnTheFirstDisplay) {
  scripted::script().displays = {{7, "first", "First", "first.monitor"},
                                 {8, "second", "Second", "second.monitor"}};
  auto capture = started();
  auto stream = scripted::lastStream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(stream->filter().display().displayID, 7u);
  const auto& configuration = stream->configuration();
  EXPECT_TRUE(configuration.capturesAudio());
  EXPECT_EQ(configuration.sampleRate(), 16000);
  EXPECT_EQ(configuration.channelCount(), 1);
  EXPECT_TRUE(configuration.excludesCurrentProcessAudio());
  EXPECT_EQ(configuration.width(), 2u);
  EXPECT_EQ(configuration.height(), 2u);
  EXPECT_EQ(configuration.minimumFrameInterval().value, 1);
  EXPECT_EQ(configuration.minimumFrameInterval().timescale, 1);
  EXPECT_EQ(stream->outputsAdded(),
            (std::vector<StreamOutputType>{StreamOutputType::audio, StreamOutputType::screen}));
  EXPECT_EQ(stream->startRequests(), 1);
}

// Each failing start throws the service's own error, untouched, and keeps no stream: a later stop
// sends no stop request.
TEST_F(CaptureTest, FailedStartsThrowTheServiceErrorAndKeepNoStream) {
  const platform::Error serviceError("some.domain", 42, "it went wrong");
  struct Case {
    const char* name;
    void (*arrange)(scripted::Script&, const platform::Error&);
    bool streamMade;
  };
  const Case cases[] = {
      {"content error", [](auto& s, auto& e) { s.contentError = e; }, false},
      {"content and error together",
       [](auto& s, auto& e) {
         s.contentError = e;
         s.contentWithError = true;
       },
       false},
      {"audio output refused", [](auto& s, auto& e) { s.audioOutputError = e; }, true},
      {"capture start refused", [](auto& s, auto& e) { s.startError = e; }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    scripted::reset();
    c.arrange(scripted::script(), serviceError);
    auto capture = kept(std::make_shared<SystemAudioCapture>(path_));
    try {
      capture->start();
      ADD_FAILURE() << "start succeeded";
    } catch (const platform::Error& error) {
      EXPECT_EQ(error.domain(), "some.domain");
      EXPECT_EQ(error.code(), 42);
      EXPECT_EQ(error.localizedDescription(), "it went wrong");
    }
    auto stream = scripted::lastStream();
    EXPECT_EQ(bool(stream), c.streamMade);
    capture->stop();
    if (stream) {
      EXPECT_EQ(stream->stopRequests(), 0);
    }
  }
}

TEST_F(CaptureTest, RefusedAudioOutputAttachesNoScreenOutputAndNeverStarts) {
  scripted::script().audioOutputError = platform::Error("d", 1, "no");
  auto capture = kept(std::make_shared<SystemAudioCapture>(path_));
  EXPECT_THROW(capture->start(), platform::Error);
  EXPECT_TRUE(scripted::lastStream()->outputsAdded().empty());
  EXPECT_EQ(scripted::lastStream()->startRequests(), 0);
}

TEST_F(CaptureTest, StartsWithoutDisplaysOrContentFailWithoutMakingAStream) {
  auto capture = kept(std::make_shared<SystemAudioCapture>(path_));
  scripted::script().displays.clear();
  try {
    capture->start();
    ADD_FAILURE() << "start succeeded";
  } catch (const CLIError& error) {
    EXPECT_EQ(error.message, "no display available");
  }
  scripted::reset();
  scripted::script().noContent = true;
  EXPECT_THROW(capture->start(), platform::Error);
  scripted::reset();
  scripted::script().refuseAudioOutputSilently = true;
  EXPECT_THROW(capture->start(), platform::Error);
}

TEST_F(CaptureTest, RefusedScreenOutputStillRecords) {
  scripted::script().screenOutputError = platform::Error("d", 1, "no screen");
  auto capture = started();
  scripted::lastStream()->push(floatBuffer(constant(160, 0.25f)));
  capture->stop();
  EXPECT_EQ(readFile(path_).samples.size(), 160u);
}

TEST_F(CaptureTest, StopAsksTheStreamEachTimeAndIgnoresItsError) {
  scripted::script().stopError = platform::Error("d", 9, "stop refused");
  auto capture = started();
  auto stream = scripted::lastStream();
  stream->push(floatBuffer(constant(100, 0.1f)));
  StderrCapture stderrCapture;
  capture->stop();
  capture->stop();
  EXPECT_EQ(stream->stopRequests(), 2);
  EXPECT_EQ(stderrCapture.text(), "");
  EXPECT_EQ(readFile(path_).samples.size(), 100u);
}

TEST_F(CaptureTest, StopDuringAPendingStartFindsNoStream) {
  scripted::script().holdStart = true;
  auto capture = kept(std::make_shared<SystemAudioCapture>(path_));
  std::thread starter([&] { capture->start(); });
  auto stream = scripted::awaitStartedStream();
  ASSERT_TRUE(stream);
  capture->stop();
  EXPECT_EQ(stream->stopRequests(), 0);
  stream->releaseStart();
  starter.join();
}

TEST_F(CaptureTest, NoFileUntilTheFirstAudioBufferWithSamples) {
  auto capture = started();
  auto stream = scripted::lastStream();
  stream->push(floatBuffer(constant(160, 0.5f)), StreamOutputType::screen);
  stream->push(floatBuffer({}));
  capture->stop();
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(CaptureTest, DefectiveBuffersAreDroppedWithoutAWord) {
  using Parts = platform::SampleBuffer::Parts;
  const auto good = platform::packedFloatDescription(16000, 1);
  auto notPcm = good;
  notPcm.formatID = 0x61616320;  // 'aac '
  auto noChannels = good;
  noChannels.channelsPerFrame = 0;
  const std::vector<uint8_t> data(640, 0x3f);
  const Parts cases[] = {
      {.valid = false, .format = good, .numSamples = 160, .data = data},
      {.format = std::nullopt, .numSamples = 160, .data = data},
      {.format = notPcm, .numSamples = 160, .data = data},
      {.format = noChannels, .numSamples = 160, .data = data},
      {.format = good, .numSamples = -1, .data = data},
      {.format = good, .numSamples = int64_t{1} << 33, .data = data},
      {.format = good, .numSamples = 160, .data = std::nullopt},
      {.format = good, .numSamples = 160, .data = data, .dataPointerStatus = -12700},
      {.format = good, .numSamples = 160, .data = std::vector<uint8_t>{}},
  };
  auto capture = started();
  StderrCapture stderrCapture;
  for (const Parts& parts : cases) scripted::lastStream()->push(platform::SampleBuffer(parts));
  capture->stop();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(stderrCapture.text(), "");
}

TEST_F(CaptureTest, BlockLongerOrShorterThanTheBufferGivesExactlyItsFrameCount) {
  auto capture = started();
  auto stream = scripted::lastStream();
  const auto description = platform::packedFloatDescription(16000, 1);
  // 100 frames announced, 150 delivered: only 100 are kept.
  stream->push(
      platform::SampleBuffer(description, 100, testing_support::bytesOf(constant(150, 0.5f))));
  // 100 frames announced, 40 delivered: the other 60 are silence.
  stream->push(
      platform::SampleBuffer(description, 100, testing_support::bytesOf(constant(40, -0.5f))));
  capture->stop();
  const auto file = readFile(path_);
  ASSERT_EQ(file.samples.size(), 200u);
  EXPECT_NEAR(file.samples[0], 16384, 1);
  EXPECT_NEAR(file.samples[99], 16384, 1);
  EXPECT_NEAR(file.samples[100], -16384, 1);
  EXPECT_NEAR(file.samples[139], -16384, 1);
  expectSamples(file.samples, 140, 60, 0);
}

TEST_F(CaptureTest, MuteSilencesExactlyTheBuffersBetweenMuteAndUnmute) {
  auto capture = started();
  auto stream = scripted::lastStream();
  capture->setMuted(true);  // before the first buffer: it holds for it
  stream->push(floatBuffer(constant(50, 0.5f)));
  capture->setMuted(false);
  stream->push(floatBuffer(constant(50, 0.5f)));
  capture->setMuted(true);
  stream->push(floatBuffer(constant(50, 0.5f)));
  capture->setMuted(true);
  capture->setMuted(false);
  stream->push(floatBuffer(constant(50, 0.5f)));
  capture->stop();
  const auto samples = readFile(path_).samples;
  ASSERT_EQ(samples.size(), 200u);
  expectSamples(samples, 0, 50, 0);
  EXPECT_NEAR(samples[50], 16384, 1);
  expectSamples(samples, 100, 50, 0);
  EXPECT_NEAR(samples[150], 16384, 1);
}

TEST_F(CaptureTest, MutedBuffersThatAreNotFloatKeepTheirSamples) {
  auto capture = started();
  platform::StreamBasicDescription int16 = platform::packedFloatDescription(16000, 1);
  int16.formatFlags =
      platform::kAudioFormatFlagIsSignedInteger | platform::kAudioFormatFlagIsPacked;
  int16.bitsPerChannel = 16;
  int16.bytesPerFrame = int16.bytesPerPacket = 2;
  std::vector<int16_t> samples(80, 1234);
  std::vector<uint8_t> bytes(160);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  capture->setMuted(true);
  scripted::lastStream()->push(platform::SampleBuffer(int16, 80, bytes));
  capture->stop();
  expectSamples(readFile(path_).samples, 0, 80, 1234);
}

TEST_F(CaptureTest, SamplesRoundToNearestAndBeyondFullScaleClipInsteadOfWrapping) {
  constexpr float kStep = 1.0f / 32768;  // one step of the 16-bit scale
  const float infinity = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, int16_t>> cases = {
      {0.0f, 0},          {1.0f, 32767},       {-1.0f, -32768},     {1.5f, 32767},
      {-1.5f, -32768},    {3e9f, 32767},       {infinity, 32767},   {-infinity, -32768},
      {std::nanf(""), 0}, {0.6f * kStep, 1},   {0.5f * kStep, 0},   {1.5f * kStep, 2},
      {2.5f * kStep, 2},  {-2.5f * kStep, -2}, {-0.6f * kStep, -1}, {0.25f, 8192},
  };
  std::vector<float> input;
  for (const auto& [sample, expected] : cases) input.push_back(sample);
  auto capture = started();
  // Once in one buffer, converted many at a time, then a sample per buffer, one at a time.
  scripted::lastStream()->push(floatBuffer(input));
  for (float sample : input) scripted::lastStream()->push(floatBuffer({sample}));
  capture->stop();
  const auto samples = readFile(path_).samples;
  ASSERT_EQ(samples.size(), 2 * cases.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto& [sample, expected] = cases[i % cases.size()];
    EXPECT_EQ(samples[i], expected) << "for " << sample << " at " << i;
  }
}

TEST_F(CaptureTest, FailedCreationReportsEachBufferAndTheNextBufferTriesAgain) {
  const std::string path = (folder_ / "missing" / "out.wav").string();
  auto capture = started(path);
  auto stream = scripted::lastStream();
  StderrCapture stderrCapture;
  stream->push(floatBuffer(constant(10, 0.5f)));
  stream->push(floatBuffer(constant(10, 0.5f)));
  capture->stop();  // closes nothing: no file was ever open
  const std::string line =
      "write error: cannot create \"" + path + "\": No such file or directory\n";
  EXPECT_EQ(stderrCapture.text(), line + line);

  // Once the folder exists, the next buffer creates the file.
  scripted::reset();
  fs::create_directories(folder_ / "missing");
  auto second = started(path);
  scripted::lastStream()->push(floatBuffer(constant(10, 0.5f)));
  second->stop();
  EXPECT_EQ(readFile(path).samples.size(), 10u);
}

TEST_F(CaptureTest, FailedWriteKeepsTheFileOpenForTheNextBuffer) {
  auto capture = started();
  auto stream = scripted::lastStream();
  StderrCapture stderrCapture;
  stream->push(floatBuffer(constant(10, 0.5f)));
  // A buffer the file cannot take (another rate) fails on its own.
  stream->push(platform::SampleBuffer(platform::packedFloatDescription(48000, 1), 30,
                                      testing_support::bytesOf(constant(30, 0.5f))));
  stream->push(floatBuffer(constant(20, 0.5f)));
  capture->stop();
  EXPECT_EQ(stderrCapture.text(), "write error: cannot write to \"" + path_ +
                                      "\": buffer format does not match the file's\n");
  EXPECT_EQ(readFile(path_).samples.size(), 30u);
}

TEST_F(CaptureTest, BufferArrivingAfterTheStopDoesNotReplaceTheRecording) {
  auto capture = started();
  auto stream = scripted::lastStream();
  stream->push(floatBuffer(constant(100, 0.5f)));
  capture->stop();
  stream->push(floatBuffer(constant(7, 0.5f)));
  capture->stop();
  EXPECT_EQ(readFile(path_).samples.size(), 100u);
}

}  // namespace
