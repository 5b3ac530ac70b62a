// kovra62386_fake_interface: a fake real bus interface for tests, demos and
// benchmarks, answering from a simulated bus.
//
//   kovra62386_fake_interface --sevenlab LINK [--installation FILE]
//                             [--interface NAME]
//
// Makes a pty, links it at LINK and plays the unit's firmware there until
// SIGTERM or SIGINT. The gear are those of the installation's interface
// NAME (else its first simulated bus), or the simulator's default bus.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "simulator/installation.h"
#include "support/fake_interface/pty_unit.h"

namespace {

using namespace kovra62386;

int usage() {
  std::cerr << "usage: kovra62386_fake_interface --FAMILY LINK "
               "[--installation FILE] [--interface NAME]\n  FAMILY:";
  for (const auto& family : test::fake_families()) std::cerr << " " << family;
  std::cerr << "\n";
  return 2;
}

std::unique_ptr<dali::SimulatedBus> bus_of(const std::string& file,
                                           const std::string& name) {
  if (file.empty()) return std::make_unique<dali::SimulatedBus>();
  const dali::Installation installation = dali::load_installation(file);
  for (const auto& entry : installation.interfaces) {
    if (entry.real() || (!name.empty() && entry.name != name)) continue;
    return std::make_unique<dali::SimulatedBus>(entry.gear,
                                                entry.control_devices);
  }
  throw dali::InstallationError(
      file + ": no simulated interface" +
      (name.empty() ? std::string() : " named '" + name + "'"));
}

}  // namespace

int main(int argc, char** argv) {
  std::string family, link, file, name;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--installation") {
      file = value;
    } else if (option == "--interface") {
      name = value;
    } else if (option.rfind("--", 0) == 0 && family.empty()) {
      family = option.substr(2);
      link = value;
    } else {
      return usage();
    }
  }
  if (argc % 2 != 1 || link.empty()) return usage();

  // Blocked before any thread starts, then taken by sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::unique_ptr<test::FakeFirmware> firmware;
  try {
    firmware = test::make_fake_firmware(family, bus_of(file, name));
  } catch (const std::exception& error) {
    std::cerr << "kovra62386_fake_interface: " << error.what() << "\n";
    return 1;
  }
  if (!firmware) return usage();
  test::PtyUnit unit(link, std::move(firmware));
  if (!unit.error().empty()) {
    std::cerr << "kovra62386_fake_interface: " << unit.error() << "\n";
    return 1;
  }
  std::cout << "kovra62386_fake_interface: " << family << " at " << link << " ("
            << unit.device() << ")" << std::endl;
  int signal = 0;
  sigwait(&stop, &signal);
  unit.unplug();
  std::error_code ignored;
  std::filesystem::remove(link, ignored);
  return 0;
}
