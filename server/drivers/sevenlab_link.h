// The SevenLab interface on its tty: opens the device (500 000 baud 8N1,
// raw), feeds what it reads to SevenLabProtocol, writes the commands it
// makes and runs its deadlines on an Asio timer. POSIX ttys only for now
// (a pty in tests). Not yet part of the server's interfaces.
//
// A link that goes away (EOF, EIO, ENODEV, a hang-up) is closed at once
// and reported once: its descriptor is never polled again, so a dead
// device costs nothing until someone opens it again.
//
// Runs on one Asio thread; not thread-safe by itself.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <string>

#include "server/drivers/bus_driver.h"
#include "server/drivers/link_core.h"
#include "server/drivers/sevenlab_protocol.h"
#include "server/drivers/write_queue.h"

namespace kovra62386::sim::drivers {

class SevenLabLink final : public BusDriver {
 public:
  SevenLabLink(boost::asio::io_context& io, Handler& handler);
  ~SevenLabLink() override;
  SevenLabLink(const SevenLabLink&) = delete;
  SevenLabLink& operator=(const SevenLabLink&) = delete;

  // Opens and configures the tty at `path` and asks for the firmware
  // version.
  bool open(const std::string& path, std::string& error) override;
  bool is_open() const override { return port_.is_open(); }
  void close() override;

  bool can_transmit() const override;
  void transmit(const TransmitRequest& request) override;

  std::string firmware_version() const override {
    return protocol_.firmware_version();
  }
  bool bus_powered() const override { return protocol_.bus_powered(); }

  const SevenLabProtocol& protocol() const { return protocol_; }

 private:
  void read_next();
  void write(std::string bytes);
  void write_next();
  bool deliver();
  void lost(const std::string& why);

  LinkCore core_;
  boost::asio::posix::stream_descriptor port_;
  SevenLabProtocol protocol_;
  std::array<uint8_t, 256> buffer_{};
  WriteQueue<std::string> writes_;
  bool writing_ = false;
};

}  // namespace kovra62386::sim::drivers
