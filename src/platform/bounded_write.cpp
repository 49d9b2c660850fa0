#include "platform/bounded_write.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

size_t writeBefore(int fd, const void* data, size_t size,
                   std::chrono::steady_clock::time_point deadline, bool socket) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t written = socket ? send(fd, bytes + done, size - done, MSG_DONTWAIT)
                                   : write(fd, bytes + done, size - done);
    if (written >= 0) {
      done += static_cast<size_t>(written);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    struct pollfd ready {
      fd, POLLOUT, 0
    };
    if (remaining <= 0 || ::poll(&ready, 1, static_cast<int>(remaining)) <= 0) {
      errno = EAGAIN;
      break;
    }
  }
  return done;
}

}  // namespace platform
