// DeviceHandleManager: the handles applications hold, the interface name
// each belongs to, and the device key that name is open under. Several
// handles may share one opened interface.
//
// Thread-safe: every operation takes the manager's own recursive mutex;
// open and close hold it across their check and update, so they are one
// step for other threads (a caller composing its own does the same with
// lock()). Lock order: this
// manager, then the communication object (and its devices), then the
// connection. Reading a handle takes the manager and then, with the
// manager released, the handle's device. A handle
// finds its device through an index, so reading one costs a hash look-up.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "client/session/communication.h"
#include "platform/recursive_mutex.h"

namespace kovra62386 {

// The handles applications hold and the opened interfaces they share.
class DeviceHandleManager {
 public:
  struct DeviceEntry {
    std::string name;
    uint32_t device_key = 0;  // 0: not open in any communication object
    bool opened = false;
    std::vector<uint32_t> handles;  // in order of issue
    // The opened device the handles read, while opened.
    std::shared_ptr<Kovra62386Communication::OpenDevice> device;
  };

  // `last_handle` is the count of handles issued so far (a test hook for
  // the wrap past 2^32 - 1).
  explicit DeviceHandleManager(uint32_t last_handle = 0)
      : last_handle_(last_handle) {}

  DeviceHandleManager(const DeviceHandleManager&) = delete;
  DeviceHandleManager& operator=(const DeviceHandleManager&) = delete;

  // A new handle on the name. The name's device is shared with its other
  // handles while it is open; a device that is gone (DeviceClosed, or a new
  // initialize) leaves its handles dead, and the name is opened afresh.
  // 0 when the communication object cannot open the name. A device opened
  // here that no handle could be issued for is closed again, so it is not
  // left open at the server. May throw.
  uint32_t open(Kovra62386Communication& communication, std::string_view name);

  // What close did: whether the handle was known, and the device it read.
  struct Closed {
    bool removed = false;
    std::shared_ptr<Kovra62386Communication::OpenDevice> device;
  };
  // Removes the handle. A name left without handles is closed: its device
  // gets the CloseRequest (when `communication` is not null and still has
  // it open) and the entry counts as closed. The caller wakes the device's
  // waiters, outside the manager. May throw.
  Closed close(Kovra62386Communication* communication, uint32_t handle);

  // Holds the manager for a sequence of calls.
  std::unique_lock<std::recursive_mutex> lock() const;

  // True when an entry for the name exists and counts as open.
  bool is_open(std::string_view name) const;

  // A copy of the name's entry, if there is one.
  std::optional<DeviceEntry> entry(std::string_view name) const;

  // Issues the next handle and records it for the name (creating the entry
  // on the first handle). Handles run 1, 2, 3, ...; past 2^32 - 1 the count
  // starts again at 1, skipping 0 and every handle still registered.
  uint32_t add_handle(std::string_view name);

  // The device key of the entry holding the handle; 0 when none does.
  uint32_t device_key_of(uint32_t handle) const;

  // The device the handle's entry is open on; null when none.
  std::shared_ptr<Kovra62386Communication::OpenDevice> device_of(
      uint32_t handle) const;

  // Sets key, open flag and device of an existing entry; creates none.
  void set_state(
      std::string_view name, uint32_t device_key, bool opened,
      std::shared_ptr<Kovra62386Communication::OpenDevice> device = nullptr);

  // Removes the handle wherever it is recorded; true when it was.
  bool remove_handle(uint32_t handle);

  // Forgets every handle of the name: they become unknown (their device
  // was lost and the name is being opened afresh).
  void forget_handles(std::string_view name);

  // Copies of every entry without handles, in name order.
  std::vector<DeviceEntry> entries_without_handles() const;

  // Forgets every entry and handle (the library is unloaded) and gives
  // back their memory, index included; devices that nobody else holds go
  // with them. The count goes on. Never waits: while another thread holds
  // the manager it is using the entries, so nothing is forgotten and the
  // result is false; true once the manager is empty.
  bool clear();

  uint32_t last_handle() const { return last_handle_.load(); }
  // Test hook: the count goes back as after a wrap past 2^32 - 1.
  void restart_count(uint32_t last_handle);

 private:
  bool registered(uint32_t handle) const;

  mutable platform::RecursiveMutex mutex_;
  // Byte-wise, unsigned, shorter-first order; case-sensitive.
  std::map<std::string, DeviceEntry, std::less<>> entries_;
  // Every registered handle and the entry holding it (map nodes stay put).
  std::unordered_map<uint32_t, DeviceEntry*> by_handle_;
  std::atomic<uint32_t> last_handle_;
  bool wrapped_ = false;  // handles may now collide with live ones
};

}  // namespace kovra62386
