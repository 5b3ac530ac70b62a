// A Foxtron gateway on its link: DALI232 / DALI232e on a serial port
// (19 200 baud 8E1, DTR on since it powers the unit) or DALInet /
// DALI2net over TCP. `where` decides: HOST:PORT is a network gateway,
// anything else a serial device. Feeds what it reads to FoxtronProtocol,
// writes what it makes and runs its deadlines on an Asio timer.
//
// A link that goes away (EOF, EIO, a reset or dropped TCP connection, a
// network link silent past the keep-alive limit) is closed at once and
// reported once; a gateway that closes idle connections is kept busy
// with a query instead. Settings a serial port does not take (a pty keeps
// no parity and has no modem lines) are logged and kept in notes().
//
// Runs on one Asio thread; not thread-safe by itself.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>
#include <vector>

#include "server/drivers/bus_driver.h"
#include "server/drivers/byte_stream.h"
#include "server/drivers/foxtron_protocol.h"
#include "server/drivers/link_core.h"
#include "server/drivers/write_queue.h"

namespace kovra62386::sim::drivers {

class FoxtronLink final : public BusDriver {
 public:
  FoxtronLink(boost::asio::io_context& io, Handler& handler);
  ~FoxtronLink() override;
  FoxtronLink(const FoxtronLink&) = delete;
  FoxtronLink& operator=(const FoxtronLink&) = delete;

  bool open(const std::string& where, std::string& error) override;
  bool is_open() const override { return stream_ != nullptr; }
  void close() override;

  bool can_transmit() const override;
  void transmit(const TransmitRequest& request) override;

  std::string firmware_version() const override {
    return protocol_.firmware_version();
  }
  bool bus_powered() const override { return protocol_.bus_powered(); }

  const FoxtronProtocol& protocol() const { return protocol_; }
  // What the last open() could not set up but left usable.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void read_next();
  void write(std::string bytes);
  void write_next();
  bool deliver();
  void arm_deadline();
  void lost(const std::string& why);

  boost::asio::io_context& io_;
  LinkCore core_;
  TcpConnector connector_;  // outlives close(): a reopen collects it
  std::unique_ptr<ByteStream> stream_;
  FoxtronProtocol protocol_;
  std::array<uint8_t, 256> buffer_{};
  WriteQueue<std::string> writes_;
  bool writing_ = false;
  std::vector<std::string> notes_;
};

}  // namespace kovra62386::sim::drivers
