// Audio formats and PCM buffers: a format made from a stream basic description, and a buffer of
// frames in that format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/media.h"

namespace platform {

enum class CommonFormat : uint32_t { other = 0, float32 = 1, float64 = 2, int16 = 3, int32 = 4 };

class AudioFormat {
 public:
  // Linear PCM only, with a positive rate, 1 to 64 channels and frames that the description's
  // sizes agree with; anything else gives no format.
  static std::optional<AudioFormat> fromStreamDescription(
      const StreamBasicDescription& description);

  double sampleRate() const { return description_.sampleRate; }
  uint32_t channelCount() const { return description_.channelsPerFrame; }
  CommonFormat commonFormat() const { return commonFormat_; }
  bool isInterleaved() const {
    return (description_.formatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  }
  uint32_t bytesPerSample() const { return description_.bitsPerChannel / 8; }
  const StreamBasicDescription& streamDescription() const { return description_; }

 private:
  AudioFormat(const StreamBasicDescription& description, CommonFormat commonFormat)
      : description_(description), commonFormat_(commonFormat) {}

  StreamBasicDescription description_;
  CommonFormat commonFormat_;
};

// One entry of a buffer list: an interleaved buffer has one, a non-interleaved one an entry per
// channel.
struct AudioBuffer {
  uint32_t numberChannels;
  uint32_t dataByteSize;
  void* data;
};

class PCMBuffer {
 public:
  // A buffer of frameCapacity frames, all zero; none when it cannot be allocated.
  static std::unique_ptr<PCMBuffer> make(const AudioFormat& format, uint32_t frameCapacity);
  // make() allocates the object, its buffer list, channel pointers and samples in one piece.
  static void operator delete(void* memory) { ::operator delete(memory); }
  PCMBuffer(const PCMBuffer&) = delete;
  PCMBuffer& operator=(const PCMBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  uint32_t frameLength() const { return frameLength_; }
  // Lengths past the capacity are cut to it.
  void setFrameLength(uint32_t frames);

  std::span<AudioBuffer> audioBufferList() { return buffers_; }
  std::span<const AudioBuffer> audioBufferList() const { return buffers_; }

  // One pointer per channel, each stepping `stride()` samples from frame to frame; none unless the
  // samples are 32-bit float (floatChannelData) or 16-bit integer (int16ChannelData).
  float* const* floatChannelData() const;
  int16_t* const* int16ChannelData() const;
  uint32_t stride() const { return format_.isInterleaved() ? format_.channelCount() : 1; }

 private:
  PCMBuffer(const AudioFormat& format, uint32_t frameCapacity);

  AudioFormat format_;
  uint32_t frameCapacity_;
  uint32_t frameLength_ = 0;
  std::span<AudioBuffer> buffers_;
  std::span<void*> channels_;
};

}  // namespace platform
