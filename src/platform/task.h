// Asynchronous tasks and their suspension until a completion handler has been called.
#pragma once

#include <functional>
#include <future>
#include <memory>

namespace platform {

// Runs the body on a thread of its own, apart from every queue. The caller neither waits for it nor
// keeps a handle.
void runTask(std::function<void()> body);

// Suspends the calling task until the operation calls the handler it was given, then returns the
// value the handler was called with. The handler may be called on any thread, once.
template <typename T>
T awaitCompletion(const std::function<void(std::function<void(T)>)>& operation) {
  auto promise = std::make_shared<std::promise<T>>();
  std::future<T> future = promise->get_future();
  operation([promise](T value) { promise->set_value(std::move(value)); });
  return future.get();
}

}  // namespace platform
