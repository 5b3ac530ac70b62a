#include "cli/interrupt.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "cli/exit_codes.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace kovra62386::cli {
namespace {

std::atomic<bool> g_requested{false};
std::mutex g_mutex;
std::condition_variable g_changed;

void request_stop() {
  if (g_requested.exchange(true)) std::_Exit(130);  // second Ctrl-C
  { std::lock_guard<std::mutex> lock(g_mutex); }
  g_changed.notify_all();
}

#ifdef _WIN32
BOOL WINAPI console_handler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      request_stop();
      return TRUE;
    default:
      return FALSE;
  }
}
#else
// A thread of its own takes the signals with sigwait, so the reaction runs
// as ordinary code rather than in a signal handler.
std::thread g_signal_thread;
std::atomic<bool> g_shutting_down{false};
sigset_t g_signals;

void signal_loop() {
  for (;;) {
    int signal_number = 0;
    if (sigwait(&g_signals, &signal_number) != 0) continue;
    if (g_shutting_down.load()) return;
    if (signal_number == SIGINT || signal_number == SIGTERM) request_stop();
  }
}
#endif

}  // namespace

Interrupt::Interrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(console_handler, TRUE);
#else
  sigemptyset(&g_signals);
  sigaddset(&g_signals, SIGINT);
  sigaddset(&g_signals, SIGTERM);
  sigaddset(&g_signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &g_signals, nullptr);
  g_signal_thread = std::thread(signal_loop);
#endif
}

Interrupt::~Interrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(console_handler, FALSE);
#else
  g_shutting_down.store(true);
  pthread_kill(g_signal_thread.native_handle(), SIGUSR1);
  g_signal_thread.join();
#endif
}

bool Interrupt::requested() { return g_requested.load(); }

void Interrupt::check() {
  if (requested()) {
    throw CliError(ExitCode::kInterrupted, "interrupted by Ctrl-C");
  }
}

void Interrupt::wake() {
  { std::lock_guard<std::mutex> lock(g_mutex); }
  g_changed.notify_all();
}

bool Interrupt::wait(std::chrono::steady_clock::duration limit,
                     const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait_for(lock, limit,
                     [&] { return g_requested.load() || (done && done()); });
  return g_requested.load();
}

}  // namespace kovra62386::cli
