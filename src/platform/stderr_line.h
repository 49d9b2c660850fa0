#pragma once

#include <string_view>

namespace platform {

// Writes the text and one line feed to standard error in a single write, so that lines from several
// threads never interleave.
void writeStderrLine(std::string_view text);

}  // namespace platform
