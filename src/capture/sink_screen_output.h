#pragma once

#include "platform/capture_service.h"

// Receives the stream's video samples and drops them: only the audio is recorded.
class SinkScreenOutput final : public platform::StreamOutput {
 public:
  void stream(platform::Stream&, const platform::SampleBuffer&,
              platform::StreamOutputType) override {}
};
