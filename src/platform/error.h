// Errors of the platform services: a domain, a code and a human-readable description.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace platform {

class Error : public std::exception {
 public:
  Error(std::string domain, int64_t code, std::string description)
      : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

  const std::string& domain() const { return domain_; }
  int64_t code() const { return code_; }
  const std::string& localizedDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  int64_t code_;
  std::string description_;
};

}  // namespace platform
