// Sample buffers and files for tests.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/media.h"

namespace testing_support {

inline std::vector<uint8_t> bytesOf(const std::vector<float>& samples) {
  std::vector<uint8_t> bytes(samples.size() * sizeof(float));
  if (!bytes.empty()) std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// A mono float buffer at 16 kHz holding the samples.
inline platform::SampleBuffer floatBuffer(const std::vector<float>& samples) {
  return platform::SampleBuffer(platform::packedFloatDescription(16000, 1),
                                static_cast<int64_t>(samples.size()), bytesOf(samples));
}

inline std::vector<float> constant(size_t frames, float value) {
  return std::vector<float>(frames, value);
}

inline std::vector<float> sine(size_t frames, double hertz, double amplitude = 0.5) {
  std::vector<float> samples(frames);
  for (size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hertz * i / 16000.0));
  }
  return samples;
}

struct FileContent {
  bool opened = false;
  SF_INFO info{};
  std::vector<int16_t> samples;
};

// What an ordinary reader finds in the file now.
inline FileContent readFile(const std::string& path) {
  FileContent content;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &content.info);
  if (!file) return content;
  content.opened = true;
  content.samples.resize(static_cast<size_t>(content.info.frames * content.info.channels));
  sf_readf_short(file, content.samples.data(), content.info.frames);
  sf_close(file);
  return content;
}

}  // namespace testing_support
