#pragma once

#include <chrono>
#include <string_view>

namespace platform {

// How long a line waits for a reader that has stopped reading before it is dropped: long enough
// for any reader that is merely busy, short enough that the recording never waits on it.
constexpr std::chrono::milliseconds kLineWait{100};
// The last line of a failure is worth waiting longer for: the process ends right after it.
constexpr std::chrono::milliseconds kLastLineWait{1000};

// Writes the text and one line feed to standard error in a single write, so that lines from several
// threads never interleave. A reader that takes nothing within `wait` loses the line; after such a
// loss, lines are written only as far as they go without waiting, until one goes through whole.
void writeStderrLine(std::string_view text, std::chrono::milliseconds wait = kLineWait);

// Whether standard error goes to a reader that can go away, the program that started us most
// often: a pipe, a FIFO or a socket, open for writing. A terminal, a file or /dev/null has none.
bool standardErrorHasReader();

}  // namespace platform
