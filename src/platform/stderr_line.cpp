#include "platform/stderr_line.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {

void writeStderrLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  const char* data = line.data();
  size_t left = line.size();
  // One write in all but pathological cases; a partial write (a full pipe) is finished rather
  // than cut.
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      // Whoever reads our lines has gone. The SIGPIPE the write raised is held by this thread if
      // it is a worker (workers block signals), so it is raised again for the whole process,
      // where the main thread takes it as it would on the main thread's own write.
      if (errno == EPIPE) kill(getpid(), SIGPIPE);
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace platform
