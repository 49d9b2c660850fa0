// The file writers: the container by extension, a full disk, a WAV header exact at every moment,
// the conversion to 16 bits, and RF64 beyond the limit.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

#include "helpers.h"
#include "platform/audio_file.h"
#include "platform/error.h"
#include "platform/wav/wav_audio_file.h"

namespace {

using namespace testing_support;
using AudioFileTest = ScratchTest;

std::unique_ptr<platform::PCMBuffer> pcm(const std::vector<float>& samples) {
  const auto frames = static_cast<uint32_t>(samples.size());
  auto pcm = platform::PCMBuffer::make(
      *platform::AudioFormat::fromStreamDescription(platform::packedFloatDescription(16000, 1)),
      frames);
  pcm->setFrameLength(frames);
  std::memcpy(pcm->floatChannelData()[0], samples.data(), frames * sizeof(float));
  return pcm;
}

// The file's bytes as they are on disk: libsndfile forgives sizes that are wrong.
std::string raw(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

template <typename Number>  // little-endian, as the host
uint64_t at(const std::string& bytes, size_t offset) {
  Number value;
  std::memcpy(&value, &bytes.at(offset), sizeof value);
  return value;
}

// Every container also meets a full disk: a write past a file-size limit fails (EFBIG, as ENOSPC
// would) once part of the buffer has landed. The file must stay a valid recording of the buffers
// before it, and the next write must continue it.
TEST_F(AudioFileTest, ContainerFollowsTheExtensionAndSurvivesAFullDisk) {
  signal(SIGXFSZ, SIG_IGN);  // the write is to fail, not to end the process
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const std::pair<const char*, const char*> cases[] = {
      {"a.wav", "RIFFWAVE"},  {"a.WAV", "RIFFWAVE"},   {"a", "RIFFWAVE"},
      {"a.flac", "RIFFWAVE"}, {"d.caf/a", "RIFFWAVE"}, {"a.caf", "caffdesc"},
      {"a.CAF", "caffdesc"},  {"a.aif", "FORMAIFC"},   {"a.aiff", "FORMAIFC"},
      {"a.AIFC", "FORMAIFC"},
  };
  for (const auto& [name, magic] : cases) {
    SCOPED_TRACE(name);
    const fs::path path = folder_ / name;
    fs::create_directories(path.parent_path());
    auto file = platform::AudioFile::openForWriting(
        path, {platform::kAudioFormatLinearPCM, 16000, 1, 16, false, false, false},
        platform::CommonFormat::float32, false);
    file->write(*pcm(std::vector(1000, 0.25f)));
    const std::string before = raw(path);
    EXPECT_EQ(before.substr(0, 4) + before.substr(8, 4), magic);
    // AIFF-C, with little-endian samples.
    EXPECT_EQ(before.find("sowt") != std::string::npos, std::string(magic) == "FORMAIFC");
    rlimit full = {before.size() + 1000, limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    EXPECT_THROW(file->write(*pcm(std::vector(1000, 0.5f))), platform::Error);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_EQ(raw(path), before);
    file->write(*pcm(std::vector(1000, -0.25f)));
    file.reset();
    const auto samples = readFile(path);
    ASSERT_EQ(samples.size(), 2000u);
    EXPECT_EQ(std::tuple(samples[999], samples[1000]), std::tuple(8192, -8192));
  }
}

// The header counts what the file holds after every write, so that a killed process leaves a
// complete recording. The samples: one buffer of 17 (two groups of eight and a tail), then each
// sample as a buffer of its own. The limit, lowered here instead of writing 4 GiB, is reached
// exactly by these writes: one more sample and the file becomes RF64 in place, its sizes in ds64.
TEST_F(AudioFileTest, WavCountsEveryWriteConvertsEachSampleAndBecomesRf64PastTheLimit) {
  EXPECT_EQ(platform::wav::kRiffLimit, 0xFFFFFFFFu);
  constexpr float kStep = 1.0f / 32768;  // one step of the 16-bit scale
  const float infinity = std::numeric_limits<float>::infinity();
  const std::pair<float, int16_t> cases[] = {
      {0.0f, 0},          {1.0f, 32767},       {-1.0f, -32768},     {1.5f, 32767},
      {-1.5f, -32768},    {3e9f, 32767},       {infinity, 32767},   {-infinity, -32768},
      {std::nanf(""), 0}, {0.6f * kStep, 1},   {0.5f * kStep, 0},   {1.5f * kStep, 2},
      {2.5f * kStep, 2},  {-2.5f * kStep, -2}, {-0.6f * kStep, -1}, {-0.5f * kStep, 0},
      {0.25f, 8192},
  };
  std::vector<float> all;
  for (const auto& [sample, expected] : cases) all.push_back(sample);
  const uint64_t limit = 72 + 4 * all.size();
  auto file = platform::wav::open(path_, 16000, 1, limit);
  std::string bytes;
  auto expectSizes = [&](uint64_t data) {
    bytes = raw(path_);
    EXPECT_EQ(std::tuple(bytes.substr(0, 4), bytes.size(), at<uint32_t>(bytes, 4),
                         at<uint32_t>(bytes, 76)),
              std::tuple("RIFF", 80 + data, 72 + data, data));
  };
  expectSizes(0);
  file->write(*pcm(all));
  expectSizes(2 * all.size());
  for (size_t i = 0; i < all.size(); ++i) {
    file->write(*pcm({all[i]}));
    expectSizes(2 * (all.size() + i + 1));
  }
  for (size_t i = 0; i < 2 * all.size(); ++i) {
    const auto& [sample, expected] = cases[i % all.size()];
    EXPECT_EQ(static_cast<int16_t>(at<uint16_t>(bytes, 80 + 2 * i)), expected)
        << sample << " at " << i;
  }
  file->write(*pcm({0.5f}));
  bytes = raw(path_);
  EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(12, 4), "RF64ds64");
  EXPECT_EQ(std::tuple(at<uint32_t>(bytes, 4), at<uint32_t>(bytes, 76), at<uint64_t>(bytes, 20),
                       at<uint64_t>(bytes, 28), at<uint64_t>(bytes, 36)),
            std::tuple(0xFFFFFFFFu, 0xFFFFFFFFu, limit + 2, limit - 70, (limit - 70) / 2));
  EXPECT_EQ(readFile(path_).size(), 2 * all.size() + 1);
}

// A FIFO whose reader takes part of a buffer: the buffer still goes out whole, its rest before
// the next one, so that the reader's stream keeps its step; a buffer that meets a rest the reader
// has not taken either is the one that fails, whole. The pipe holds a page; buffers are 6000 bytes.
TEST_F(AudioFileTest, AFifoGetsEachBufferWholeOrNotAtAll) {
  const std::string fifo = folder_ / "live.wav";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fcntl(reader, 1031 /* F_SETPIPE_SZ */, 4096), 0);
  auto file = platform::wav::open(fifo, 16000, 1, platform::wav::kRiffLimit);
  std::string stream;
  auto drain = [&] {
    char chunk[8192];
    for (ssize_t n; (n = read(reader, chunk, sizeof chunk)) > 0;) stream.append(chunk, n);
  };
  auto buffer = [](int first) {  // samples counting up from `first`
    std::vector<float> samples(3000);
    for (int i = 0; i < 3000; ++i) samples[i] = static_cast<float>(first + i) / 32768;
    return pcm(samples);
  };
  int failed = 0;
  for (int first = 0; first < 15000; first += 3000) {
    try {
      file->write(*buffer(first));
    } catch (const platform::Error&) {
      ++failed;
    }
    drain();
  }
  file.reset();
  drain();
  close(reader);
  ASSERT_EQ(stream.substr(0, 4), "RIFF");
  ASSERT_EQ(stream.size() % 2, 0u);
  std::vector<int> samples;
  for (size_t i = 80; i < stream.size(); i += 2) samples.push_back(at<int16_t>(stream, i));
  // Whole buffers, each begun where a buffer began, some lost whole: never one cut short.
  EXPECT_GT(failed, 0);
  EXPECT_EQ(samples.size() + 3000u * failed, 15000u);
  for (size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(samples[i], i % 3000 == 0 ? samples[i] / 3000 * 3000 : samples[i - 1] + 1) << i;
  }
}

}  // namespace
