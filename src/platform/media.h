// Media buffers: what a capture stream hands its outputs. A sample buffer carries a format
// description (the audio's stream basic description), a sample count and a block of bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

struct StreamBasicDescription {
  double sampleRate;
  uint32_t formatID;
  uint32_t formatFlags;
  uint32_t bytesPerPacket;
  uint32_t framesPerPacket;
  uint32_t bytesPerFrame;
  uint32_t channelsPerFrame;
  uint32_t bitsPerChannel;
  uint32_t reserved;
};
static_assert(sizeof(StreamBasicDescription) == 40);

constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'
constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
constexpr uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
constexpr uint32_t kAudioFormatFlagIsPacked = 1u << 3;
constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

// Packed, interleaved 32-bit float: what the capture layer delivers.
StreamBasicDescription packedFloatDescription(double sampleRate, uint32_t channels);

struct Time {
  int64_t value;
  int32_t timescale;
};
inline Time makeTime(int64_t value, int32_t timescale) {
  return {value, timescale};
}

class AudioFormatDescription {
 public:
  explicit AudioFormatDescription(const StreamBasicDescription& description)
      : description_(description) {}
  const StreamBasicDescription* streamBasicDescription() const { return &description_; }

 private:
  StreamBasicDescription description_;
};

class BlockBuffer {
 public:
  explicit BlockBuffer(std::vector<uint8_t> bytes, int32_t pointerStatus = 0)
      : bytes_(std::move(bytes)), pointerStatus_(pointerStatus) {}
  // Bytes that other blocks share (silence, say), left unchanged by all of them.
  explicit BlockBuffer(std::shared_ptr<const std::vector<uint8_t>> shared)
      : shared_(std::move(shared)), pointerStatus_(0) {}

  // Status 0 and the bytes from the offset on, or a non-zero status and nothing.
  int32_t getDataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                         const uint8_t** dataPointer) const;

 private:
  const std::vector<uint8_t>& bytes() const { return shared_ ? *shared_ : bytes_; }

  std::vector<uint8_t> bytes_;
  std::shared_ptr<const std::vector<uint8_t>> shared_;
  int32_t pointerStatus_;
};

class SampleBuffer {
 public:
  // Everything a buffer can carry, each piece possibly missing, so that defective buffers can be
  // made as easily as good ones.
  struct Parts {
    bool valid = true;
    std::optional<StreamBasicDescription> format;
    int64_t numSamples = 0;
    std::optional<std::vector<uint8_t>> data;
    int32_t dataPointerStatus = 0;
  };

  explicit SampleBuffer(Parts parts);
  // A valid audio buffer of the given format whose bytes are its samples.
  SampleBuffer(const StreamBasicDescription& format, int64_t numSamples, std::vector<uint8_t> data);
  // As above, with bytes shared with other buffers.
  SampleBuffer(const StreamBasicDescription& format, int64_t numSamples,
               std::shared_ptr<const std::vector<uint8_t>> data);

  bool isValid() const { return valid_; }
  const AudioFormatDescription* formatDescription() const { return format_ ? &*format_ : nullptr; }
  int64_t numSamples() const { return numSamples_; }
  const BlockBuffer* dataBuffer() const { return data_ ? &*data_ : nullptr; }

 private:
  bool valid_;
  std::optional<AudioFormatDescription> format_;
  int64_t numSamples_;
  std::optional<BlockBuffer> data_;
};

}  // namespace platform
