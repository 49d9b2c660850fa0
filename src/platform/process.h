#pragma once

namespace platform {

// Sets the process up for what this tool is: a small helper that runs for hours beside everything
// else. To be called first, before any thread starts.
void settleForLongRun();

// Ends the process with the status. Several threads may reach an end at once (a stop, a failed
// start, a stream failure), and exit() must not run twice at the same time: the first call wins,
// and a later one waits for the process to end.
[[noreturn]] void exitProcess(int status);

}  // namespace platform
