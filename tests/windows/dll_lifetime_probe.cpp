// An application whose last moments race the library's threads. The test
// runs it as a child process, so a hang or a crash ends only this program.
//
//   exit-in-initialize EVENT  a thread calls initialize (the test's server
//                             never greets); once EVENT is set, ExitProcess
//   free-after-terminate      terminate, then FreeLibrary while the worker is
//                             inside its last callback
//   terminate-in-callback     FreeLibrary first; then a callback terminates,
//                             dropping the library's own reference on the
//                             worker's thread
//
// Exit code 0: the worker ended and the program with it; 10-19: a step
// failed; a crash ends it with the exception code.
#include <windows.h>

#include <cstring>
#include <string>

#include "export_types.h"
#include "kovra62386/kovra62386.h"

namespace {

HMODULE library = nullptr;
TerminateFn terminate_library = nullptr;
// The worker's own thread, taken in the callback; the program waits on it.
HANDLE worker = nullptr;
HANDLE in_callback = CreateEventA(nullptr, TRUE, FALSE, nullptr);
HANDLE freed = CreateEventA(nullptr, TRUE, FALSE, nullptr);

template <typename F>
F resolve(const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(library, name)));
}

LONG WINAPI report_crash(EXCEPTION_POINTERS* info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The first call holds the worker inside the library's call until the
// program has let go of the library; with `terminate`, it then terminates.
void hold_worker(bool terminate) {
  static bool first = true;
  if (!first) return;
  first = false;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                  &worker, SYNCHRONIZE, FALSE, 0);
  SetEvent(in_callback);
  WaitForSingleObject(freed, 10000);
  if (terminate) terminate_library();
}

void on_last_event(uint32_t, const TransceiverEvent* event, void*) {
  if (event != nullptr && event->code == KOVRA62386_EVENT_CLOSED)
    hold_worker(false);
}

void on_any_event(uint32_t, const TransceiverEvent*, void*) {
  hold_worker(true);
}

DWORD WINAPI call_initialize(void*) {
  return static_cast<DWORD>(
      resolve<InitializeFn>("_KOVRA62386_initialize@0")());
}

int exit_in_initialize(const char* event_name) {
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, event_name);
  if (go == nullptr) return 10;
  if (CreateThread(nullptr, 0, &call_initialize, nullptr, 0, nullptr) ==
      nullptr)
    return 11;
  if (WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return 12;
  ExitProcess(0);
}

int unload_with_worker(bool terminate_first) {
  terminate_library = resolve<TerminateFn>("_KOVRA62386_terminate@0");
  if (resolve<InitializeFn>("_KOVRA62386_initialize@0")() != 0) return 10;
  resolve<FreeEnumerationFn>("_KOVRA62386_free_enumeration@4")(
      resolve<EnumerateFn>("_KOVRA62386_enumerate@0")());
  const uint32_t handle = resolve<OpenFn>("_KOVRA62386_open@4")("SIM-1");
  if (handle == 0) return 11;
  const auto start = resolve<StartFn>("_KOVRA62386_start_transceiver@12");
  if (terminate_first) {
    if (start(handle, &on_last_event, nullptr) != 1) return 12;
    terminate_library();
  } else {
    if (start(handle, &on_any_event, nullptr) != 1) return 12;
    // A frame on the bus, so that the worker has an event to deliver.
    WriteFrameRecord frame;
    std::memset(&frame, 0, sizeof frame);
    frame.frame_type = KOVRA62386_FRAME_TRANSMIT;
    frame.frame.format = KOVRA62386_FORMAT_VARIABLE;
    frame.frame.bit_count = 16;
    frame.frame.data[0] = 0xFF;
    frame.frame.data[1] = 0x00;
    resolve<WriteFn>("_KOVRA62386_write@8")(handle, &frame);
  }
  if (WaitForSingleObject(in_callback, 10000) != WAIT_OBJECT_0) return 14;
  if (!FreeLibrary(library)) return 15;
  SetEvent(freed);
  if (WaitForSingleObject(worker, 10000) != WAIT_OBJECT_0) return 16;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(&report_crash);
  if (argc < 2) return 2;
  library = LoadLibraryA("Kovra62386Communication.dll");
  if (library == nullptr) return 3;
  const std::string scenario = argv[1];
  if (scenario == "exit-in-initialize" && argc == 3)
    return exit_in_initialize(argv[2]);
  if (scenario == "free-after-terminate") return unload_with_worker(true);
  if (scenario == "terminate-in-callback") return unload_with_worker(false);
  return 2;
}
