// The command line and the classification of a failed start.
#include <gtest/gtest.h>

#include <vector>

#include "cli/args.h"
#include "cli/exit_status.h"
#include "platform/capture_service.h"

namespace {

std::string parse(std::vector<const char*> tokens) {
  tokens.insert(tokens.begin(), "tarn-audio-tap");
  try {
    return "output=" + parseArgs(static_cast<int>(tokens.size()), tokens.data()).output;
  } catch (const CLIError& error) {
    return "error=" + error.message;
  }
}

TEST(ParseArgs, TokensAreReadExactlyAsGiven) {
  struct Case {
    std::vector<const char*> tokens;
    std::string result;
  };
  const Case cases[] = {
      {{}, "error=--output is required"},
      {{"--output"}, "error=--output requires a path"},
      {{"--output", "a.wav", "--output"}, "error=--output requires a path"},
      {{"--output", "a.wav", "--output", "b.wav"}, "output=b.wav"},
      {{"--output", "--help"}, "output=--help"},
      {{"--output", "--output"}, "output=--output"},
      {{"--output", ""}, "output="},
      {{"--output", "-x y.wav"}, "output=-x y.wav"},
      {{"--verbose", "--help"}, "error=unknown arg: --verbose"},
      {{"--output=a.wav"}, "error=unknown arg: --output=a.wav"},
      {{"--output", "a.wav", "extra"}, "error=unknown arg: extra"},
      {{"-H"}, "error=unknown arg: -H"},
      {{"-help"}, "error=unknown arg: -help"},
      {{"--HELP"}, "error=unknown arg: --HELP"},
      {{"--"}, "error=unknown arg: --"},
      {{""}, "error=unknown arg: "},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.tokens), c.result);
}

TEST(ParseArgs, HelpWritesTheUsageLineAndEndsWithZero) {
  for (std::vector<const char*> tokens :
       {std::vector<const char*>{"-h"}, {"--help"}, {"--output", "a.wav", "-h"}}) {
    EXPECT_EXIT(parse(tokens), ::testing::ExitedWithCode(0),
                "^usage: tarn-audio-tap --output PATH\n$");
  }
}

TEST(StartFailureStatus, PermissionWordsInAnyCaseOrTheStreamDomainMeanRefused) {
  struct Case {
    const char* description;
    const char* domain;
    int status;
  };
  const Case cases[] = {
      {"The user declined TCCs for application", "other", EXIT_PERMISSION_DENIED},
      {"Permission denied", "other", EXIT_PERMISSION_DENIED},
      {"DECLINED", "other", EXIT_PERMISSION_DENIED},
      {"capture is Not Authorized", "other", EXIT_PERMISSION_DENIED},
      {"that is not allowed", "other", EXIT_PERMISSION_DENIED},
      {"tcc refused", "", EXIT_PERMISSION_DENIED},
      {"Failed to start", platform::kStreamErrorDomain, EXIT_PERMISSION_DENIED},
      {"", platform::kStreamErrorDomain, EXIT_PERMISSION_DENIED},
      {"Connection refused", "tarn.pulse", EXIT_GENERIC_FAILURE},
      {"no display available", "", EXIT_GENERIC_FAILURE},
      {"not authorised", "other", EXIT_GENERIC_FAILURE},
      {"", "", EXIT_GENERIC_FAILURE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(startFailureStatus(c.description, c.domain), c.status) << c.description;
  }
}

}  // namespace
