// Bringing the capture stream up.
#include <utility>

#include "capture/sink_screen_output.h"
#include "capture/system_audio_capture.h"
#include "capture/target_format.h"
#include "cli/cli_error.h"
#include "platform/task.h"

namespace {

using ContentResult =
    std::pair<std::shared_ptr<platform::ShareableContent>, std::optional<platform::Error>>;

ContentResult queryShareableContent() {
  return platform::awaitCompletion<ContentResult>([](std::function<void(ContentResult)> resume) {
    platform::getShareableContent(
        /*excludeDesktopWindows=*/false, /*onScreenWindowsOnly=*/true,
        [resume = std::move(resume)](std::shared_ptr<platform::ShareableContent> content,
                                     std::optional<platform::Error> error) {
          resume({std::move(content), std::move(error)});
        });
  });
}

platform::StreamConfiguration audioConfiguration() {
  platform::StreamConfiguration configuration;
  configuration.setCapturesAudio(true);
  configuration.setSampleRate(static_cast<int64_t>(TARGET_SAMPLE_RATE));
  configuration.setChannelCount(TARGET_CHANNEL_COUNT);
  configuration.setExcludesCurrentProcessAudio(true);
  // The stream always has a video half; it is asked to be as small and as rare as possible.
  configuration.setWidth(2);
  configuration.setHeight(2);
  configuration.setMinimumFrameInterval(platform::makeTime(1, 1));
  return configuration;
}

}  // namespace

void SystemAudioCapture::start() {
  auto [content, contentError] = queryShareableContent();
  if (contentError) throw *contentError;
  if (!content) {
    throw platform::Error("tarn.capture", 0, "the capture service answered with no content");
  }
  if (content->displays.empty()) throw CLIError("no display available");

  const platform::ContentFilter filter(content->displays.front(), {});
  std::shared_ptr<platform::Stream> stream = platform::Stream::make(
      filter, audioConfiguration(), std::weak_ptr<platform::StreamDelegate>(shared_from_this()));

  std::optional<platform::Error> outputError;
  if (!stream->addStreamOutput(shared_from_this(), platform::StreamOutputType::audio, *queue_,
                               &outputError)) {
    throw outputError ? *outputError
                      : platform::Error("tarn.capture", 0, "the audio output was refused");
  }
  // Without a screen output the stream still delivers its audio, so a refusal is of no concern.
  stream->addStreamOutput(std::make_shared<SinkScreenOutput>(), platform::StreamOutputType::screen,
                          platform::backgroundQueue(), nullptr);

  std::optional<platform::Error> startError =
      platform::awaitCompletion<std::optional<platform::Error>>(
          [&](std::function<void(std::optional<platform::Error>)> resume) {
            stream->startCapture(std::move(resume));
          });
  if (startError) throw *startError;
  platform::Stream* running = stream.get();
  queue_->sync([&] { stream_ = std::move(stream); });
  runningStream_.store(running);
}
