// Every audio sample buffer: copied into a PCM buffer of its own format, the file created by the
// first one with samples, silenced while muted, and appended to the file.
#include <algorithm>
#include <cstring>
#include <limits>

#include "capture/system_audio_capture.h"
#include "capture/target_format.h"
#include "platform/audio_format.h"
#include "platform/stderr_line.h"

namespace {

platform::AudioFileSettings outputFileSettings() {
  return {
      .formatID = platform::kAudioFormatLinearPCM,
      .sampleRate = TARGET_SAMPLE_RATE,
      .numberOfChannels = TARGET_CHANNEL_COUNT,
      .linearPCMBitDepth = 16,
      .linearPCMIsFloat = false,
      .linearPCMIsBigEndian = false,
      .linearPCMIsNonInterleaved = false,
  };
}

// Zeroes every channel of a float buffer over its frame length. Other sample types are left as they
// are.
void silence(platform::PCMBuffer& buffer) {
  if (!buffer.floatChannelData()) return;
  const size_t bytesPerFrame = buffer.format().streamDescription().bytesPerFrame;
  for (platform::AudioBuffer& entry : buffer.audioBufferList()) {
    std::memset(entry.data, 0,
                std::min<size_t>(entry.dataByteSize, size_t{buffer.frameLength()} * bytesPerFrame));
  }
}

}  // namespace

void SystemAudioCapture::stream(platform::Stream&, const platform::SampleBuffer& sampleBuffer,
                                platform::StreamOutputType type) {
  if (type != platform::StreamOutputType::audio) return;
  if (fileClosed_) return;
  if (!sampleBuffer.isValid()) return;
  const platform::AudioFormatDescription* formatDescription = sampleBuffer.formatDescription();
  if (!formatDescription) return;
  const platform::StreamBasicDescription* described = formatDescription->streamBasicDescription();
  if (!described) return;
  const platform::StreamBasicDescription description = *described;
  const std::optional<platform::AudioFormat> format =
      platform::AudioFormat::fromStreamDescription(description);
  if (!format) return;

  const int64_t sampleCount = sampleBuffer.numSamples();
  if (sampleCount <= 0 || sampleCount > std::numeric_limits<uint32_t>::max()) return;
  const auto frames = static_cast<uint32_t>(sampleCount);
  std::unique_ptr<platform::PCMBuffer> pcm = platform::PCMBuffer::make(*format, frames);
  if (!pcm) return;
  pcm->setFrameLength(frames);

  void* destination = pcm->audioBufferList().front().data;
  if (!destination) return;
  const platform::BlockBuffer* block = sampleBuffer.dataBuffer();
  if (!block) return;
  size_t contiguousLength = 0;
  size_t totalLength = 0;
  const uint8_t* source = nullptr;
  if (block->getDataPointer(0, &contiguousLength, &totalLength, &source) != 0) return;
  if (!source) return;
  // Only the bytes reachable from the one pointer are read; a block in pieces is cut short.
  const size_t length = std::min(
      {totalLength, contiguousLength, size_t{pcm->audioBufferList().front().dataByteSize}});
  std::memcpy(destination, source, length);

  try {
    if (!audioFile_) {
      audioFile_ = platform::AudioFile::openForWriting(outputURL_, outputFileSettings(),
                                                       platform::CommonFormat::float32,
                                                       /*interleaved=*/false);
    }
    if (muted_) silence(*pcm);
    if (queue_->hasWaitingItems()) {
      // Fallen behind (a stalled disk, say): the buffers waiting go out together, in fewer writes,
      // once the queue has run what it holds now. A kill loses nothing that was not already in
      // the process.
      audioFile_->writeGathering(*pcm);
      flushWhenCaughtUp();
    } else {
      audioFile_->write(*pcm);
    }
  } catch (const platform::Error& error) {
    platform::writeStderrLine("write error: " + error.localizedDescription());
  }
}

void SystemAudioCapture::flushWhenCaughtUp() {
  if (flushQueued_) return;
  flushQueued_ = true;
  queue_->async([self = shared_from_this()] {
    self->flushQueued_ = false;
    if (!self->audioFile_) return;
    try {
      self->audioFile_->flush();
    } catch (const platform::Error& error) {
      platform::writeStderrLine("write error: " + error.localizedDescription());
    }
  });
}
