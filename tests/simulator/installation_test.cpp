#include "simulator/installation.h"

#include <gtest/gtest.h>

#include <string>

#include "simulator/simulated_bus.h"

namespace kovra62386::dali {
namespace {

std::string error_of(const std::string& text) {
  try {
    parse_installation(text);
  } catch (const InstallationError& error) {
    return error.what();
  }
  return "(no error)";
}

// An installation of one bus whose single gear has `fields`.
std::string one_gear(const std::string& fields) {
  return R"({"interfaces": [{"name": "A", "gear": [{)" + fields + "}]}]}";
}

TEST(Installation, ExampleFileIsTheBuiltInInstallation) {
  const Installation file = load_installation(
      KOVRA62386_SOURCE_DIR "/simulator/installation.example.json");
  const Installation built_in = default_installation();
  ASSERT_EQ(file.interfaces.size(), built_in.interfaces.size());
  for (std::size_t i = 0; i < file.interfaces.size(); ++i) {
    const auto& a = file.interfaces[i];
    const auto& b = built_in.interfaces[i];
    EXPECT_EQ(a.name, b.name);
    ASSERT_EQ(a.gear.size(), b.gear.size());
    for (std::size_t g = 0; g < a.gear.size(); ++g) {
      // Everything but the RANDOMISE seed, which only the code can give.
      const auto fields = [](const GearConfig& c) {
        const auto tc =
            c.colour_temperature.value_or(ColourTemperatureConfig{0, 0, 0});
        return std::tuple(c.short_address, c.actual_level, c.max_level,
                          c.min_level, c.physical_minimum, c.power_on_level,
                          c.system_failure_level, c.fade_time, c.fade_rate,
                          c.groups, c.scenes, c.random_address, c.lamp_failure,
                          c.answer_delay, tc.colour_temperature,
                          tc.physical_coolest, tc.physical_warmest);
      };
      EXPECT_EQ(fields(a.gear[g]), fields(b.gear[g]))
          << a.name << " gear " << g;
    }
    ASSERT_EQ(a.control_devices.size(), b.control_devices.size());
    for (std::size_t d = 0; d < a.control_devices.size(); ++d) {
      const auto fields = [](const ControlDeviceConfig& c) {
        std::vector<std::tuple<int, bool, uint32_t, int, int>> instances;
        for (const InstanceConfig& n : c.instances) {
          instances.emplace_back(
              static_cast<int>(n.type), n.enabled, n.event_filter,
              static_cast<int>(n.event_scheme), n.event_priority);
        }
        return std::tuple(c.short_address, c.device_groups, c.random_address,
                          c.seed, c.answer_delay, instances);
      };
      EXPECT_EQ(fields(a.control_devices[d]), fields(b.control_devices[d]))
          << a.name << " control device " << d;
    }
  }
}

TEST(Installation, GearFieldsReachTheBus) {
  const Installation installation = parse_installation(one_gear(
      R"("short_address": 3, "level": 100, "random_address": "0x00ABCD",
         "answer_delay_ms": 6.25, "scenes": {"15": 7}, "seed": 99)"));
  const SimulatedBus bus(installation.interfaces[0].gear);
  const auto gear = bus.gear_at(3);
  ASSERT_TRUE(gear);
  EXPECT_EQ(gear->state.actual_level, 100);
  EXPECT_EQ(gear->state.random_address, 0xABCDu);
  EXPECT_EQ(gear->state.scenes[15], 7);
  EXPECT_EQ(gear->answer_delay, std::chrono::microseconds(6250));
}

TEST(Installation, RealInterfacesBesideSimulatedBuses) {
  const Installation installation = parse_installation(
      R"({"interfaces": [{"name": "A", "gear": []},)"
      R"( {"name": "LAB", "driver": "sevenlab", "port": "/dev/ttyUSB0"}]})");
  ASSERT_EQ(installation.interfaces.size(), 2u);
  EXPECT_FALSE(installation.interfaces[0].real());
  EXPECT_TRUE(installation.interfaces[1].real());
  EXPECT_EQ(installation.interfaces[1].driver, "sevenlab");
  EXPECT_EQ(installation.interfaces[1].where, "/dev/ttyUSB0");
}

TEST(Installation, ErrorsNameTheField) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"interfaces": [)", "not valid JSON"},
      {"{}", "interfaces: missing"},
      {R"({"interfaces": [{"gear": []}]})", "interfaces[0].name: missing"},
      {R"({"interfaces": [{"name": "A"}, {"name": "A"}]})",
       "interfaces[1].name: \"A\" names two interfaces"},
      {one_gear(R"("short_address": 64)"),
       "interfaces[0].gear[0].short_address: must be a whole number from 0 "
       "to 63, not 64"},
      {one_gear(R"("levle": 3)"), "interfaces[0].gear[0].levle: unknown field"},
      {one_gear(R"("physical_minimum": 40, "min_level": 30)"),
       "gear[0].min_level: 30 is below physical_minimum (40)"},
      {one_gear(R"("level": 250, "max_level": 200)"),
       "gear[0].level: 250 is outside min_level-max_level"},
      {one_gear(R"("answer_delay_ms": 4)"), "gear[0].answer_delay_ms: must be"},
      {one_gear(R"("groups": [1, 1])"), "gear[0].groups[1]: group 1 twice"},
      {one_gear(R"("scenes": {"16": 3})"), "gear[0].scenes.16: scenes are"},
      {one_gear(R"("random_address": "0x1000000")"),
       "gear[0].random_address: must be"},
      {one_gear(R"("device_type": 7)"), "gear[0].device_type: 7 is not"},
      {R"({"interfaces": [{"name": "A", "control_devices": [{"instances": )"
       R"([{"type": "push_button", "event_priority": 1}]}]}]})",
       "interfaces[0].control_devices[0].instances[0].event_priority: must be "
       "a whole number from 2 to 5, not 1"},
      {one_gear(R"("colour_temperature_mirek": 300)"),
       "gear[0].colour_temperature_mirek: only for device_type 8"},
      {one_gear(R"("device_type": 8, "colour_temperature_mirek": 400)"),
       "gear[0].colour_temperature_mirek: 400 is outside"},
      {R"({"interfaces": [{"name": "L", "driver": "sevenlab"}]})",
       "interfaces[0].port: missing"},
      {R"({"interfaces": [{"name": "L", "port": "/dev/ttyUSB0"}]})",
       "interfaces[0].driver: missing"},
      {R"({"interfaces": [{"name": "L", "driver": "sevenlab", "port": "/a", )"
       R"("gear": []}]})",
       "interfaces[0]: a real interface (\"driver\") has no gear"},
      {R"({"interfaces": [{"name": "L", "driver": "x", "port": "/a", )"
       R"("host": "h:1"}]})",
       "interfaces[0].port: give \"port\" or \"host\", not both"},
      // Untrusted input: nesting deep enough to break a recursive reader.
      {one_gear(R"("level": )" + std::string(100000, '[') +
                std::string(100000, ']')),
       "gear[0].level: must be a whole number from 0 to 254, not a list"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_NE(error_of(text).find(expected), std::string::npos)
        << "expected \"" << expected << "\", got \"" << error_of(text) << "\"";
  }
  try {
    load_installation("/nonexistent/installation.json");
    ADD_FAILURE() << "a missing file loaded";
  } catch (const InstallationError& error) {
    EXPECT_EQ(std::string(error.what()),
              "/nonexistent/installation.json: cannot be read");
  }
}

}  // namespace
}  // namespace kovra62386::dali
