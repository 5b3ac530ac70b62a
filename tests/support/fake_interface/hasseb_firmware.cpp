#include "support/fake_interface/hasseb_firmware.h"

#include <array>

#include "server/drivers/hasseb_protocol.h"

namespace kovra62386::test {
namespace {

namespace h = sim::drivers::hasseb;
using Report = std::array<uint8_t, h::kReportSize>;

constexpr uint8_t kBitsPerByte = 8;
// What the old firmware sends instead of a 10-byte report.
constexpr char kLegacyReport[] = {0x01, static_cast<char>(0xFF)};

std::string text(const Report& report) {
  return std::string(report.begin(), report.end());
}

Report report(uint8_t type, uint8_t sequence, uint8_t status) {
  return {h::kPreamble, type, sequence, status};
}

}  // namespace

std::string HassebFirmware::receive(std::string_view bytes,
                                    Clock::time_point now) {
  if (legacy_) return std::string(kLegacyReport, sizeof kLegacyReport);
  // The report number a hidraw write starts with.
  if (bytes.size() == h::kReportSize + 1 && bytes.front() == 0) {
    bytes.remove_prefix(1);
  }
  if (bytes.size() != h::kReportSize ||
      static_cast<uint8_t>(bytes[0]) != h::kPreamble) {
    ++bad_commands_;
    return {};
  }
  const auto byte = [&](std::size_t i) {
    return static_cast<uint8_t>(bytes[i]);
  };
  const uint8_t sequence = byte(2);
  switch (byte(1)) {
    case h::kCommandFirmwareVersion: {
      greeted_ = true;
      Report version = report(h::kReportFirmwareVersion, sequence, kMajor);
      version[4] = kMinor;
      return text(version);
    }
    case h::kCommandConfigure:
      sniffing_ = byte(3) == h::kModeSniffing;
      return {};
    case h::kCommandSendFrame:
      break;
    default:
      ++bad_commands_;
      return {};
  }
  ++frames_;
  const unsigned bits = byte(3);
  if (bits != 16 && bits != 24) {
    ++bad_commands_;
    return {};
  }
  if (silent_) return {};
  const bool answer_expected = byte(4) != 0;
  const int copies = byte(6) != 0 ? 2 : 1;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + 7;
  std::string out;
  for (int copy = 0; copy < copies; ++copy) {
    const dali::BusResponse response = bus_->forward_frame(data, bits, now);
    Report r = report(h::kReportTransmission, sequence, h::kStatusNoAnswer);
    if (answer_expected && response.kind == dali::BusResponse::Kind::Answer) {
      r[3] = h::kStatusAnswer;
      r[4] = 1;
      r[5] = response.answer;
    } else if (answer_expected &&
               response.kind == dali::BusResponse::Kind::Collision) {
      r[3] = h::kStatusInvalidData;
    }
    out += text(r);
  }
  return out;
}

std::string HassebFirmware::sniffed(const std::vector<uint8_t>& data) const {
  if (!sniffing_) return {};
  Report r = report(h::kReportTransmission, h::kSpontaneous, h::kStatusSniffed);
  r[4] = static_cast<uint8_t>(data.size());
  for (std::size_t i = 0; i < data.size() && i < 3; ++i) r[5 + i] = data[i];
  return text(r);
}

std::string HassebFirmware::poll(Clock::time_point now) {
  std::string out;
  while (const auto frame = bus_->take_device_frame(now)) {
    out += sniffed({frame->bytes.begin(), frame->bytes.end()});
  }
  return out;
}

std::string HassebFirmware::set_bus_power(bool on, Clock::time_point now) {
  bus_->set_power(on, now);
  return {};  // the unit has no way to say so
}

std::string HassebFirmware::foreign_frame(const std::vector<uint8_t>& data,
                                          Clock::time_point now) {
  const auto bits = static_cast<unsigned>(data.size() * kBitsPerByte);
  if (bits != 16 && bits != 24) return {};
  const dali::BusResponse response =
      bus_->forward_frame(data.data(), bits, now);
  if (response.kind == dali::BusResponse::Kind::NotTransmitted) return {};
  std::string out = sniffed(data);
  if (response.kind == dali::BusResponse::Kind::Answer) {
    out += sniffed({response.answer});
  } else if (response.kind == dali::BusResponse::Kind::Collision && sniffing_) {
    out += text(report(h::kReportTransmission, h::kSpontaneous,
                       h::kStatusSniffedError));
  }
  return out;
}

std::unique_ptr<SeqpacketUnit> make_hasseb_unit(
    const std::filesystem::path& path) {
  return std::make_unique<SeqpacketUnit>(
      path,
      std::make_unique<HassebFirmware>(std::make_unique<dali::SimulatedBus>()),
      h::kReportSize);
}

void with_hasseb(SeqpacketUnit& unit,
                 const std::function<void(HassebFirmware&)>& act) {
  unit.inject([&act](FakeFirmware& firmware) {
    act(static_cast<HassebFirmware&>(firmware));
    return std::string();
  });
}

}  // namespace kovra62386::test
