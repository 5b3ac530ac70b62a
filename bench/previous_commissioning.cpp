// The commissioning search as it was before it kept what it learned (kept
// for the benchmark only, to run beside today's on the same installation):
// a search from 0xFFFFFF down for every gear, every address checked by
// re-randomising the gear that took it and searching them again.
#include "previous_commissioning.h"

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "dali/dali_commands.h"

namespace kovra62386::bench {
namespace {

using namespace dali;

constexpr uint32_t kTop = 0xFFFFFF;

// The steps of the search, whatever the frames that carry them.
enum class Op : uint8_t {
  Terminate,
  InitialiseUnaddressed,
  InitialiseAddress,  // data: the short address
  Randomise,
  Compare,
  Withdraw,
  SearchH,
  SearchM,
  SearchL,
  ProgramShortAddress,  // data: the short address
  VerifyShortAddress,   // data: the short address
  QueryPresent,         // data: the short address
};
using OpSender = std::function<BusResponse(Op op, uint8_t data)>;

// Control gear: 16-bit special commands (IEC 62386-102).
OpSender gear_dialect(const Transact& transact) {
  return [&transact](Op op, uint8_t data) {
    switch (op) {
      case Op::Terminate:
        return transact(special::kTerminate, 0, false);
      case Op::InitialiseUnaddressed:
        return transact(special::kInitialise, special::kInitialiseUnaddressed,
                        true);
      case Op::InitialiseAddress:
        return transact(special::kInitialise, short_address_data(data), true);
      case Op::Randomise:
        return transact(special::kRandomise, 0, true);
      case Op::Compare:
        return transact(special::kCompare, 0, false);
      case Op::Withdraw:
        return transact(special::kWithdraw, 0, false);
      case Op::SearchH:
        return transact(special::kSearchAddrH, data, false);
      case Op::SearchM:
        return transact(special::kSearchAddrM, data, false);
      case Op::SearchL:
        return transact(special::kSearchAddrL, data, false);
      case Op::ProgramShortAddress:
        return transact(special::kProgramShortAddress, short_address_data(data),
                        false);
      case Op::VerifyShortAddress:
        return transact(special::kVerifyShortAddress, short_address_data(data),
                        false);
      case Op::QueryPresent:
        break;
    }
    return transact(short_address_data(data), gear::kQueryControlGearPresent,
                    false);
  };
}

struct Aborted {
  std::string why;
};

class Commissioner {
 public:
  Commissioner(OpSender send, const CommissioningOptions& options,
               CommissioningResult& result)
      : send_(std::move(send)), options_(options), result_(result) {}

  void run() {
    scan();
    send(Op::Terminate, 0);
    send(Op::InitialiseUnaddressed, 0);
    randomise();
    progress_.stage = CommissioningProgress::Stage::Searching;
    report();
    std::vector<uint8_t> fresh;
    while (find_lowest()) {
      if (auto a = give_address()) fresh.push_back(*a);
      send(Op::Withdraw, 0);
    }
    if (options_.verify_unique) verify(fresh);
    send(Op::Terminate, 0);
    progress_.stage = CommissioningProgress::Stage::Done;
    report();
  }

 private:
  BusResponse send(Op op, uint8_t data) {
    const BusResponse r = send_(op, data);
    ++result_.transactions;
    progress_.transactions = result_.transactions;
    if (r.kind == BusResponse::Kind::NotTransmitted) {
      throw Aborted{"a frame was not transmitted (bus power down?)"};
    }
    return r;
  }
  bool yes(Op op, uint8_t data) {
    return send(op, data).kind != BusResponse::Kind::NoAnswer;
  }
  void report() {
    if (options_.progress) options_.progress(progress_);
  }

  void scan() {
    for (unsigned a = 0; a < 64; ++a) {
      used_[a] = yes(Op::QueryPresent, static_cast<uint8_t>(a));
      if (used_[a]) result_.already_used.push_back(static_cast<uint8_t>(a));
      report();
    }
  }

  void randomise() {
    send(Op::Randomise, 0);
    search_known_ = false;  // gear new to the search hold their own
  }

  void set_search(uint32_t value) {
    static constexpr std::array<std::pair<Op, int>, 3> kBytes{
        {{Op::SearchH, 16}, {Op::SearchM, 8}, {Op::SearchL, 0}}};
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
    if (!yes(Op::Compare, 0)) return std::nullopt;
    uint32_t low = 0, high = kTop;
    while (low < high) {
      const uint32_t mid = low + (high - low) / 2;
      set_search(mid);
      if (yes(Op::Compare, 0)) {
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
      const auto data = static_cast<uint8_t>(a);
      send(Op::ProgramShortAddress, data);
      if (!yes(Op::VerifyShortAddress, data)) continue;  // did not take it
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
      send(Op::Terminate, 0);
      send(Op::InitialiseAddress, a);
      randomise();
      bool first = true;
      while (find_lowest()) {
        if (!first) {
          if (auto b = give_address()) queue.push_back(*b);
        }
        first = false;
        send(Op::Withdraw, 0);
      }
    }
  }

  OpSender send_;
  const CommissioningOptions& options_;
  CommissioningResult& result_;
  CommissioningProgress progress_;
  std::array<bool, 64> used_{};
  uint32_t search_ = kTop;
  bool search_known_ = false;
};

}  // namespace

dali::CommissioningResult previous_commission(const dali::Transact& transact) {
  dali::CommissioningResult result;
  dali::CommissioningOptions options;
  try {
    Commissioner(gear_dialect(transact), options, result).run();
  } catch (const Aborted& e) {
    result.ok = false;
    result.error = e.why;
  }
  return result;
}

}  // namespace kovra62386::bench
