// OpenDevice: one interface this client opened and the frames received for
// it that nobody has read yet. Self-contained, so a handle bound to it reads
// it without the communication object, which files the frames
// (frame_filing.cpp) and marks the device's end.
//
// It keeps at most kReceiveQueueLimit frames in fixed slots, so memory
// stays flat whatever the application reads; a full queue loses its oldest
// frame to the newest (counted in dropped()). Its wake-up moves for
// everything its readers wait for: a frame filed for it, DeviceClosed, its
// close, a lost link, its communication object replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "client/session/frame_ring.h"
#include "client/transport/arrival_signal.h"
#include "kovra62386/kovra62386.h"

namespace kovra62386 {

class Kovra62386Communication;

// One opened interface and its unread frames.
class OpenDevice {
 public:
  // Frames kept; beyond it the oldest give way, whether or not a reader is
  // reading.
  static constexpr std::size_t kReceiveQueueLimit =
      KOVRA62386_RECEIVE_QUEUE_LIMIT;

  OpenDevice(uint32_t index, uint32_t key)
      : index_(index), key_(key), received_(kReceiveQueueLimit) {}

  uint32_t index() const { return index_; }
  uint32_t key() const { return key_; }

  // KOVRA62386_READ_FRAME with the oldest frame in `record` (a frame that
  // does not decode is dropped and the next one tried); _EMPTY; or
  // _NOT_OPEN once the device is gone and its frames are read (`lost`:
  // the caller saw the connection fail before calling).
  int32_t read(ReadFrameRecord& record, bool lost = false);

  // Moves for every frame filed here and for every change that ends
  // reading: waiters take its generation before they read.
  ArrivalSignal& wakeup() { return wakeup_; }

  // Frames waiting to be read.
  std::size_t queued() const;

  // Frames that gave way to newer ones in a full queue, since the open.
  uint64_t dropped() const;

  // The server closed it (DeviceClosed): its queued frames are still
  // read, then it answers _NOT_OPEN. Written under the communication's
  // mutex and the device's, read under either.
  bool closed_by_server = false;

 private:
  friend class Kovra62386Communication;

  const uint32_t index_;
  const uint32_t key_;
  mutable std::mutex mutex_;  // guards everything below
  FrameRing received_;
  bool link_lost_ = false;  // read drains the frames, then _NOT_OPEN
  bool retired_ = false;    // its communication object was replaced
  bool detached_ = false;   // closed here: no frames come any more
  uint64_t dropped_ = 0;    // see dropped()
  ArrivalSignal wakeup_;
};

}  // namespace kovra62386
