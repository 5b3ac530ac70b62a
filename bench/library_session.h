// The library talking to an in-process server. The library always connects
// to 127.0.0.1:42000 and takes the server's publication below the
// benchmark's private registry root as the sign that one runs; so these
// benchmarks need port 42000 free (they must not run beside the tests), and
// none can make the library start a server program (the benchmark programs
// live in a folder without one).
#pragma once

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kovra62386/kovra62386.h"
#include "server/server_core.h"

namespace kovra62386::bench {

class LibrarySession {
 public:
  // Starts the server with `options` on port 42000, published, and
  // initialises the library against it; ok() tells whether both worked,
  // why_not() what failed.
  explicit LibrarySession(sim::ServerOptions options);
  // Stops every transceiver, closes every handle, terminates the library
  // and stops the server.
  ~LibrarySession();
  LibrarySession(const LibrarySession&) = delete;
  LibrarySession& operator=(const LibrarySession&) = delete;

  bool ok() const { return ok_; }
  const std::string& why_not() const { return why_not_; }
  sim::ServerCore& server() { return *server_; }

  // Enumerates (once) and opens `name`; waits until the server has seen the
  // OpenRequest (when it records messages), so frames sent afterwards reach
  // the new handle. 0 on failure.
  uint32_t open(const std::string& name);
  // Starts a transceiver on `handle`; stopped again by the destructor.
  bool start_transceiver(uint32_t handle, TransceiverCallback callback,
                         void* context);

 private:
  std::unique_ptr<sim::ServerCore> server_;
  bool ok_ = false;
  std::string why_not_;
  bool enumerated_ = false;
  bool observed_ = true;  // the server records what it receives
  std::set<std::string> opened_names_;
  std::vector<uint32_t> handles_;
  std::vector<uint32_t> transceivers_;
};

// A forward frame seen on the bus (16 bits, broadcast OFF), numbered
// `value` so that a reader can count order and loss.
ReadFrameRecord numbered_bus_frame(uint32_t value);

// A flood of ReceivedFrame messages: numbered_bus_frame (15 bytes each),
// round robin over interface indexes 0 to
// `interfaces` - 1, each interface's frames numbered 0, 1, 2, ... in
// `value`; cut into batches that the server sends with one call each.
std::vector<Message> make_flood(uint32_t frames, uint32_t interfaces,
                                uint32_t frames_per_batch = 1000);

// Sends the batches from a thread of its own, as the server's clients would
// see a busy bus; the destructor waits until all went out.
class Flood {
 public:
  Flood(sim::ServerCore& server, const std::vector<Message>& batches)
      : thread_([&server, &batches] {
          for (const Message& batch : batches) server.send_raw(batch);
        }) {}
  ~Flood() { thread_.join(); }
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

 private:
  std::thread thread_;
};

}  // namespace kovra62386::bench
