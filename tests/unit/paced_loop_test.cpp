// The loop that reads the sound server at a steady pace, driven here by a pipe standing for the
// server's socket. Its turn is an hour away, so every read the tests see comes from a quiet loop
// answering at once, or from another thread's request cutting the wait short.
#include "platform/pulse/paced_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::pulse::PacedLoop;

constexpr double kAnHour = 3600;

// Reads whatever the pipe holds each time the loop says it is readable, noting how it came. Paced,
// it sets the loop's pace once the first delivery has come, as a capture does.
class PipeReader {
 public:
  explicit PipeReader(bool paced, double quietSeconds = kAnHour)
      : loop_(*new PacedLoop(kAnHour, quietSeconds)),  // never ends, as in the tool
        paced_(paced) {
    if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    loop_.lock();
    event_ = loop_.api()->io_new(loop_.api(), fds_[0], PA_IO_EVENT_INPUT, onReadable, this);
    loop_.addBurstEndHandler(this, [this] {
      std::lock_guard hold(mutex_);
      if (!events_.empty() && events_.back() != "end") events_.push_back("end");
      changed_.notify_all();
    });
    loop_.unlock();
  }

  ~PipeReader() {
    loop_.lock();
    loop_.api()->io_free(event_);
    loop_.removeBurstEndHandler(this);
    loop_.removeQuietHandler(this);
    loop_.unlock();
    close(fds_[0]);
    close(fds_[1]);
  }

  void send() { ASSERT_EQ(write(fds_[1], "x", 1), 1); }

  // The events so far once `count` of them have been seen: "prompt" or "paced" for a read,
  // "end" for the end of a burst.
  std::vector<std::string> waitFor(size_t count) {
    std::unique_lock hold(mutex_);
    changed_.wait_for(hold, 30s, [&] { return events_.size() >= count; });
    return events_;
  }

  std::vector<std::string> events() {
    std::lock_guard hold(mutex_);
    return events_;
  }

  PacedLoop& loop() { return loop_; }

  void stopPacing() { paced_ = false; }

  void noteQuiet() {
    loop_.lock();
    loop_.addQuietHandler(this, [this] { note("quiet"); });
    loop_.unlock();
  }

  void note(const std::string& event) {
    std::lock_guard hold(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }

 private:
  static void onReadable(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
    auto* reader = static_cast<PipeReader*>(self);
    char scratch[64];
    while (read(fd, scratch, sizeof scratch) > 0) {
    }
    if (reader->paced_) reader->loop_.setPaced(true);
    std::lock_guard hold(reader->mutex_);
    reader->events_.push_back(reader->loop_.burstArrivedPromptly() ? "prompt" : "paced");
    reader->changed_.notify_all();
  }

  PacedLoop& loop_;
  std::atomic<bool> paced_;
  int fds_[2];
  pa_io_event* event_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

TEST(PacedLoop, AQuietLoopReadsAtOnceAndABusyOneWaitsForItsTurnOrARequest) {
  PipeReader reader(/*paced=*/true);
  reader.send();
  EXPECT_EQ(reader.waitFor(2), (Events{"prompt", "end"}));

  // Right after a burst, the next delivery waits for the loop's turn, an hour away...
  reader.send();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(reader.events(), (Events{"prompt", "end"}));

  // ...unless another thread needs the loop (a stop does this): it is served at once and takes
  // the waiting delivery with it, known to have waited; unpaced, it reads the next one at once.
  reader.stopPacing();
  reader.loop().lock();
  reader.loop().setPaced(false);
  reader.loop().unlock();
  EXPECT_EQ(reader.waitFor(4), (Events{"prompt", "end", "paced", "end"}));
  reader.send();
  EXPECT_EQ(reader.waitFor(6), (Events{"prompt", "end", "paced", "end", "prompt", "end"}));
}

TEST(PacedLoop, ANudgeIsHandledAtOnceEvenWhileTheLoopWaitsForItsTurn) {
  PipeReader reader(/*paced=*/true);
  reader.loop().lock();
  reader.loop().setNudgeHandler([&reader] { reader.note("nudged"); });
  reader.loop().unlock();
  reader.send();
  EXPECT_EQ(reader.waitFor(2), (Events{"prompt", "end"}));
  reader.send();          // waits for the turn, an hour away...
  reader.loop().nudge();  // ...but the nudge is handled now, with what has arrived
  Events events = reader.waitFor(5);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events.back(), "end");
  std::sort(events.begin() + 2, events.end() - 1);  // handled in either order in one burst
  EXPECT_EQ(events, (Events{"prompt", "end", "nudged", "paced", "end"}));
}

TEST(PacedLoop, AnUnpacedLoopReadsEveryDeliveryAtOnce) {
  PipeReader reader(/*paced=*/false);
  for (size_t i = 1; i <= 3; ++i) {
    reader.send();
    ASSERT_EQ(reader.waitFor(2 * i).size(), 2 * i) << "delivery " << i << " was not read";
  }
  EXPECT_EQ(reader.events(), (Events{"prompt", "end", "prompt", "end", "prompt", "end"}));
}

TEST(PacedLoop, AServerThatSendsNothingIsReportedQuietAgainAndAgainUntilItSends) {
  PipeReader reader(/*paced=*/false, /*quietSeconds=*/0.05);
  reader.send();
  reader.waitFor(2);
  reader.noteQuiet();
  Events events = reader.waitFor(4);
  EXPECT_EQ(events, (Events{"prompt", "end", "quiet", "quiet"}));

  // Still read the moment it comes.
  reader.send();
  events = reader.waitFor(events.size() + 2);
  std::erase(events, "quiet");
  EXPECT_EQ(events, (Events{"prompt", "end", "prompt", "end"}));
}

}  // namespace
