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
//   load-cycles FILE CYCLES WARM-UP LEAK
//                             CYCLES times: load the library, use it
//                             (initialize, enumerate, open two interfaces,
//                             a transceiver and a send on one, a write and
//                             a read on the other, stop, close, terminate)
//                             and free it until it is gone; writes the
//                             memory figures after WARM-UP cycles and after
//                             the last to FILE. LEAK: bytes the program
//                             itself leaks per cycle, on purpose (the test's
//                             check that the figures see a leak)
//
// Exit code 0: the worker ended and the program with it (load-cycles: every
// cycle ran); 10-29: a step failed; a crash ends it with the exception code.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
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

// What the process holds, by four measures: the system's private bytes
// (Wine reports 0 there), the commit it charges (Wine: the resident
// anonymous memory, in whole pages), the bytes of every heap block in use
// (byte-exact; the C runtime's malloc, hence new, allocates from these
// heaps), and the kernel handles.
struct Footprint {
  unsigned long long private_bytes = 0;
  unsigned long long pagefile_bytes = 0;
  unsigned long long heap_bytes = 0;
  unsigned long handles = 0;
};

Footprint footprint() {
  Footprint result;
  PROCESS_MEMORY_COUNTERS_EX counters;
  std::memset(&counters, 0, sizeof counters);
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(
          GetCurrentProcess(),
          reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
          sizeof counters)) {
    result.private_bytes = counters.PrivateUsage;
    result.pagefile_bytes = counters.PagefileUsage;
  }
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(256, heaps);
  for (DWORD i = 0; i < count && i < 256; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry;
    std::memset(&entry, 0, sizeof entry);
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
        result.heap_bytes += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles))
    result.handles = handles;
  return result;
}

void count_event(uint32_t, const TransceiverEvent*, void* context) {
  if (context != nullptr) InterlockedIncrement(static_cast<LONG*>(context));
}

// One load, use and free. 0, or the failed step's code.
int use_library_once() {
  constexpr const char* kName = "Kovra62386Communication.dll";
  library = LoadLibraryA(kName);
  if (library == nullptr) return 20;
  const auto initialize = resolve<InitializeFn>("_KOVRA62386_initialize@0");
  const auto terminate = resolve<TerminateFn>("_KOVRA62386_terminate@0");
  const auto enumerate = resolve<EnumerateFn>("_KOVRA62386_enumerate@0");
  const auto free_list =
      resolve<FreeEnumerationFn>("_KOVRA62386_free_enumeration@4");
  const auto open = resolve<OpenFn>("_KOVRA62386_open@4");
  const auto close = resolve<CloseFn>("_KOVRA62386_close@4");
  const auto read = resolve<ReadFn>("_KOVRA62386_read@8");
  const auto write = resolve<WriteFn>("_KOVRA62386_write@8");
  const auto send = resolve<SendAsStructFn>("_KOVRA62386_send@8");
  const auto start = resolve<StartFn>("_KOVRA62386_start_transceiver@12");
  const auto stop = resolve<StopFn>("_KOVRA62386_stop_transceiver@4");
  if (initialize() != 0) return 21;
  EnumerationNode* list = enumerate();
  if (list == nullptr) return 22;
  free_list(list);
  const uint32_t sent_on = open("SIM-1");
  const uint32_t read_on = open("SIM-2");
  if (sent_on == 0 || read_on == 0) return 23;
  LONG events = 0;
  if (start(sent_on, &count_event, &events) != 1) return 24;
  // Short address 0: QUERY CONTROL GEAR PRESENT.
  const WriteFrameRecord query =
      command(kovra62386::Address::short_address(0),
              kovra62386::gear::kQueryControlGearPresent);
  const SendResult result = send(sent_on, &query);
  if (result.status != KOVRA62386_SEND_ANSWER) return 25;
  const WriteFrameRecord off =
      command(kovra62386::Address::broadcast(), kovra62386::gear::kOff);
  write(read_on, &off);
  ReadFrameRecord record;
  int frames = 0;
  for (int tries = 0; tries < 2000 && frames == 0; ++tries) {
    const int32_t got = read(read_on, &record);
    if (got == KOVRA62386_READ_FRAME)
      ++frames;
    else if (got == KOVRA62386_READ_NOT_OPEN)
      return 26;
    else
      Sleep(1);
  }
  if (frames == 0) return 26;
  stop(sent_on);
  if (InterlockedCompareExchange(&events, 0, 0) == 0) return 27;
  close(sent_on);
  close(read_on);
  terminate();
  if (!FreeLibrary(library)) return 28;
  library = nullptr;
  // The last reference may be a library thread's, given back as it exits:
  // the unload has run once the module is gone.
  for (int waited = 0; GetModuleHandleA(kName) != nullptr; ++waited) {
    if (waited == 5000) return 29;
    Sleep(1);
  }
  return 0;
}

int load_cycles(const char* file, int cycles, int warm_up, int leak) {
  // Wine cannot unload and reload ws2_32 (the library's import): it stays.
  if (LoadLibraryA("ws2_32.dll") == nullptr) return 10;
  Footprint after_warm_up;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (const int failed = use_library_once()) return failed;
    if (leak > 0)
      std::memset(std::malloc(static_cast<size_t>(leak)), 1,
                  static_cast<size_t>(leak));
    if (cycle == warm_up) after_warm_up = footprint();
  }
  const Footprint last = footprint();
  FILE* out = std::fopen(file, "w");
  if (out == nullptr) return 11;
  std::fprintf(out, "%llu %llu %llu %lu %llu %llu %llu %lu\n",
               after_warm_up.private_bytes, after_warm_up.pagefile_bytes,
               after_warm_up.heap_bytes, after_warm_up.handles,
               last.private_bytes, last.pagefile_bytes, last.heap_bytes,
               last.handles);
  return std::fclose(out) == 0 ? 0 : 12;
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(&report_crash);
  if (argc < 2) return 2;
  const std::string scenario = argv[1];
  if (scenario == "load-cycles" && argc == 6)
    return load_cycles(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                       std::atoi(argv[5]));
  library = LoadLibraryA("Kovra62386Communication.dll");
  if (library == nullptr) return 3;
  if (scenario == "exit-in-initialize" && argc == 3)
    return exit_in_initialize(argv[2]);
  if (scenario == "free-after-terminate") return unload_with_worker(true);
  if (scenario == "terminate-in-callback") return unload_with_worker(false);
  return 2;
}
