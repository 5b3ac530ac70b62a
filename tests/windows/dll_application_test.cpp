// The DLL as a Windows application uses it: loaded by name, every function
// resolved by its decorated __stdcall name and called through __stdcall
// pointers with 32-bit arguments, callbacks in the default C convention, and
// the send result read from EDX:EAX both as a 64-bit integer and as the
// 8-byte structure. The library starts Kovra62386Server.exe from this
// program's folder; the test stops it at the end.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "export_types.h"
#include "kovra62386/kovra62386.h"
#include "platform/platform.h"

namespace {

struct Library {
  HMODULE module = nullptr;
  InitializeFn initialize = nullptr;
  TerminateFn terminate = nullptr;
  EnumerateFn enumerate = nullptr;
  FreeEnumerationFn free_enumeration = nullptr;
  OpenFn open = nullptr;
  CloseFn close = nullptr;
  ReadFn read = nullptr;
  WriteFn write = nullptr;
  SendAsIntegerFn send_as_integer = nullptr;
  SendAsStructFn send_as_struct = nullptr;
  StartFn start_transceiver = nullptr;
  StopFn stop_transceiver = nullptr;

  template <typename F>
  void resolve(F& out, const char* name) {
    out = reinterpret_cast<F>(
        reinterpret_cast<void*>(GetProcAddress(module, name)));
    ASSERT_NE(out, nullptr) << name;
  }

  void load() {
    module = LoadLibraryA("Kovra62386Communication.dll");
    ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();
    resolve(initialize, "_KOVRA62386_initialize@0");
    resolve(terminate, "_KOVRA62386_terminate@0");
    resolve(enumerate, "_KOVRA62386_enumerate@0");
    resolve(free_enumeration, "_KOVRA62386_free_enumeration@4");
    resolve(open, "_KOVRA62386_open@4");
    resolve(close, "_KOVRA62386_close@4");
    resolve(read, "_KOVRA62386_read@8");
    resolve(write, "_KOVRA62386_write@8");
    resolve(send_as_integer, "_KOVRA62386_send@8");
    resolve(send_as_struct, "_KOVRA62386_send@8");
    resolve(start_transceiver, "_KOVRA62386_start_transceiver@12");
    resolve(stop_transceiver, "_KOVRA62386_stop_transceiver@4");
  }
};

struct CallbackLog {
  std::atomic<int> events{0};
  std::atomic<int> forward{0};
  std::atomic<int> backward{0};
  std::atomic<bool> wrong_handle{false};
  uint32_t handle = 0;
};

// Default C convention, as the header declares it.
void on_event(uint32_t handle, const TransceiverEvent* event, void* context) {
  auto* log = static_cast<CallbackLog*>(context);
  if (log == nullptr) return;
  if (handle != log->handle) log->wrong_handle = true;
  if (event == nullptr) return;
  ++log->events;
  if (event->code == KOVRA62386_EVENT_FORWARD_FRAME) ++log->forward;
  if (event->code == KOVRA62386_EVENT_BACKWARD_FRAME) ++log->backward;
}

void stop_published_server() {
  auto& platform = kovra62386::platform::system_platform();
  if (auto pid = platform.read_dword(kovra62386::platform::Hive::CurrentUser,
                                     "ProcessId")) {
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                     static_cast<DWORD>(*pid))) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
  }
  const char* names[] = {"Host", "Port", "ProcessId"};
  platform.delete_values(kovra62386::platform::Hive::CurrentUser, names, 3);
}

class DllApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    // Wine cannot unload and reload ws2_32; hold it for the whole process.
    winsock_ = LoadLibraryA("ws2_32.dll");
    stop_published_server();
  }
  void TearDown() override {
    stop_published_server();
    if (winsock_) FreeLibrary(winsock_);
  }
  HMODULE winsock_ = nullptr;
};

TEST_F(DllApplication, UndecoratedNamesAreNotExported) {
  HMODULE module = LoadLibraryA("Kovra62386Communication.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetProcAddress(module, "KOVRA62386_read"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "KOVRA62386_read@8"), nullptr);
  EXPECT_NE(GetProcAddress(module, "_KOVRA62386_read@8"), nullptr);
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(DllApplication, FullSessionStartsTheServerAndUnloadsCleanly) {
  Library lib;
  ASSERT_NO_FATAL_FAILURE(lib.load());

  ASSERT_EQ(lib.initialize(), 0);

  std::set<std::string> names;
  EnumerationNode* list = lib.enumerate();
  for (EnumerationNode* node = list; node != nullptr; node = node->next)
    names.insert(node->name);
  lib.free_enumeration(list);
  ASSERT_TRUE(names.count("SIM-1")) << "SIM-1 not listed";

  const uint32_t handle = lib.open("SIM-1");
  ASSERT_NE(handle, 0u);

  CallbackLog log;
  log.handle = handle;
  ASSERT_EQ(lib.start_transceiver(handle, &on_event, &log), 1);
  EXPECT_EQ(lib.start_transceiver(handle, &on_event, &log), 0);

  // Short address 0: QUERY CONTROL GEAR PRESENT. The same transaction read
  // through both return types must agree: EDX:EAX carries status and answer.
  const WriteFrameRecord present =
      command(kovra62386::Address::short_address(0),
              kovra62386::gear::kQueryControlGearPresent);
  const uint64_t raw = lib.send_as_integer(handle, &present);
  const SendResult typed = lib.send_as_struct(handle, &present);
  EXPECT_EQ(static_cast<int32_t>(raw & 0xFFFFFFFFu), typed.status);
  EXPECT_EQ(static_cast<uint8_t>((raw >> 32) & 0xFF), typed.answer);
  EXPECT_EQ(typed.status, KOVRA62386_SEND_ANSWER);

  // A null frame and an unknown handle come back through the same registers.
  const SendResult null_frame = lib.send_as_struct(handle, nullptr);
  EXPECT_EQ(null_frame.status, KOVRA62386_SEND_NO_RESULT);
  const SendResult no_transceiver = lib.send_as_struct(handle + 1000, &present);
  EXPECT_EQ(no_transceiver.status, KOVRA62386_SEND_NO_TRANSCEIVER);

  EXPECT_EQ(lib.write(handle, &present), 2);
  EXPECT_EQ(lib.stop_transceiver(handle), 0);
  EXPECT_EQ(lib.stop_transceiver(handle), 0);
  EXPECT_GT(log.forward.load(), 0);
  EXPECT_GT(log.backward.load(), 0);
  EXPECT_FALSE(log.wrong_handle.load());

  // The frames of the plain write are there to read once no transceiver
  // takes them; a null record is refused.
  EXPECT_EQ(lib.read(handle, nullptr), KOVRA62386_READ_NOT_OPEN);
  lib.close(handle);
  ReadFrameRecord record;
  EXPECT_EQ(lib.read(handle, &record), KOVRA62386_READ_NOT_OPEN);
  lib.terminate();
  lib.terminate();
  EXPECT_TRUE(FreeLibrary(lib.module));
}

TEST_F(DllApplication, UnloadWithoutTerminateNeitherCrashesNorHangs) {
  Library lib;
  ASSERT_NO_FATAL_FAILURE(lib.load());
  ASSERT_EQ(lib.initialize(), 0);
  const uint32_t handle = [&] {
    EnumerationNode* list = lib.enumerate();
    lib.free_enumeration(list);
    return lib.open("SIM-2");
  }();
  EXPECT_NE(handle, 0u);
  CallbackLog log;
  log.handle = handle;
  EXPECT_EQ(lib.start_transceiver(handle, &on_event, &log), 1);
  // Connection and transceiver still running: unloading must stop them.
  EXPECT_TRUE(FreeLibrary(lib.module));

  // And the library loads and connects again in the same process.
  Library again;
  ASSERT_NO_FATAL_FAILURE(again.load());
  EXPECT_EQ(again.initialize(), 0);
  again.terminate();
  EXPECT_TRUE(FreeLibrary(again.module));
}

}  // namespace
