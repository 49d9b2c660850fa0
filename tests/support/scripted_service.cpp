#include "scripted_service.h"

#include <chrono>

#include "platform/dispatch.h"

namespace scripted {
namespace {

// Never destroyed: the tool exits while a thread may still wait on them, and destroying a condition
// variable that has a waiter blocks the exit.
std::mutex& stateMutex = *new std::mutex;
std::condition_variable& stateChanged = *new std::condition_variable;
Script& currentScript = *new Script;
std::shared_ptr<ScriptedStream>& newestStream = *new std::shared_ptr<ScriptedStream>;

void getContent(bool, bool, platform::ContentHandler handler) {
  Script now;
  {
    std::lock_guard lock(stateMutex);
    now = currentScript;
  }
  if (now.noContent) return handler(nullptr, std::nullopt);
  auto content = std::make_shared<platform::ShareableContent>();
  content->displays = now.displays;
  if (now.contentError) return handler(now.contentWithError ? content : nullptr, now.contentError);
  handler(content, std::nullopt);
}

std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                             const platform::StreamConfiguration& configuration,
                                             std::weak_ptr<platform::StreamDelegate> delegate) {
  std::lock_guard lock(stateMutex);
  newestStream =
      std::make_shared<ScriptedStream>(filter, configuration, std::move(delegate), currentScript);
  return newestStream;
}

}  // namespace

Script& script() {
  return currentScript;
}

void reset() {
  std::lock_guard lock(stateMutex);
  currentScript = Script{};
  newestStream.reset();
}

ScriptedStream::ScriptedStream(const platform::ContentFilter& filter,
                               const platform::StreamConfiguration& configuration,
                               std::weak_ptr<platform::StreamDelegate> delegate, Script script)
    : platform::Stream(filter, configuration, std::move(delegate)), script_(std::move(script)) {}

std::optional<platform::Error> ScriptedStream::acceptOutput(platform::StreamOutputType type) {
  const bool audio = type == platform::StreamOutputType::audio;
  std::optional<platform::Error> refusal =
      audio ? script_.audioOutputError : script_.screenOutputError;
  if (audio && script_.refuseAudioOutputSilently) {
    refusal = platform::Error("scripted", 0, "");
  }
  if (!refusal) {
    std::lock_guard lock(mutex_);
    outputsAdded_.push_back(type);
  }
  return refusal;
}

void ScriptedStream::startCapture(platform::CompletionHandler handler) {
  {
    std::lock_guard lock(mutex_);
    ++startRequests_;
    if (script_.holdStart) heldStart_ = std::move(handler);
  }
  {
    std::lock_guard lock(stateMutex);
  }  // so that a waiter between its check and its sleep hears it
  stateChanged.notify_all();
  if (!script_.holdStart) handler(script_.startError);
}

void ScriptedStream::releaseStart() {
  platform::CompletionHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = std::move(heldStart_);
  }
  if (handler) handler(script_.startError);
}

void ScriptedStream::stopCapture(platform::CompletionHandler handler) {
  {
    std::lock_guard lock(mutex_);
    ++stopRequests_;
  }
  handler(script_.stopError);
}

void ScriptedStream::push(platform::SampleBuffer buffer, platform::StreamOutputType type) {
  push(std::make_shared<const platform::SampleBuffer>(std::move(buffer)), type);
}

void ScriptedStream::push(std::shared_ptr<const platform::SampleBuffer> buffer,
                          platform::StreamOutputType type) {
  deliver(std::move(buffer), type);
}

void ScriptedStream::drain() {
  if (platform::DispatchQueue* queue = outputQueue(platform::StreamOutputType::audio)) {
    queue->sync([] {});
  }
}

std::vector<platform::StreamOutputType> ScriptedStream::outputsAdded() const {
  std::lock_guard lock(mutex_);
  return outputsAdded_;
}

int ScriptedStream::startRequests() const {
  std::lock_guard lock(mutex_);
  return startRequests_;
}

int ScriptedStream::stopRequests() const {
  std::lock_guard lock(mutex_);
  return stopRequests_;
}

std::shared_ptr<ScriptedStream> lastStream() {
  std::lock_guard lock(stateMutex);
  return newestStream;
}

std::shared_ptr<ScriptedStream> awaitStartedStream() {
  std::unique_lock lock(stateMutex);
  std::shared_ptr<ScriptedStream> stream;
  stateChanged.wait_for(lock, std::chrono::seconds(30), [&] {
    stream = newestStream;
    return stream && stream->startRequests() > 0;
  });
  return stream;
}

}  // namespace scripted

namespace platform {

const CaptureServiceOps& captureService() {
  static const CaptureServiceOps ops{"scripted", scripted::getContent, scripted::makeStream};
  return ops;
}

}  // namespace platform
