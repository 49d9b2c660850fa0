// Serial work queues standing for the platform's dispatch queues: the main queue served by the main
// thread, private serial queues with a thread of their own, and a shared background queue.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class SignalSource;
class DispatchQueue;

// The queue served by the main thread once it calls dispatchMain().
DispatchQueue& mainQueue();
// A process-wide queue for work of the lowest importance.
DispatchQueue& backgroundQueue();
// Hands the calling (main) thread to the main queue for good.
[[noreturn]] void dispatchMain();

class DispatchQueue {
 public:
  using WorkItem = std::function<void()>;

  // A private serial queue with a thread of its own that runs its work items one at a time, in the
  // order submitted.
  explicit DispatchQueue(std::string label);
  // Items not yet started are dropped; the one running finishes on its own.
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  void async(WorkItem item);
  // Runs the item on the queue and waits for it. Must not be called from the queue itself.
  void sync(const WorkItem& item);
  // As sync, but gives up waiting after the timeout; the item still runs later. True if it ran.
  bool syncFor(WorkItem item, std::chrono::milliseconds timeout);

  bool isCurrent() const;

  // From one of the queue's own items: whether more items wait behind it, that is, whether the
  // queue has fallen behind.
  bool hasWaitingItems() const;

  // Runs the handler on the queue, once, when the other end of the descriptor (a pipe, a FIFO or a
  // socket) has been closed: its reader has gone. The serving thread watches it while it waits for
  // work, so that it neither writes nor wakes to find out. One descriptor per queue.
  void watchHangUp(int fd, WorkItem handler);

  // Wakes the serving thread so that it looks at its signal sources. Async-signal-safe.
  void wakeFromSignal();

 private:
  friend DispatchQueue& mainQueue();
  friend class SignalSource;
  friend void dispatchMain();

  struct State;
  struct ServedByCaller {};
  explicit DispatchQueue(ServedByCaller);

  void attach(SignalSource* source);

  // Shared with the serving thread, which may outlive the queue object by the item it is running.
  std::shared_ptr<State> state_;
};

}  // namespace platform
