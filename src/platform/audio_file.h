// An audio file opened for writing: it takes PCM buffers and stores them in the file's own sample
// encoding. Closing (destroying) it finalises the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_format.h"

namespace platform {

// The sample encoding of the stored file.
struct AudioFileSettings {
  uint32_t formatID;
  double sampleRate;
  uint32_t numberOfChannels;
  int linearPCMBitDepth;
  bool linearPCMIsFloat;
  bool linearPCMIsBigEndian;
  bool linearPCMIsNonInterleaved;
};

class AudioFile {
 public:
  virtual ~AudioFile() = default;

  // Creates (or replaces) the file at path. The container follows the path's extension: .caf is
  // CAF, .aif/.aiff/.aifc AIFF-C, anything else WAV. Buffers written must have the file's rate and
  // channel count, as 32-bit float or 16-bit integer samples. Throws platform::Error.
  static std::unique_ptr<AudioFile> openForWriting(const std::string& path,
                                                   const AudioFileSettings& settings,
                                                   CommonFormat processingFormat, bool interleaved);

  // Appends the buffer's frameLength frames. Throws platform::Error; the file stays usable.
  virtual void write(const PCMBuffer& buffer) = 0;
  // As write, for a caller with more buffers at hand (one that has fallen behind): the file may
  // gather them into fewer writes, made by flush() at the latest, or when the file is closed.
  virtual void writeGathering(const PCMBuffer& buffer) { write(buffer); }
  // Writes whatever was gathered. Throws platform::Error; what it held is lost, the file usable.
  virtual void flush() {}
};

}  // namespace platform
