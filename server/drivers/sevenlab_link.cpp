#include "server/drivers/sevenlab_link.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <utility>

#include "server/drivers/device_access.h"

namespace kovra62386::sim::drivers {
namespace {

// 500 000 baud, 8 data bits, no parity, 1 stop bit, no flow control, raw.
bool configure(int fd, std::string& why) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    why = std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B500000) != 0 || cfsetospeed(&tio, B500000) != 0 ||
      tcsetattr(fd, TCSANOW, &tio) != 0) {
    why = std::strerror(errno);
    return false;
  }
  tcflush(fd, TCIOFLUSH);  // whatever the unit said before we listened
  return true;
}

}  // namespace

SevenLabLink::SevenLabLink(boost::asio::io_context& io, Handler& handler)
    : core_(io, handler), port_(io) {}

SevenLabLink::~SevenLabLink() { close(); }

bool SevenLabLink::open(const std::string& path, std::string& error) {
  close();
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = open_failure(path, errno);
    return false;
  }
  std::string why;
  if (!configure(fd, why)) {
    ::close(fd);
    error = path + ": not a usable tty: " + why;
    return false;
  }
  boost::system::error_code ec;
  port_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    error = path + ": " + ec.message();
    return false;
  }
  protocol_ = SevenLabProtocol{};
  core_.begin();
  read_next();
  write(SevenLabProtocol::version_query());
  return true;
}

void SevenLabLink::close() {
  core_.end();
  writes_.clear();
  writing_ = false;
  boost::system::error_code ignored;
  port_.close(ignored);
}

bool SevenLabLink::can_transmit() const {
  return is_open() && protocol_.can_transmit(DriverClock::now());
}

void SevenLabLink::transmit(const TransmitRequest& request) {
  if (!is_open()) {
    report_refused(core_.handler(), request.frame);
    return;
  }
  std::string bytes = protocol_.transmit(request, DriverClock::now());
  if (!bytes.empty()) write(std::move(bytes));
  deliver();
}

void SevenLabLink::read_next() {
  port_.async_read_some(
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

void SevenLabLink::write(std::string bytes) {
  if (!writes_.push(std::move(bytes))) {
    lost("the unit takes nothing more");
    return;
  }
  if (!writing_) write_next();
}

void SevenLabLink::write_next() {
  if (writes_.empty()) {
    writing_ = false;
    return;
  }
  writing_ = true;
  boost::asio::async_write(
      port_, boost::asio::buffer(writes_.front()),
      core_.guard(
          [this](const boost::system::error_code& ec, std::size_t /*count*/) {
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
bool SevenLabLink::deliver() {
  if (!core_.hand_on(protocol_)) return false;
  core_.arm(protocol_.next_deadline(), [this] {
    protocol_.on_time(DriverClock::now());
    deliver();
  });
  return true;
}

void SevenLabLink::lost(const std::string& why) {
  close();
  core_.handler().on_link_lost(why);
}

}  // namespace kovra62386::sim::drivers
