#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace platform {

// The signals a signal source may take: all but those the kernel raises for a faulting instruction,
// which must stay with the thread that caused them.
inline sigset_t asynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
    sigdelset(&set, synchronous);
  }
  return set;
}

// Starts a thread with the asynchronous signals blocked, as are the threads it starts in turn (the
// sound server library's among them). Signals then reach only the main thread, which serves the
// signal sources: a worker never takes one, and its system calls are never interrupted by one.
template <typename Body>
std::thread spawnThread(Body&& body) {
  const sigset_t blocked = asynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  std::thread thread(std::forward<Body>(body));
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return thread;
}

}  // namespace platform
