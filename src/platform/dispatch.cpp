#include "platform/dispatch.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/signal_source.h"

namespace platform {
namespace {

int makeWakeFd() {
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) std::abort();  // no queue can work without it; nothing sensible to fall back to
  return fd;
}

void wake(int fd) {
  uint64_t one = 1;
  while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void waitForWake(int fd) {
  uint64_t count;
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace

DispatchQueue::DispatchQueue(std::string label, ServedByCaller)
    : label_(std::move(label)), wakeFd_(makeWakeFd()) {}

DispatchQueue::DispatchQueue(std::string label)
    : DispatchQueue(std::move(label), ServedByCaller{}) {
  // The queue lives as long as its thread: queues are made once and kept for the process's life,
  // so the thread is detached rather than joined by a destructor that exit() would run.
  std::thread([this] { serve(); }).detach();
}

void DispatchQueue::async(WorkItem item) {
  bool wakeServer;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    wakeServer = serverWaiting_;
    serverWaiting_ = false;
  }
  // Only a sleeping server needs the system call; a busy one finds the item on its next pass.
  if (wakeServer) wake(wakeFd_);
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
  struct State {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  async([state, item = std::move(item)] {
    item();
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->condition.notify_one();
  });
  std::unique_lock lock(state->mutex);
  return state->condition.wait_for(lock, timeout, [&] { return state->done; });
}

bool DispatchQueue::isCurrent() const {
  return std::this_thread::get_id() == servingThread_;
}

void DispatchQueue::attach(SignalSource* source) {
  std::lock_guard lock(mutex_);
  sources_.push_back(source);
}

void DispatchQueue::wakeFromSignal() {
  wake(wakeFd_);
}

void DispatchQueue::serve() {
  servingThread_ = std::this_thread::get_id();
  std::vector<SignalSource*> sources;
  for (;;) {
    WorkItem item;
    {
      std::lock_guard lock(mutex_);
      sources = sources_;
      if (!items_.empty()) {
        item = std::move(items_.front());
        items_.pop_front();
      } else {
        serverWaiting_ = true;
      }
    }
    for (SignalSource* source : sources) source->fireIfPending();
    if (item) {
      item();
    } else {
      waitForWake(wakeFd_);
    }
  }
}

DispatchQueue& mainQueue() {
  // Never destroyed: threads may still submit to it while exit() runs static destructors.
  static DispatchQueue* queue = new DispatchQueue("main", DispatchQueue::ServedByCaller{});
  return *queue;
}

DispatchQueue& backgroundQueue() {
  static DispatchQueue* queue = new DispatchQueue("background");
  return *queue;
}

void dispatchMain() {
  mainQueue().serve();
  std::abort();  // serve() never returns
}

}  // namespace platform
