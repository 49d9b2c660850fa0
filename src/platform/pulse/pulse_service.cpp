// The capture service on a PulseAudio (or PipeWire's PulseAudio-compatible) sound server.
#include "platform/pulse/pulse_service.h"

namespace platform {

const CaptureServiceOps& captureService() {
  static const CaptureServiceOps ops{
      "pulse",
      pulse::getShareableContent,
      pulse::makeStream,
  };
  return ops;
}

}  // namespace platform
