// What the file writers report, worded alike whichever writer takes the file.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/audio_format.h"
#include "platform/error.h"

namespace platform {

inline Error fileError(const char* what, const std::string& path, int errorNumber) {
  return Error("tarn.audio-file", errorNumber,
               std::string(what) + " \"" + path + "\": " + std::strerror(errorNumber));
}

inline Error fileError(const char* what, const std::string& path, const std::string& reason) {
  return Error("tarn.audio-file", EINVAL, std::string(what) + " \"" + path + "\": " + reason);
}

// A buffer must have the file's rate and channel count.
inline void requireFileFormat(const PCMBuffer& buffer, uint32_t channels, double sampleRate,
                              const std::string& path) {
  const AudioFormat& format = buffer.format();
  if (format.channelCount() != channels || format.sampleRate() != sampleRate) {
    throw fileError("cannot write to", path, "buffer format does not match the file's");
  }
}

}  // namespace platform
