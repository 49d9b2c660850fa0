#include "platform/pulse/connection/paced_loop.h"

#include <poll.h>
#include <pulse/rtclock.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "platform/threads.h"

namespace platform::pulse {

PacedLoop::PacedLoop(double intervalSeconds, double quietSeconds, double relaxedSeconds)
    : interval_(intervalSeconds),
      quiet_(quietSeconds),
      relaxedInterval_(relaxedSeconds > intervalSeconds ? relaxedSeconds : intervalSeconds),
      loop_(pa_mainloop_new()),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!loop_ || wakeFd_ < 0) std::abort();  // no capture is possible without the loop
  pa_mainloop_set_poll_func(loop_, &PacedLoop::poll, this);
  api()->io_new(api(), wakeFd_, PA_IO_EVENT_INPUT, &PacedLoop::onWake, this);
  // The thread waits for the lock until its id is known, so inLoopThread() never reads it early.
  std::lock_guard hold(mutex_);
  std::thread thread = spawnThread([this] { run(); });
  threadID_ = thread.get_id();
  thread.detach();  // runs until the process exits
}

void PacedLoop::run() {
  pthread_setname_np(pthread_self(), "tarn-pulse");
  std::lock_guard hold(mutex_);
  pa_mainloop_run(loop_, nullptr);
}

void PacedLoop::lock() {
  mutex_.lock();
}

void PacedLoop::unlock() {
  mutex_.unlock();
  if (waitingForTurn_.load()) wake();
}

void PacedLoop::nudge() {
  nudged_.store(true);
  wake();
}

void PacedLoop::afterNextBurst(std::function<void()> then) {
  {
    std::lock_guard hold(afterBurstMutex_);
    afterBurst_.push_back(std::move(then));
  }
  wake();  // the wake itself is a reason to read: a burst follows at once
}

void PacedLoop::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
}

void PacedLoop::onWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
  auto* loop = static_cast<PacedLoop*>(self);
  uint64_t count;
  [[maybe_unused]] ssize_t drained = read(fd, &count, sizeof count);
  if (loop->nudged_.exchange(false) && loop->nudgeHandler_) loop->nudgeHandler_();
}

void PacedLoop::addBurstEndHandler(const void* owner, std::function<void()> handler) {
  burstEndHandlers_.emplace_back(owner, std::move(handler));
}

void PacedLoop::removeBurstEndHandler(const void* owner) {
  std::erase_if(burstEndHandlers_, [owner](const auto& entry) { return entry.first == owner; });
}

void PacedLoop::addQuietHandler(const void* owner, std::function<void()> handler) {
  if (quietHandlers_.empty()) quietDue_ = secondsNow() + quiet_;
  quietHandlers_.emplace_back(owner, std::move(handler));
  wake();  // a loop asleep on a quiet server learns when to look again
}

void PacedLoop::removeQuietHandler(const void* owner) {
  std::erase_if(quietHandlers_, [owner](const auto& entry) { return entry.first == owner; });
}

void PacedLoop::runAll(Handlers& handlers) {
  for (auto& [owner, handler] : handlers) handler();
}

int PacedLoop::poll(struct pollfd* fds, unsigned long count, int timeoutMs, void* self) {
  auto* loop = static_cast<PacedLoop*>(self);
  // The rest of a burst: whatever the server has already sent is read before anything sleeps.
  const int ready = ::poll(fds, count, 0);
  if (ready > 0 && !loop->inBurst_) loop->beginBurst(secondsNow(), true);  // came while busy
  if (ready != 0) return ready;
  if (loop->inBurst_) {
    loop->inBurst_ = false;
    const double drained = secondsNow();
    loop->quietDue_ = drained + loop->quiet_;
    runAll(loop->burstEndHandlers_);  // the burst's own handlers still see the drain before it
    loop->drained_ = drained;
    std::vector<std::function<void()>> after;
    {
      std::lock_guard hold(loop->afterBurstMutex_);
      after.swap(loop->afterBurst_);
    }
    for (auto& then : after) then();
  }
  return loop->pollUnlocked(fds, count, timeoutMs);
}

int PacedLoop::pollUnlocked(struct pollfd* fds, unsigned long count, int timeoutMs) {
  const bool paced = paced_;
  const double nextTurn = burstStart_ + (relaxed_     ? relaxedInterval_
                                         : brisk_ > 1 ? interval_ / brisk_
                                                      : interval_);
  // Set under the lock: a thread that takes the lock from here on also wakes the wait.
  if (paced) waitingForTurn_.store(true);
  const bool watchQuiet = !quietHandlers_.empty();
  const double quietDue = quietDue_;
  mutex_.unlock();
  int ready = 0;
  bool prompt = true;
  if (paced) {
    waitForTurn(nextTurn, timeoutMs);
    waitingForTurn_.store(false);
    ready = ::poll(fds, count, 0);  // what the server sent meanwhile
    prompt = ready == 0;
  }
  bool quietEnded = false;
  if (ready == 0) {
    // The wait on the server ends when the quiet handlers are due, unless the library's next timer
    // comes first.
    const int quietMs =
        watchQuiet ? std::max(0, static_cast<int>(std::ceil((quietDue - secondsNow()) * 1000)))
                   : -1;
    quietEnded = watchQuiet && (timeoutMs < 0 || quietMs < timeoutMs);
    ready = ::poll(fds, count, quietEnded ? quietMs : timeoutMs);
  }
  const double woke = secondsNow();
  mutex_.lock();
  if (ready > 0) beginBurst(woke, prompt);
  if (ready == 0 && quietEnded) {
    // A server that stays quiet is looked at less often: a sleeping output may sleep for hours.
    quietDue_ = woke + 2 * quiet_;
    runAll(quietHandlers_);
  }
  return ready;
}

void PacedLoop::beginBurst(double at, bool prompt) {
  inBurst_ = true;
  burstStart_ = at;
  burstPrompt_ = prompt;
}

// Sleeps until the loop's next turn, the library's next timer, another thread's request or a nudge,
// whichever comes first; counts the time slept off the library's timeout.
void PacedLoop::waitForTurn(double nextTurn, int& timeoutMs) {
  const double began = secondsNow();
  int waitMs = static_cast<int>(std::ceil((nextTurn - began) * 1000));
  if (waitMs <= 0) return;
  if (timeoutMs >= 0) waitMs = std::min(waitMs, timeoutMs);
  struct pollfd wake {
    wakeFd_, POLLIN, 0
  };
  ::poll(&wake, 1, waitMs);
  if (timeoutMs >= 0) {
    const int sleptMs = static_cast<int>((secondsNow() - began) * 1000);
    timeoutMs = std::max(0, timeoutMs - sleptMs);
  }
}

}  // namespace platform::pulse
