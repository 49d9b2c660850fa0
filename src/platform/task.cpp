#include "platform/task.h"

#include <thread>

namespace platform {

void runTask(std::function<void()> body) {
  std::thread(std::move(body)).detach();
}

}  // namespace platform
