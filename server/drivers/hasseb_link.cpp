#include "server/drivers/hasseb_link.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "server/drivers/device_access.h"

namespace kovra62386::sim::drivers {
std::string hidraw_open_error(const std::string& path, int error) {
  std::string text = open_failure(path, error);
  if (error == EACCES || error == EPERM) {
    text +=
        "; the package's udev rules give hasseb nodes to group plugdev (they "
        "reach a unit plugged in before them after a replug or udevadm "
        "trigger)";
  }
  return text;
}

namespace {

HassebLink::NodeIdentity identity(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

int connect_seqpacket(const std::string& path, int& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = ENAMETOOLONG;
    return -1;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) != 0) {
    error = errno;
    ::close(fd);
    return -1;
  }
  // Non-blocking once connected, so that connect itself stays simple.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

}  // namespace

HassebLink::HassebLink(boost::asio::io_context& io, Handler& handler,
                       HidrawRoots roots)
    : core_(io, handler), roots_(std::move(roots)), port_(io) {}

HassebLink::~HassebLink() { close(); }

bool HassebLink::open(const std::string& where, std::string& error) {
  close();
  std::string path = where;
  if (where.starts_with(kUsbPortPrefix)) {
    const std::string port = where.substr(kUsbPortPrefix.size());
    const auto node = hasseb_node_at(roots_, port);
    if (!node) {
      error = where + ": no hasseb DALI Master at USB port " + port;
      return false;
    }
    path = node->string();
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    error = hidraw_open_error(path, errno);
    return false;
  }
  if (refused_node_ && *refused_node_ == identity(info)) {
    error = path + ": " + refusal_;
    return false;
  }
  int fd = -1;
  int why = 0;
  socket_ = S_ISSOCK(info.st_mode);
  if (socket_) {
    fd = connect_seqpacket(path, why);
  } else {
    fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    why = errno;
  }
  if (fd < 0) {
    error = hidraw_open_error(path, why);
    return false;
  }
  boost::system::error_code ec;
  port_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    error = path + ": " + ec.message();
    return false;
  }
  core_.begin();
  path_ = path;
  // A write that fails now fails the open, rather than reporting a loss
  // from inside it.
  opening_ = true;
  open_failure_.clear();
  for (const auto& report : protocol_.open(DriverClock::now())) write(report);
  opening_ = false;
  if (!open_failure_.empty()) {
    error = path + ": " + open_failure_;
    return false;
  }
  read_next();
  arm_deadline();
  return true;
}

void HassebLink::close() {
  core_.end();
  writes_.clear();
  waiting_to_write_ = false;
  boost::system::error_code ignored;
  port_.close(ignored);
}

bool HassebLink::can_transmit() const {
  return is_open() && protocol_.can_transmit(DriverClock::now());
}

void HassebLink::transmit(const TransmitRequest& request) {
  if (!is_open()) {
    report_refused(core_.handler(), request.frame);
    return;
  }
  if (const auto report = protocol_.transmit(request, DriverClock::now())) {
    write(*report);
  }
  deliver();
}

// One report per read, on the node as on a seqpacket socket.
void HassebLink::read_next() {
  port_.async_read_some(
      boost::asio::buffer(buffer_),
      core_.guard([this](const boost::system::error_code& ec,
                         std::size_t count) {
        if (ec) {
          lost(ec == boost::asio::error::eof ? "end of file" : ec.message());
          return;
        }
        for (const auto& report : protocol_.consume(
                 std::span(buffer_.data(), count), DriverClock::now())) {
          write(report);
        }
        if (deliver()) read_next();
      }));
}

void HassebLink::write(const HassebProtocol::Report& report) {
  if (!writes_.push(HassebProtocol::wire(report))) {
    lost("the unit takes nothing more");
    return;
  }
  if (!waiting_to_write_) write_next();
}

// Each report is one write, whole or not at all: a short write is as bad
// as none. SIGPIPE is never raised (a socket peer gone shows as EPIPE).
void HassebLink::write_next() {
  while (!writes_.empty()) {
    const std::vector<uint8_t>& bytes = writes_.front();
    const ssize_t written =
        socket_ ? ::send(port_.native_handle(), bytes.data(), bytes.size(),
                         MSG_NOSIGNAL)
                : ::write(port_.native_handle(), bytes.data(), bytes.size());
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waiting_to_write_ = true;
      port_.async_wait(boost::asio::posix::stream_descriptor::wait_write,
                       core_.guard([this](const boost::system::error_code& ec) {
                         waiting_to_write_ = false;
                         if (ec) {
                           lost(ec.message());
                           return;
                         }
                         write_next();
                       }));
      return;
    }
    if (written < 0) {
      lost(std::strerror(errno));
      return;
    }
    if (static_cast<std::size_t>(written) != bytes.size()) {
      lost("short write to the unit");
      return;
    }
    writes_.pop();
  }
}

// Hands the protocol's events on and re-arms its deadline; false when the
// link closed meanwhile (the handler may close it, or start the next
// transaction). A unit refused (old firmware) is closed and reported lost
// with the reason.
bool HassebLink::deliver() {
  if (!core_.hand_on(protocol_)) return false;
  if (!protocol_.refusal().empty()) {
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0) {
      refused_node_ = identity(info);
      refusal_ = protocol_.refusal();
    }
    lost(protocol_.refusal());
    return false;
  }
  arm_deadline();
  return true;
}

void HassebLink::arm_deadline() {
  core_.arm(protocol_.next_deadline(), [this] {
    protocol_.on_time(DriverClock::now());
    deliver();
  });
}

void HassebLink::lost(const std::string& why) {
  close();
  if (opening_) {
    open_failure_ = why;
    return;
  }
  core_.handler().on_link_lost(why);
}

}  // namespace kovra62386::sim::drivers
