// The process shell and the capture object over the scripted service: the command line, the line
// and status of each ending, the sample path into the file, mute, stop, and the races between the
// capture's callers (run under ThreadSanitizer).
#include <future>

#include "capture/system_audio_capture.h"
#include "cli/args.h"
#include "cli/exit_status.h"
#include "cli/tool.h"
#include "helpers.h"

namespace {

using namespace testing_support;
using platform::Error;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Tokens = std::vector<const char*>;

TEST(ParseArgs, TokensAreReadExactlyAsGiven) {
  const std::pair<Tokens, std::string> cases[] = {
      {{"tap", "--output"}, "error=--output requires a path"},
      {{"tap", "--output", "a.wav", "--output"}, "error=--output requires a path"},
      {{"tap", "--output", "a.wav", "--output", "b.wav"}, "b.wav"},
      {{"tap", "--output", "--help"}, "--help"},
      {{"tap", "--output", ""}, ""},
      {{"tap", "--output=a.wav", "--help"}, "error=unknown arg: --output=a.wav"},
      {{"tap", "--output", "a.wav", "extra"}, "error=unknown arg: extra"},
      {{"tap", "--HELP"}, "error=unknown arg: --HELP"}};
  for (const auto& [tokens, result] : cases) {
    try {
      EXPECT_EQ(parseArgs(static_cast<int>(tokens.size()), tokens.data()).output, result);
    } catch (const CLIError& error) {
      EXPECT_EQ("error=" + error.message, result);
    }
  }
}

TEST(StartFailureStatus, PermissionWordsInAnyCaseOrTheStreamDomainMeanRefused) {
  for (const char* refused : {"Permission denied", "The user DECLINED", "Not Authorized",
                              "NOT ALLOWED", "Blocked by Tcc"}) {
    EXPECT_EQ(startFailureStatus(refused, "tarn.pulse"), 4) << refused;
  }
  EXPECT_EQ(startFailureStatus("Failed", platform::kStreamErrorDomain), 4);
  EXPECT_EQ(startFailureStatus("Failed", "tarn.capture-service"), 3);
  EXPECT_EQ(startFailureStatus("not authorised", "tarn.pulse"), 3);
}

// The whole process, each case in a child of its own.
TEST(RunTool, EachEndingHasItsLineAndStatus) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the tool's own threads run in the child
  const Error refused(platform::kStreamErrorDomain, 1, "Stream failed");
  const std::tuple<Tokens, std::optional<Error>, size_t, int, std::string> cases[] = {
      {{"tap"}, {}, 1, 64, "--output is required"},
      {{"tap", "-x", "--help"}, {}, 1, 64, "unknown arg: -x"},
      {{"tap", "--output", "x.wav", "-h"}, {}, 1, 0, "usage: tarn-audio-tap --output PATH"},
      {{"tap", "--output", "x.wav"}, refused, 1, 4, "start failed: Stream failed"},
      {{"tap", "--output", "x.wav"}, {}, 0, 3, "start failed: no display available"}};
  for (const auto& [tokens, startError, displays, status, line] : cases) {
    EXPECT_EXIT(
        {
          scripted::script().startError = startError;
          scripted::script().displays.resize(displays);
          runTool(static_cast<int>(tokens.size()), tokens.data());
        },
        testing::ExitedWithCode(status), "^" + line + "\n$");
  }
}

class CaptureTest : public ScratchTest {
 protected:
  // Kept for good, as the tool keeps its capture: the capture and its stream hold each other.
  std::shared_ptr<SystemAudioCapture> kept(const std::string& path) {
    static auto* alive = new std::vector<std::shared_ptr<SystemAudioCapture>>;
    return alive->emplace_back(std::make_shared<SystemAudioCapture>(path));
  }
  std::shared_ptr<SystemAudioCapture> started(const std::string& path) {
    auto capture = kept(path);
    capture->start();
    stream = scripted::lastStream();
    return capture;
  }
  std::shared_ptr<scripted::ScriptedStream> stream;
};

// The file is created by the first audio buffer with samples: not by screen buffers, empty ones or
// defective ones, which are dropped without a word. A failed creation is a line for each buffer
// until one succeeds; a failed write is a line, and the file stays open for the next buffer.
TEST_F(CaptureTest, TheFirstAudioBufferWithSamplesCreatesTheFileAndWriteErrorsAreALineEach) {
  const std::string path = folder_ / "later" / "out.wav";
  scripted::script().displays = {{7, "a", "A", "a.monitor"}, {8, "b", "B", "b.monitor"}};
  scripted::script().stopError = Error("d", 9, "stop refused");  // changes nothing
  auto capture = started(path);
  const auto& asked = stream->configuration();
  EXPECT_EQ(
      std::tuple(asked.sampleRate(), asked.channelCount(), stream->filter().display().displayID),
      std::tuple(16000, 1, 7u));
  const auto good = platform::packedFloatDescription(16000, 1);
  auto notPcm = good;
  notPcm.formatID = 0x61616320;  // 'aac '
  const std::vector<uint8_t> data(640, 0x3f);
  const std::tuple<platform::StreamBasicDescription, int64_t, scripted::Defects> defective[] = {
      {good, 160, {.invalid = true}},
      {good, 160, {.noFormat = true}},
      {notPcm, 160, {}},
      {good, (int64_t{1} << 32) + 160, {}},
      {good, 160, {.noData = true}},
      {good, 160, {.pointerStatus = -12700}}};
  CaptureStderr();
  // A screen buffer, as if the stream handed one to the capture itself.
  auto screen = buffer(std::vector(160, 0.5f));
  stream->queue().async(
      [&] { capture->stream(*stream, *screen, platform::StreamOutputType::screen); });
  stream->push(buffer(std::vector(160, 0.5f), 0));  // no samples, though its block has bytes
  for (const auto& [format, frames, defects] : defective) {
    stream->push(std::make_shared<scripted::DefectiveBuffer>(format, frames, data, defects));
  }
  stream->push(buffer(std::vector(10, 0.5f)));
  stream->push(buffer(std::vector(10, 0.5f)));
  stream->drain();
  fs::create_directory(folder_ / "later");
  stream->push(buffer(std::vector(10, 0.5f)));
  // A buffer the file cannot take (another rate) fails on its own.
  stream->push(buffer(std::vector(30, 0.5f), 30, platform::packedFloatDescription(48000, 1)));
  stream->push(buffer(std::vector(20, 0.5f)));
  capture->stop();
  stream->push(buffer(std::vector(7, 0.5f)));  // after the stop: the recording stays
  stream->drain();
  const std::string notCreated =
      "write error: cannot create \"" + path + "\": No such file or directory\n";
  EXPECT_EQ(GetCapturedStderr(), notCreated + notCreated + "write error: cannot write to \"" +
                                     path + "\": buffer format does not match the file's\n");
  EXPECT_EQ(readFile(path), std::vector<int16_t>(30, 16384));
  EXPECT_EQ(stream->stopRequests, 1);
}

// As many frames as the buffer says, whatever its block holds; float buffers silenced exactly from
// the mute to the unmute around them; other samples kept as they are.
TEST_F(CaptureTest, EachBufferGivesItsFrameCountSilencedWhileMuted) {
  auto capture = started(path_);
  std::promise<void> go;  // holds the queue until everything is handed over: it falls behind
  stream->queue().async([held = go.get_future().share()] { held.wait(); });
  auto int16 = platform::packedFloatDescription(16000, 1);
  int16.formatFlags =
      platform::kAudioFormatFlagIsSignedInteger | platform::kAudioFormatFlagIsPacked;
  int16.bitsPerChannel = 16;
  int16.bytesPerFrame = int16.bytesPerPacket = 2;
  capture->setMuted(true);  // before the first buffer: it holds for it
  stream->push(buffer(std::vector(50, 0.5f)));
  capture->setMuted(false);
  stream->push(buffer(std::vector(150, 0.5f), 100));
  capture->setMuted(true);
  stream->push(buffer(std::vector<int16_t>(80, 1234), 80, int16));
  stream->push(buffer(std::vector(50, 0.5f)));
  capture->setMuted(true);
  capture->setMuted(false);
  stream->push(buffer(std::vector(40, -0.5f), 100));
  std::vector<int16_t> expected(50, 0);
  for (auto [count, value] : {std::pair{100, 16384}, {80, 1234}, {50, 0}, {40, -16384}, {60, 0}}) {
    expected.insert(expected.end(), count, static_cast<int16_t>(value));
  }
  // A writer whose queue is behind puts its writes off until the queue is idle, not until the
  // close.
  stream->queue().async([] {});
  go.set_value();
  EXPECT_TRUE(eventually([&] { return readFile(path_) == expected; }));
  capture->stop();
  EXPECT_EQ(readFile(path_), expected);
}

// The service ends the stream: one line, status 2, and the file closed first (a check at the exit
// finds it no longer open) with every buffer delivered before the end. A death test's child runs
// the checks of the cases before its own again, in a fresh folder: the case without a file first.
TEST_F(CaptureTest, AStreamFailureEndsTheProcessWithTheFileComplete) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the capture's queue runs in the child
  for (const auto& [description, buffers] : {std::pair{"", 0}, {"Connection terminated", 200}}) {
    EXPECT_EXIT(
        {
          static fs::path output = path_;
          std::atexit([] {
            for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
              if (std::error_code e; fs::read_symlink(fd, e) == output) std::_Exit(3);
            }
          });
          started(path_);
          for (int i = 0; i < buffers; ++i) stream->push(buffer(std::vector(1600, 0.25f)));
          EXPECT_TRUE(eventually([&] { return buffers == 0 || fs::exists(path_); }));
          stream->fail(Error(platform::kStreamErrorDomain, 1, description));
        },
        testing::ExitedWithCode(2),
        "^stream stopped with error: " + std::string(description) + "\n$");
    EXPECT_EQ(readFile(path_).size(), buffers * 1600u);
  }
}

// The stream is handed from the start's task to the stop's: a stop while the start is pending
// finds none to stop, and one racing the start finds none or the whole of it.
TEST_F(CaptureTest, StopRacingStart) {
  std::promise<platform::CompletionHandler> pending;
  scripted::script().start = [&](auto handler) { pending.set_value(std::move(handler)); };
  auto capture = kept(path_);
  std::thread starter([&] { capture->start(); });
  auto complete = pending.get_future().get();
  capture->stop();
  EXPECT_EQ(scripted::lastStream()->stopRequests, 0);
  complete(std::nullopt);
  starter.join();
  for (int i = 0; i < 50; ++i) {
    scripted::reset();
    auto racing = kept(path_);
    std::thread racingStarter([&] { racing->start(); });
    racing->stop();
    racingStarter.join();
  }
}

TEST_F(CaptureTest, MuteStormNeverHalfMutesABuffer) {
  auto capture = started(path_);
  std::atomic<bool> done{false};
  std::thread muter([&] {
    for (int i = 0; !done; ++i) capture->setMuted(i % 2 == 0);
  });
  for (int i = 0; i < 2000; ++i) stream->push(buffer(std::vector(64, 0.5f)));
  stream->drain();
  done = true;
  muter.join();
  capture->stop();
  const auto samples = readFile(path_);
  ASSERT_EQ(samples.size(), 2000u * 64);
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], samples[i / 64 * 64]) << i;
}

}  // namespace
