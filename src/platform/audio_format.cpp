#include "platform/audio_format.h"

#include <cmath>
#include <cstring>
#include <new>

namespace platform {
namespace {

constexpr uint32_t kMaxChannels = 64;
// A buffer larger than this is refused rather than attempted: real deliveries are a fraction of a
// second (this is over an hour of mono float at 16 kHz), and a hostile count must not exhaust
// memory.
constexpr uint64_t kMaxBufferBytes = uint64_t{1} << 28;

CommonFormat commonFormatOf(const StreamBasicDescription& d) {
  if (d.formatFlags & kAudioFormatFlagIsBigEndian) return CommonFormat::other;
  if (d.formatFlags & kAudioFormatFlagIsFloat) {
    if (d.bitsPerChannel == 32) return CommonFormat::float32;
    if (d.bitsPerChannel == 64) return CommonFormat::float64;
    return CommonFormat::other;
  }
  if (d.formatFlags & kAudioFormatFlagIsSignedInteger) {
    if (d.bitsPerChannel == 16) return CommonFormat::int16;
    if (d.bitsPerChannel == 32) return CommonFormat::int32;
  }
  return CommonFormat::other;
}

}  // namespace

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const StreamBasicDescription& d) {
  if (d.formatID != kAudioFormatLinearPCM) return std::nullopt;
  if (!std::isfinite(d.sampleRate) || d.sampleRate <= 0) return std::nullopt;
  if (d.channelsPerFrame == 0 || d.channelsPerFrame > kMaxChannels) return std::nullopt;
  if (d.framesPerPacket != 1 || d.bitsPerChannel == 0 || d.bitsPerChannel % 8 != 0 ||
      d.bitsPerChannel > 64) {
    return std::nullopt;
  }
  const bool interleaved = (d.formatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  const uint32_t sampleBytes = d.bitsPerChannel / 8;
  const uint32_t frameBytes = interleaved ? sampleBytes * d.channelsPerFrame : sampleBytes;
  if (d.bytesPerFrame != frameBytes || d.bytesPerPacket != frameBytes) return std::nullopt;
  return AudioFormat(d, commonFormatOf(d));
}

PCMBuffer::PCMBuffer(const AudioFormat& format, uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {}

std::unique_ptr<PCMBuffer> PCMBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  const uint32_t channels = format.channelCount();
  const uint64_t frameBytes = uint64_t{format.bytesPerSample()} * channels;
  const uint64_t totalBytes = frameBytes * frameCapacity;
  if (totalBytes > kMaxBufferBytes) return nullptr;

  const bool interleaved = format.isInterleaved();
  const uint32_t entries = interleaved ? 1 : channels;
  const size_t listBytes = sizeof(AudioBuffer) * entries;
  const size_t pointerBytes = sizeof(void*) * channels;
  // The object, then its list and channel pointers, then the samples, each 16-byte aligned.
  const size_t objectBytes = (sizeof(PCMBuffer) + 15) / 16 * 16;
  const size_t headBytes = (listBytes + pointerBytes + 15) / 16 * 16;
  const size_t storageBytes = headBytes + totalBytes;
  void* memory = ::operator new(objectBytes + storageBytes, std::nothrow);
  if (!memory) return nullptr;
  std::unique_ptr<PCMBuffer> buffer(new (memory) PCMBuffer(format, frameCapacity));
  uint8_t* head = static_cast<uint8_t*>(memory) + objectBytes;
  // Zeroed, so that frames a short delivery leaves unset are silence, never stale memory.
  std::memset(head, 0, storageBytes);

  buffer->buffers_ = {reinterpret_cast<AudioBuffer*>(head), entries};
  buffer->channels_ = {reinterpret_cast<void**>(head + listBytes), channels};
  uint8_t* base = head + headBytes;
  if (interleaved) {
    buffer->buffers_[0] = {channels, static_cast<uint32_t>(totalBytes), base};
    for (uint32_t c = 0; c < channels; ++c) {
      buffer->channels_[c] = base + uint64_t{c} * format.bytesPerSample();
    }
  } else {
    const uint64_t channelBytes = uint64_t{format.bytesPerSample()} * frameCapacity;
    for (uint32_t c = 0; c < channels; ++c) {
      void* channel = base + c * channelBytes;
      buffer->buffers_[c] = {1, static_cast<uint32_t>(channelBytes), channel};
      buffer->channels_[c] = channel;
    }
  }
  return buffer;
}

void PCMBuffer::setFrameLength(uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

float* const* PCMBuffer::floatChannelData() const {
  if (format_.commonFormat() != CommonFormat::float32) return nullptr;
  return reinterpret_cast<float* const*>(channels_.data());
}

int16_t* const* PCMBuffer::int16ChannelData() const {
  if (format_.commonFormat() != CommonFormat::int16) return nullptr;
  return reinterpret_cast<int16_t* const*>(channels_.data());
}

}  // namespace platform
