// The exported functions of the session: lifecycle, enumeration, open and
// close, read and write. Each checks its arguments, calls the core, maps the
// result, and catches everything: no exception reaches a C caller.
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/api/library_state.h"
#include "client/session/communication.h"
#include "client/session/device_handle_manager.h"
#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"

using kovra62386::ArrivalSignal;
using kovra62386::DeviceHandleManager;
using kovra62386::api::LibraryState;

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL KOVRA62386_initialize(void) {
  try {
    return LibraryState::instance().initialize();
  } catch (...) {
    return -1;
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL KOVRA62386_terminate(void) {
  try {
    LibraryState::instance().terminate();
  } catch (...) {
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL
KOVRA62386_free_enumeration(EnumerationNode* first) {
  while (first != nullptr) {
    EnumerationNode* const next = first->next;
    delete[] first->name;
    delete first;
    first = next;
  }
}

extern "C" KOVRA62386_API EnumerationNode* KOVRA62386_CALL
KOVRA62386_enumerate(void) {
  EnumerationNode* first = nullptr;
  try {
    const auto communication =
        LibraryState::instance().snapshot().communication;
    if (!communication) return nullptr;
    const std::vector<std::string> names = communication->enumerate();
    EnumerationNode** link = &first;
    for (const std::string& name : names) {
      // Linked before its name is allocated, so a failure frees it too.
      auto* node = new EnumerationNode{nullptr, nullptr};
      *link = node;
      link = &node->next;
      node->name = new char[name.size() + 1];
      std::memcpy(node->name, name.data(), name.size());
      node->name[name.size()] = '\0';
    }
    return first;
  } catch (...) {
    KOVRA62386_free_enumeration(first);
    return nullptr;
  }
}

extern "C" KOVRA62386_API uint32_t KOVRA62386_CALL
KOVRA62386_open(const char* name) {
  if (name == nullptr) return 0;
  try {
    const auto [manager, communication] = LibraryState::instance().snapshot();
    if (!manager || !communication) return 0;
    const std::string_view wanted(name);
    DeviceHandleManager& handles = *manager;
    // Check and update are one step for other threads.
    const auto held = handles.lock();

    const auto entry = handles.entry(wanted);
    uint32_t key = 0;
    bool opened_here = false;
    if (entry && entry->opened &&
        communication->is_device_open(entry->device_key)) {
      key = entry->device_key;  // shared with the name's other handles
    } else {
      // Recorded as open, but its device is gone (DeviceClosed, or a new
      // initialize): those handles stay dead and the name opens afresh.
      if (entry && entry->opened) handles.forget_handles(wanted);
      key = communication->open(wanted);
      if (key == 0) {
        handles.set_state(wanted, 0, false);
        return 0;
      }
      opened_here = true;
    }
    try {
      const uint32_t handle = handles.add_handle(wanted);
      handles.set_state(wanted, key, true, communication->device(key));
      return handle;
    } catch (...) {
      // No handle can reach the device: do not leave it open at the server.
      if (opened_here) communication->close(key);
      throw;
    }
  } catch (...) {
    return 0;
  }
}

extern "C" KOVRA62386_API void KOVRA62386_CALL
KOVRA62386_close(uint32_t handle) {
  try {
    const auto [manager, communication] = LibraryState::instance().snapshot();
    if (!manager) return;
    DeviceHandleManager& handles = *manager;
    std::shared_ptr<kovra62386::Kovra62386Communication::OpenDevice> device;
    {
      const auto held = handles.lock();
      device = handles.device_of(handle);
      if (!handles.remove_handle(handle)) return;
      for (const auto& entry : handles.entries_without_handles()) {
        // Sends the CloseRequest only for a key that is still open.
        if (communication && entry.device_key != 0) {
          communication->close(entry.device_key);
        }
        handles.set_state(entry.name, 0, false);
      }
    }
    // A transceiver waiting on this handle wakes and finds it closed.
    if (device) device->wakeup().notify();
    ArrivalSignal::global().notify();
  } catch (...) {
  }
}

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_read(uint32_t handle, ReadFrameRecord* record) {
  if (record == nullptr) return KOVRA62386_READ_NOT_OPEN;
  try {
    // The handle's device holds its frames and knows when it is gone: no
    // lock but the handle index's and the device's own.
    const auto device = LibraryState::instance().device_of(handle);
    if (!device) return KOVRA62386_READ_NOT_OPEN;
    // Decoded straight into the caller's record, which stays as it was
    // unless a frame is delivered; the decoder never writes bytes 2-3.
    return device->read(*record);
  } catch (...) {
    // Nothing was delivered; the caller may try again.
    return KOVRA62386_READ_EMPTY;
  }
}

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_write(uint32_t handle, const WriteFrameRecord* frame) {
  // The result never tells anything about the transmission: always 2.
  if (frame == nullptr) return 2;
  try {
    const auto [manager, communication] = LibraryState::instance().snapshot();
    if (!manager || !communication) return 2;
    const uint32_t key = manager->device_key_of(handle);
    if (key == 0) return 2;
    // Bytes 2-3 of the caller's record are never read.
    WriteFrameRecord copy{};
    auto* out = reinterpret_cast<unsigned char*>(&copy);
    const auto* in = reinterpret_cast<const unsigned char*>(frame);
    std::memcpy(out, in, 2);
    std::memcpy(out + 4, in + 4, sizeof(WriteFrameRecord) - 4);
    communication->write(key, copy);
  } catch (...) {
  }
  return 2;
}
