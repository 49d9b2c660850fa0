#include "platform/wav/wav_audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/audio_file_errors.h"
#include "platform/bounded_write.h"
#include "platform/error.h"

namespace platform::wav {
namespace {

// RIFF header, a JUNK chunk as large as an RF64 ds64 chunk, fmt, and the data chunk's header.
constexpr size_t kHeaderBytes = 12 + (8 + 28) + (8 + 16) + 8;
constexpr size_t kDataOffset = kHeaderBytes;
// The most a queue that has fallen behind gathers into one write: a quarter of a second at 16 kHz.
constexpr size_t kLargestWriteBytes = 8 * 1024;
// How long a buffer waits for the reader of a pipe or FIFO: a reader that stops reading must not
// hold the recording up, nor its stop.
constexpr std::chrono::milliseconds kStreamWait{50};

class Header {
 public:
  void text(size_t at, const char* four) { std::memcpy(bytes_.data() + at, four, 4); }
  void u16(size_t at, uint16_t value) {
    for (size_t i = 0; i < 2; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  void u32(size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  void u64(size_t at, uint64_t value) {
    for (size_t i = 0; i < 8; ++i) bytes_[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  const uint8_t* data() const { return bytes_.data(); }

 private:
  std::array<uint8_t, kHeaderBytes> bytes_{};
};

// Writes all of it at the offset, or fails with errno set.
bool writeAt(int fd, const void* data, size_t size, off_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = pwrite(fd, bytes, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
  return true;
}

inline int16_t toInt16(float sample) {
  // Full scale is 32768; what lies beyond stops at the limits instead of wrapping around.
  float scaled = sample * 32768.0f;
  scaled = scaled == scaled ? scaled : 0.0f;  // NaN is silence
  scaled = scaled < 32767.0f ? scaled : 32767.0f;
  scaled = scaled > -32768.0f ? scaled : -32768.0f;
  // To the nearest integer, ties to even, as the processor rounds by default: at this magnitude,
  // adding and taking away 1.5 * 2^23 leaves no bits for a fraction.
  constexpr float kRounder = 12582912.0f;
  return static_cast<int16_t>((scaled + kRounder) - kRounder);
}

// One channel's samples, side by side, to 16 bits: as toInt16, eight at a time where the processor
// has the instructions for it (converting rounds to nearest, ties to even, as the processor does
// by default; packing stops at the 16-bit limits).
void toInt16(const float* in, int16_t* out, uint32_t count) {
  uint32_t i = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(32768.0f);
  const __m128 top = _mm_set1_ps(32767.0f);
  const __m128 bottom = _mm_set1_ps(-32768.0f);
  auto scaled = [&](__m128 samples) {
    samples = _mm_and_ps(samples, _mm_cmpord_ps(samples, samples));  // NaN is silence
    return _mm_cvtps_epi32(_mm_max_ps(_mm_min_ps(_mm_mul_ps(samples, scale), top), bottom));
  };
  for (; i + 8 <= count; i += 8) {
    const __m128i low = scaled(_mm_loadu_ps(in + i));
    const __m128i high = scaled(_mm_loadu_ps(in + i + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(low, high));
  }
#endif
  for (; i < count; ++i) out[i] = toInt16(in[i]);
}

class WavAudioFile final : public AudioFile {
 public:
  WavAudioFile(int fd, bool seekable, std::string path, uint32_t rate, uint32_t channels,
               uint64_t riffLimit)
      : fd_(fd),
        seekable_(seekable),
        path_(std::move(path)),
        rate_(rate),
        channels_(channels),
        riffLimit_(riffLimit) {}

  ~WavAudioFile() override {
    try {
      writeHeld();
    } catch (const Error&) {
      // Closing has no one to tell: what the queue's last items held is lost, as it would have
      // been had their own write failed.
    }
    close(fd_);
  }

  // Writes the header for no samples yet. On a pipe the sizes are unknown and stay at their
  // largest, as for any streamed WAV.
  void begin() {
    if (!writeHeader()) throw fileError("cannot create", path_, errno);
  }

  void write(const PCMBuffer& buffer) override {
    convert(buffer);
    writeHeld();
  }

  // A caller that has fallen behind (a stalled disk, say) gathers its buffers into one write of at
  // most kLargestWriteBytes, made at the latest when it has caught up and flushes.
  void writeGathering(const PCMBuffer& buffer) override {
    convert(buffer);
    if (heldSamples_ * sizeof(int16_t) >= kLargestWriteBytes) writeHeld();
  }

  void flush() override { writeHeld(); }

 private:
  // Appends the buffer's samples, as 16 bits, to those held for the next write.
  void convert(const PCMBuffer& buffer) {
    requireFileFormat(buffer, channels_, rate_, path_);
    const uint32_t frames = buffer.frameLength();
    if (frames == 0) return;
    const size_t samples = size_t{frames} * channels_;
    const size_t before = heldSamples_;
    // Grown, never shrunk: once warm, no allocation and no clearing per buffer.
    if (held_.size() < before + samples) held_.resize(before + samples);
    int16_t* out = held_.data() + before;
    const uint32_t stride = buffer.stride();
    if (const float* const* channel = buffer.floatChannelData(); channel && channels_ == 1) {
      // The tool's own case: one channel, its samples side by side.
      const float* in = channel[0];
      if (stride == 1) {
        toInt16(in, out, frames);
      } else {
        for (uint32_t f = 0; f < frames; ++f) out[f] = toInt16(in[size_t{f} * stride]);
      }
    } else if (channel) {
      for (uint32_t c = 0; c < channels_; ++c) {
        for (uint32_t f = 0; f < frames; ++f) {
          out[size_t{f} * channels_ + c] = toInt16(channel[c][size_t{f} * stride]);
        }
      }
    } else if (const int16_t* const* channel = buffer.int16ChannelData()) {
      for (uint32_t c = 0; c < channels_; ++c) {
        for (uint32_t f = 0; f < frames; ++f) {
          out[size_t{f} * channels_ + c] = channel[c][size_t{f} * stride];
        }
      }
    } else {
      throw fileError("cannot write to", path_, "samples are neither float nor 16-bit");
    }
    heldSamples_ += samples;
  }

  // The samples first, then the header that counts them: at no moment does the header claim more
  // than the file holds.
  void writeHeld() {
    if (heldSamples_ == 0) return;
    const uint64_t bytes = heldSamples_ * sizeof(int16_t);
    heldSamples_ = 0;
    if (!seekable_) return writeToStream(reinterpret_cast<const uint8_t*>(held_.data()), bytes);
    const bool written =
        writeAt(fd_, held_.data(), bytes, static_cast<off_t>(kDataOffset + dataBytes_));
    if (!written) {
      const int errorNumber = errno;
      // Part of it may have landed: cut back to what was written whole, so that the next write
      // continues a valid recording.
      if (seekable_) (void)ftruncate(fd_, static_cast<off_t>(kDataOffset + dataBytes_));
      throw fileError("cannot write to", path_, errorNumber);
    }
    dataBytes_ += bytes;
    if (!writeHeader()) throw fileError("cannot write to", path_, errno);
  }

  // A pipe or FIFO: what its reader does not take within kStreamWait fails, and once a reader has
  // been seen stuck, no buffer waits for it again until one goes through. A buffer cut short goes
  // out whole all the same, its rest first the next time, so that the stream never loses its step.
  void writeToStream(const uint8_t* bytes, size_t size) {
    const auto deadline = std::chrono::steady_clock::now() +
                          (readerStuck_ ? std::chrono::milliseconds(0) : kStreamWait);
    if (!unsent_.empty()) {
      const size_t sent = writeBefore(fd_, unsent_.data(), unsent_.size(), deadline);
      unsent_.erase(unsent_.begin(), unsent_.begin() + static_cast<ptrdiff_t>(sent));
    }
    const size_t sent = unsent_.empty() ? writeBefore(fd_, bytes, size, deadline) : 0;
    if (sent > 0 && sent < size) unsent_.assign(bytes + sent, bytes + size);
    readerStuck_ = sent < size;
    if (sent == 0 && size > 0) {
      if (errno == EAGAIN) throw fileError("cannot write to", path_, "its reader is not reading");
      throw fileError("cannot write to", path_, errno);
    }
  }

  bool writeHeader() {
    const uint64_t riffBytes = kHeaderBytes - 8 + dataBytes_;
    const bool rf64 = seekable_ && riffBytes > riffLimit_;
    const bool unknown = !seekable_;
    Header header;
    header.text(0, rf64 ? "RF64" : "RIFF");
    header.u32(4, rf64 || unknown ? 0xFFFFFFFFu : static_cast<uint32_t>(riffBytes));
    header.text(8, "WAVE");
    header.text(12, rf64 ? "ds64" : "JUNK");
    header.u32(16, 28);
    if (rf64) {
      header.u64(20, riffBytes);
      header.u64(28, dataBytes_);
      header.u64(36, dataBytes_ / (sizeof(int16_t) * channels_));
      header.u32(44, 0);  // no table
    }
    header.text(48, "fmt ");
    header.u32(52, 16);
    header.u16(56, 1);  // integer PCM
    header.u16(58, static_cast<uint16_t>(channels_));
    header.u32(60, rate_);
    header.u32(64, rate_ * channels_ * 2);
    header.u16(68, static_cast<uint16_t>(channels_ * 2));
    header.u16(70, 16);
    header.text(72, "data");
    header.u32(76, rf64 || unknown ? 0xFFFFFFFFu : static_cast<uint32_t>(dataBytes_));
    if (seekable_) return writeAt(fd_, header.data(), kHeaderBytes, 0);
    const auto deadline = std::chrono::steady_clock::now() + kStreamWait;
    return writeBefore(fd_, header.data(), kHeaderBytes, deadline) == kHeaderBytes;
  }

  const int fd_;
  const bool seekable_;
  const std::string path_;
  const uint32_t rate_;
  const uint32_t channels_;
  const uint64_t riffLimit_;
  uint64_t dataBytes_ = 0;
  std::vector<uint8_t> unsent_;  // a pipe's reader took only the front of the last buffer
  bool readerStuck_ = false;     // and took nothing more within the wait
  std::vector<int16_t> held_;    // room for samples converted and not yet written: the first
  size_t heldSamples_ = 0;       // these many
};

}  // namespace

std::unique_ptr<AudioFile> open(const std::string& path, uint32_t sampleRate, uint32_t channels,
                                uint64_t riffLimit) {
  const auto [fd, seekable] = createOutputFile(path);
  auto file = std::make_unique<WavAudioFile>(fd, seekable, path, sampleRate, channels, riffLimit);
  file->begin();
  return file;
}

}  // namespace platform::wav
