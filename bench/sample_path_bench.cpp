// The sample path alone: 10 ms buffers through the capture object into a file, as fast as it goes.
// Reports throughput as a multiple of real time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "buffers.h"
#include "capture/system_audio_capture.h"
#include "scripted_service.h"

namespace {

constexpr int kFramesPerBuffer = 160;  // 10 ms at 16 kHz

void SamplePath(benchmark::State& state) {
  const std::string path =
      std::filesystem::temp_directory_path() / ("tarn-bench-" + std::to_string(getpid()) + ".wav");
  scripted::reset();
  static auto* captures = new std::vector<std::shared_ptr<SystemAudioCapture>>;
  auto capture = std::make_shared<SystemAudioCapture>(path);
  captures->push_back(capture);  // the capture and its stream hold each other, as in the tool
  capture->setMuted(state.range(0) != 0);
  capture->start();
  auto stream = scripted::lastStream();
  const auto samples = testing_support::sine(kFramesPerBuffer, 440);
  const auto description = platform::packedFloatDescription(16000, 1);
  const auto bytes = testing_support::bytesOf(samples);
  constexpr int kBuffers = 100000;  // 1000 s of audio
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kBuffers; ++i) {
      stream->push(platform::SampleBuffer(description, kFramesPerBuffer, bytes));
    }
    capture->stop();  // returns once every queued buffer is written and the file closed
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    state.SetIterationTime(took.count());
    state.counters["x_realtime"] = kBuffers * 0.01 / took.count();
    state.counters["ns_per_buffer"] = took.count() * 1e9 / kBuffers;
  }
  std::filesystem::remove(path);
}
BENCHMARK(SamplePath)->Arg(0)->Arg(1)->ArgName("muted")->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
