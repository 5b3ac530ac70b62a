// The hasseb DALI Master's firmware (2.5), as far as the server's driver
// uses it. It takes one report per write (the hidraw report number first,
// then 10 bytes) and answers in 10-byte reports: the firmware version to
// `AA 02`, sniff mode on or off with `AA 05`, and for `AA 07` one
// transmission report per copy (status 1 no answer, 2 an answer, 3 a
// collision) under the command's sequence number. In sniff mode, other
// masters' frames and the answers to them are reported with sequence 0.
// The unit reports nothing of bus power: frames on a dead bus get no
// answer.
//
// Faults of its own: silent (frames taken, never reported: a lost
// completion) and legacy (the 2-byte reports of firmware older than 2).
#pragma once

#include <filesystem>

#include "support/fake_interface/fake_firmware.h"
#include "support/fake_interface/seqpacket_unit.h"

namespace kovra62386::test {

class HassebFirmware final : public FakeFirmware {
 public:
  static constexpr uint8_t kMajor = 2;
  static constexpr uint8_t kMinor = 5;

  using FakeFirmware::FakeFirmware;

  // Replies are whole reports, one after another (10 bytes each; 2 for
  // the legacy firmware).
  std::string receive(std::string_view bytes, Clock::time_point now) override;
  std::string poll(Clock::time_point now) override;
  std::string set_bus_power(bool on, Clock::time_point now) override;
  std::string foreign_frame(const std::vector<uint8_t>& data,
                            Clock::time_point now) override;

  void set_silent(bool silent) { silent_ = silent; }
  void set_legacy(bool legacy) { legacy_ = legacy; }
  bool sniffing() const { return sniffing_; }
  // Frames the driver sent.
  uint64_t frames() const { return frames_; }

 private:
  std::string sniffed(const std::vector<uint8_t>& data) const;

  bool silent_ = false;
  bool legacy_ = false;
  bool sniffing_ = false;
  uint64_t frames_ = 0;
};

// A hasseb unit on the simulator's default bus, listening at `path`.
std::unique_ptr<SeqpacketUnit> make_hasseb_unit(
    const std::filesystem::path& path);

// Runs `act` on the unit's hasseb firmware (set_silent, set_legacy).
void with_hasseb(SeqpacketUnit& unit,
                 const std::function<void(HassebFirmware&)>& act);

}  // namespace kovra62386::test
