#include "platform/dispatch.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/arrival_order.h"
#include "platform/signal_source.h"
#include "platform/threads.h"

namespace platform {

struct DispatchQueue::State {
  State() : wakeFd(eventfd(0, EFD_CLOEXEC)) {
    if (wakeFd < 0) std::abort();  // no queue can work without it; nothing to fall back to
  }
  ~State() { close(wakeFd); }

  void wake() {
    uint64_t one = 1;
    while (write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  // Waits for the wake, or for the watched descriptor's reader to go. True for the latter.
  bool waitForWake(int watched) {
    // Asking for no event still reports a hang-up, and nothing else: a pipe with room, or a socket
    // its reader has read from, does not end the wait.
    struct pollfd fds[2] = {{wakeFd, POLLIN, 0}, {watched, 0, 0}};
    while (poll(fds, watched >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    return watched >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL));
  }

  static void fireArrivals(const std::vector<SignalSource*>& armed) {
    fireInArrivalOrder(
        armed, [] { return SignalSource::arrivals(); },
        [](SignalSource* source) { return source->takeArrival(); },
        [](SignalSource* source) { source->fire(); });
  }

  // Runs items until the queue is ended (never, for the main queue). What waits is taken in one
  // go: a queue that has fallen behind takes its lock once for all of it, not once per item, and
  // leaves the lock free for those who submit more.
  void serve() {
    servingThread = std::this_thread::get_id();
    std::vector<SignalSource*> armed;
    std::deque<WorkItem> batch;
    for (;;) {
      int watched;
      {
        std::lock_guard lock(mutex);
        if (ended) return;
        armed = sources;
        watched = hangUpFd;
        if (!items.empty()) {
          batch.swap(items);
        } else {
          serverWaiting = true;
        }
      }
      if (batch.empty()) {
        fireArrivals(armed);
        if (waitForWake(watched)) {
          WorkItem handler;
          {
            std::lock_guard lock(mutex);
            hangUpFd = -1;
            handler.swap(onHangUp);
          }
          if (handler) handler();
        }
        continue;
      }
      while (!batch.empty() && !ended) {
        fireArrivals(armed);
        WorkItem item = std::move(batch.front());
        batch.pop_front();
        itemsInHand = batch.size();
        item();
      }
      batch.clear();  // what an end left unstarted
      itemsInHand = 0;
    }
  }

  const int wakeFd;  // work items, signal arrivals and the end wake the serving thread through it
  std::mutex mutex;
  std::deque<WorkItem> items;
  bool serverWaiting = false;
  std::atomic<bool> ended = false;  // set under the lock; also read between the items of a batch
  size_t itemsInHand = 0;           // taken from `items`, not yet started; serving thread only
  std::vector<SignalSource*> sources;
  int hangUpFd = -1;  // watched for its reader going away, which runs onHangUp
  WorkItem onHangUp;
  std::atomic<std::thread::id> servingThread;
  std::thread thread;
};

DispatchQueue::DispatchQueue(ServedByCaller) : state_(std::make_shared<State>()) {}

DispatchQueue::DispatchQueue(std::string label) : DispatchQueue(ServedByCaller{}) {
  state_->thread = spawnThread([state = state_, label = std::move(label)] {
    pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());  // as tools show threads
    state->serve();
  });
}

DispatchQueue::~DispatchQueue() {
  std::deque<WorkItem> dropped;
  {
    std::lock_guard lock(state_->mutex);
    state_->ended = true;
    dropped.swap(state_->items);
  }
  state_->wake();
  if (!state_->thread.joinable()) return;
  // Ended from one of its own items: that item finishes, then the thread lets go of the state.
  if (isCurrent()) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

void DispatchQueue::async(WorkItem item) {
  bool wakeServer;
  {
    std::lock_guard lock(state_->mutex);
    state_->items.push_back(std::move(item));
    wakeServer = state_->serverWaiting;
    state_->serverWaiting = false;
  }
  // Only a sleeping server needs the system call; a busy one finds the item on its next pass.
  if (wakeServer) state_->wake();
}

void DispatchQueue::sync(const WorkItem& item) {
  std::mutex doneMutex;
  std::condition_variable doneCondition;
  bool done = false;
  async([&] {
    item();
    std::lock_guard lock(doneMutex);
    done = true;
    doneCondition.notify_one();
  });
  std::unique_lock lock(doneMutex);
  doneCondition.wait(lock, [&] { return done; });
}

bool DispatchQueue::syncFor(WorkItem item, std::chrono::milliseconds timeout) {
  // Shared, since the waiter may give up and return before the item runs.
  struct Done {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  async([done, item = std::move(item)] {
    item();
    std::lock_guard lock(done->mutex);
    done->done = true;
    done->condition.notify_one();
  });
  std::unique_lock lock(done->mutex);
  return done->condition.wait_for(lock, timeout, [&] { return done->done; });
}

bool DispatchQueue::isCurrent() const {
  return std::this_thread::get_id() == state_->servingThread.load();
}

bool DispatchQueue::hasWaitingItems() const {
  if (state_->itemsInHand > 0) return true;
  std::lock_guard lock(state_->mutex);
  return !state_->items.empty();
}

void DispatchQueue::attach(SignalSource* source) {
  std::lock_guard lock(state_->mutex);
  state_->sources.push_back(source);
}

void DispatchQueue::watchHangUp(int fd, WorkItem handler) {
  {
    std::lock_guard lock(state_->mutex);
    state_->hangUpFd = fd;
    state_->onHangUp = std::move(handler);
  }
  state_->wake();  // a serving thread asleep already starts watching it
}

void DispatchQueue::wakeFromSignal() {
  state_->wake();
}

DispatchQueue& mainQueue() {
  // Never destroyed: threads may still submit to it while exit() runs static destructors.
  static DispatchQueue* queue = new DispatchQueue(DispatchQueue::ServedByCaller{});
  return *queue;
}

DispatchQueue& backgroundQueue() {
  static DispatchQueue* queue = new DispatchQueue("background");
  return *queue;
}

void dispatchMain() {
  mainQueue().state_->serve();
  std::abort();  // the main queue is never ended
}

}  // namespace platform
