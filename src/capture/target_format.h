#pragma once

#include <cstdint>

// The format asked of the capture service and stored in the output file.
constexpr double TARGET_SAMPLE_RATE = 16000.0;
constexpr uint32_t TARGET_CHANNEL_COUNT = 1;
