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
  constexpr int32_t kBadOffset = -12772;  // the platform's code for an offset past the end
  const std::vector<uint8_t>& all = bytes();
  if (offset > all.size()) return kBadOffset;
  if (lengthAtOffset) *lengthAtOffset = all.size() - offset;
  if (totalLength) *totalLength = all.size();
  if (dataPointer) *dataPointer = all.data() + offset;
  return 0;
}

}  // namespace platform
