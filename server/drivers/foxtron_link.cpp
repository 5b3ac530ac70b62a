#include "server/drivers/foxtron_link.h"

#include <iostream>
#include <utility>

namespace kovra62386::sim::drivers {

FoxtronLink::FoxtronLink(boost::asio::io_context& io, Handler& handler)
    : io_(io),
      core_(io, handler),
      connector_(io, foxtron::kConnectWait, foxtron::kConnectLimit) {}

FoxtronLink::~FoxtronLink() { close(); }

bool FoxtronLink::open(const std::string& where, std::string& error) {
  close();
  notes_.clear();
  const auto host = parse_host_port(where);
  if (host) {
    stream_ = connector_.poll(*host, error);
  } else {
    SerialSettings settings;
    settings.baud_rate = foxtron::kBaudRate;
    settings.parity = SerialSettings::Parity::Even;
    settings.raise_dtr = true;
    stream_ = open_serial_stream(io_, where, settings, error, notes_);
    if (!stream_ && where.find_first_of("/\\:") == std::string::npos &&
        where.find('.') != std::string::npos) {
      // "192.168.1.241" alone: a gateway without its port, most likely.
      error += " (a network gateway is HOST:PORT, e.g. " + where + ":23)";
    }
  }
  if (!stream_) return false;
  for (const std::string& note : notes_) {
    std::cerr << "Kovra62386Server: " << note << "\n";
  }
  // Only network gateways drop a quiet link; a serial one is left alone.
  protocol_ = FoxtronProtocol(host.has_value());
  core_.begin();
  read_next();
  write(protocol_.start(DriverClock::now()));
  arm_deadline();
  return true;
}

void FoxtronLink::close() {
  core_.end();
  writes_.clear();
  writing_ = false;
  if (stream_) stream_->close();
  stream_.reset();
}

bool FoxtronLink::can_transmit() const {
  return is_open() && protocol_.can_transmit(DriverClock::now());
}

void FoxtronLink::transmit(const TransmitRequest& request) {
  if (!is_open()) {
    report_refused(core_.handler(), request.frame);
    return;
  }
  std::string bytes = protocol_.transmit(request, DriverClock::now());
  if (!bytes.empty()) write(std::move(bytes));
  deliver();
}

void FoxtronLink::read_next() {
  stream_->read_some(
      boost::asio::buffer(buffer_),
      core_.guard([this](const boost::system::error_code& ec,
                         std::size_t count) {
        if (ec) {
          lost(ec == boost::asio::error::eof ? "end of file" : ec.message());
          return;
        }
        protocol_.consume(std::span(buffer_.data(), count), DriverClock::now());
        if (deliver()) read_next();
      }));
}

// A frame, the opening queries and a keep-alive wait here.
void FoxtronLink::write(std::string bytes) {
  if (!writes_.push(std::move(bytes))) {
    lost("the gateway takes nothing more");
    return;
  }
  if (!writing_) write_next();
}

void FoxtronLink::write_next() {
  if (writes_.empty()) {
    writing_ = false;
    return;
  }
  writing_ = true;
  stream_->write_all(boost::asio::buffer(writes_.front()),
                     core_.guard([this](const boost::system::error_code& ec,
                                        std::size_t /*count*/) {
                       if (ec) {
                         lost(ec.message());
                         return;
                       }
                       writes_.pop();
                       write_next();
                     }));
}

// Hands the protocol's events on and re-arms its deadline; false when the
// link closed meanwhile (the handler may close it, or start the next
// transaction).
bool FoxtronLink::deliver() {
  if (!core_.hand_on(protocol_)) return false;
  arm_deadline();
  return true;
}

// A network gateway silent past its limit is lost; anything else the
// protocol wants written then (a keep-alive) is written.
void FoxtronLink::arm_deadline() {
  core_.arm(protocol_.next_deadline(), [this] {
    std::string bytes = protocol_.on_time(DriverClock::now());
    if (protocol_.silent()) {
      lost("the gateway fell silent");
      return;
    }
    if (!bytes.empty()) write(std::move(bytes));
    deliver();
  });
}

void FoxtronLink::lost(const std::string& why) {
  close();
  core_.handler().on_link_lost(why);
}

}  // namespace kovra62386::sim::drivers
