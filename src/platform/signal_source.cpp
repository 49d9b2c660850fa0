#include "platform/signal_source.h"

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/dispatch.h"

namespace platform {
namespace {

constexpr int kMaxSignal = 65;

// Written in signal context, so plain lock-free atomics; they outlive every thread. An arrival is
// stamped from one counter, so that signals of different kinds are handled in the order they came.
std::atomic<uint64_t> arrivalCount{0};
std::atomic<uint64_t> pendingArrival[kMaxSignal];
std::atomic<DispatchQueue*> armedQueue[kMaxSignal];

void onSignal(int signalNumber) {
  int savedErrno = errno;  // the interrupted code may be about to read it
  pendingArrival[signalNumber].store(arrivalCount.fetch_add(1) + 1);
  if (DispatchQueue* queue = armedQueue[signalNumber].load()) queue->wakeFromSignal();
  errno = savedErrno;
}

void catchSignal(int signalNumber) {
  struct sigaction action {};
  action.sa_handler = onSignal;
  // Every other signal waits while one is stamped. Otherwise, of two pending together, the kernel
  // sets up the lower-numbered one's handler first and then the other's on top of it, which runs,
  // and is stamped, first: a storm that ends with SIGUSR1 then SIGUSR2 would end as if the last
  // had been SIGUSR1.
  sigfillset(&action.sa_mask);
  // No SA_RESTART: the serving thread's wait is meant to return for a signal (a sanitizer, for
  // one, runs the handler only once the interrupted call has returned). Other threads block the
  // signals, so no other call sees EINTR.
  action.sa_flags = 0;
  sigaction(signalNumber, &action, nullptr);
}

}  // namespace

SignalSource::SignalSource(int signalNumber, DispatchQueue& queue)
    : signalNumber_(signalNumber), queue_(queue) {
  if (signalNumber <= 0 || signalNumber >= kMaxSignal) std::abort();
}

void SignalSource::setEventHandler(std::function<void()> handler) {
  handler_ = std::move(handler);
}

void SignalSource::resume() {
  queue_.attach(this);
  armedQueue[signalNumber_].store(&queue_);
  catchSignal(signalNumber_);
  // The calling thread takes the signal: it must not be blocked there, even if whoever started the
  // process blocked it.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signalNumber_);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

uint64_t SignalSource::takeArrival() {
  return pendingArrival[signalNumber_].exchange(0);
}

uint64_t SignalSource::arrivals() {
  return arrivalCount.load();
}

void SignalSource::fire() {
  if (handler_) handler_();
}

void holdSignals(std::initializer_list<int> signalNumbers) {
  sigset_t held;
  sigemptyset(&held);
  for (int signalNumber : signalNumbers) sigaddset(&held, signalNumber);
  pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void ignoreSignal(int signalNumber) {
  if (signalNumber <= 0 || signalNumber >= kMaxSignal) return;
  if (armedQueue[signalNumber].load()) {
    catchSignal(signalNumber);
  } else {
    signal(signalNumber, SIG_IGN);
  }
}

}  // namespace platform
