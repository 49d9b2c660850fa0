// A scripted stand-in for the capture service, for the failures a real sound server cannot be made
// to produce. Tests set the script, run the code under test, and drive the stream it made.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/capture_service.h"

namespace scripted {

struct Script {
  std::vector<platform::Display> displays{{1, "out", "Output", "out.monitor"}};
  std::optional<platform::Error> contentError;
  bool contentWithError = false;  // the content arrives together with contentError
  bool noContent = false;         // neither content nor error
  std::optional<platform::Error> audioOutputError;
  bool refuseAudioOutputSilently = false;  // refused without an error
  std::optional<platform::Error> screenOutputError;
  std::optional<platform::Error> startError;
  std::optional<platform::Error> stopError;
  bool holdStart = false;  // the start completes only once the test releases it
};

// The script for the next content query and stream. Reset by reset().
Script& script();
void reset();

class ScriptedStream final : public platform::Stream {
 public:
  ScriptedStream(const platform::ContentFilter& filter,
                 const platform::StreamConfiguration& configuration,
                 std::weak_ptr<platform::StreamDelegate> delegate, Script script);

  void startCapture(platform::CompletionHandler handler) override;
  void stopCapture(platform::CompletionHandler handler) override;

  // Hands a buffer to the output of its type, on that output's queue, as the service would.
  void push(platform::SampleBuffer buffer,
            platform::StreamOutputType type = platform::StreamOutputType::audio);
  void push(std::shared_ptr<const platform::SampleBuffer> buffer,
            platform::StreamOutputType type = platform::StreamOutputType::audio);
  // Returns once every buffer pushed so far has been handled by its output.
  void drain();
  // Ends the running stream as the service would on a failure.
  void fail(const platform::Error& error) { reportStop(error); }
  // Completes a held start.
  void releaseStart();

  using platform::Stream::configuration;
  using platform::Stream::filter;
  std::vector<platform::StreamOutputType> outputsAdded() const;
  int startRequests() const;
  int stopRequests() const;

 private:
  std::optional<platform::Error> acceptOutput(platform::StreamOutputType type) override;

  const Script script_;
  mutable std::mutex mutex_;
  std::vector<platform::StreamOutputType> outputsAdded_;
  int startRequests_ = 0;
  int stopRequests_ = 0;
  platform::CompletionHandler heldStart_;
};

// The stream made last, if any.
std::shared_ptr<ScriptedStream> lastStream();
// Waits (with a generous limit) until a stream has been made and its start requested.
std::shared_ptr<ScriptedStream> awaitStartedStream();

}  // namespace scripted
