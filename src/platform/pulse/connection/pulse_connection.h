// The one connection to the sound server: a main loop on its own thread and a context on it, shared
// by the content query and the stream.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/pulse/connection/paced_loop.h"
#include "platform/pulse/connection/server_watch.h"

namespace platform::pulse {

constexpr char kDomain[] = "tarn.pulse";

// A client of the server as this tool presents itself, not yet connected; nullptr if it cannot be
// made.
pa_context* newClientContext(pa_mainloop_api* api);

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
  // Under the lock, while nothing records on the context: lets go of a connection that the server
  // broke or that has stopped answering, and makes a new one at once; its operations answer no
  // more. `then` as with whenReady().
  void replace(std::function<void(std::optional<Error>)> then);

  // Under the lock. Calls onChange on the loop's thread soon after the server announces a change
  // of its settings (the default output among them), and once when the watch begins. One watcher
  // at a time; an empty function ends the calls.
  void watchServer(std::function<void()> onChange);
  // Where things stand on the server, as the watch last heard: nothing is known before the first
  // watcher, or while the watch is not connected.
  ServerView serverView() const;

 private:
  Connection();
  void connect();  // under the lock
  static void onContextState(pa_context* context, void* self);

  PacedLoop loop_;
  pa_context* context_ = nullptr;
  std::vector<std::function<void(std::optional<Error>)>> waiting_;
  std::unique_ptr<ServerWatch> watch_;  // from the first watcher on
};

}  // namespace platform::pulse
