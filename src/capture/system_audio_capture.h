// The one object that owns a system-audio recording: the output path, the capture stream while it
// runs, the file being written, the serial queue all sample handling happens on, and the mute flag.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/audio_file.h"
#include "platform/capture_service.h"
#include "platform/dispatch.h"

class SystemAudioCapture final : public platform::StreamOutput,
                                 public platform::StreamDelegate,
                                 public std::enable_shared_from_this<SystemAudioCapture> {
 public:
  // Touches neither the file system nor the capture service: the file is created by the first
  // audio buffer.
  explicit SystemAudioCapture(std::string outputURL);

  // Brings the capture stream up and keeps it. Blocks the calling task until the stream runs;
  // throws the service's error, or CLIError when there is nothing to capture. Never call on queue.
  void start();
  // Returns at once. The new value holds for the audio that sounds from now on: what the service
  // holds from before is handed to the queue first, then the value.
  void setMuted(bool muted);
  // Stops the stream, if any, and closes the file once every buffer already queued is written.
  // Never fails. Blocks the calling task; never call on queue.
  void stop();

  // Sample buffers, on queue.
  void stream(platform::Stream& stream, const platform::SampleBuffer& sampleBuffer,
              platform::StreamOutputType type) override;
  // The service ended the stream by itself: one line, the file closed, status 2.
  void streamDidStopWithError(platform::Stream& stream, const platform::Error& error) override;

 private:
  void closeFile();          // on queue
  void flushWhenCaughtUp();  // on queue

  const std::string outputURL_;
  // Fields below are touched only on queue_. The stream is handed from start to stop there too,
  // since those run on different tasks.
  std::shared_ptr<platform::Stream> stream_;
  // The running stream for setMuted, which must not wait for the queue: set once, after stream_,
  // which keeps it alive for good.
  std::atomic<platform::Stream*> runningStream_ = nullptr;
  std::unique_ptr<platform::AudioFile> audioFile_;
  // Set once the file has been closed for good, so that a buffer arriving after the stop cannot
  // create the file again and replace the recording.
  bool fileClosed_ = false;
  bool muted_ = false;
  bool flushQueued_ = false;  // a flush of gathered buffers waits on the queue
  const std::unique_ptr<platform::DispatchQueue> queue_;
};
