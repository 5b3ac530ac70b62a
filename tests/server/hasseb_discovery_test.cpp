// Finding hasseb units on a fake sysfs tree: by their USB ids, named from
// their USB port whatever their hidraw number, and a unit plugged in while
// the server runs added by inotify, connected to a fake unit.
#include "server/drivers/hasseb_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "server/server_core.h"
#include "support/fake_interface/hasseb_firmware.h"

namespace kovra62386::sim::drivers {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = test::fresh_unit_dir("kovra62386-sysfs-");
    ASSERT_FALSE(root_.empty());
    fs::create_directories(roots_.dev = root_ / "dev");
    roots_.sysfs = root_ / "sys";
    fs::create_directories(roots_.sysfs / "class" / "hidraw");
  }
  void TearDown() override { fs::remove_all(root_); }

  // hidrawN for a HID device at USB `port` (interface 1.0) with these ids.
  void add(const std::string& node, const std::string& port,
           const std::string& ids = "000004CC:00000802") {
    const fs::path device = roots_.sysfs / "devices" / "pci0000:00" /
                            "0000:00:14.0" / "usb1" / port / (port + ":1.0") /
                            ("0003:" + ids + "." + node);
    fs::create_directories(device);
    std::ofstream(device / "uevent")
        << "DRIVER=hid-generic\nHID_ID=0003:" << ids
        << "\nHID_NAME=Hasseb\nHID_PHYS=usb-0000:00:14.0-" << port
        << "/input0\n";
    const fs::path entry = roots_.sysfs / "class" / "hidraw" / node;
    fs::create_directories(entry);
    fs::create_directory_symlink(device, entry / "device");
  }
  void remove(const std::string& node) {
    fs::remove_all(roots_.sysfs / "class" / "hidraw" / node);
  }

  fs::path root_;
  HidrawRoots roots_;
};

TEST_F(FakeSysfs, FindsHassebUnitsByIdsAndNamesThemByPort) {
  add("hidraw0", "1-2", "0000046D:0000C52B");  // some other HID device
  add("hidraw3", "1-1.2");
  add("hidraw4", "3-4");
  const auto units = find_hasseb_units(roots_);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].name(), "hasseb-1-1.2");
  EXPECT_EQ(units[0].node, roots_.dev / "hidraw3");
  EXPECT_EQ(units[0].where(), "usb:1-1.2");
  EXPECT_EQ(units[1].name(), "hasseb-3-4");

  // Replugged into the same port: another node, the same name.
  remove("hidraw3");
  add("hidraw7", "1-1.2");
  EXPECT_EQ(hasseb_node_at(roots_, "1-1.2"), roots_.dev / "hidraw7");
  EXPECT_FALSE(hasseb_node_at(roots_, "1-1.3"));
}

// A server with discovery lists the unit present at start, and one plugged
// in later, both connected to their (fake) units; no configuration. A unit
// replugged into its port comes back under its name.
TEST_F(FakeSysfs, ServerAddsUnitsPresentAndPluggedInLater) {
  add("hidraw3", "1-1.2");
  const auto first = test::make_hasseb_unit(roots_.dev / "hidraw3");
  ServerOptions options;
  options.port = 0;
  options.interfaces = {"SIM-1"};
  options.discover_hasseb = true;
  options.sysfs_root = roots_.sysfs.string();
  options.dev_root = roots_.dev.string();
  ServerCore server(options);
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(first->wait_until_opened(3s));

  add("hidraw4", "1-1.3");  // sysfs first, then the node
  const auto second = test::make_hasseb_unit(roots_.dev / "hidraw4");
  ASSERT_TRUE(second->wait_until_opened(3s));
  const auto states = server.interface_states();
  std::vector<std::string> names;
  for (const InterfaceState& state : states) {
    names.push_back(state.name);
    if (state.driver == "hasseb") {
      EXPECT_TRUE(state.connected) << state.name << ": " << state.error;
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"SIM-1", "hasseb-1-1.2",
                                             "hasseb-1-1.3"}));

  // Unplugged and plugged into the same port again, where the kernel gives
  // it another node: back under its name, not added twice.
  first->unplug();
  remove("hidraw3");
  add("hidraw9", "1-1.2");
  const auto again = test::make_hasseb_unit(roots_.dev / "hidraw9");
  ASSERT_TRUE(again->wait_until_opened(3 * RealInterface::kReopenInterval));
  EXPECT_EQ(server.interface_states().size(), 3u);
  server.stop();
}

}  // namespace
}  // namespace kovra62386::sim::drivers
