// The Win32 platform: the registry, CreateProcessA, GetModuleFileNameA and
// a named mutex.
#include <windows.h>

#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace kovra62386::platform {
namespace {

constexpr DWORD kTextBufferSize = static_cast<DWORD>(kRegistryTextLimit);
constexpr DWORD kModulePathSize = 1024;

HKEY hive_handle(Hive hive) {
  return hive == Hive::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// Text in the system code page as UTF-16; empty when it does not convert.
std::wstring to_wide(const char* text) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  if (::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length) !=
      length) {
    return {};
  }
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

// An open registry key, closed on every path.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  bool open(Hive hive, REGSAM access) {
    const std::wstring path = to_wide(kServerKey);
    return ::RegOpenKeyExW(hive_handle(hive), path.c_str(), 0, access, &key_) ==
           ERROR_SUCCESS;
  }

  bool create(Hive hive) {
    const std::wstring path = to_wide(kServerKey);
    return ::RegCreateKeyExW(hive_handle(hive), path.c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                             &key_, nullptr) == ERROR_SUCCESS;
  }

  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class Win32NamedMutexLock final : public NamedMutexLock {
 public:
  Win32NamedMutexLock(const char* name, std::chrono::milliseconds timeout) {
    handle_ = ::CreateMutexA(nullptr, TRUE, name);
    if (handle_ == nullptr) return;
    // Initial ownership is granted only to the creator; a mutex that already
    // existed is waited for.
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      owned_ = true;
      return;
    }
    const auto limit = std::chrono::milliseconds(INFINITE - 1);
    const auto bounded = timeout.count() < 0
                             ? std::chrono::milliseconds(0)
                             : (timeout > limit ? limit : timeout);
    const DWORD result =
        ::WaitForSingleObject(handle_, static_cast<DWORD>(bounded.count()));
    // An abandoned mutex is owned now: its former owner ended without
    // releasing it.
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  }

  ~Win32NamedMutexLock() override {
    if (handle_ == nullptr) return;
    if (owned_) ::ReleaseMutex(handle_);
    ::CloseHandle(handle_);
  }

  Win32NamedMutexLock(const Win32NamedMutexLock&) = delete;
  Win32NamedMutexLock& operator=(const Win32NamedMutexLock&) = delete;

  bool owned() const override { return owned_; }

 private:
  HANDLE handle_ = nullptr;
  bool owned_ = false;
};

class Win32Platform final : public Platform {
 public:
  std::optional<std::string> read_text(Hive hive, const char* name) override {
    if (name == nullptr) return std::nullopt;
    RegistryKey key;
    if (!key.open(hive, KEY_READ)) return std::nullopt;
    char buffer[kTextBufferSize] = {};
    DWORD size = sizeof(buffer);
    // RRF_RT_REG_SZ turns a value of another type, and a text too long for
    // the buffer, into a failure.
    if (::RegGetValueA(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, buffer,
                       &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::string(buffer, ::strnlen(buffer, sizeof(buffer)));
  }

  std::optional<uint32_t> read_dword(Hive hive, const char* name) override {
    if (name == nullptr) return std::nullopt;
    RegistryKey key;
    if (!key.open(hive, KEY_READ)) return std::nullopt;
    const std::wstring wide_name = to_wide(name);
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(key.get(), nullptr, wide_name.c_str(), RRF_RT_REG_DWORD,
                       nullptr, &value, &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return static_cast<uint32_t>(value);
  }

  void delete_values(Hive hive, const char* const* names,
                     std::size_t count) override {
    RegistryKey key;
    if (names == nullptr || !key.open(hive, KEY_SET_VALUE)) return;
    for (std::size_t i = 0; i < count; ++i) {
      if (names[i] != nullptr) ::RegDeleteValueA(key.get(), names[i]);
    }
  }

  bool write_text(Hive hive, const char* name,
                  const std::string& value) override {
    if (name == nullptr || value.size() >= std::numeric_limits<DWORD>::max()) {
      return false;
    }
    RegistryKey key;
    if (!key.create(hive)) return false;
    return ::RegSetValueExA(key.get(), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1)) ==
           ERROR_SUCCESS;
  }

  bool write_dword(Hive hive, const char* name, uint32_t value) override {
    if (name == nullptr) return false;
    RegistryKey key;
    if (!key.create(hive)) return false;
    const DWORD data = value;
    return ::RegSetValueExA(key.get(), name, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&data),
                            sizeof(data)) == ERROR_SUCCESS;
  }

  std::string executable_path() override {
    // No module handle: the process's executable, not this library.
    char buffer[kModulePathSize] = {};
    if (::GetModuleFileNameA(nullptr, buffer, kModulePathSize) == 0) return {};
    return std::string(buffer, ::strnlen(buffer, sizeof(buffer)));
  }

  bool launch_program(const std::string& path) override {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0,
                          nullptr, nullptr, &startup, &process)) {
      return false;
    }
    // The server lives on its own; nothing here holds on to it.
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
  }

  std::unique_ptr<NamedMutexLock> acquire_named_mutex(
      const char* name, std::chrono::milliseconds timeout) override {
    return std::make_unique<Win32NamedMutexLock>(name, timeout);
  }

  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::now();
  }

  void sleep_for(std::chrono::milliseconds duration) override {
    if (duration.count() > 0) std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Platform& system_platform() {
  // Never destroyed: it may be used from other objects' destructors at exit.
  // Static storage rather than the heap: a leak checker would report the
  // object after the library is unloaded.
  alignas(Win32Platform) static unsigned char storage[sizeof(Win32Platform)];
  static auto* const instance = new (storage) Win32Platform;
  return *instance;
}

}  // namespace kovra62386::platform
