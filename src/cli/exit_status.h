#pragma once

#include <string>

constexpr int EXIT_GENERIC_FAILURE = 3;
constexpr int EXIT_PERMISSION_DENIED = 4;

// The status for a failed start: a refused capture permission, told by a word of its description
// (in any case) or by the stream error domain, gives EXIT_PERMISSION_DENIED; anything else
// EXIT_GENERIC_FAILURE.
int startFailureStatus(const std::string& description, const std::string& domain);
