#include "Interrupt.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "files/SafeWrite.h"

namespace tamarind::cli {
namespace {

std::atomic<int> received{0};

sigset_t Interrupts() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

[[noreturn]] void ExitAtOnce(int signal) {
  // Everything the run made under a temporary name goes; a document being
  // written in place is finished first, so it is whole.
  RemoveTemporaryFilesForExit();
  ::_exit(128 + signal);
}

}  // namespace

void HandleInterrupts(bool exitAtOnce) {
  std::signal(SIGPIPE, SIG_IGN);
  // The signals are taken by one thread that waits for them, not by a
  // handler: it may then lock, remove files and print like any thread.
  const sigset_t set = Interrupts();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, exitAtOnce] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    if (exitAtOnce) ExitAtOnce(signal);
    received = signal;
    while (sigwait(&set, &signal) != 0) {
    }
    ExitAtOnce(signal);
  }).detach();
}

int InterruptSignal() {
  return received;
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

}  // namespace tamarind::cli
