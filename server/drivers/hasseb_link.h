// The hasseb DALI Master on its hidraw node: reads one report per read,
// feeds it to HassebProtocol, writes the reports it makes (with the
// report-number byte a hidraw write takes) and runs its deadlines on an
// Asio timer. Plain read and write on the node: no libusb, nothing
// detached from the kernel.
//
// Where the unit is:
//  - a hidraw node ("/dev/hidraw3");
//  - "usb:PORT" ("usb:1-1.2"), the hasseb at that USB port, whatever its
//    node is now (see hasseb_discovery.h);
//  - the path of a listening Unix SOCK_SEQPACKET socket, for tests and
//    emulators: each message is one report, exactly as on the node.
//
// A link that goes away (EOF, EIO, ENODEV, a hang-up) is closed at once
// and reported once: its descriptor is never polled again. A unit whose
// firmware is too old is closed and reported lost with what to do; the
// same node is then refused at once with that message, without asking
// again, until it is replaced (the unit replugged, as updating it takes).
//
// Runs on one Asio thread; not thread-safe by itself.
#pragma once

#include <sys/types.h>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/drivers/bus_driver.h"
#include "server/drivers/hasseb_discovery.h"
#include "server/drivers/hasseb_protocol.h"
#include "server/drivers/link_core.h"
#include "server/drivers/write_queue.h"

namespace kovra62386::sim::drivers {

// Why the node at `path` cannot be opened (`error` is an errno), in words
// that say what to do: a missing permission names the node, its owner,
// group and mode, and the udev rules that grant it.
std::string hidraw_open_error(const std::string& path, int error);

class HassebLink final : public BusDriver {
 public:
  // One device node: a replug makes a new one, with a new change time even
  // where the file system reuses the inode number.
  struct NodeIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t changed_s = 0;
    int64_t changed_ns = 0;
    bool operator==(const NodeIdentity&) const = default;
  };

  HassebLink(boost::asio::io_context& io, Handler& handler,
             HidrawRoots roots = {});
  ~HassebLink() override;
  HassebLink(const HassebLink&) = delete;
  HassebLink& operator=(const HassebLink&) = delete;

  bool open(const std::string& where, std::string& error) override;
  bool is_open() const override { return port_.is_open(); }
  void close() override;

  bool can_transmit() const override;
  void transmit(const TransmitRequest& request) override;

  std::string firmware_version() const override {
    return protocol_.firmware_version();
  }
  // The unit does not report bus power.
  bool bus_powered() const override { return true; }

  const HassebProtocol& protocol() const { return protocol_; }

 private:
  void read_next();
  void write(const HassebProtocol::Report& report);
  void write_next();
  bool deliver();
  void arm_deadline();
  void lost(const std::string& why);

  LinkCore core_;
  const HidrawRoots roots_;
  boost::asio::posix::stream_descriptor port_;
  HassebProtocol protocol_;
  bool socket_ = false;  // a seqpacket socket, not a hidraw node
  // Larger than a report, so that an oversized one shows as such.
  std::array<uint8_t, 64> buffer_{};
  WriteQueue<std::vector<uint8_t>> writes_;
  bool waiting_to_write_ = false;
  std::string path_;  // the node or socket open now
  // The node of a unit refused for its firmware, and why.
  std::optional<NodeIdentity> refused_node_;
  std::string refusal_;
  bool opening_ = false;
  std::string open_failure_;  // a write that failed while opening
};

}  // namespace kovra62386::sim::drivers
