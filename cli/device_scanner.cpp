#include "cli/device_scanner.h"

#include <fmt/format.h>

#include <string>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "dali/device_commands.h"

namespace kovra62386::cli {
namespace {

namespace device = dali::device;

// At most this many instances are read per device (the standard allows 32).
constexpr uint8_t kMaxInstances = 32;

BusReply ask(BusInterface& bus, int address, uint8_t instance, uint8_t opcode) {
  Interrupt::check();
  const BusReply reply = bus.send(
      device_frame(device::short_address_byte(static_cast<uint8_t>(address)),
                   instance, opcode));
  if (!reply.transmitted()) {
    throw CliError(ExitCode::kNotSent,
                   fmt::format("querying control device {} failed: {}", address,
                               reply.explain()));
  }
  return reply;
}

std::string status_words(uint8_t status) {
  std::string text;
  auto add = [&](const char* word) {
    text += text.empty() ? word : ", " + std::string(word);
  };
  if (status & device::status::kInputDeviceError) add("input device error");
  if (status & device::status::kQuiescent) add("quiescent");
  if (status & device::status::kNoShortAddress) add("no short address");
  if (status & device::status::kPowerCycleSeen) add("power cycle seen");
  return text.empty() ? "ok" : text;
}

std::string type_list(const ControlDeviceInfo& d) {
  std::string text;
  for (std::size_t i = 0; i < d.instance_types.size(); ++i) {
    const auto& type = d.instance_types[i];
    text += (i ? ", " : "") + std::to_string(i) + ": " +
            (type ? device::instance_type_name(*type) : std::string("?"));
  }
  return text.empty() ? "-" : text;
}

}  // namespace

nlohmann::json ControlDeviceInfo::to_json() const {
  nlohmann::json instances = nlohmann::json::array();
  for (const auto& type : instance_types) {
    instances.push_back(
        type ? nlohmann::json{{"type", *type},
                              {"type_name", device::instance_type_name(*type)}}
             : nlohmann::json{{"type", nullptr}});
  }
  nlohmann::json j{{"address", address},
                   {"several_devices", shared},
                   {"instances", instances}};
  if (status) {
    j["status"] = *status;
    j["status_text"] = status_words(*status);
  } else {
    j["status"] = nullptr;
  }
  return j;
}

std::vector<ControlDeviceInfo> find_control_devices(
    BusInterface& bus, const std::function<void(int, int)>& progress) {
  std::vector<ControlDeviceInfo> found;
  for (int address = 0; address < 64; ++address) {
    const BusReply reply = ask(bus, address, device::kInstanceDevice,
                               device::op::kQueryDeviceStatus);
    if (reply.status != SendStatus::no_answer) {
      ControlDeviceInfo d;
      d.address = address;
      d.shared = reply.status == SendStatus::framing_error;
      d.status = reply.answer_byte();
      found.push_back(d);
    }
    if (progress) progress(address + 1, static_cast<int>(found.size()));
  }
  for (ControlDeviceInfo& d : found) {
    const auto count = ask(bus, d.address, device::kInstanceDevice,
                           device::op::kQueryNumberOfInstances)
                           .answer_byte();
    for (uint8_t i = 0; count && i < *count && i < kMaxInstances; ++i) {
      d.instance_types.push_back(ask(bus, d.address,
                                     device::instance_number_byte(i),
                                     device::op::kQueryInstanceType)
                                     .answer_byte());
    }
  }
  return found;
}

void print_control_device_table(const std::vector<ControlDeviceInfo>& devices) {
  fmt::print("  {:>4}  {:<52}  {}\n", "Addr", "Instances", "Status");
  for (const auto& d : devices) {
    std::string status = d.status ? status_words(*d.status) : "?";
    if (d.shared) status = "SEVERAL DEVICES ANSWER; " + status;
    fmt::print("  {:>4}  {:<52}  {}\n", d.address, type_list(d), status);
  }
}

namespace {
constexpr std::size_t kInstanceTypesMost = 64 * 32;
}  // namespace

void InstanceTypeCache::remember(uint8_t address, uint8_t instance,
                                 std::optional<uint8_t> type) {
  if (known_.size() < kInstanceTypesMost ||
      known_.contains({address, instance})) {
    known_[{address, instance}] = type;
  }
}

std::optional<uint8_t> InstanceTypeCache::operator()(uint8_t address,
                                                     uint8_t instance) {
  const auto key = std::make_pair(address, instance);
  if (const auto found = known_.find(key); found != known_.end()) {
    return found->second;
  }
  std::optional<uint8_t> type;
  try {
    type = bus_.send(device_frame(device::short_address_byte(address),
                                  device::instance_number_byte(instance),
                                  device::op::kQueryInstanceType))
               .answer_byte();
  } catch (const CliError&) {
    // Not sent (no power, interface gone): shown without the type.
  }
  remember(address, instance, type);
  return type;
}

}  // namespace kovra62386::cli
