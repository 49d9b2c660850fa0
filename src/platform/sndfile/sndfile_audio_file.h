#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace platform::sndfile {

enum class Container { caf, aiff };

// A CAF, or AIFF-C with little-endian samples, of 16-bit PCM. Throws platform::Error.
std::unique_ptr<AudioFile> open(const std::string& path, Container container, uint32_t sampleRate,
                                uint32_t channels);

}  // namespace platform::sndfile
