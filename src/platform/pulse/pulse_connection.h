// The one connection to the sound server: a main loop on its own thread and a context on it, shared
// by the content query and the stream.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <optional>

#include "platform/error.h"
#include "platform/pulse/paced_loop.h"

namespace platform::pulse {

constexpr char kDomain[] = "tarn.pulse";

// The library's error for code, as a platform error. A refusal by the server says that the
// permission to capture was refused.
Error libraryError(int code);

// Holds the main loop's lock for a scope; on the loop's own thread the lock is already held.
class LoopLock {
 public:
  explicit LoopLock(PacedLoop& loop);
  ~LoopLock();
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  PacedLoop& loop_;
  bool locked_;
};

class Connection {
 public:
  // The process's connection, made on first use and kept for the process's life.
  static Connection& shared();

  PacedLoop& loop() { return loop_; }
  pa_context* context() const { return context_; }  // only under the loop's lock

  // Calls then, on the loop's thread, with the context ready or with the error that prevented it.
  // A context that failed earlier is replaced by a new connection attempt.
  void whenReady(std::function<void(std::optional<Error>)> then);

 private:
  Connection();
  void connect();  // under the lock
  static void onContextState(pa_context* context, void* self);

  PacedLoop loop_;
  pa_context* context_ = nullptr;
  std::vector<std::function<void(std::optional<Error>)>> waiting_;
};

}  // namespace platform::pulse
