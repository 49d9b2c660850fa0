// Writing to a reader that may stop reading (a pipe, a FIFO, a socket) without ever waiting on it
// for longer than the writer allows.
#pragma once

#include <chrono>
#include <cstddef>

namespace platform {

// Writes as much of the bytes as the reader takes before the deadline, waiting for room
// meanwhile, and returns how much that was. The descriptor must not block (non-blocking, or a
// socket, which is written with MSG_DONTWAIT). Short of `size`, errno says why: EAGAIN for a reader
// that took no more in time.
size_t writeBefore(int fd, const void* data, size_t size,
                   std::chrono::steady_clock::time_point deadline, bool socket = false);

}  // namespace platform
