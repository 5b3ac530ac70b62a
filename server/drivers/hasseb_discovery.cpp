#include "server/drivers/hasseb_discovery.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <system_error>

#include "server/drivers/hasseb_protocol.h"

namespace kovra62386::sim::drivers {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kHidrawPrefix = "hidraw";
constexpr std::string_view kHidIdKey = "HID_ID=";
// A uevent file is a few hundred bytes; more is not one.
constexpr std::size_t kMaxUeventLines = 64;

std::optional<uint32_t> parse_hex(std::string_view text) {
  uint32_t value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// HID_ID=BBBB:VVVVVVVV:PPPPPPPP in the HID device's uevent.
bool is_hasseb(const fs::path& uevent) {
  std::ifstream in(uevent);
  std::string line;
  for (std::size_t n = 0; n < kMaxUeventLines && std::getline(in, line); ++n) {
    if (!line.starts_with(kHidIdKey)) continue;
    const std::string_view id = std::string_view(line).substr(kHidIdKey.size());
    const std::size_t first = id.find(':');
    const std::size_t second = id.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) {
      return false;
    }
    const auto vendor = parse_hex(id.substr(first + 1, second - first - 1));
    const auto product = parse_hex(id.substr(second + 1));
    return vendor == hasseb::kVendorId && product == hasseb::kProductId;
  }
  return false;
}

// "1-1.2:1.0", a USB interface: bus, '-', ports joined by '.', ':',
// configuration '.' interface.
bool is_usb_interface(std::string_view name) {
  const std::size_t colon = name.find(':');
  const std::size_t dash = name.find('-');
  if (colon == std::string_view::npos || dash == std::string_view::npos ||
      dash == 0 || dash > colon || colon + 1 >= name.size()) {
    return false;
  }
  const auto digits_and = [](std::string_view s, char separator) {
    return !s.empty() && std::isdigit(static_cast<unsigned char>(s.front())) &&
           std::isdigit(static_cast<unsigned char>(s.back())) &&
           std::all_of(s.begin(), s.end(), [separator](char c) {
             return std::isdigit(static_cast<unsigned char>(c)) ||
                    c == separator;
           });
  };
  return digits_and(name.substr(0, dash), '.') &&
         digits_and(name.substr(dash + 1, colon - dash - 1), '.') &&
         digits_and(name.substr(colon + 1), '.');
}

// The USB port of a hidraw node's device, from the sysfs path the device
// link resolves to (…/usb1/1-1/1-1.2/1-1.2:1.0/0003:04CC:0802.0001).
std::optional<std::string> usb_port(const fs::path& device) {
  std::error_code ec;
  const fs::path real = fs::canonical(device, ec);
  if (ec) return std::nullopt;
  std::optional<std::string> port;
  for (const fs::path& part : real) {
    const std::string name = part.string();
    if (is_usb_interface(name)) port = name.substr(0, name.find(':'));
  }
  return port;
}

}  // namespace

std::vector<HassebUnit> find_hasseb_units(const HidrawRoots& roots) {
  std::vector<HassebUnit> units;
  std::error_code ec;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(roots.sysfs / "class" / "hidraw", ec)) {
    const std::string node = entry.path().filename().string();
    if (!node.starts_with(kHidrawPrefix)) continue;
    const fs::path device = entry.path() / "device";
    if (!is_hasseb(device / "uevent")) continue;
    const auto port = usb_port(device);
    if (!port) continue;
    units.push_back({*port, roots.dev / node});
  }
  std::sort(
      units.begin(), units.end(),
      [](const HassebUnit& a, const HassebUnit& b) { return a.port < b.port; });
  return units;
}

std::optional<fs::path> hasseb_node_at(const HidrawRoots& roots,
                                       std::string_view port) {
  for (const HassebUnit& unit : find_hasseb_units(roots)) {
    if (unit.port == port) return unit.node;
  }
  return std::nullopt;
}

HidrawWatcher::HidrawWatcher(boost::asio::io_context& io,
                             const HidrawRoots& roots,
                             std::function<void()> changed)
    : stream_(io), changed_(std::move(changed)) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  if (::inotify_add_watch(fd, roots.dev.c_str(),
                          IN_CREATE | IN_ATTRIB | IN_MOVED_TO) < 0) {
    ::close(fd);
    return;
  }
  boost::system::error_code ec;
  stream_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    return;
  }
  read_next();
}

HidrawWatcher::~HidrawWatcher() { stop(); }

void HidrawWatcher::stop() {
  *alive_ = false;
  boost::system::error_code ignored;
  stream_.close(ignored);
}

void HidrawWatcher::read_next() {
  stream_.async_read_some(
      boost::asio::buffer(buffer_),
      [this, alive = alive_](const boost::system::error_code& ec,
                             std::size_t count) {
        // A completion queued before the watcher stopped finds it gone.
        if (!*alive || ec) return;
        bool hidraw = false;
        for (std::size_t at = 0; at + sizeof(inotify_event) <= count;) {
          inotify_event event{};
          std::copy_n(buffer_.data() + at, sizeof event,
                      reinterpret_cast<char*>(&event));
          const std::size_t end = at + sizeof event + event.len;
          if (end > count) break;
          const std::string_view name(buffer_.data() + at + sizeof event,
                                      event.len);
          // An overflowed queue lost events: look again in any case.
          if (name.starts_with(kHidrawPrefix) ||
              (event.mask & IN_Q_OVERFLOW) != 0) {
            hidraw = true;
          }
          at = end;
        }
        if (hidraw) changed_();
        if (stream_.is_open()) read_next();
      });
}

}  // namespace kovra62386::sim::drivers
