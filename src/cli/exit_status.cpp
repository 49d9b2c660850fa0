#include "cli/exit_status.h"

#include <algorithm>

#include "platform/capture_service.h"

int startFailureStatus(const std::string& description, const std::string& domain) {
  std::string lowered = description;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  for (const char* word : {"permission", "declined", "not authorized", "not allowed", "tcc"}) {
    if (lowered.find(word) != std::string::npos) return EXIT_PERMISSION_DENIED;
  }
  if (domain == platform::kStreamErrorDomain) return EXIT_PERMISSION_DENIED;
  return EXIT_GENERIC_FAILURE;
}
