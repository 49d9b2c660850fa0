#pragma once

// The whole process: parses the command line, arms the signals, starts the capture and serves the
// main queue until a signal, a failed start or a stream failure ends the process.
[[noreturn]] void runTool(int argc, const char* const* argv);
