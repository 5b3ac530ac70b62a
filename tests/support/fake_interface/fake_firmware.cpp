#include "support/fake_interface/fake_firmware.h"

#include "support/fake_interface/foxtron_firmware.h"
#include "support/fake_interface/hasseb_firmware.h"
#include "support/fake_interface/sevenlab_firmware.h"

namespace kovra62386::test {

// Another family adds its name and its line below.
std::vector<std::string> fake_families() {
  return {"sevenlab", "foxtron", "hasseb"};
}

std::unique_ptr<FakeFirmware> make_fake_firmware(
    const std::string& family, std::unique_ptr<dali::SimulatedBus> bus) {
  if (family == "sevenlab") {
    return std::make_unique<SevenLabFirmware>(std::move(bus));
  }
  if (family == "hasseb") {
    return std::make_unique<HassebFirmware>(std::move(bus));
  }
  if (family == "foxtron") {
    return std::make_unique<FoxtronFirmware>(std::move(bus));
  }
  return nullptr;
}

}  // namespace kovra62386::test
