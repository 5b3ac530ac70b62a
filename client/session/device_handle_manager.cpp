#include "client/session/device_handle_manager.h"

#include <algorithm>

namespace kovra62386 {

using Lock = std::lock_guard<std::recursive_mutex>;

std::unique_lock<std::recursive_mutex> DeviceHandleManager::lock() const {
  return std::unique_lock<std::recursive_mutex>(mutex_);
}

uint32_t DeviceHandleManager::open(Kovra62386Communication& communication,
                                   std::string_view name) {
  // Check and update are one step for other threads.
  Lock lock(mutex_);
  const auto found = entries_.find(name);
  DeviceEntry* const existing =
      found == entries_.end() ? nullptr : &found->second;
  uint32_t key = 0;
  bool opened_here = false;
  if (existing && existing->opened &&
      communication.is_device_open(existing->device_key)) {
    key = existing->device_key;  // shared with the name's other handles
  } else {
    // Recorded as open, but its device is gone (DeviceClosed, or a new
    // initialize): those handles stay dead and the name opens afresh.
    if (existing && existing->opened) forget_handles(name);
    key = communication.open(name);
    if (key == 0) {
      set_state(name, 0, false);
      return 0;
    }
    opened_here = true;
  }
  try {
    const uint32_t handle = add_handle(name);
    set_state(name, key, true, communication.device(key));
    return handle;
  } catch (...) {
    // No handle can reach the device: do not leave it open at the server.
    if (opened_here) communication.close(key);
    throw;
  }
}

DeviceHandleManager::Closed DeviceHandleManager::close(
    Kovra62386Communication* communication, uint32_t handle) {
  Lock lock(mutex_);
  Closed closed;
  closed.device = device_of(handle);
  closed.removed = remove_handle(handle);
  if (!closed.removed) return closed;
  for (const auto& entry : entries_without_handles()) {
    // Sends the CloseRequest only for a key that is still open.
    if (communication && entry.device_key != 0) {
      communication->close(entry.device_key);
    }
    set_state(entry.name, 0, false);
  }
  return closed;
}

bool DeviceHandleManager::is_open(std::string_view name) const {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  return it != entries_.end() && it->second.opened;
}

std::optional<DeviceHandleManager::DeviceEntry> DeviceHandleManager::entry(
    std::string_view name) const {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool DeviceHandleManager::registered(uint32_t handle) const {
  return by_handle_.count(handle) != 0;
}

uint32_t DeviceHandleManager::add_handle(std::string_view name) {
  Lock lock(mutex_);
  uint32_t handle = 0;
  for (;;) {
    handle = last_handle_.fetch_add(1) + 1;
    if (handle == 0) {
      // 0 is "no handle"; from here on a number may still be in use.
      wrapped_ = true;
      continue;
    }
    if (!wrapped_ || !registered(handle)) break;
  }
  auto it = entries_.find(name);
  if (it == entries_.end()) {
    it = entries_.emplace(std::string(name), DeviceEntry{}).first;
  }
  it->second.name = it->first;
  by_handle_.emplace(handle, &it->second);
  try {
    it->second.handles.push_back(handle);
  } catch (...) {
    by_handle_.erase(handle);
    throw;
  }
  return handle;
}

void DeviceHandleManager::restart_count(uint32_t last_handle) {
  Lock lock(mutex_);
  last_handle_ = last_handle;
  wrapped_ = true;
}

uint32_t DeviceHandleManager::device_key_of(uint32_t handle) const {
  if (handle == 0) return 0;
  Lock lock(mutex_);
  const auto it = by_handle_.find(handle);
  return it == by_handle_.end() ? 0 : it->second->device_key;
}

std::shared_ptr<Kovra62386Communication::OpenDevice>
DeviceHandleManager::device_of(uint32_t handle) const {
  Lock lock(mutex_);
  const auto it = by_handle_.find(handle);
  return it == by_handle_.end() ? nullptr : it->second->device;
}

void DeviceHandleManager::set_state(
    std::string_view name, uint32_t device_key, bool opened,
    std::shared_ptr<Kovra62386Communication::OpenDevice> device) {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  if (it == entries_.end()) return;
  it->second.device_key = device_key;
  it->second.opened = opened;
  it->second.device = std::move(device);
}

bool DeviceHandleManager::remove_handle(uint32_t handle) {
  if (handle == 0) return false;
  Lock lock(mutex_);
  const auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return false;
  std::vector<uint32_t>& handles = it->second->handles;
  handles.erase(std::remove(handles.begin(), handles.end(), handle),
                handles.end());
  by_handle_.erase(it);
  return true;
}

void DeviceHandleManager::forget_handles(std::string_view name) {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  if (it == entries_.end()) return;
  for (const uint32_t handle : it->second.handles) by_handle_.erase(handle);
  it->second.handles.clear();
}

bool DeviceHandleManager::clear() {
  std::map<std::string, DeviceEntry, std::less<>> entries;
  std::unordered_map<uint32_t, DeviceEntry*> by_handle;
  {
    // Never waits: it runs where the library is unloaded.
    std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return false;
    // Swapped out rather than cleared, so the index's buckets go as well.
    entries.swap(entries_);
    by_handle.swap(by_handle_);
  }
  // The entries and their devices go here, outside the manager's lock.
  return true;
}

std::vector<DeviceHandleManager::DeviceEntry>
DeviceHandleManager::entries_without_handles() const {
  Lock lock(mutex_);
  std::vector<DeviceEntry> result;
  for (const auto& [name, entry] : entries_) {
    if (entry.handles.empty()) result.push_back(entry);
  }
  return result;
}

}  // namespace kovra62386
