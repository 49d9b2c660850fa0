// The platform's own machinery: serial queues, signal sources, the loop that reads the sound
// server at a steady pace, and the timeline that keeps a recording on the clock.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <numeric>
#include <string>
#include <utility>

#include "helpers.h"
#include "platform/arrival_order.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "platform/pulse/connection/paced_loop.h"
#include "platform/pulse/monitor/downmix.h"
#include "platform/pulse/monitor/timeline.h"
#include "platform/signal_source.h"

namespace {

using namespace std::chrono_literals;
using testing_support::eventually;

TEST(DispatchQueue, RunsItemsOneAtATimeInOrder) {
  platform::DispatchQueue queue("test.order");
  std::vector<int> seen, expected(1000);  // seen: touched on the queue, read after the sync
  std::iota(expected.begin(), expected.end(), 0);
  std::atomic<int> running{0};
  for (int i : expected) queue.async([&, i] { seen.push_back(running++ ? -1 : i), --running; });
  queue.sync([] {});
  EXPECT_EQ(seen, expected);
}

TEST(DispatchQueue, SyncForGivesUpOnABlockedQueueAndTheItemStillRuns) {
  platform::DispatchQueue queue("test.bounded");
  std::promise<void> release;
  queue.async([held = release.get_future().share()] { held.wait(); });
  std::atomic<bool> ran{false};
  EXPECT_FALSE(queue.syncFor([&] { ran = true; }, 10ms));
  release.set_value();
  EXPECT_TRUE(queue.syncFor([] {}, 60s));
  EXPECT_TRUE(ran);
}

// A signal held back since launch waits for its source; the handler runs on the queue's thread,
// and a signal that arrives while it runs (sent here by the handler itself) runs it again. The
// signal's default action, which would end this process, never runs.
TEST(SignalSource, AnArrivalBeforeItIsArmedOrDuringTheHandlerRunsIt) {
  // Armed sources are never cancelled: like the tool's, they and their queue live for good.
  static auto& queue = *new platform::DispatchQueue("test.signals");
  static std::atomic<int> runs{0};  // on the queue only
  platform::holdSignals({SIGUSR2});
  raise(SIGUSR2);
  auto& source = *new platform::SignalSource(SIGUSR2, queue);
  source.setEventHandler([] {
    if (queue.isCurrent() && runs++ == 0) kill(getpid(), SIGUSR2);
  });
  source.resume();
  platform::ignoreSignal(SIGUSR2);
  EXPECT_TRUE(eventually([] { return runs == 2; }));
}

// Ends that meet (a stop, a failed start, a stream failure): the first decides the status however
// long its exit takes, and a later one waits for it instead of ending the process with its own.
TEST(SignalSource, ArrivalsLandingWhileTheSourcesAreReadRunInTheirOrder) {
  struct Source {
    char name;
    uint64_t stamp;
  };
  Source mute{'m', 0}, unmute{'u', 1};  // an unmute has arrived
  uint64_t latest = 1;
  std::string fired;
  platform::fireInArrivalOrder(
      std::vector<Source*>{&mute, &unmute}, [&] { return latest; },
      [&](Source* source) {
        const uint64_t stamp = std::exchange(source->stamp, 0);
        if (source == &mute && latest == 1) {  // read, then a mute and an unmute land
          mute.stamp = ++latest;
          unmute.stamp = ++latest;
        }
        return stamp;
      },
      [&](Source* source) { fired += source->name; });
  EXPECT_EQ(fired, "mu");  // the last to come decides
}

TEST(ExitProcess, TheFirstEndDecides) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit([] { std::this_thread::sleep_for(300ms); });
        std::thread([] {
          std::this_thread::sleep_for(50ms);
          platform::exitProcess(2);
        }).detach();
        platform::exitProcess(1);
      },
      testing::ExitedWithCode(1), "");
}

// The loop over a pipe standing for the server's socket, its turn an hour away. `events` notes what
// it does: 'P' for a read the moment the data came, 'p' for one at the loop's turn or when a
// request or a nudge cut the wait short, '.' for the end of a burst, 'n' for a nudge.
TEST(PacedLoop, ReadsAtOnceWhenQuietAndAtItsTurnWhenBusy) {
  static auto& loop = *new platform::pulse::PacedLoop(3600, 0.05);  // runs until the process ends
  static std::mutex mutex;
  static std::string events;
  static std::atomic<bool> paced = true;
  static std::atomic<int> quiet = 0;
  static int fds[2];
  static auto note = [](char event) {
    std::lock_guard hold(mutex);
    if (event != '.' || (!events.empty() && events.back() != '.')) events += event;
  };
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  {
    std::lock_guard hold(loop);
    auto onReadable = [](pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
      char scratch[64];
      while (read(fd, scratch, sizeof scratch) > 0) continue;
      loop.setPaced(paced);  // as a capture does while its audio flows
      note(loop.burstArrivedPromptly() ? 'P' : 'p');
    };
    loop.api()->io_new(loop.api(), fds[0], PA_IO_EVENT_INPUT, onReadable, nullptr);
    loop.addBurstEndHandler(&loop, [] { note('.'); });
    loop.setNudgeHandler([] { note('n'); });
  }
  // Sends a byte, lets `meanwhile` run, and gives the events up to the end of the burst after it.
  auto send = [](const std::function<void()>& meanwhile) {
    EXPECT_EQ(write(fds[1], "x", 1), 1);
    meanwhile();
    std::string burst;
    EXPECT_TRUE(eventually([&] {
      std::lock_guard hold(mutex);
      const size_t end = events.find('.');
      if (end != std::string::npos) burst = events.substr(0, end + 1), events.erase(0, end + 1);
      return !burst.empty();
    }));
    std::sort(burst.begin(), burst.end());  // what one burst handles comes in either order
    return burst;
  };
  const auto nothing = [] {};
  EXPECT_EQ(send(nothing), ".P");
  // Busy now: the next delivery waits for the turn, but a nudge is handled at once and takes it.
  EXPECT_EQ(send([] { loop.nudge(); }), ".np");
  // So does another thread's request (a stop). Unpaced, the loop reads each delivery at once.
  EXPECT_EQ(send([] {
              paced = false;
              std::lock_guard hold(loop);
              loop.setPaced(false);
            }),
            ".p");
  EXPECT_EQ(send(nothing), ".P");
  // A server that sends nothing is reported quiet again and again, and still read at once.
  {
    std::lock_guard hold(loop);
    loop.addQuietHandler(&quiet, [] { ++quiet; });
  }
  EXPECT_TRUE(eventually([&] { return quiet >= 2; }));
  EXPECT_EQ(send(nothing), ".P");
}

// The recording's channel is the average of the source's, whatever their number, even for a frame
// split between two pieces (6 bytes in); a hole is silence; a single channel passes as it is.
TEST(Downmix, AveragesTheChannelsIntoOne) {
  for (const auto& [channels, in, hole, out] :
       std::vector<std::tuple<int, std::vector<float>, bool, std::vector<float>>>{
           {2, {0.95f, 0.95f, 0.5f, -0.5f, 1, 0}, false, {0.95f, 0, 0.5f}},
           {6, {0.75f, 0.75f, 0.75f, 0.75f, 0.75f, 0.75f, 3, 0, 0, 0, 0, 0}, false, {0.75f, 0.5f}},
           {2, {1, 1, 1, 1}, true, {0, 0}},
           {1, {0.25f, -1}, false, {0.25f, -1}}}) {
    platform::pulse::Downmix downmix;
    downmix.setLayout(channels, 1);
    std::vector<uint8_t> mixed;
    const auto* bytes = reinterpret_cast<const uint8_t*>(in.data());
    downmix.append(hole ? nullptr : bytes, 6, mixed);
    downmix.append(hole ? nullptr : bytes + 6, in.size() * sizeof(float) - 6, mixed);
    std::vector<float> mono(mixed.size() / sizeof(float));
    std::memcpy(mono.data(), mixed.data(), mixed.size());
    EXPECT_EQ(mono, out) << channels;
  }
}

// Steps of a stream that started at 100 s, each a fragment of `frames` (none: the capture ends) at
// `seconds` after the start, and the silence that goes before it (or up to the end). Gives the
// frames counted in all.
uint64_t timeline(const std::vector<std::tuple<uint64_t, double, bool, uint64_t>>& steps) {
  platform::pulse::Timeline timeline(16000, 100.0);
  uint64_t counted = 0;
  for (const auto& [frames, seconds, resuming, silence] : steps) {
    EXPECT_EQ(frames ? timeline.silenceBefore(frames, 100 + seconds, resuming, 0)
                     : timeline.silenceUntil(100 + seconds),
              silence)
        << "at " << seconds;
    counted += frames + silence;
  }
  return counted;
}

TEST(Timeline, OnlyGapsBecomeSilence) {
  // An output asleep for 1.9 s, then 0.1 s of audio; a steady stream 30 ms late, never padded; a
  // suspend of half a second, exactly that as silence, net of the steady lateness; the stop, which
  // brings the recording to its moment.
  std::vector<std::tuple<uint64_t, double, bool, uint64_t>> steps{{1600, 1.9, true, 28800}};
  for (int i = 1; i <= 400; ++i) steps.emplace_back(1600, 1.93 + 0.1 * i, false, 0);
  steps.insert(steps.end(), {{1600, 42.53, true, 8000}, {0, 42.58, false, 800}});
  EXPECT_EQ(timeline(steps), 680800u);
  // Data ahead of the clock is never cut.
  EXPECT_EQ(timeline({{16000, 0.5, true, 0}, {0, 0.6, false, 0}}), 16000u);
  // A running server 60 ms late for a moment sends what it held back right after: no gap. The
  // same lag where the stream resumes is one.
  EXPECT_EQ(timeline({{1600, 0.1, true, 0}, {320, 0.18, false, 0}, {1280, 0.2, false, 0}}), 3200u);
  EXPECT_EQ(timeline({{320, 0.08, true, 960}}), 1280u);
  // Nor is audio that has come but waits for a capture a little behind it.
  platform::pulse::Timeline waiting(16000, 0.0);
  EXPECT_EQ(waiting.silenceBefore(1600, 0.1, true, 0), 0u);
  EXPECT_EQ(waiting.silenceBefore(1600, 0.45, true, 4000), 0u);
  // A resumption placed where its first frame sounded, by the server's timing: not moved by the
  // stream's usual lateness (30 ms here), nor by its piece's.
  platform::pulse::Timeline timed(16000, 0.0);
  EXPECT_EQ(timed.silenceBefore(1600, 0.13, true, 0), 0u);
  EXPECT_EQ(timed.silenceBeforeSounded(800, 1.0), 16000u - 1600);
  // A device clock 200 ppm slow over two hours, with up to 30 ms of scheduling jitter.
  steps.clear();
  for (int i = 1; i <= 72000; ++i) {
    steps.emplace_back(1600, 0.1 * i * 1.0002 + 0.003 * ((i * 7919) % 11), false, 0);
  }
  EXPECT_EQ(timeline(steps), 72000u * 1600);
}

// Read at the loop's turns rather than as it comes: a device clock 125 ppm slow sends 714-frame
// pieces 30 ms after their last frame sounded, and each read takes what came since the one before.
TEST(Timeline, ReadsAtTheirTurnBecomeSilenceOnlyForWhatTheServerDropped) {
  platform::pulse::Timeline timeline(16000, 0.0);
  // Frames sent so far, dropped by the server, still held back by it; when the last read was.
  double sent = 0, lost = 0, withheld = 0, read = 0.1;
  auto comeBy = [&](double now) {  // what a read at `now` takes
    const double made =
        std::floor((now - 0.03) * 16000 * (1 - 125e-6) / 714) * 714 - lost - withheld;
    const auto frames = static_cast<uint64_t>(made - sent);
    sent = made;
    return frames;
  };
  timeline.silenceBefore(comeBy(read), read, true, 0);  // started
  // The first read's wait says nothing (since a moment long gone), then two hours of uneven turns
  // (0.25 to 0.45 s apart), some with audio held for a capture; then the tool held still for 6 s,
  // and the backlog sent in three reads: no silence.
  ASSERT_EQ(timeline.silenceBeforeLate(comeBy(0.35), -1.9, 0.35, false, 0), 0u);
  read = 0.35;
  uint64_t held = 0;
  auto turn = [&](double now, uint64_t holding) {
    const uint64_t frames = comeBy(now) + held - holding;
    held = holding;
    const uint64_t silence = timeline.silenceBeforeLate(frames, read, now, false, held);
    read = now;
    return silence;
  };
  for (int i = 1; i <= 24000; ++i) {
    ASSERT_EQ(turn(read + 0.25 + 0.02 * ((i * 7919) % 11), i % 50 ? 0 : 3000), 0u) << read;
  }
  const double stopped = read;
  for (const double after : {6.0, 6.25, 6.5}) {
    withheld = (6.5 - after) * 8 * 16000;  // 4 s, then 2, then nothing
    ASSERT_EQ(turn(stopped + after, 0), 0u) << after;
  }
  // Held still for 4.5 s, of which the server kept 0.36 s: what comes next goes where it sounded,
  // to within a turn, after the 4.14 s dropped.
  lost = 4.14 * 16000;
  EXPECT_EQ(turn(read + 4.5, 0), 0u);
  EXPECT_NEAR(static_cast<double>(turn(read + 0.25, 0)), lost, 4000);
}

// A server frozen for three seconds: its first piece after the thaw looks like a resumption after a
// gap, but it then renders the stretch it missed, at twice real time. What would run ahead of the
// clock over the silence put in is dropped, and only that silence.
TEST(Timeline, AudioOverSilencePutInShortlyBeforeIsDropped) {
  platform::pulse::Timeline timeline(16000, 0.0);
  EXPECT_EQ(timeline.silenceBefore(1600, 0.1, true, 0), 0u);
  EXPECT_EQ(timeline.silenceBefore(80, 3.1, true, 0), 47920u);
  EXPECT_EQ(timeline.overlap(16000, 3.6), 8000u);
  timeline.silenceBeforeLate(8000, 3.5, 3.6, false, 0);
  EXPECT_EQ(timeline.overlap(16000, 4.1), 8000u);
  timeline.silenceBeforeLate(8000, 4.0, 4.1, false, 0);
  EXPECT_EQ(timeline.overlap(40000, 6.2), 0u);  // owed for two seconds after the last drop, no more
  // Audio ahead of the clock with nothing put in before it is never dropped; nor audio a little
  // ahead after a gap (the first audio's own lateness inflated the gap).
  platform::pulse::Timeline fresh(16000, 0.0);
  EXPECT_EQ(fresh.overlap(16000, 0.5), 0u);
  EXPECT_EQ(fresh.silenceBefore(1600, 1.1, true, 0), 16000u);
  EXPECT_EQ(fresh.overlap(1600 + 3200, 1.3), 0u);
}

}  // namespace
