#include "platform/pulse/path/capture_path.h"

#include <algorithm>
#include <cmath>

namespace platform::pulse {
namespace {

// The monitor records where at least this many bits of the output's samples are left after its
// levels: 11 bits keep noise and distortion 66 dB below a full-scale sound, past the 60 dB a
// recording of speech or music needs. A 16-bit output may be turned down to about -30 dB.
constexpr int kBitsKept = 11;
// Its stand-in (for a capture not placed yet) is raised while at least this many are left: noisy,
// but at the sound's level, which serves a moment's stand-in better than a sound 60 dB down.
constexpr int kBitsWorthRaising = 4;

}  // namespace

CapturePath choosePath(const ServerView& view, uint32_t sink, const std::string& source) {
  const auto output = std::find_if(view.outputs.begin(), view.outputs.end(),
                                   [sink](const OutputLevel& level) { return level.sink == sink; });
  const auto monitor =
      std::find_if(view.monitors.begin(), view.monitors.end(),
                   [&source](const MonitorLevel& level) { return level.source == source; });
  if (output == view.outputs.end() || monitor == view.monitors.end()) return CapturePath{};
  CapturePath path{.known = true};
  const double level = output->level * monitor->level;
  if (level <= 0) {  // muted: nothing to undo, nothing to stand in with
    path.monitorSounds = false;
    return path;
  }
  const int bitsLost = static_cast<int>(std::ceil(-std::log2(std::min(level, 1.0)) - 1e-9));
  const int bitsLeft = output->bits - bitsLost;
  if (bitsLeft >= kBitsWorthRaising) path.undo = 1 / level;
  path.monitorRecords =
      bitsLeft >= kBitsKept && level <= 1 && output->balanced && monitor->balanced;
  return path;
}

}  // namespace platform::pulse
