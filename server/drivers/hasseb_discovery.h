// Finding hasseb DALI Masters without configuration: by their USB ids
// under /sys/class/hidraw, named from the USB port they are plugged into.
// The units carry no serial number, so the port is the only identity that
// survives a replug or a reboot; the kernel's hidrawN does not.
//
// Names: "hasseb-" and the kernel's USB port path, bus number first and
// then the port on each hub: "hasseb-1-1.2" is bus 1, root port 1, port 2
// of the hub there. Such a unit's device is "usb:1-1.2", which the driver
// resolves to the hidraw node of the hasseb at that port when it opens.
//
// New units are noticed by inotify on /dev (a hidraw node created or its
// permissions changed by udev), not by polling.
//
// Roots are injectable so that tests build a fake sysfs and /dev.
#pragma once

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kovra62386::sim::drivers {

struct HidrawRoots {
  std::filesystem::path sysfs = "/sys";
  std::filesystem::path dev = "/dev";
};

// The prefix of a device given by USB port rather than by node.
inline constexpr std::string_view kUsbPortPrefix = "usb:";
inline constexpr std::string_view kHassebNamePrefix = "hasseb-";

struct HassebUnit {
  std::string port;            // "1-1.2"
  std::filesystem::path node;  // "/dev/hidraw3"
  std::string name() const { return std::string(kHassebNamePrefix) + port; }
  std::string where() const { return std::string(kUsbPortPrefix) + port; }
};

// Every hasseb unit present now, by port.
std::vector<HassebUnit> find_hasseb_units(const HidrawRoots& roots);
// The node of the hasseb unit at `port`, if one is there now.
std::optional<std::filesystem::path> hasseb_node_at(const HidrawRoots& roots,
                                                    std::string_view port);

// Calls `changed` when a hidraw node appears under roots.dev or udev
// changes one (its permissions, say). Runs on `io`; silent when inotify is
// not available (the named interfaces still reopen every 2 s).
class HidrawWatcher {
 public:
  HidrawWatcher(boost::asio::io_context& io, const HidrawRoots& roots,
                std::function<void()> changed);
  ~HidrawWatcher();
  HidrawWatcher(const HidrawWatcher&) = delete;
  HidrawWatcher& operator=(const HidrawWatcher&) = delete;

  bool watching() const { return stream_.is_open(); }
  void stop();

 private:
  void read_next();

  boost::asio::posix::stream_descriptor stream_;
  std::function<void()> changed_;
  // Cleared on stop, so that completions still queued do nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  alignas(8) std::array<char, 4096> buffer_{};
};

}  // namespace kovra62386::sim::drivers
