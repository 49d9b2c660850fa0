// The client library's main loop on a thread of its own, reading the server at a steady pace.
//
// The server sends a monitor's audio as often as the output renders it: every 5 ms while a
// low-latency player plays. Handling each piece as it comes would wake this process hundreds of
// times a second for nothing. While a capture runs, the loop instead lets the pieces collect for a
// while and reads them in one burst; when the server has been quiet, the loop waits for it as
// usual, so that the first audio after a silence is seen the moment it arrives (its arrival is what
// keeps a recording on the clock).
#pragma once

#include <pulse/mainloop.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::pulse {

// The clock the loop and the capture keep time by, in seconds.
inline double secondsNow() {
  return static_cast<double>(pa_rtclock_now()) / 1e6;
}

// The clock the server's timing answers are told in (the time of day), in seconds.
inline double realtimeSeconds() {
  struct timeval now;
  pa_gettimeofday(&now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1e6;
}

class PacedLoop {
 public:
  // Paced, reads at most once per `intervalSeconds` (relaxed, once per `relaxedSeconds`); the quiet
  // handlers run after `quietSeconds` of silence from the server, and again after each further
  // twice that.
  PacedLoop(double intervalSeconds, double quietSeconds, double relaxedSeconds = 0);
  PacedLoop(const PacedLoop&) = delete;
  PacedLoop& operator=(const PacedLoop&) = delete;

  pa_mainloop_api* api() const { return pa_mainloop_get_api(loop_); }
  bool inLoopThread() const { return std::this_thread::get_id() == threadID_; }

  // The loop's lock: held by the loop's thread while it runs the library's callbacks. Another
  // thread that takes it and lets go also cuts short the wait for the next burst, so a request
  // made from outside (a stop) is served at once.
  void lock();
  void unlock();

  // Under the lock. Paced: the loop reads at most once per interval while the server keeps
  // sending. Unpaced: every reply is read the moment it arrives (starting, moving, stopping).
  void setPaced(bool paced) { paced_ = paced; }
  // Under the lock. A paced loop whose server sends nothing worth hurrying for (digital silence, or
  // a monitor that records alone) reads at the relaxed pace instead.
  void setRelaxed(bool relaxed) { relaxed_ = relaxed; }
  double relaxedSeconds() const { return relaxedInterval_; }
  // Under the lock. A paced loop whose server sends more than a client should leave unread for a
  // whole interval reads `times` times as often instead.
  void setBrisk(int times) { brisk_ = times > 1 ? times : 1; }

  // From any thread, without the lock and without waiting: the loop reads whatever the server has
  // sent so far, even if it was waiting for its turn, and runs `then` on its thread, under the
  // lock, once the burst end handlers have handed that over.
  void afterNextBurst(std::function<void()> then);

  // From any thread, without the lock: the nudge handler runs on the loop's thread soon after,
  // even if the loop was waiting for its turn. For news that cannot wait (the server's
  // announcements, which come through a connection of their own).
  void nudge();
  // Under the lock.
  void setNudgeHandler(std::function<void()> handler) { nudgeHandler_ = std::move(handler); }

  // Under the lock. `handler` runs on the loop's thread, under the lock, each time a burst of
  // reads ends and the loop is about to sleep.
  void addBurstEndHandler(const void* owner, std::function<void()> handler);
  void removeBurstEndHandler(const void* owner);

  // Under the lock. `handler` runs on the loop's thread, under the lock, when the server has sent
  // nothing for a while: a sleeping output sends nothing at all, and this is when the silence it
  // stands for can be counted without waiting for its next sound.
  void addQuietHandler(const void* owner, std::function<void()> handler);
  void removeQuietHandler(const void* owner);

  // Under the lock, on the loop's thread: when the current burst began, in pa_rtclock seconds,
  // and whether it began the moment the server sent it (the loop was waiting on the server) rather
  // than at the loop's next turn.
  double burstStartSeconds() const { return burstStart_; }
  bool burstArrivedPromptly() const { return burstPrompt_; }
  // Under the lock, on the loop's thread: when the loop last found nothing more to read, before the
  // current burst. What the burst brings came after it.
  double burstSinceSeconds() const { return drained_; }

 private:
  static int poll(struct pollfd* fds, unsigned long count, int timeoutMs, void* self);
  static void onWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self);
  void wake();
  int pollUnlocked(struct pollfd* fds, unsigned long count, int timeoutMs);
  void waitForTurn(double nextTurn, int& timeoutMs);
  void beginBurst(double at, bool prompt);
  void run();

  using Handlers = std::vector<std::pair<const void*, std::function<void()>>>;
  static void runAll(Handlers& handlers);

  const double interval_;
  const double quiet_;
  const double relaxedInterval_;
  pa_mainloop* loop_;
  std::recursive_mutex mutex_;
  // Written by a nudge, and by another thread's unlock while the loop waits for its turn.
  const int wakeFd_;
  std::atomic<bool> waitingForTurn_ = false;
  std::atomic<bool> nudged_ = false;
  std::thread::id threadID_;
  // Touched only under the lock.
  bool paced_ = false;
  bool relaxed_ = false;
  int brisk_ = 1;
  bool inBurst_ = false;
  double burstStart_ = 0;
  bool burstPrompt_ = true;
  double drained_ = 0;   // when the burst before the current one ended
  double quietDue_ = 0;  // when the quiet handlers run, if the server sends nothing before
  Handlers burstEndHandlers_;
  Handlers quietHandlers_;
  std::function<void()> nudgeHandler_;
  // Asked for from other threads: guarded by a lock of their own, never held for long.
  std::mutex afterBurstMutex_;
  std::vector<std::function<void()>> afterBurst_;
};

}  // namespace platform::pulse
