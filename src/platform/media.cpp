#include "platform/media.h"

namespace platform {

StreamBasicDescription packedFloatDescription(double sampleRate, uint32_t channels) {
  return {sampleRate,
          kAudioFormatLinearPCM,
          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
          4 * channels,
          1,
          4 * channels,
          channels,
          32,
          0};
}

int32_t BlockBuffer::getDataPointer(size_t offset, size_t* lengthAtOffset, size_t* totalLength,
                                    const uint8_t** dataPointer) const {
  constexpr int32_t kBadOffset = -12772;
  if (pointerStatus_ != 0) return pointerStatus_;
  const std::vector<uint8_t>& all = bytes();
  if (offset > all.size()) return kBadOffset;
  if (lengthAtOffset) *lengthAtOffset = all.size() - offset;
  if (totalLength) *totalLength = all.size();
  if (dataPointer) *dataPointer = all.data() + offset;
  return 0;
}

SampleBuffer::SampleBuffer(Parts parts) : valid_(parts.valid), numSamples_(parts.numSamples) {
  if (parts.format) format_.emplace(*parts.format);
  if (parts.data) data_.emplace(std::move(*parts.data), parts.dataPointerStatus);
}

SampleBuffer::SampleBuffer(const StreamBasicDescription& format, int64_t numSamples,
                           std::vector<uint8_t> data)
    : valid_(true), format_(std::in_place, format), numSamples_(numSamples) {
  data_.emplace(std::move(data));
}

SampleBuffer::SampleBuffer(const StreamBasicDescription& format, int64_t numSamples,
                           std::shared_ptr<const std::vector<uint8_t>> data)
    : valid_(true), format_(std::in_place, format), numSamples_(numSamples) {
  data_.emplace(std::move(data));
}

}  // namespace platform
