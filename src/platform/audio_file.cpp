// Which writer takes a file: the container follows the path's extension.
#include "platform/audio_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "platform/audio_file_errors.h"
#include "platform/sndfile/sndfile_audio_file.h"
#include "platform/wav/wav_audio_file.h"

namespace platform {
namespace {

std::string lowerExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string extension = path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

}  // namespace

std::unique_ptr<AudioFile> AudioFile::openForWriting(const std::string& path,
                                                     const AudioFileSettings& settings,
                                                     CommonFormat processingFormat,
                                                     bool interleaved) {
  (void)interleaved;  // both layouts are taken by write()
  if (settings.formatID != kAudioFormatLinearPCM || settings.linearPCMBitDepth != 16 ||
      settings.linearPCMIsFloat || settings.linearPCMIsBigEndian ||
      settings.numberOfChannels == 0 || settings.numberOfChannels > 64 || settings.sampleRate < 1 ||
      settings.sampleRate > 1e6 || processingFormat != CommonFormat::float32) {
    throw Error("tarn.audio-file", EINVAL,
                "cannot create \"" + path + "\": unsupported file settings");
  }
  const auto rate = static_cast<uint32_t>(settings.sampleRate);
  const std::string extension = lowerExtension(path);
  if (extension == "caf") {
    return sndfile::open(path, sndfile::Container::caf, rate, settings.numberOfChannels);
  }
  if (extension == "aif" || extension == "aiff" || extension == "aifc") {
    return sndfile::open(path, sndfile::Container::aiff, rate, settings.numberOfChannels);
  }
  return wav::open(path, rate, settings.numberOfChannels);
}

}  // namespace platform
