#pragma once

#include <exception>
#include <string>

// A command-line error, or a start that found nothing to capture. Shown as its message alone.
struct CLIError : std::exception {
  explicit CLIError(std::string text) : message(std::move(text)) {}
  const std::string& description() const { return message; }
  const char* what() const noexcept override { return message.c_str(); }

  std::string message;
};
