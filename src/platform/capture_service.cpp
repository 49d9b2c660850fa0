#include "platform/capture_service.h"

#include "platform/dispatch.h"

namespace platform {

bool Stream::addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                             DispatchQueue& queue, std::optional<Error>* error) {
  if (std::optional<Error> refusal = acceptOutput(type)) {
    if (error) *error = std::move(refusal);
    return false;
  }
  outputs_[type] = Output{std::move(output), &queue};
  return true;
}

void Stream::deliver(std::shared_ptr<const SampleBuffer> buffer, StreamOutputType type) {
  auto found = outputs_.find(type);
  if (found == outputs_.end()) return;
  // The work item keeps the stream and the output alive until it has run.
  found->second.queue->async([self = shared_from_this(), output = found->second.output,
                              buffer = std::move(buffer),
                              type] { output->stream(*self, *buffer, type); });
}

void Stream::deliver(std::vector<std::shared_ptr<const SampleBuffer>> buffers,
                     StreamOutputType type) {
  auto found = outputs_.find(type);
  if (found == outputs_.end()) return;
  found->second.queue->async(
      [self = shared_from_this(), output = found->second.output, buffers = std::move(buffers),
       type] {
        for (const auto& buffer : buffers) output->stream(*self, *buffer, type);
      });
}

void Stream::reportStop(const Error& error) {
  if (std::shared_ptr<StreamDelegate> delegate = delegate_.lock()) {
    delegate->streamDidStopWithError(*this, error);
  }
}

}  // namespace platform
