#include "capture/system_audio_capture.h"

#include "platform/process.h"
#include "platform/stderr_line.h"
#include "platform/task.h"

namespace {

// Long enough for any healthy write to finish, short enough that a stuck disk cannot hold the exit.
constexpr std::chrono::milliseconds kCloseOnFailureLimit{1000};

}  // namespace

SystemAudioCapture::SystemAudioCapture(std::string outputURL)
    : outputURL_(std::move(outputURL)),
      queue_(std::make_unique<platform::DispatchQueue>("dev.tarn.desktop.audio-tap")) {}

void SystemAudioCapture::setMuted(bool muted) {
  auto apply = [self = shared_from_this(), muted] {
    self->queue_->async([self, muted] { self->muted_ = muted; });
  };
  if (platform::Stream* stream = runningStream_.load()) {
    stream->handOverHeldBuffers(std::move(apply));
  } else {
    apply();
  }
}

void SystemAudioCapture::stop() {
  std::shared_ptr<platform::Stream> stream;
  queue_->sync([&] { stream = stream_; });
  if (stream) {
    // An error for the stop request changes nothing: the file is closed all the same.
    platform::awaitCompletion<std::optional<platform::Error>>(
        [&](std::function<void(std::optional<platform::Error>)> resume) {
          stream->stopCapture(std::move(resume));
        });
  }
  queue_->sync([this] { closeFile(); });
}

void SystemAudioCapture::closeFile() {
  audioFile_.reset();  // destroying the writer finalises the file
  fileClosed_ = true;
}

void SystemAudioCapture::streamDidStopWithError(platform::Stream&, const platform::Error& error) {
  platform::writeStderrLine("stream stopped with error: " + error.localizedDescription(),
                            platform::kLastLineWait);
  // Buffers already queued are written and the file is finalised before the process ends.
  queue_->syncFor([self = shared_from_this()] { self->closeFile(); }, kCloseOnFailureLimit);
  platform::exitProcess(2);
}
