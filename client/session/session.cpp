#include "client/session/session.h"

#include <cstring>
#include <utility>

namespace kovra62386 {

Session::Snapshot Session::snapshot() const {
  std::lock_guard<std::mutex> lock(current_mutex_);
  if (released_.load()) return Snapshot{};
  // Owns nothing: the manager is part of the session.
  return Snapshot{std::shared_ptr<DeviceHandleManager>(
                      std::shared_ptr<DeviceHandleManager>(), &handles_),
                  current_};
}

std::shared_ptr<MyCommunication> Session::current() const {
  std::lock_guard<std::mutex> lock(current_mutex_);
  return current_;
}

std::shared_ptr<Kovra62386Communication::OpenDevice> Session::device_of(
    uint32_t handle) const {
  if (released_.load()) return nullptr;
  return handles_.device_of(handle);
}

std::shared_ptr<ArrivalSignal> Session::wakeup_of(uint32_t handle) const {
  auto device = device_of(handle);
  if (!device) return nullptr;
  ArrivalSignal& wakeup = device->wakeup();
  return std::shared_ptr<ArrivalSignal>(std::move(device), &wakeup);
}

std::vector<std::string> Session::enumerate() {
  const auto communication = snapshot().communication;
  if (!communication) return {};
  return communication->enumerate();
}

uint32_t Session::open(std::string_view name) {
  const auto [manager, communication] = snapshot();
  if (!manager || !communication) return 0;
  return manager->open(*communication, name);
}

void Session::close(uint32_t handle) {
  const auto [manager, communication] = snapshot();
  if (!manager) return;
  const DeviceHandleManager::Closed closed =
      manager->close(communication.get(), handle);
  if (!closed.removed) return;
  // A transceiver waiting on this handle wakes and finds it closed.
  if (closed.device) closed.device->wakeup().notify();
  ArrivalSignal::global().notify();
}

int32_t Session::read(uint32_t handle, ReadFrameRecord& record) {
  // The handle's device holds its frames and knows when it is gone: no
  // lock but the handle index's and the device's own.
  const auto device = device_of(handle);
  if (!device) return KOVRA62386_READ_NOT_OPEN;
  // Decoded straight into the caller's record, which stays as it was
  // unless a frame is delivered; the decoder never writes bytes 2-3.
  return device->read(record);
}

int32_t Session::write(uint32_t handle, const WriteFrameRecord& frame) {
  const auto [manager, communication] = snapshot();
  if (!manager || !communication) return kWriteOutcomeInFrames;
  const uint32_t key = manager->device_key_of(handle);
  if (key == 0) return kWriteOutcomeInFrames;
  // Bytes 2-3 of the caller's record are never read.
  WriteFrameRecord copy{};
  auto* out = reinterpret_cast<unsigned char*>(&copy);
  const auto* in = reinterpret_cast<const unsigned char*>(&frame);
  std::memcpy(out, in, 2);
  std::memcpy(out + 4, in + 4, sizeof(WriteFrameRecord) - 4);
  communication->write(key, copy);
  return kWriteOutcomeInFrames;
}

std::shared_ptr<MyCommunication> Session::replace(
    std::shared_ptr<MyCommunication> fresh) {
  std::lock_guard<std::mutex> lock(current_mutex_);
  return std::exchange(current_, std::move(fresh));
}

bool Session::try_take_current(
    std::shared_ptr<MyCommunication>& last) noexcept {
  std::unique_lock<std::mutex> lock(current_mutex_, std::try_to_lock);
  if (!lock) return false;
  last = std::move(current_);
  return true;
}

}  // namespace kovra62386
