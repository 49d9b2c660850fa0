// The sample path alone: 10 ms buffers through the capture object into a file, as fast as it goes.
// Reports throughput as a multiple of real time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>

#include "capture/system_audio_capture.h"
#include "platform/process.h"
#include "scripted_service.h"

namespace {

// Buffers of 10 ms (160 frames at 16 kHz), and of 125 ms, what the sound server's loop hands over
// at a time while a capture runs.
void SamplePath(benchmark::State& state) {
  const auto framesPerBuffer = static_cast<int>(state.range(1));
  const std::string path =
      std::filesystem::temp_directory_path() / ("tarn-bench-" + std::to_string(getpid()) + ".wav");
  scripted::reset();
  static auto* captures = new std::vector<std::shared_ptr<SystemAudioCapture>>;
  auto capture = std::make_shared<SystemAudioCapture>(path);
  captures->push_back(capture);  // the capture and its stream hold each other, as in the tool
  capture->setMuted(state.range(0) != 0);
  capture->start();
  auto stream = scripted::lastStream();
  // One buffer, handed over again and again: what is measured is the capture's work on each, not
  // the making of the test's buffers.
  std::vector<float> tone(framesPerBuffer);
  for (int i = 0; i < framesPerBuffer; ++i) tone[i] = 0.5f * std::sin(2 * M_PI * 440 * i / 16000);
  const auto* bytes = reinterpret_cast<const uint8_t*>(tone.data());
  const auto buffer = std::make_shared<const platform::SampleBuffer>(
      platform::packedFloatDescription(16000, 1), framesPerBuffer,
      std::vector<uint8_t>(bytes, bytes + tone.size() * sizeof(float)));
  const int kBuffers = 16000000 / framesPerBuffer;  // 1000 s of audio
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kBuffers; ++i) {
      stream->push(buffer);
    }
    capture->stop();  // returns once every queued buffer is written and the file closed
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    state.SetIterationTime(took.count());
    state.counters["x_realtime"] = 1000 / took.count();
    state.counters["ns_per_buffer"] = took.count() * 1e9 / kBuffers;
  }
  std::filesystem::remove(path);
}
BENCHMARK(SamplePath)
    ->ArgsProduct({{0, 1}, {160, 2000}})
    ->ArgNames({"muted", "frames"})
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(10)  // one run moves by a quarter from the next on a shared machine
    ->ReportAggregatesOnly(true);

}  // namespace

// With the allocator set up as the tool sets it up.
int main(int argc, char** argv) {
  platform::settleForLongRun();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
}
