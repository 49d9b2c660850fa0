#include "cli/tool.h"

#include <unistd.h>

#include <csignal>
#include <memory>

#include "capture/system_audio_capture.h"
#include "cli/args.h"
#include "cli/exit_status.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "platform/signal_source.h"
#include "platform/stderr_line.h"
#include "platform/task.h"

namespace {

// Set once by runTool before any handler or task exists, read afterwards, and never destroyed:
// exit() runs static destructors while other threads may still be using them.
const Args* args;
std::shared_ptr<SystemAudioCapture>* capture;
platform::SignalSource* signalSource;
platform::SignalSource* pipeSource;
platform::SignalSource* muteSource;
platform::SignalSource* unmuteSource;

// A second stop signal joins the stop under way, whose end ends the process. Runs on the main
// queue only.
void stopAndExit() {
  static bool stopping = false;
  if (stopping) return;
  stopping = true;
  platform::runTask([] {
    (*capture)->stop();
    platform::exitProcess(0);
  });
}

platform::SignalSource* arm(int signalNumber, void (*handler)()) {
  auto* source = new platform::SignalSource(signalNumber, platform::mainQueue());
  source->setEventHandler(handler);
  source->resume();
  platform::ignoreSignal(signalNumber);
  return source;
}

void startTask() {
  std::string description;
  std::string domain;
  try {
    (*capture)->start();
    return;
  } catch (const CLIError& error) {
    description = error.message;
  } catch (const platform::Error& error) {
    description = error.localizedDescription();
    domain = error.domain();
  }
  platform::writeStderrLine("start failed: " + description, platform::kLastLineWait);
  platform::exitProcess(startFailureStatus(description, domain));
}

}  // namespace

void runTool(int argc, const char* const* argv) {
  // An app may stop or mute us the moment it has started us: such a signal waits until its source
  // is armed below. (One that comes while the process is still being loaded, its first few
  // milliseconds, still runs its default action: nothing in the process can catch it yet.)
  platform::holdSignals({SIGTERM, SIGPIPE, SIGUSR1, SIGUSR2});
  // No Dock or menu bar to keep out of on this platform: the activation policy has no counterpart.
  // What the platform has instead is settling the process in for a long run.
  platform::settleForLongRun();
  try {
    args = new Args(parseArgs(argc, argv));
  } catch (const CLIError& error) {
    platform::writeStderrLine(error.message);
    platform::exitProcess(64);
  }
  capture =
      new std::shared_ptr<SystemAudioCapture>(std::make_shared<SystemAudioCapture>(args->output));

  signalSource = arm(SIGTERM, stopAndExit);
  pipeSource = arm(SIGPIPE, stopAndExit);
  muteSource = arm(SIGUSR1, [] { (*capture)->setMuted(true); });
  unmuteSource = arm(SIGUSR2, [] { (*capture)->setMuted(false); });
  // A reader of our lines that goes away (the program that started us exited, was killed or
  // closed its end) stops the recording as a SIGPIPE would. The tool writes a line only when
  // something fails, so without this it would never learn of it, and go on recording for nobody.
  if (platform::standardErrorHasReader()) {
    platform::mainQueue().watchHangUp(STDERR_FILENO, stopAndExit);
  }

  platform::runTask(startTask);
  platform::dispatchMain();
}
