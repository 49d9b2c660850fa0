// The system-audio capture service: what can be captured (displays, which stand for the sound
// server's outputs), a filter on one of them, a stream configuration, and a stream that delivers
// sample buffers to its outputs and reports its end to its delegate.
//
// Exactly one backend is linked into a program; it provides getShareableContent() and
// Stream::make(), and its streams derive from Stream.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/media.h"

namespace platform {

class DispatchQueue;
class Stream;

// The domain of the stream errors of the service itself (as opposed to those of the library a
// backend is built on); a start that fails with one of them was refused the capture.
constexpr char kStreamErrorDomain[] = "tarn.capture-service.stream";

// Something that can be captured. For the sound server: one output device, captured through the
// monitor of what it plays.
struct Display {
  uint32_t displayID = 0;
  std::string name;         // the device's name
  std::string description;  // its human-readable name
  std::string source;       // what a capture of it records: the output's monitor
};

struct ShareableContent {
  std::vector<Display> displays;  // in the service's order, the default output first
};

struct Window {};

class ContentFilter {
 public:
  ContentFilter(Display display, std::vector<Window> excludedWindows)
      : display_(std::move(display)), excludedWindows_(std::move(excludedWindows)) {}
  const Display& display() const { return display_; }

 private:
  Display display_;
  std::vector<Window> excludedWindows_;
};

class StreamConfiguration {
 public:
  void setCapturesAudio(bool value) { capturesAudio_ = value; }
  void setSampleRate(int64_t value) { sampleRate_ = value; }
  void setChannelCount(int64_t value) { channelCount_ = value; }
  void setExcludesCurrentProcessAudio(bool value) { excludesCurrentProcessAudio_ = value; }
  void setWidth(uint64_t value) { width_ = value; }
  void setHeight(uint64_t value) { height_ = value; }
  void setMinimumFrameInterval(Time value) { minimumFrameInterval_ = value; }

  bool capturesAudio() const { return capturesAudio_; }
  int64_t sampleRate() const { return sampleRate_; }
  int64_t channelCount() const { return channelCount_; }
  bool excludesCurrentProcessAudio() const { return excludesCurrentProcessAudio_; }
  uint64_t width() const { return width_; }
  uint64_t height() const { return height_; }
  Time minimumFrameInterval() const { return minimumFrameInterval_; }

 private:
  bool capturesAudio_ = false;
  int64_t sampleRate_ = 48000;
  int64_t channelCount_ = 2;
  bool excludesCurrentProcessAudio_ = false;
  uint64_t width_ = 1920;
  uint64_t height_ = 1080;
  Time minimumFrameInterval_{0, 1};
};

enum class StreamOutputType : int { screen = 0, audio = 1 };

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // One sample buffer, valid for the call, on the queue given with the output.
  virtual void stream(Stream& stream, const SampleBuffer& sampleBuffer, StreamOutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // The service ended a running stream by itself. Called on a thread of the service.
  virtual void streamDidStopWithError(Stream& stream, const Error& error) = 0;
};

using ContentHandler = std::function<void(std::shared_ptr<ShareableContent>, std::optional<Error>)>;
using CompletionHandler = std::function<void(std::optional<Error>)>;

class Stream : public std::enable_shared_from_this<Stream> {
 public:
  // The stream holds the outputs it is given and only a weak reference to its delegate. Made by the
  // backend.
  static std::shared_ptr<Stream> make(const ContentFilter& filter,
                                      const StreamConfiguration& configuration,
                                      std::weak_ptr<StreamDelegate> delegate);
  virtual ~Stream() = default;

  // From now on every sample buffer of that type goes to the output, one at a time, on the queue.
  // False with the error when the stream refuses it. Outputs are added before the capture starts.
  bool addStreamOutput(std::shared_ptr<StreamOutput> output, StreamOutputType type,
                       DispatchQueue& queue, std::optional<Error>* error);

  // The handler is called once: without an error when the capture runs, or with the error that
  // prevented it.
  virtual void startCapture(CompletionHandler handler) = 0;
  // The handler is called once, after which no further sample buffer is delivered.
  virtual void stopCapture(CompletionHandler handler) = 0;
  // Hands every sample buffer the service has received for the stream so far to the outputs'
  // queues, then calls `then` (on a thread of the service). Never waits: for a caller that must
  // not, and that needs what comes after it kept apart from what came before (a mute). A service
  // that hands over every buffer as it comes calls `then` at once.
  virtual void handOverHeldBuffers(std::function<void()> then) { then(); }

 protected:
  Stream(ContentFilter filter, StreamConfiguration configuration,
         std::weak_ptr<StreamDelegate> delegate)
      : filter_(std::move(filter)),
        configuration_(std::move(configuration)),
        delegate_(std::move(delegate)) {}

  // For backends: whether an output of that type may be added; an error refuses it.
  virtual std::optional<Error> acceptOutput(StreamOutputType type) {
    (void)type;
    return std::nullopt;
  }
  // For backends: hands a buffer to the output of its type, in order, on that output's queue.
  // Buffers of a type that has no output are dropped.
  void deliver(std::shared_ptr<const SampleBuffer> buffer, StreamOutputType type);
  // As one work item, so that the queue wakes once for all of them: still one at a time, in order.
  void deliver(std::vector<std::shared_ptr<const SampleBuffer>> buffers, StreamOutputType type);
  // For backends: the queue of the output of that type, if there is one.
  DispatchQueue* outputQueue(StreamOutputType type) const {
    auto found = outputs_.find(type);
    return found == outputs_.end() ? nullptr : found->second.queue;
  }
  // For backends: tells the delegate, if it is still there, that the stream ended by itself.
  void reportStop(const Error& error);

  const ContentFilter& filter() const { return filter_; }
  const StreamConfiguration& configuration() const { return configuration_; }

 private:
  struct Output {
    std::shared_ptr<StreamOutput> output;
    DispatchQueue* queue;
  };

  ContentFilter filter_;
  StreamConfiguration configuration_;
  std::weak_ptr<StreamDelegate> delegate_;
  // Written before startCapture and only read afterwards, when the backend's own start has ordered
  // the writes before its first delivery: no lock on the per-buffer path.
  std::map<StreamOutputType, Output> outputs_;
};

// What can be captured: the handler is called once, with the content or with an error, on a thread
// of the service.
void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                         ContentHandler handler);

}  // namespace platform
