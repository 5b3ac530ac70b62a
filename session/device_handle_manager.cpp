#include "session/device_handle_manager.h"

#include <algorithm>

namespace kovra62386 {

using Lock = std::lock_guard<std::recursive_mutex>;

std::unique_lock<std::recursive_mutex> DeviceHandleManager::lock() const {
  return std::unique_lock<std::recursive_mutex>(mutex_);
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
  for (const auto& [name, entry] : entries_) {
    if (std::find(entry.handles.begin(), entry.handles.end(), handle) !=
        entry.handles.end()) {
      return true;
    }
  }
  return false;
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
  it->second.handles.push_back(handle);
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
  for (const auto& [name, entry] : entries_) {
    if (std::find(entry.handles.begin(), entry.handles.end(), handle) !=
        entry.handles.end()) {
      return entry.device_key;
    }
  }
  return 0;
}

void DeviceHandleManager::set_state(std::string_view name, uint32_t device_key,
                                    bool opened) {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  if (it == entries_.end()) return;
  it->second.device_key = device_key;
  it->second.opened = opened;
}

bool DeviceHandleManager::remove_handle(uint32_t handle) {
  if (handle == 0) return false;
  Lock lock(mutex_);
  bool removed = false;
  for (auto& [name, entry] : entries_) {
    const auto end =
        std::remove(entry.handles.begin(), entry.handles.end(), handle);
    if (end != entry.handles.end()) {
      entry.handles.erase(end, entry.handles.end());
      removed = true;
    }
  }
  return removed;
}

void DeviceHandleManager::forget_handles(std::string_view name) {
  Lock lock(mutex_);
  const auto it = entries_.find(name);
  if (it != entries_.end()) it->second.handles.clear();
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
