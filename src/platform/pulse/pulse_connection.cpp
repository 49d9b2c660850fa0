#include "platform/pulse/pulse_connection.h"

#include "platform/threads.h"

#include <dlfcn.h>

#include <cstdlib>
#include <vector>

namespace platform::pulse {

Error libraryError(int code) {
  std::string description = pa_strerror(code);
  if (code == PA_ERR_ACCESS) {
    description += " (the sound server refused the permission to capture its output)";
  }
  return Error(kDomain, code, description);
}

LoopLock::LoopLock(pa_threaded_mainloop* loop)
    : loop_(loop), locked_(!pa_threaded_mainloop_in_thread(loop)) {
  if (locked_) pa_threaded_mainloop_lock(loop_);
}

LoopLock::~LoopLock() {
  if (locked_) pa_threaded_mainloop_unlock(loop_);
}

Connection& Connection::shared() {
  // Never destroyed: its thread runs until the process exits.
  static Connection* connection = new Connection();
  return *connection;
}

namespace {

// The client library writes its own diagnostics (a missing cookie file, say) to standard error,
// where only the tool's lines may appear. Its public API has no switch for that; its common
// library, which it always loads, has one, looked up here so that a library without it is no
// obstacle.
void silenceLibraryLog() {
  using ParseTarget = void* (*)(const char*);
  using UseTarget = void (*)(void*);
  auto parse = reinterpret_cast<ParseTarget>(dlsym(RTLD_DEFAULT, "pa_log_parse_target"));
  auto set = reinterpret_cast<UseTarget>(dlsym(RTLD_DEFAULT, "pa_log_set_target"));
  auto release = reinterpret_cast<UseTarget>(dlsym(RTLD_DEFAULT, "pa_log_target_free"));
  if (!parse || !set || !release) return;
  if (void* discard = parse("null")) {
    set(discard);  // copied by the library
    release(discard);
  }
}

}  // namespace

Connection::Connection() : loop_((silenceLibraryLog(), pa_threaded_mainloop_new())) {
  // The library's thread takes no signal, whichever thread makes the connection.
  const sigset_t blocked = asynchronousSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const bool started = loop_ && pa_threaded_mainloop_start(loop_) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) std::abort();  // no capture is possible without the library's thread
  pa_threaded_mainloop_set_name(loop_, "tarn-pulse");
}

void Connection::whenReady(std::function<void(std::optional<Error>)> then) {
  LoopLock lock(loop_);
  if (context_) {
    switch (pa_context_get_state(context_)) {
      case PA_CONTEXT_READY:
        then(std::nullopt);
        return;
      case PA_CONTEXT_FAILED:
      case PA_CONTEXT_TERMINATED:
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_unref(context_);
        context_ = nullptr;
        break;
      default:  // still connecting
        waiting_.push_back(std::move(then));
        return;
    }
  }
  waiting_.push_back(std::move(then));
  connect();
}

void Connection::connect() {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "tarn-audio-tap");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "dev.tarn.desktop.audio-tap");
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "tarn-audio-tap",
                                          properties);
  pa_proplist_free(properties);
  if (!context_) {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& then : waiting) then(libraryError(PA_ERR_INTERNAL));
    return;
  }
  pa_context_set_state_callback(context_, onContextState, this);
  // Never start a sound server of our own: recording a private, silent one would be worse than
  // failing.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    const Error error = libraryError(pa_context_errno(context_));
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& then : waiting) then(error);
  }
}

void Connection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<Connection*>(self);
  std::optional<Error> outcome;
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      outcome = libraryError(pa_context_errno(context));
      break;
    default:
      return;
  }
  auto waiting = std::move(connection->waiting_);
  connection->waiting_.clear();
  for (auto& then : waiting) then(outcome);
}

}  // namespace platform::pulse
