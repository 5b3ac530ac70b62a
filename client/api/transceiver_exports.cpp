// The three transceiver exports. Each checks its arguments, calls one
// operation of the transceiver registry or a transceiver, and catches
// everything: no exception leaves them.
#include <cstring>
#include <memory>

#include "client/api/library_state.h"
#include "client/transceiver/transceiver_registry.h"
#include "kovra62386/kovra62386.h"

using kovra62386::TransceiverRegistry;

extern "C" KOVRA62386_API SendResult KOVRA62386_CALL
KOVRA62386_send(uint32_t handle, const WriteFrameRecord* frame) {
  SendResult result;
  std::memset(&result, 0, sizeof result);
  try {
    // The reference keeps the transceiver alive should it be stopped while
    // this send waits.
    auto transceiver = TransceiverRegistry::instance().find(handle);
    if (!transceiver) {
      result.status = KOVRA62386_SEND_NO_TRANSCEIVER;
      return result;
    }
    if (frame == nullptr) {
      result.status = KOVRA62386_SEND_NO_RESULT;
      return result;
    }
    return transceiver->send(*frame);
  } catch (...) {
    std::memset(&result, 0, sizeof result);
    result.status = KOVRA62386_SEND_NO_RESULT;
    return result;
  }
}

extern "C" KOVRA62386_API uint8_t KOVRA62386_CALL KOVRA62386_start_transceiver(
    uint32_t handle, TransceiverCallback callback, void* context) {
  try {
    return TransceiverRegistry::instance().start(
               handle, callback, context,
               kovra62386::api::LibraryState::instance().session())
               ? 1
               : 0;
  } catch (...) {
    return 0;
  }
}

extern "C" KOVRA62386_API int32_t KOVRA62386_CALL
KOVRA62386_stop_transceiver(uint32_t handle) {
  try {
    TransceiverRegistry::instance().stop(handle);
  } catch (...) {
  }
  return 0;
}
