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

}  // namespace scripted
