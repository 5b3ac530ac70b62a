// ByteStream: the byte-level seam of a serial or network bus interface. A
// driver reads and writes through it without knowing whether a tty, a
// Windows COM port or a TCP connection is behind it; tests put a pty or a
// loopback listener there.
//
// Serial ports go through Boost.Asio's serial_port, which is the same
// layer on POSIX ttys and Windows COM ports. Asio has no modem-line
// option, so DTR is raised through the platform's own call.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kovra62386::sim::drivers {

class ByteStream {
 public:
  using Handler =
      std::function<void(const boost::system::error_code&, std::size_t)>;
  virtual ~ByteStream() = default;
  // As Asio's async_read_some and async_write: one handler each, run on
  // the io_context; the buffer lives until it runs.
  virtual void read_some(boost::asio::mutable_buffer buffer,
                         Handler handler) = 0;
  virtual void write_all(boost::asio::const_buffer buffer, Handler handler) = 0;
  // Cancels what is under way; handlers run with operation_aborted.
  virtual void close() = 0;
};

struct SerialSettings {
  enum class Parity { None, Even, Odd };
  unsigned baud_rate = 9600;
  Parity parity = Parity::None;
  // Some units draw their power from DTR.
  bool raise_dtr = false;
};

// Opens a serial device (a tty path, or COMn on Windows) with 8 data bits,
// one stop bit, no flow control and `settings`. nullptr with `error`
// naming the device and the reason when it cannot. What could not be set
// but leaves the port usable (a pty has no modem lines and keeps no
// parity) is described in `notes`.
std::unique_ptr<ByteStream> open_serial_stream(boost::asio::io_context& io,
                                               const std::string& path,
                                               const SerialSettings& settings,
                                               std::string& error,
                                               std::vector<std::string>& notes);

struct HostPort {
  std::string host;
  uint16_t port = 0;
};

// `where` as HOST:PORT (HOST may be [v6]); nullopt for anything else, a
// device path among them (paths hold '/' or '\', COM ports no ':').
std::optional<HostPort> parse_host_port(std::string_view where);

// Connects to HOST:PORT without holding the I/O thread for long. The
// first poll() starts an attempt and waits up to `brief` for it (enough
// for a loopback or LAN peer); an attempt still under way then carries on
// in the background for up to `limit`, and a later poll() collects it.
// Names resolve synchronously (a numeric address never waits).
class TcpConnector {
 public:
  TcpConnector(boost::asio::io_context& io, std::chrono::milliseconds brief,
               std::chrono::milliseconds limit);
  ~TcpConnector();
  TcpConnector(const TcpConnector&) = delete;
  TcpConnector& operator=(const TcpConnector&) = delete;

  // The connected stream, or nullptr with `error` naming HOST:PORT and
  // the reason (or that the attempt is still under way).
  std::unique_ptr<ByteStream> poll(const HostPort& at, std::string& error);
  bool pending() const;
  void cancel();

 private:
  struct Attempt;
  boost::asio::io_context& io_;
  const std::chrono::milliseconds brief_;
  const std::chrono::milliseconds limit_;
  std::shared_ptr<Attempt> attempt_;
};

}  // namespace kovra62386::sim::drivers
