// Media buffers: what a capture stream hands its outputs. A sample buffer carries a format
// description (the audio's stream basic description), a sample count and a block of bytes.
#pragma once

#include <cstdint>
#include <memory>
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

// A block of bytes, whole or shared with other blocks. Its reading may fail, as a block of the
// platform's can: a stand-in of another kind overrides getDataPointer.
class BlockBuffer {
 public:
  explicit BlockBuffer(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  // Bytes that other blocks share (silence, say), left unchanged by all of them.
  explicit BlockBuffer(std::shared_ptr<const std::vector<uint8_t>> shared)
      : shared_(std::move(shared)) {}
  virtual ~BlockBuffer() = default;

  // Status 0 and the bytes from the offset on, or a non-zero status and nothing.
  virtual int32_t getDataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                                 const uint8_t** dataPointer) const;

 private:
  const std::vector<uint8_t>& bytes() const { return shared_ ? *shared_ : bytes_; }

  std::vector<uint8_t> bytes_;
  std::shared_ptr<const std::vector<uint8_t>> shared_;
};

// A valid audio buffer: its format, its sample count and its bytes. What the platform's buffers
// may lack (validity, a format, the bytes) is read through virtual calls, so that a buffer of
// another kind can stand for a defective one.
class SampleBuffer {
 public:
  // A buffer of the given format whose bytes are its samples.
  SampleBuffer(const StreamBasicDescription& format, int64_t numSamples, std::vector<uint8_t> data)
      : format_(format), numSamples_(numSamples), data_(std::move(data)) {}
  // As above, with bytes shared with other buffers.
  SampleBuffer(const StreamBasicDescription& format, int64_t numSamples,
               std::shared_ptr<const std::vector<uint8_t>> data)
      : format_(format), numSamples_(numSamples), data_(std::move(data)) {}
  virtual ~SampleBuffer() = default;

  virtual bool isValid() const { return true; }
  virtual const AudioFormatDescription* formatDescription() const { return &format_; }
  virtual int64_t numSamples() const { return numSamples_; }
  virtual const BlockBuffer* dataBuffer() const { return &data_; }

 private:
  AudioFormatDescription format_;
  int64_t numSamples_;
  BlockBuffer data_;
};

}  // namespace platform
