// One record stream of the server's, on a source: made, run, corked and let go of. What it sends
// is collected as it comes, mixed to the recording's channels, until its owner takes it.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/media.h"
#include "platform/pulse/downmix.h"

namespace platform::pulse {

class RecordStream {
 public:
  // Each runs on the loop's thread, under its lock.
  struct Handlers {
    std::function<void()> ready;       // the stream runs
    std::function<void(int)> failed;   // the server ended it, with the library's error code
    std::function<void()> terminated;  // it ended without an error (disconnected, or killed)
    std::function<void()> moved;       // the server moved it to another source
  };

  // `frames` describes the recording's frames, which the stream's are mixed to.
  RecordStream(pa_context* context, const StreamBasicDescription& frames, Handlers handlers);
  // Disconnects, if need be: no handler runs afterwards.
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Records `source`; a non-zero library error code if the stream cannot even be asked for.
  int connect(const std::string& source);
  bool running() const;
  void setCorked(bool corked);
  bool corked() const { return corked_; }
  // Collects whatever the library holds of the stream's audio.
  void read();
  // What was collected since the last take, in the recording's frames (whole ones at the front).
  std::vector<uint8_t>& collected() { return collected_; }
  // From now on what the stream sends is dropped: the recording has ended.
  void stopCollecting() { collecting_ = false; }
  // A round trip to the server: what it has sent before the answer has arrived with it.
  pa_operation* updateTiming(pa_stream_success_cb_t callback, void* userdata);
  // Asks the server to end the stream; `terminated` runs once it has.
  void disconnect();

 private:
  static void onState(pa_stream* stream, void* self);
  static void onRead(pa_stream* stream, size_t, void* self);
  static void onMoved(pa_stream*, void* self);
  // The state callback of a stream let go of while the server was still making it.
  static void endOnceRunning(pa_stream* stream, void*);
  // The stream runs: what it delivers is read in the layout the server gave it.
  void takeLayout();

  const StreamBasicDescription frames_;
  const Handlers handlers_;
  pa_stream* stream_ = nullptr;
  int madeError_ = 0;  // why the stream could not be made
  Downmix downmix_;
  std::vector<uint8_t> collected_;
  bool collecting_ = true;
  bool corked_ = false;
};

}  // namespace platform::pulse
