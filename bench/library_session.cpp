#include "library_session.h"

#include <chrono>

#include "kovra62386/dali_commands.hpp"

namespace kovra62386::bench {
namespace {

constexpr std::chrono::seconds kServerWait{5};

}  // namespace

LibrarySession::LibrarySession(sim::ServerOptions options) {
  options.port = KOVRA62386_SERVER_PORT;
  options.publish = true;
  observed_ = options.record_messages;
  server_ = std::make_unique<sim::ServerCore>(std::move(options));
  if (!server_->start()) {
    why_not_ = "port 42000 is in use (are tests running?)";
    return;
  }
  ok_ = KOVRA62386_initialize() == 0;
  if (!ok_) why_not_ = "KOVRA62386_initialize failed";
}

LibrarySession::~LibrarySession() {
  for (uint32_t handle : transceivers_) KOVRA62386_stop_transceiver(handle);
  for (uint32_t handle : handles_) KOVRA62386_close(handle);
  KOVRA62386_terminate();
  server_->stop();
}

uint32_t LibrarySession::open(const std::string& name) {
  if (!ok_) return 0;
  if (!enumerated_) {
    EnumerationNode* list = KOVRA62386_enumerate();
    KOVRA62386_free_enumeration(list);
    enumerated_ = list != nullptr;
  }
  const uint32_t handle = KOVRA62386_open(name.c_str());
  if (handle == 0) return 0;
  handles_.push_back(handle);
  opened_names_.insert(name);
  // A server that keeps no record cannot be watched; the library's own
  // writes still follow the OpenRequest on the one connection.
  if (!observed_) return handle;
  // Only the first handle of an interface sends an OpenRequest.
  const std::size_t wanted = opened_names_.size();
  server_->wait_until(
      [wanted](const sim::ServerObservation& seen) {
        std::size_t requests = 0;
        for (const sim::ClientMessage& m : seen.messages) {
          if (!m.bytes.empty() &&
              m.bytes[0] == static_cast<uint8_t>(MessageType::OpenRequest)) {
            ++requests;
          }
        }
        return requests >= wanted;
      },
      kServerWait);
  return handle;
}

bool LibrarySession::start_transceiver(uint32_t handle,
                                       TransceiverCallback callback,
                                       void* context) {
  if (KOVRA62386_start_transceiver(handle, callback, context) == 0) {
    return false;
  }
  transceivers_.push_back(handle);
  return true;
}

ReadFrameRecord numbered_bus_frame(uint32_t value) {
  ReadFrameRecord record{};
  record.frame_type = KOVRA62386_FRAME_BUS_EVENT;
  record.sub_type = KOVRA62386_BUS_EVENT_FORWARD;
  record.bus_event.bit_count = 16;
  record.bus_event.data[0] = 0xFF;  // broadcast OFF; the value numbers it
  record.bus_event.data[1] = gear::kOff;
  record.bus_event.value = value;
  return record;
}

std::vector<Message> make_flood(uint32_t frames, uint32_t interfaces,
                                uint32_t frames_per_batch) {
  std::vector<Message> batches;
  std::vector<uint32_t> next(interfaces, 0);
  ReadFrameRecord record = numbered_bus_frame(0);
  for (uint32_t sent = 0; sent < frames; sent += frames_per_batch) {
    Message batch;
    for (uint32_t i = sent; i < sent + frames_per_batch && i < frames; ++i) {
      const uint32_t index = i % interfaces;
      record.bus_event.value = next[index]++;
      const Message message =
          make_received_frame(static_cast<uint8_t>(index), record);
      batch.insert(batch.end(), message.begin(), message.end());
    }
    batches.push_back(std::move(batch));
  }
  return batches;
}

}  // namespace kovra62386::bench
