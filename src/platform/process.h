#pragma once

namespace platform {

// Sets the process up for what this tool is: a small helper that runs for hours beside everything
// else. To be called first, before any thread starts.
void settleForLongRun();

}  // namespace platform
