#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// Sends this process's standard error to a file for a scope, and gives back what was written.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    char path[] = "/tmp/tarn-stderr-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    dup2(file_, STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }

  std::string text() {
    restore();
    std::string text;
    char chunk[4096];
    ssize_t n;
    lseek(file_, 0, SEEK_SET);
    while ((n = read(file_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }

  int saved_ = -1;
  int file_ = -1;
};
