// What the file writers share: how the output is created, and how failures are worded.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

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

struct OutputFile {
  int fd;
  bool seekable;  // a regular file, whose header can be rewritten in place
};

// Creates (or replaces) the file for writing. Opened non-blocking, so that a FIFO with no reader
// fails at once instead of hanging the recording. A regular file blocks again once open; anything
// else (a FIFO, a pipe) stays non-blocking, so that a reader that stops reading never holds the
// recording up: the description is our own, nobody else's writes depend on it.
inline OutputFile createOutputFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) throw fileError("cannot create", path, errno);
  struct stat status {};
  const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (regular) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return {fd, regular};
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
