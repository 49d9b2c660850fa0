// Serial work queues standing for the platform's dispatch queues: the main queue served by the main
// thread, private serial queues with a thread of their own, and a shared background queue.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(WorkItem item);
  // Runs the item on the queue and waits for it. Must not be called from the queue itself.
  void sync(const WorkItem& item);
  // As sync, but gives up waiting after the timeout; the item still runs later. True if it ran.
  bool syncFor(WorkItem item, std::chrono::milliseconds timeout);

  bool isCurrent() const;

  // Wakes the serving thread so that it looks at its signal sources. Async-signal-safe.
  void wakeFromSignal();

 private:
  friend DispatchQueue& mainQueue();
  friend class SignalSource;
  friend void dispatchMain();

  struct ServedByCaller {};
  DispatchQueue(std::string label, ServedByCaller);

  void serve();  // runs work items forever on the calling thread
  void attach(SignalSource* source);

  std::string label_;
  int wakeFd_;  // eventfd: work items and signal arrivals wake the serving thread through it
  std::mutex mutex_;
  std::deque<WorkItem> items_;
  bool serverWaiting_ = false;
  std::vector<SignalSource*> sources_;
  std::atomic<std::thread::id> servingThread_;
};

}  // namespace platform
