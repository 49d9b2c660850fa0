// Averaging the source's channels into the recording's one, as the server's pieces are copied out.
#include "platform/pulse/monitor/downmix.h"

#include <algorithm>
#include <cstring>

namespace platform::pulse {

void Downmix::setLayout(uint32_t sourceChannels, uint32_t keptChannels) {
  channels_ = std::clamp<uint32_t>(sourceChannels, 1, PA_CHANNELS_MAX);
  mixing_ = keptChannels == 1 && channels_ > 1;
  scale_ = 1.0f / static_cast<float>(channels_);
  partialBytes_ = 0;  // a new stream starts on a frame
}

void Downmix::append(const void* data, size_t length, std::vector<uint8_t>& out) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (!mixing_) {
    if (bytes) {
      out.insert(out.end(), bytes, bytes + length);
    } else {
      out.resize(out.size() + length);
    }
    return;
  }
  const size_t frameBytes = channels_ * sizeof(float);
  if (partialBytes_ > 0) {
    const size_t rest = std::min(length, frameBytes - partialBytes_);
    keepPartial(bytes, rest);
    length -= rest;
    if (bytes) bytes += rest;
    if (partialBytes_ < frameBytes) return;
    partialBytes_ = 0;
    out.resize(out.size() + sizeof(float));
    mix(partial_.data(), 1, out.data() + out.size() - sizeof(float));
  }
  const size_t frames = length / frameBytes;
  const size_t at = out.size();
  out.resize(at + frames * sizeof(float));  // zeros: what a hole stays
  if (bytes) mix(bytes, frames, out.data() + at);
  keepPartial(bytes ? bytes + frames * frameBytes : nullptr, length - frames * frameBytes);
}

// Samples are copied in and out rather than read through a float pointer: neither the library's
// pieces nor the batch promise a float's alignment. The compiler makes plain loads of it.
void Downmix::mix(const uint8_t* frames, size_t count, uint8_t* mono) const {
  for (size_t frame = 0; frame < count; ++frame) {
    float sum = 0;
    for (uint32_t channel = 0; channel < channels_; ++channel) {
      float sample;
      std::memcpy(&sample, frames, sizeof sample);
      frames += sizeof sample;
      sum += sample;
    }
    sum *= scale_;
    std::memcpy(mono, &sum, sizeof sum);
    mono += sizeof sum;
  }
}

void Downmix::keepPartial(const uint8_t* data, size_t length) {
  if (length == 0) return;
  if (data) {
    std::memcpy(partial_.data() + partialBytes_, data, length);
  } else {
    std::memset(partial_.data() + partialBytes_, 0, length);
  }
  partialBytes_ += length;
}

}  // namespace platform::pulse
