#include "platform/pulse/playing_streams.h"

#include <utility>

namespace platform::pulse {

bool PlayingStreams::lookUnderWay() const {
  // A look that the library cancelled (the connection died) answers no more.
  return look_ && pa_operation_get_state(look_) == PA_OPERATION_RUNNING;
}

void PlayingStreams::lookAt(pa_context* context, uint32_t sinkIndex) {
  context_ = context;
  sinkIndex_ = sinkIndex;
  if (lookUnderWay()) {
    lookAgain_ = true;
    return;
  }
  if (look_) pa_operation_unref(look_);
  playing_ = 0;
  lookAgain_ = false;
  look_ = pa_context_get_sink_input_info_list(context, onSinkInput, this);
}

void PlayingStreams::forget() {
  if (look_) {
    if (lookUnderWay()) pa_operation_cancel(look_);
    pa_operation_unref(look_);
    look_ = nullptr;
  }
  known_.reset();
  lookAgain_ = false;
}

void PlayingStreams::onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
  auto* streams = static_cast<PlayingStreams*>(self);
  if (eol == 0) {
    if (info->sink == streams->sinkIndex_ && !info->corked) ++streams->playing_;
    return;
  }
  if (eol > 0) {  // an error answers nothing: what was known holds until the next look
    const bool playing = streams->playing_ > 0;
    if (streams->known_ != playing) {
      streams->known_ = playing;
      streams->onChange_(playing);
    }
  }
  if (streams->lookAgain_) {
    pa_operation_unref(std::exchange(streams->look_, nullptr));
    streams->lookAt(streams->context_, streams->sinkIndex_);
  }
}

}  // namespace platform::pulse
