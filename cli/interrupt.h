// Ctrl-C handling. The first Ctrl-C (or SIGTERM) asks the running command to
// stop at its next safe point, so it can leave the bus and the server tidy;
// a second one ends the process at once.
#pragma once

#include <chrono>
#include <functional>

namespace kovra62386::cli {

class Interrupt {
 public:
  // Installs the handling; on POSIX this must run before any other thread
  // exists, so that every thread inherits the blocked signal mask.
  Interrupt();
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  static bool requested();
  // Throws CliError(kInterrupted) when a stop was asked for.
  static void check();
  // Wakes waiters so they re-test their condition.
  static void wake();
  // Waits until Ctrl-C, until `done` is true (tested on every wake()), or
  // until the time has passed. Returns true when interrupted.
  static bool wait(std::chrono::steady_clock::duration limit,
                   const std::function<bool()>& done);
};

}  // namespace kovra62386::cli
