// What the unit tests share: a scratch folder and a fresh script, sample buffers, waiting for a
// condition, and what a reader finds in a file.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>
#include <thread>

#include "scripted_service.h"

namespace testing_support {

namespace fs = std::filesystem;

// Under the working folder and named after the test, so that a death test's child, which runs the
// test again from the start, finds the same one.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  const fs::path folder_ =
      fs::absolute(testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::string path_ = folder_ / "out.wav";
};

// A buffer of `frames` frames (by default as many as the samples) whose block holds the samples.
template <typename Sample = float>
std::shared_ptr<const platform::SampleBuffer> buffer(
    const std::vector<Sample>& samples, int64_t frames = -1,
    const platform::StreamBasicDescription& format = platform::packedFloatDescription(16000, 1)) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
  return std::make_shared<const platform::SampleBuffer>(
      format, frames < 0 ? std::ssize(samples) : frames,
      std::vector<uint8_t>(bytes, bytes + samples.size() * sizeof(Sample)));
}

// Whether the condition holds before a deadline that no healthy run comes near, even on a loaded
// machine under a sanitizer.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// The samples an ordinary reader finds in the file now; none if it cannot open it.
inline std::vector<int16_t> readFile(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<int16_t> samples(file ? static_cast<size_t>(info.frames * info.channels) : 0);
  if (file) sf_readf_short(file, samples.data(), info.frames), sf_close(file);
  return samples;
}

}  // namespace testing_support
