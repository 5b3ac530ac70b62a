#include "server/drivers/byte_stream.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#include <winsock2.h>
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "server/drivers/device_access.h"
#endif

namespace kovra62386::sim::drivers {
namespace {

using boost::asio::ip::tcp;

template <class Stream>
class AsioByteStream final : public ByteStream {
 public:
  explicit AsioByteStream(Stream stream) : stream_(std::move(stream)) {}
  void read_some(boost::asio::mutable_buffer buffer, Handler handler) override {
    stream_.async_read_some(buffer, std::move(handler));
  }
  void write_all(boost::asio::const_buffer buffer, Handler handler) override {
    boost::asio::async_write(stream_, buffer, std::move(handler));
  }
  void close() override {
    boost::system::error_code ignored;
    stream_.close(ignored);
  }

 private:
  Stream stream_;
};

using SerialPort = boost::asio::serial_port;

std::string parity_name(SerialSettings::Parity parity) {
  switch (parity) {
    case SerialSettings::Parity::Even:
      return "even";
    case SerialSettings::Parity::Odd:
      return "odd";
    case SerialSettings::Parity::None:
      break;
  }
  return "no";
}

SerialPort::parity::type asio_parity(SerialSettings::Parity parity) {
  switch (parity) {
    case SerialSettings::Parity::Even:
      return SerialPort::parity::even;
    case SerialSettings::Parity::Odd:
      return SerialPort::parity::odd;
    case SerialSettings::Parity::None:
      break;
  }
  return SerialPort::parity::none;
}

// Asio has no modem-line option.
bool raise_dtr(SerialPort& port, std::string& why) {
#if defined(_WIN32)
  // Asio's own settings keep DTR off; every later SetCommState would
  // lower it again, so it is set in the DCB itself.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(port.native_handle(), &dcb)) {
    why = boost::system::error_code(static_cast<int>(::GetLastError()),
                                    boost::system::system_category())
              .message();
    return false;
  }
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  if (!::SetCommState(port.native_handle(), &dcb)) {
    why = boost::system::error_code(static_cast<int>(::GetLastError()),
                                    boost::system::system_category())
              .message();
    return false;
  }
  return true;
#else
  int bits = TIOCM_DTR;
  if (::ioctl(port.native_handle(), TIOCMBIS, &bits) != 0) {
    why = std::strerror(errno);
    return false;
  }
  return true;
#endif
}

// Asio's own connect() waits for the outcome whatever the socket's mode:
// the system's connect on a non-blocking descriptor does not.
void start_connect(tcp::socket& socket, const tcp::endpoint& peer,
                   boost::system::error_code& ec) {
  socket.native_non_blocking(true, ec);
  if (ec) return;
#if defined(_WIN32)
  if (::connect(socket.native_handle(), peer.data(),
                static_cast<int>(peer.size())) != 0) {
    ec.assign(::WSAGetLastError(), boost::system::system_category());
    return;
  }
#else
  int result;
  do {
    result = ::connect(socket.native_handle(), peer.data(), peer.size());
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ec.assign(errno, boost::system::system_category());
    return;
  }
#endif
  ec.clear();
}

// Waits for a non-blocking connect; its outcome in `ec`.
void wait_connected(tcp::socket& socket, std::chrono::milliseconds timeout,
                    boost::system::error_code& ec) {
  const auto fd = socket.native_handle();
#if defined(_WIN32)
  // select() rather than WSAPoll, which misses a refused connect.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(fd, &writable);
  FD_SET(fd, &failed);
  timeval limit{static_cast<long>(timeout.count() / 1000),
                static_cast<long>(timeout.count() % 1000 * 1000)};
  const int ready = ::select(0, nullptr, &writable, &failed, &limit);
  if (ready < 0) {
    ec.assign(::WSAGetLastError(), boost::system::system_category());
    return;
  }
  int so_error = 0;
  int length = sizeof so_error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error),
               &length);
#else
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    ec.assign(errno, boost::system::system_category());
    return;
  }
  int so_error = 0;
  socklen_t length = sizeof so_error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
#endif
  if (ready == 0) {
    ec = boost::asio::error::timed_out;
  } else if (so_error != 0) {
    ec.assign(so_error, boost::system::system_category());
  } else {
    ec.clear();
  }
}

}  // namespace

std::unique_ptr<ByteStream> open_serial_stream(
    boost::asio::io_context& io, const std::string& path,
    const SerialSettings& settings, std::string& error,
    std::vector<std::string>& notes) {
  SerialPort port(io);
  boost::system::error_code ec;
  port.open(path, ec);
  if (ec) {
#if defined(_WIN32)
    error = path + ": " + ec.message();
#else
    // A refused permission names who may open the node.
    error = open_failure(path, ec.value());
#endif
    return nullptr;
  }
  port.set_option(SerialPort::baud_rate(settings.baud_rate), ec);
  if (!ec) port.set_option(SerialPort::character_size(8), ec);
  if (!ec)
    port.set_option(SerialPort::stop_bits(SerialPort::stop_bits::one), ec);
  if (!ec) {
    port.set_option(SerialPort::flow_control(SerialPort::flow_control::none),
                    ec);
  }
  if (!ec)
    port.set_option(SerialPort::parity(asio_parity(settings.parity)), ec);
  if (ec) {
    error = path + ": not a usable serial port: " + ec.message();
    return nullptr;
  }
  // A pty takes the parity and silently drops it.
  SerialPort::parity kept;
  port.get_option(kept, ec);
  if (ec || kept.value() != asio_parity(settings.parity)) {
    notes.push_back(path + ": the port does not keep " +
                    parity_name(settings.parity) + " parity");
  }
  std::string why;
  if (settings.raise_dtr && !raise_dtr(port, why)) {
    notes.push_back(path + ": cannot raise DTR (" + why +
                    "); the unit needs a supply of its own");
  }
  return std::make_unique<AsioByteStream<SerialPort>>(std::move(port));
}

std::optional<HostPort> parse_host_port(std::string_view where) {
  const std::size_t colon = where.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string_view host = where.substr(0, colon);
  const std::string_view port = where.substr(colon + 1);
  if (host.find_first_of("/\\") != std::string_view::npos) return std::nullopt;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  }
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return HostPort{std::string(host), static_cast<uint16_t>(value)};
}

struct TcpConnector::Attempt {
  explicit Attempt(boost::asio::io_context& io) : socket(io), timer(io) {}
  std::string named;  // HOST:PORT as asked for
  tcp::socket socket;
  boost::asio::steady_timer timer;
  bool done = false;
  boost::system::error_code result;
};

TcpConnector::TcpConnector(boost::asio::io_context& io,
                           std::chrono::milliseconds brief,
                           std::chrono::milliseconds limit)
    : io_(io), brief_(brief), limit_(limit) {}

TcpConnector::~TcpConnector() { cancel(); }

bool TcpConnector::pending() const { return attempt_ && !attempt_->done; }

void TcpConnector::cancel() {
  if (!attempt_) return;
  boost::system::error_code ignored;
  attempt_->timer.cancel();
  attempt_->socket.close(ignored);
  attempt_.reset();
}

std::unique_ptr<ByteStream> TcpConnector::poll(const HostPort& at,
                                               std::string& error) {
  const std::string named = at.host + ":" + std::to_string(at.port);
  if (attempt_ && attempt_->named != named) cancel();
  if (attempt_ && !attempt_->done) {
    error = named + ": still connecting";
    return nullptr;
  }
  boost::system::error_code ec;
  if (!attempt_) {
    // A new attempt on the first address that takes one.
    tcp::resolver resolver(io_);
    const auto endpoints = resolver.resolve(at.host, std::to_string(at.port),
                                            tcp::resolver::numeric_service, ec);
    if (ec || endpoints.empty()) {
      error = named + ": " + (ec ? ec.message() : "no address");
      return nullptr;
    }
    const tcp::endpoint peer = endpoints.begin()->endpoint();
    attempt_ = std::make_shared<Attempt>(io_);
    attempt_->named = named;
    tcp::socket& socket = attempt_->socket;
    socket.open(peer.protocol(), ec);
    if (!ec) start_connect(socket, peer, ec);
    if (ec == boost::asio::error::would_block ||
        ec == boost::asio::error::in_progress) {
      wait_connected(socket, brief_, ec);
    }
    if (ec == boost::asio::error::timed_out) {
      // Carry on in the background; a later poll() collects it.
      const auto attempt = attempt_;
      attempt->socket.async_wait(
          tcp::socket::wait_write,
          [attempt](const boost::system::error_code& waited) {
            if (attempt->done) return;
            attempt->done = true;
            attempt->timer.cancel();
            if (waited) {
              attempt->result = waited;
              return;
            }
            wait_connected(attempt->socket, std::chrono::milliseconds(0),
                           attempt->result);
          });
      attempt->timer.expires_after(limit_);
      attempt->timer.async_wait([attempt](const boost::system::error_code& e) {
        if (e || attempt->done) return;
        attempt->done = true;
        attempt->result = boost::asio::error::timed_out;
        boost::system::error_code ignored;
        attempt->socket.close(ignored);
      });
      error = named + ": still connecting";
      return nullptr;
    }
    attempt_->done = true;
    attempt_->result = ec;
  }
  const auto attempt = std::exchange(attempt_, nullptr);
  if (attempt->result) {
    error = named + ": " + attempt->result.message();
    return nullptr;
  }
  boost::system::error_code ignored;
  // Small messages that want to go at once.
  attempt->socket.set_option(tcp::no_delay(true), ignored);
  return std::make_unique<AsioByteStream<tcp::socket>>(
      std::move(attempt->socket));
}

}  // namespace kovra62386::sim::drivers
