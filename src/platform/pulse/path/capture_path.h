// What the recording of an output is made from. The output's monitor is the cheap source: the
// server renders it anyway, and only what the output's and the monitor's volume and mute took
// away is missing from it, which the watch knows and the monitor's frames are scaled back by.
// That holds while what is left still carries the sound as played: not muted, not boosted past
// full scale (the output clips), the same volume on every channel (a balance cannot be undone
// once the channels are mixed to one), and enough of the output's bits left (a 16-bit output at a
// tenth keeps six). Elsewhere each application's stream is captured on its own, which the server
// copies out once more for each.
#pragma once

#include <cstdint>
#include <string>

#include "platform/pulse/connection/server_watch.h"

namespace platform::pulse {

struct CapturePath {
  bool monitorRecords = false;  // the monitor alone, its levels undone; else per-stream captures
  // What the monitor's frames are scaled by wherever they go into the file, the monitor's own
  // stand-ins included: 1 where nothing can be undone (muted, or too few bits left to be worth
  // raising).
  double undo = 1;
  // Whether the monitor has any of the sound: a muted output or monitor has none, and standing in
  // for a capture there would silence the streams that other captures still carry.
  bool monitorSounds = true;
  // Whether the levels of the output and of its monitor are known; until then the captures record.
  bool known = false;

  bool operator==(const CapturePath&) const = default;
};

// The path for the output `sink`, whose monitor is `source`, as `view` lists their levels.
CapturePath choosePath(const ServerView& view, uint32_t sink, const std::string& source);

}  // namespace platform::pulse
