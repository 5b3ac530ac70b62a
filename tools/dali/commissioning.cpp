#include "tools/dali/commissioning.h"

#include <array>
#include <deque>
#include <memory>
#include <optional>

namespace kovra62386::dali {
namespace {

constexpr uint8_t kTerminate = 0xA1;
constexpr uint8_t kInitialise = 0xA5;
constexpr uint8_t kRandomise = 0xA7;
constexpr uint8_t kCompare = 0xA9;
constexpr uint8_t kWithdraw = 0xAB;
constexpr uint8_t kSearchH = 0xB1;
constexpr uint8_t kSearchM = 0xB3;
constexpr uint8_t kSearchL = 0xB5;
constexpr uint8_t kProgramShortAddress = 0xB7;
constexpr uint8_t kVerifyShortAddress = 0xB9;
constexpr uint8_t kQueryPresent = 0x91;
constexpr uint32_t kTop = 0xFFFFFF;

struct Aborted {
  std::string why;
};

class Commissioner {
 public:
  Commissioner(const Transact& transact, const CommissioningOptions& options,
               CommissioningResult& result)
      : transact_(transact), options_(options), result_(result) {}

  void run() {
    scan();
    send(kTerminate, 0);
    initialise(0xFF);
    progress_.stage = CommissioningProgress::Stage::Searching;
    report();
    std::vector<uint8_t> fresh;
    while (find_lowest()) {
      if (auto a = give_address()) fresh.push_back(*a);
      send(kWithdraw, 0);
    }
    if (options_.verify_unique) verify(fresh);
    send(kTerminate, 0);
    progress_.stage = CommissioningProgress::Stage::Done;
    report();
  }

 private:
  BusResponse send(uint8_t a, uint8_t b, bool twice = false) {
    const BusResponse r = transact_(a, b, twice);
    ++result_.transactions;
    progress_.transactions = result_.transactions;
    if (r.kind == BusResponse::Kind::NotTransmitted) {
      throw Aborted{"a frame was not transmitted (bus power down?)"};
    }
    return r;
  }
  bool yes(uint8_t a, uint8_t b) {
    return send(a, b).kind != BusResponse::Kind::NoAnswer;
  }
  void report() {
    if (options_.progress) options_.progress(progress_);
  }

  void scan() {
    for (unsigned a = 0; a < 64; ++a) {
      used_[a] = yes(static_cast<uint8_t>((a << 1) | 1), kQueryPresent);
      progress_.step = a + 1;
      report();
    }
  }

  void initialise(uint8_t which) {
    send(kInitialise, which, true);
    send(kRandomise, 0, true);
    search_known_ = false;  // gear new to the search hold their own
  }

  void set_search(uint32_t value) {
    static constexpr std::array<std::pair<uint8_t, int>, 3> kBytes{
        {{kSearchH, 16}, {kSearchM, 8}, {kSearchL, 0}}};
    for (const auto& [command, shift] : kBytes) {
      const uint8_t byte = static_cast<uint8_t>(value >> shift);
      if (!search_known_ || static_cast<uint8_t>(search_ >> shift) != byte) {
        send(command, byte);
      }
    }
    search_ = value;
    search_known_ = true;
  }

  // The lowest random address among gear still searched for, left in the
  // search address; nullopt when none answers any more.
  std::optional<uint32_t> find_lowest() {
    set_search(kTop);
    if (!yes(kCompare, 0)) return std::nullopt;
    uint32_t low = 0, high = kTop;
    while (low < high) {
      const uint32_t mid = low + (high - low) / 2;
      set_search(mid);
      if (yes(kCompare, 0)) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    set_search(low);
    return low;
  }

  // Programs the selected gear with the lowest free address.
  std::optional<uint8_t> give_address() {
    for (unsigned a = 0; a < 64; ++a) {
      if (used_[a]) continue;
      const uint8_t data = short_address_data(static_cast<uint8_t>(a));
      send(kProgramShortAddress, data);
      if (!yes(kVerifyShortAddress, data)) continue;  // did not take it
      used_[a] = true;
      result_.assigned.push_back(static_cast<uint8_t>(a));
      ++progress_.assigned;
      report();
      return static_cast<uint8_t>(a);
    }
    ++result_.left_without_address;
    return std::nullopt;
  }

  void verify(std::vector<uint8_t> addresses) {
    progress_.stage = CommissioningProgress::Stage::Verifying;
    report();
    std::deque<uint8_t> queue(addresses.begin(), addresses.end());
    while (!queue.empty()) {
      const uint8_t a = queue.front();
      queue.pop_front();
      send(kTerminate, 0);
      initialise(short_address_data(a));
      bool first = true;
      while (find_lowest()) {
        if (!first) {
          if (auto b = give_address()) queue.push_back(*b);
        }
        first = false;
        send(kWithdraw, 0);
      }
    }
  }

  const Transact& transact_;
  const CommissioningOptions& options_;
  CommissioningResult& result_;
  CommissioningProgress progress_;
  std::array<bool, 64> used_{};
  uint32_t search_ = kTop;
  bool search_known_ = false;
};

}  // namespace

CommissioningResult commission(const Transact& transact,
                               const CommissioningOptions& options) {
  CommissioningResult result;
  if (!transact) {
    result.ok = false;
    result.error = "no transport";
    return result;
  }
  try {
    Commissioner(transact, options, result).run();
  } catch (const Aborted& e) {
    result.ok = false;
    result.error = e.why;
  }
  return result;
}

Transact simulated_transport(SimulatedBus& bus, Clock::time_point start) {
  auto now = std::make_shared<Clock::time_point>(start);
  return [&bus, now](uint8_t a, uint8_t b, bool twice) {
    const uint8_t frame[2] = {a, b};
    BusResponse r;
    for (int i = 0; i < (twice ? 2 : 1); ++i) {
      r = bus.forward_frame(frame, 16, *now);
      *now += transaction_duration(r, 16);
    }
    return r;
  };
}

}  // namespace kovra62386::dali
