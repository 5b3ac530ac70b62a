// DaliBusModel: a simulated DALI bus with virtual control gear
// (kovra62386::dali::SimulatedBus) behind the server's BusModel interface,
// with the bus's own IEC 62386-101 timing.
#pragma once

#include <vector>

#include "server/bus_model.h"
#include "simulator/simulated_bus.h"

namespace kovra62386::sim {

class DaliBusModel : public BusModel {
 public:
  DaliBusModel();  // the bus's default gear
  explicit DaliBusModel(
      std::vector<dali::GearConfig> gear,
      dali::CollisionPolicy policy = dali::kDefaultCollisionPolicy,
      uint64_t seed = dali::kDefaultSeed);
  DaliBusModel(std::vector<dali::GearConfig> gear,
               std::vector<dali::ControlDeviceConfig> devices,
               dali::CollisionPolicy policy = dali::kDefaultCollisionPolicy,
               uint64_t seed = dali::kDefaultSeed);

  BusReply forward_frame(const BusFrame& frame, Clock::time_point at) override;
  void power_changed(bool powered, Clock::time_point at) override;
  void set_gear_silent(uint8_t short_address, bool silent) override;
  void force_collision_next_answer() override;
  std::optional<Clock::time_point> next_device_due() const override;
  std::optional<DeviceTransmission> take_device_frame(
      Clock::time_point now,
      const std::function<bool(const DeviceTransmission&)>& accept) override;

  dali::SimulatedBus& bus() { return bus_; }

 private:
  dali::SimulatedBus bus_;
};

}  // namespace kovra62386::sim
