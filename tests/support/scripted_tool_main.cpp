// The tool over the scripted capture service, for end-to-end tests of the failures a real sound
// server cannot produce. TARN_TEST_SCRIPT holds ';'-separated directives:
//   content_error=D|C|T  audio_output_error=D|C|T  start_error=D|C|T  stop_error=D|C|T
//     (an error of domain D, code C and description T)
//   no_displays          the service lists nothing to capture
//   hold_start           the start never completes
//   after_start=A,A...   once the stream runs and the file TARN_TEST_TRIGGER exists (or at once
//                        without one), run the actions: tone:N (N buffers of 0.1 s of 440 Hz) or
//                        fail:T (the service ends the stream with description T, in the stream
//                        error domain)
// TARN_TEST_READY names a file created once the stream runs.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "buffers.h"
#include "cli/tool.h"
#include "scripted_service.h"

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

platform::Error parseError(const std::string& text) {
  auto parts = split(text, '|');
  parts.resize(3);
  return platform::Error(parts[0], std::atoll(parts[1].c_str()), parts[2]);
}

bool exists(const char* path) {
  return path && access(path, F_OK) == 0;
}

void runAfterStart(const std::vector<std::string>& actions) {
  auto stream = scripted::awaitStartedStream();
  const char* ready = std::getenv("TARN_TEST_READY");
  // The tool stores the stream right after the start completes; give it that moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (ready) std::ofstream{ready};
  const char* trigger = std::getenv("TARN_TEST_TRIGGER");
  while (trigger && !exists(trigger)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (const std::string& action : actions) {
    const size_t colon = action.find(':');
    const std::string verb = action.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : action.substr(colon + 1);
    if (verb == "tone") {
      for (int i = 0; i < std::atoi(argument.c_str()); ++i) {
        stream->push(testing_support::floatBuffer(testing_support::sine(1600, 440)));
      }
    } else if (verb == "fail") {
      stream->fail(platform::Error(platform::kStreamErrorDomain, 1, argument));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  scripted::Script& script = scripted::script();
  std::vector<std::string> afterStart;
  const char* text = std::getenv("TARN_TEST_SCRIPT");
  for (const std::string& directive : split(text ? text : "", ';')) {
    const size_t equals = directive.find('=');
    const std::string key = directive.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : directive.substr(equals + 1);
    if (key == "content_error") script.contentError = parseError(value);
    if (key == "audio_output_error") script.audioOutputError = parseError(value);
    if (key == "start_error") script.startError = parseError(value);
    if (key == "stop_error") script.stopError = parseError(value);
    if (key == "no_displays") script.displays.clear();
    if (key == "hold_start") script.holdStart = true;
    if (key == "after_start") afterStart = split(value, ',');
  }
  if (!afterStart.empty() || std::getenv("TARN_TEST_READY")) {
    std::thread(runAfterStart, afterStart).detach();
  }
  runTool(argc, argv);
}
