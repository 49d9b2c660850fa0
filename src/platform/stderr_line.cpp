#include "platform/stderr_line.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/bounded_write.h"

namespace platform {
namespace {

struct Writer {
  // One line at a time; a thread waits for its turn no longer than its line may wait.
  std::mutex mutex;
  std::condition_variable turnEnded;
  bool writing = false;

  bool takeTurn(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    if (!turnEnded.wait_for(lock, wait, [this] { return !writing; })) return false;
    writing = true;
    return true;
  }
  void endTurn() {
    {
      std::lock_guard lock(mutex);
      writing = false;
    }
    turnEnded.notify_one();
  }

  // Touched only in a turn.
  bool opened = false;
  int fd = STDERR_FILENO;
  bool socket = false;
  bool readerStuck = false;  // the last line was not taken in time

  // A pipe or FIFO is reopened as a description of our own that never blocks: the inherited one is
  // shared with whoever started us, whose own writes must stay as they were.
  void open() {
    opened = true;
    struct stat status {};
    if (fstat(STDERR_FILENO, &status) != 0) return;
    socket = S_ISSOCK(status.st_mode);
    if (!S_ISFIFO(status.st_mode)) return;
    const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own >= 0) fd = own;
  }
};

// Never destroyed: a thread may write a line while exit() runs the static destructors.
Writer& writer = *new Writer;

// Writes the line as far as the reader takes it within the wait; in a turn.
void writeLine(const std::string& line, std::chrono::milliseconds wait) {
  if (!writer.opened) writer.open();
  // A reader that has stopped reading is not waited for again by every line, only by a last one.
  if (writer.readerStuck && wait <= kLineWait) wait = std::chrono::milliseconds(0);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  writer.readerStuck = false;
  if (writeBefore(writer.fd, line.data(), line.size(), deadline, writer.socket) == line.size()) {
    return;
  }
  if (errno == EAGAIN) writer.readerStuck = true;
  // Whoever reads our lines has gone. The SIGPIPE the write raised is held by this thread if it is
  // a worker (workers block signals), so it is raised again for the whole process, where the main
  // thread takes it as it would on the main thread's own write.
  if (errno == EPIPE) kill(getpid(), SIGPIPE);
}

}  // namespace

bool standardErrorHasReader() {
  struct stat status {};
  if (fstat(STDERR_FILENO, &status) != 0) return false;
  if (!S_ISFIFO(status.st_mode) && !S_ISSOCK(status.st_mode)) return false;
  return (fcntl(STDERR_FILENO, F_GETFL) & O_ACCMODE) != O_RDONLY;
}

void writeStderrLine(std::string_view text, std::chrono::milliseconds wait) {
  std::string line;
  line.reserve(text.size() + 1);
  // One line, whatever the text holds: a line break in a path or an argument would end it early,
  // and a reader would take the rest for a line of the tool's own.
  for (const char c : text) {
    if (c == '\n') {
      line.append("\\n");
    } else if (c == '\r') {
      line.append("\\r");
    } else {
      line.push_back(c);
    }
  }
  line.push_back('\n');

  if (!writer.takeTurn(wait)) return;  // another thread waits on the reader already
  writeLine(line, wait);
  writer.endTurn();
}

}  // namespace platform
