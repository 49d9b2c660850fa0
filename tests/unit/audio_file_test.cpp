// The file writer: container by extension, and a header that is current while the file is open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <tuple>

#include "buffers.h"
#include "platform/audio_file.h"
#include "platform/dispatch.h"
#include "platform/wav/wav_audio_file.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const platform::AudioFileSettings kSettings{
    platform::kAudioFormatLinearPCM, 16000, 1, 16, false, false, false};

std::unique_ptr<platform::PCMBuffer> pcm(const std::vector<float>& samples) {
  auto format =
      platform::AudioFormat::fromStreamDescription(platform::packedFloatDescription(16000, 1));
  auto buffer = platform::PCMBuffer::make(*format, static_cast<uint32_t>(samples.size()));
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  std::memcpy(buffer->audioBufferList()[0].data, samples.data(), samples.size() * sizeof(float));
  return buffer;
}

std::unique_ptr<platform::AudioFile> open(const std::string& path) {
  return platform::AudioFile::openForWriting(path, kSettings, platform::CommonFormat::float32,
                                             false);
}

class AudioFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("tarn-file-" + std::to_string(getpid()));
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

TEST_F(AudioFileTest, ContainerFollowsTheExtensionWithLittleEndian16BitSamples) {
  struct Case {
    const char* name;
    int container;
  };
  const Case cases[] = {
      {"a.wav", SF_FORMAT_WAV},   {"a.WAV", SF_FORMAT_WAV},   {"a", SF_FORMAT_WAV},
      {"a.flac", SF_FORMAT_WAV},  {"a.caf", SF_FORMAT_CAF},   {"a.aif", SF_FORMAT_AIFF},
      {"a.aiff", SF_FORMAT_AIFF}, {"a.AIFC", SF_FORMAT_AIFF}, {"dir.caf/a", SF_FORMAT_WAV}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_ / c.name;
    fs::create_directories(path.parent_path());
    open(path)->write(*pcm(testing_support::sine(1600, 440)));
    const auto content = testing_support::readFile(path);
    ASSERT_TRUE(content.opened);
    EXPECT_EQ(content.info.format & SF_FORMAT_TYPEMASK, c.container);
    EXPECT_EQ(content.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    EXPECT_EQ(content.info.samplerate, 16000);
    EXPECT_EQ(content.info.channels, 1);
    EXPECT_EQ(content.info.frames, 1600);
    EXPECT_NEAR(content.samples[4], 0.5 * 32767 * std::sin(2 * M_PI * 440 * 4 / 16000.0), 1.5);
  }
  // AIFF-C stores its samples little-endian ('sowt'), as asked.
  std::vector<char> bytes(64);
  FILE* aiff = std::fopen((folder_ / "a.aif").c_str(), "rb");
  ASSERT_TRUE(aiff);
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), aiff));
  std::fclose(aiff);
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("sowt"), std::string::npos);
}

// The file must be a complete recording at every moment, not only once closed: a killed process
// leaves it as it stands.
TEST_F(AudioFileTest, HeaderIsCurrentAfterEveryWriteWhileOpen) {
  for (const char* name : {"open.wav", "open.caf", "open.aiff"}) {
    SCOPED_TRACE(name);
    const std::string path = folder_ / name;
    auto file = open(path);
    EXPECT_EQ(testing_support::readFile(path).info.frames, 0);
    file->write(*pcm(testing_support::constant(1000, 0.25f)));
    EXPECT_EQ(testing_support::readFile(path).info.frames, 1000);
    file->write(*pcm(testing_support::constant(500, 0.25f)));
    const auto content = testing_support::readFile(path);
    EXPECT_EQ(content.info.frames, 1500);
    EXPECT_EQ(content.samples[1499], 8192);
    EXPECT_EQ(file->length(), 1500);
  }
}

// A recording larger than a WAV file can declare becomes RF64 in place; one that stays under the
// limit is a plain WAV. The limit is lowered here instead of writing 4 GiB.
TEST_F(AudioFileTest, WavBecomesRf64BeyondTheLimitAndStaysValidThroughout) {
  const std::string small = folder_ / "small.wav";
  const std::string large = folder_ / "large.wav";
  constexpr uint64_t kLimit = 80 + 1000;
  {
    auto file = platform::wav::open(small, 16000, 1, kLimit);
    file->write(*pcm(testing_support::constant(400, 0.25f)));
  }
  auto file = platform::wav::open(large, 16000, 1, kLimit);
  file->write(*pcm(testing_support::constant(400, 0.25f)));
  EXPECT_EQ(testing_support::readFile(large).info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
  file->write(*pcm(testing_support::constant(400, -0.25f)));  // 1600 bytes: past the limit
  for (const auto& [path, container, frames] :
       {std::tuple{small, SF_FORMAT_WAV, 400}, std::tuple{large, SF_FORMAT_RF64, 800}}) {
    SCOPED_TRACE(path);
    const auto content = testing_support::readFile(path);
    ASSERT_TRUE(content.opened);
    EXPECT_EQ(content.info.format & SF_FORMAT_TYPEMASK, container);
    EXPECT_EQ(content.info.frames, frames);
    EXPECT_EQ(content.samples.back(), frames == 800 ? -8192 : 8192);
  }
}

// A queue that has fallen behind gathers what waits into fewer writes. Once it has caught up, the
// open file holds every buffer in order and its header counts them; a writer closed while it still
// holds samples writes them first.
TEST_F(AudioFileTest, AWriterOnAQueueThatFellBehindCatchesUpWithEverythingInOrder) {
  const std::string path = folder_ / "behind.wav";
  platform::DispatchQueue queue("behind");
  std::unique_ptr<platform::AudioFile> file;
  queue.sync([&] { file = open(path); });
  auto holdQueue = [&queue] {  // until the returned promise is kept, so that work piles up
    auto go = std::make_shared<std::promise<void>>();
    queue.async([ready = go->get_future().share()] { ready.wait(); });
    return go;
  };

  auto go = holdQueue();
  for (int i = 0; i < 100; ++i) {
    queue.async([&, i] { file->write(*pcm(testing_support::constant(160, i / 128.0f))); });
  }
  go->set_value();
  // Written once the queue has nothing left to run, which a sync of its own would put off.
  auto content = testing_support::readFile(path);
  for (auto deadline = std::chrono::steady_clock::now() + 30s;
       content.info.frames < 16000 && std::chrono::steady_clock::now() < deadline;
       content = testing_support::readFile(path)) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(content.info.frames, 16000);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(content.samples[i * 160 + 159], i * 256) << i;

  go = holdQueue();
  queue.async([&] { file->write(*pcm(testing_support::constant(160, 0.5f))); });
  queue.async([&] { file.reset(); });
  go->set_value();
  queue.sync([] {});
  content = testing_support::readFile(path);
  ASSERT_EQ(content.info.frames, 16160);
  EXPECT_EQ(content.samples.back(), 16384);
}

}  // namespace
