#include "cli/args.h"

#include <optional>
#include <string_view>

#include "platform/process.h"
#include "platform/stderr_line.h"

Args parseArgs(int argc, const char* const* argv) {
  if (argc <= 1) throw CLIError("--output is required");
  std::optional<std::string> output;
  for (int i = 1; i < argc; ++i) {
    const std::string_view token = argv[i];
    if (token == "--output") {
      // The next token is the path whatever it holds, even when it looks like an option.
      if (i + 1 >= argc) throw CLIError("--output requires a path");
      output = argv[++i];
    } else if (token == "-h" || token == "--help") {
      platform::writeStderrLine("usage: tarn-audio-tap --output PATH");
      platform::exitProcess(0);
    } else {
      throw CLIError("unknown arg: " + std::string(token));
    }
  }
  // Every walk that ends here has met at least one "--output PATH" pair.
  return Args{*output};
}
