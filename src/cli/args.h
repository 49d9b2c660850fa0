#pragma once

#include <string>

#include "cli/cli_error.h"

// The parsed command line.
struct Args {
  std::string output;  // the output file's path, exactly as given
};

// Reads the arguments after the program's name. A help request writes the usage line and ends the
// process with status 0; any other problem throws CLIError.
Args parseArgs(int argc, const char* const* argv);
