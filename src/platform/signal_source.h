// A POSIX signal turned into an event on a dispatch queue: the handler runs on that queue's thread,
// never in signal context.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>

namespace platform {

class DispatchQueue;

// Armed sources are never cancelled: a source, and its queue, must live as long as the process.
class SignalSource {
 public:
  SignalSource(int signalNumber, DispatchQueue& queue);
  SignalSource(const SignalSource&) = delete;
  SignalSource& operator=(const SignalSource&) = delete;

  void setEventHandler(std::function<void()> handler);
  // Arms the source. From then on the signal's default action never runs, on whichever thread the
  // signal lands, and every arrival runs the handler at least once (arrivals close together may be
  // merged into one run).
  void resume();

 private:
  friend class DispatchQueue;
  // The stamp of the latest arrival since the last call (later arrivals have larger stamps), or 0.
  uint64_t takeArrival();
  // How many arrivals, of any armed signal, there have been so far: the latest stamp.
  static uint64_t arrivals();
  void fire();  // on the queue's thread

  int signalNumber_;
  DispatchQueue& queue_;
  std::function<void()> handler_;
};

// Holds the signals back on the calling thread (the main one, first thing at launch): one that
// arrives before its source is armed then waits for it, rather than running its default action and
// ending the process without a word. Arming a source lets its signal in again.
void holdSignals(std::initializer_list<int> signalNumbers);

// The stand-in for `signal(sig, SIG_IGN)` after a source has been armed: the signal must no longer
// run its default action. An armed source already catches it; setting the disposition to "ignore"
// would make Linux discard arrivals before the source sees them, so for an armed signal this only
// confirms the catching disposition, and for any other it ignores the signal.
void ignoreSignal(int signalNumber);

}  // namespace platform
