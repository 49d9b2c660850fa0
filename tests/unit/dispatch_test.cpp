// Serial queues and signal sources.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/signal_source.h"

namespace {

using namespace std::chrono_literals;

TEST(DispatchQueue, RunsItemsOneAtATimeInOrderAndSyncWaitsForEarlierOnes) {
  platform::DispatchQueue queue("test.order");
  std::vector<int> seen;  // touched only on the queue, and read after sync
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  bool onQueue = false;
  queue.sync([&] { onQueue = queue.isCurrent(); });
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(DispatchQueue, SyncForGivesUpOnABlockedQueueAndTheItemStillRuns) {
  platform::DispatchQueue queue("test.bounded");
  std::atomic<bool> release{false};
  std::atomic<bool> ran{false};
  queue.async([&] {
    while (!release) std::this_thread::sleep_for(1ms);
  });
  EXPECT_FALSE(queue.syncFor([&] { ran = true; }, 50ms));
  release = true;
  EXPECT_TRUE(queue.syncFor([] {}, 60s));
  EXPECT_TRUE(ran);
}

// Arrivals from any thread run the handler on the queue's own thread, never lose the last arrival,
// and never run the signal's default action (which would end this test process).
TEST(SignalSource, ArrivalsRunTheHandlerOnTheQueue) {
  // Armed sources are never cancelled: like the tool's, they and their queue live for good.
  static auto& queue = *new platform::DispatchQueue("test.signals");
  static std::atomic<int> runs{0};
  static std::atomic<bool> offQueue{false};
  auto& source = *new platform::SignalSource(SIGUSR2, queue);
  source.setEventHandler([] {
    if (!queue.isCurrent()) offQueue = true;
    runs.fetch_add(1);
  });
  source.resume();
  platform::ignoreSignal(SIGUSR2);

  std::thread sender([] {
    for (int i = 0; i < 200; ++i) kill(getpid(), SIGUSR2);
  });
  sender.join();
  // Every arrival so far has at least been seen once it is our turn on the queue.
  for (int i = 0; i < 6000 && runs == 0; ++i) std::this_thread::sleep_for(10ms);
  const int before = runs;
  EXPECT_GE(before, 1);
  raise(SIGUSR2);
  for (int i = 0; i < 6000 && runs == before; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GT(runs, before);
  EXPECT_FALSE(offQueue);
}

}  // namespace
