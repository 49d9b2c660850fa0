// A scripted stand-in for the capture service, for the failures a real sound server cannot be made
// to produce. Tests set the script, run the code under test, and drive the stream it made.
#pragma once

#include <atomic>
#include <functional>

#include "platform/capture_service.h"
#include "platform/dispatch.h"

namespace scripted {

// Set before the start it is for, which reads it.
struct Script {
  std::vector<platform::Display> displays{{1, "out", "Output", "out.monitor"}};
  std::optional<platform::Error> startError;
  std::optional<platform::Error> stopError;
  // Takes the start's completion instead of completing it at once, so that a test can hold it.
  std::function<void(platform::CompletionHandler)> start;
};

// The script for the next content query and stream; reset() restores the default one.
Script& script();
void reset();

class ScriptedStream final : public platform::Stream {
 public:
  ScriptedStream(const platform::ContentFilter& filter, const platform::StreamConfiguration& config,
                 std::weak_ptr<platform::StreamDelegate> delegate)
      : platform::Stream(filter, config, std::move(delegate)) {}
  using platform::Stream::configuration;
  using platform::Stream::filter;

  void startCapture(platform::CompletionHandler handler) override {
    if (script_.start) return script_.start(std::move(handler));
    handler(script_.startError);
  }
  void stopCapture(platform::CompletionHandler handler) override {
    ++stopRequests;
    handler(script_.stopError);
  }
  // Hands a buffer to the output of its type, on that output's queue, as the service would.
  void push(std::shared_ptr<const platform::SampleBuffer> buffer,
            platform::StreamOutputType type = platform::StreamOutputType::audio) {
    deliver(std::move(buffer), type);
  }
  // The audio output's queue, and a wait until every audio buffer pushed so far has been handled.
  platform::DispatchQueue& queue() { return *outputQueue(platform::StreamOutputType::audio); }
  void drain() {
    queue().sync([] {});
  }
  // Ends the running stream as the service would on a failure.
  void fail(const platform::Error& error) { reportStop(error); }

  std::atomic<int> stopRequests = 0;

 private:
  const Script script_ = script();
};

// The stream made last, if any. Not to be called while a start runs.
std::shared_ptr<ScriptedStream> lastStream();

// What a buffer of the platform's may lack, or fail at.
struct Defects {
  bool invalid = false;
  bool noFormat = false;
  bool noData = false;
  int32_t pointerStatus = 0;  // what reading its block reports
};

// A sample buffer with defects; a block that cannot be read has no bytes to give.
struct DefectiveBuffer final : platform::SampleBuffer, platform::BlockBuffer {
  DefectiveBuffer(const platform::StreamBasicDescription& format, int64_t frames,
                  std::vector<uint8_t> data, Defects defects)
      : SampleBuffer(format, frames, std::move(data)),
        BlockBuffer(std::vector<uint8_t>()),
        defects(defects) {}
  bool isValid() const override { return !defects.invalid; }
  const platform::AudioFormatDescription* formatDescription() const override {
    return defects.noFormat ? nullptr : SampleBuffer::formatDescription();
  }
  const platform::BlockBuffer* dataBuffer() const override {
    if (defects.noData) return nullptr;
    return defects.pointerStatus ? this : SampleBuffer::dataBuffer();
  }
  int32_t getDataPointer(size_t, size_t*, size_t*, const uint8_t**) const override {
    return defects.pointerStatus;
  }
  const Defects defects;
};

}  // namespace scripted
