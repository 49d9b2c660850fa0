// The library's operations whose replies are still to reach an object: cancelled when it goes, so
// that no reply finds it gone.
#pragma once

#include <pulse/operation.h>

#include <algorithm>
#include <vector>

namespace platform::pulse {

class Operations {
 public:
  Operations() = default;
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;
  ~Operations() { cancelAll(); }

  // Keeps an operation; false if it could not be asked for (nullptr).
  bool track(pa_operation* operation) {
    if (!operation) return false;
    std::erase_if(operations_, [](pa_operation* done) {
      if (pa_operation_get_state(done) == PA_OPERATION_RUNNING) return false;
      pa_operation_unref(done);
      return true;
    });
    operations_.push_back(operation);
    return true;
  }

  void cancelAll() {
    for (pa_operation* operation : operations_) {
      if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
      pa_operation_unref(operation);
    }
    operations_.clear();
  }

 private:
  std::vector<pa_operation*> operations_;
};

}  // namespace platform::pulse
