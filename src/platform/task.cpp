#include "platform/task.h"

#include "platform/threads.h"

namespace platform {

void runTask(std::function<void()> body) {
  spawnThread(std::move(body)).detach();
}

}  // namespace platform
