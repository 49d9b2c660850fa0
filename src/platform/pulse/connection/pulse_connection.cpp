#include "platform/pulse/connection/pulse_connection.h"

#include "platform/pulse/connection/server_watch.h"

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

LoopLock::LoopLock(PacedLoop& loop) : loop_(loop), locked_(!loop.inLoopThread()) {
  if (locked_) loop_.lock();
}

LoopLock::~LoopLock() {
  if (locked_) loop_.unlock();
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

// While a capture runs, the server's deliveries are read this often: each turn wakes the loop's
// thread and the capture's queue once, 16 wakeups a second in all. Short enough that a change of
// output is followed at once and little is held back from the file.
constexpr double kReadIntervalSeconds = 0.125;

// While the server sends only digital silence, or the monitor records alone, its deliveries are
// read this often (silence handed to the capture every other time: 6 wakeups a second in all, 8
// with sound). Not less often: what still waits to be read when the process is killed is lost.
constexpr double kRelaxedIntervalSeconds = 0.25;

// A server that has sent nothing for this long may have an output asleep: the silence it stands
// for is counted from then on, a little at a time.
constexpr double kQuietSeconds = 0.5;

Connection::Connection()
    : loop_((silenceLibraryLog(), kReadIntervalSeconds), kQuietSeconds, kRelaxedIntervalSeconds) {}

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

void Connection::replace(std::function<void(std::optional<Error>)> then) {
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  whenReady(std::move(then));
}

void Connection::watchServer(std::function<void()> onChange) {
  const bool watching = static_cast<bool>(onChange);
  loop_.setNudgeHandler(std::move(onChange));
  if (!watching) return;
  if (!watch_) watch_ = std::make_unique<ServerWatch>(loop_);
  watch_->ensureConnected();
  loop_.nudge();  // a new watcher looks once at where things stand
}

ServerView Connection::serverView() const {
  return watch_ ? watch_->view() : ServerView();
}

pa_context* newClientContext(pa_mainloop_api* api) {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "tarn-audio-tap");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "dev.tarn.desktop.audio-tap");
  pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
  pa_context* context = pa_context_new_with_proplist(api, "tarn-audio-tap", properties);
  pa_proplist_free(properties);
  return context;
}

void Connection::connect() {
  // The watch's connection is made here, by whoever first needs the server, rather than on the
  // loop's thread once a capture runs: making a connection takes a deep stack, which stays
  // resident on the thread that made it.
  if (!watch_) watch_ = std::make_unique<ServerWatch>(loop_);
  context_ = newClientContext(loop_.api());
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
