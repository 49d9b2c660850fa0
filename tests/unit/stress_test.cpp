// Races between the capture object's callers, and a long recording at full speed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "buffers.h"
#include "capture/system_audio_capture.h"
#include "scripted_service.h"

namespace fs = std::filesystem;

namespace {

// AddressSanitizer holds freed memory back in quarantine: resident memory grows under it by design.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

std::shared_ptr<SystemAudioCapture> kept(std::shared_ptr<SystemAudioCapture> capture) {
  static auto* alive = new std::vector<std::shared_ptr<SystemAudioCapture>>;
  alive->push_back(capture);  // the capture and its stream hold each other, as in the tool
  return capture;
}

std::string scratchPath(const std::string& name) {
  return fs::temp_directory_path() / ("tarn-stress-" + std::to_string(getpid()) + "-" + name);
}

// Run under ThreadSanitizer: the hand-over of the stream from start to stop must be race-free.
TEST(Races, StopRacingStart) {
  for (int i = 0; i < 50; ++i) {
    scripted::reset();
    auto capture = kept(std::make_shared<SystemAudioCapture>(scratchPath("race.wav")));
    std::thread starter([&] { capture->start(); });
    std::thread stopper([&] { capture->stop(); });
    starter.join();
    stopper.join();
    auto stream = scripted::lastStream();
    ASSERT_TRUE(stream);
    EXPECT_LE(stream->stopRequests(), 1);
  }
  fs::remove(scratchPath("race.wav"));
}

TEST(Races, MuteStormDuringBuffersNeverHalfMutesABuffer) {
  scripted::reset();
  const std::string path = scratchPath("storm.wav");
  auto capture = kept(std::make_shared<SystemAudioCapture>(path));
  capture->start();
  auto stream = scripted::lastStream();
  std::atomic<bool> done{false};
  std::thread muter([&] {
    for (int i = 0; !done; ++i) capture->setMuted(i % 2 == 0);
  });
  for (int i = 0; i < 2000; ++i)
    stream->push(testing_support::floatBuffer(testing_support::constant(64, 0.5f)));
  stream->drain();
  done = true;
  muter.join();
  capture->stop();
  const auto samples = testing_support::readFile(path).samples;
  ASSERT_EQ(samples.size(), 2000u * 64);
  for (size_t buffer = 0; buffer < 2000; ++buffer) {
    const int16_t first = samples[buffer * 64];
    for (size_t i = 1; i < 64; ++i)
      ASSERT_EQ(samples[buffer * 64 + i], first) << "buffer " << buffer;
  }
  fs::remove(path);
}

size_t entries(const char* folder) {
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Hours of audio, delivered as fast as the sample path takes it (TARN_SOAK_HOURS, 1 by default; 24
// for the full day): memory stays flat, no descriptor or thread is left behind, and the file holds
// exactly every frame.
TEST(Soak, HoursOfAudioKeepMemoryFlatAndTheFileExact) {
  const char* hoursText = std::getenv("TARN_SOAK_HOURS");
  const int hours = hoursText ? std::atoi(hoursText) : 1;
  constexpr int kFrames = 1600;                    // 0.1 s buffers, as the sound server sends
  const int64_t buffers = int64_t{hours} * 36000;  // 10 per second
  const std::string path = scratchPath("soak.wav");
  scripted::reset();
  auto capture = kept(std::make_shared<SystemAudioCapture>(path));
  capture->start();
  auto stream = scripted::lastStream();
  const size_t descriptorsBefore = entries("/proc/self/fd");  // the queues are made; no file yet
  const size_t threadsRunning = entries("/proc/self/task");
  const auto description = platform::packedFloatDescription(16000, 1);
  const auto bytes = testing_support::bytesOf(testing_support::sine(kFrames, 440));
  long settledKiB = 0;
  for (int64_t i = 0; i < buffers; ++i) {
    stream->push(platform::SampleBuffer(description, kFrames, bytes));
    // Faster than real time, but never more than ten seconds ahead of the writer, as a real
    // stream never is.
    if (i % 100 == 99) stream->drain();
    if (i % 6000 == 5999) {  // every ten minutes of audio
      if (i == 5999) settledKiB = residentKiB();
      if (kMemoryIsMeasurable) {
        EXPECT_LT(residentKiB() - settledKiB, 4096) << "after " << (i + 1) / 36000.0 << " h";
      }
      EXPECT_EQ(entries("/proc/self/task"), threadsRunning);
    }
  }
  capture->stop();
  EXPECT_EQ(entries("/proc/self/fd"), descriptorsBefore);
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  ASSERT_TRUE(file);
  sf_close(file);
  EXPECT_EQ(info.frames, buffers * kFrames);
  fs::remove(path);
}

}  // namespace
