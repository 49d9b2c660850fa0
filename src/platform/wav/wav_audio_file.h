// WAV files written by the tool itself: 16-bit PCM, the header kept current with one positioned
// write per buffer, and room reserved at the front so that a recording outgrowing what a WAV file
// can hold (4 GiB) becomes RF64 in place, without moving a byte of audio.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_file.h"

namespace platform::wav {

// The largest RIFF size a plain WAV file can declare.
constexpr uint64_t kRiffLimit = 0xFFFFFFFFu;

// Opens the file at path (created or replaced) for `channels` channels at `sampleRate`. Beyond
// riffLimit bytes the file becomes RF64. Throws platform::Error.
std::unique_ptr<AudioFile> open(const std::string& path, uint32_t sampleRate, uint32_t channels,
                                uint64_t riffLimit = kRiffLimit);

}  // namespace platform::wav
