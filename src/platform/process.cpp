#include "platform/process.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace platform {

void settleForLongRun() {
#if defined(__GLIBC__)
  // The allocator gives each thread that allocates an arena of its own, and keeps what was freed
  // there resident: with five mostly idle threads, about a third of a megabyte for nothing. One
  // arena serves a handful of threads that allocate a few times a second just as well. Blocks
  // larger than a delivery (a long stretch of silence) are mapped and unmapped each time instead
  // of growing the arena for good.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 16 * 1024);
#endif
}

void exitProcess(int status) {
  static std::atomic<bool> exiting{false};
  if (exiting.exchange(true)) {
    for (;;) pause();
  }
  std::exit(status);
}

}  // namespace platform
