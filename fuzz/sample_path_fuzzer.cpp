// Feeds the sample path arbitrary sample buffers: any stream description, sample count, data block
// and defect, muted or not. Nothing may crash or touch memory out of bounds.
//
// Input layout: 40 bytes of stream description, 8 bytes of sample count, 1 byte of switches, then
// the data block.
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/system_audio_capture.h"
#include "scripted_service.h"

namespace {

struct Harness {
  Harness() {
    // /dev/null takes every valid buffer without filling a disk.
    capture = std::make_shared<SystemAudioCapture>("/dev/null");
    capture->start();
    stream = scripted::lastStream();
  }
  std::shared_ptr<SystemAudioCapture> capture;
  std::shared_ptr<scripted::ScriptedStream> stream;
};

enum Switch : uint8_t {
  kInvalid = 1 << 0,
  kNoFormat = 1 << 1,
  kNoData = 1 << 2,
  kBadPointer = 1 << 3,
  kMuted = 1 << 4,
  kScreen = 1 << 5,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness();  // lives for the whole run, as the tool's capture does
  constexpr size_t kHeader = sizeof(platform::StreamBasicDescription) + sizeof(int64_t) + 1;
  if (size < kHeader) return 0;

  platform::StreamBasicDescription description;
  std::memcpy(&description, data, sizeof description);
  int64_t frames;
  std::memcpy(&frames, data + sizeof description, sizeof frames);
  const uint8_t switches = data[kHeader - 1];
  const scripted::Defects defects{.invalid = (switches & kInvalid) != 0,
                                  .noFormat = (switches & kNoFormat) != 0,
                                  .noData = (switches & kNoData) != 0,
                                  .pointerStatus = (switches & kBadPointer) ? -12700 : 0};

  harness->capture->setMuted(switches & kMuted);
  harness->stream->push(
      std::make_shared<const scripted::DefectiveBuffer>(
          description, frames, std::vector<uint8_t>(data + kHeader, data + size), defects),
      (switches & kScreen) ? platform::StreamOutputType::screen
                           : platform::StreamOutputType::audio);
  harness->stream->drain();
  return 0;
}
