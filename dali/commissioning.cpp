#include "dali/commissioning.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "dali/dali_commands.h"
#include "dali/device_commands.h"

namespace kovra62386::dali {
namespace {

constexpr uint32_t kTop = 0xFFFFFF;

// The steps of the search, whatever the frames that carry them.
enum class Op : uint8_t {
  Terminate,
  InitialiseUnaddressed,
  InitialiseAll,
  InitialiseAddress,  // data: the short address
  Randomise,
  Compare,
  Withdraw,
  SearchH,
  SearchM,
  SearchL,
  ProgramShortAddress,  // data: the short address
  ClearShortAddress,    // of the selected gear
  MaskInDtr0,
  SetShortAddressFromDtr0,  // data: the short address whose gear take DTR0
  VerifyShortAddress,       // data: the short address
  QueryPresent,             // data: the short address
  QueryShortAddress,        // of the selected gear
  // data: the short address, or kUnaddressed for every gear without one
  QueryRandomH,
  QueryRandomM,
  QueryRandomL,
};
constexpr uint8_t kUnaddressed = 0xFF;
constexpr uint8_t kEveryone = 0xFE;  // data: broadcast
using OpSender = std::function<BusResponse(Op op, uint8_t data)>;

// Control gear: 16-bit special commands (IEC 62386-102).
OpSender gear_dialect(const Transact& transact) {
  return [&transact](Op op, uint8_t data) {
    auto to = [](uint8_t a) {
      return address_byte(a == kUnaddressed ? Address::broadcast_unaddressed()
                          : a == kEveryone  ? Address::broadcast()
                                            : Address::short_address(a),
                          false);
    };
    switch (op) {
      case Op::Terminate:
        return transact(special::kTerminate, 0, false);
      case Op::InitialiseUnaddressed:
        return transact(special::kInitialise, special::kInitialiseUnaddressed,
                        true);
      case Op::InitialiseAll:
        return transact(special::kInitialise, special::kInitialiseAll, true);
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
      case Op::ClearShortAddress:
        return transact(special::kProgramShortAddress, kNoShortAddress, false);
      case Op::MaskInDtr0:
        return transact(special::kDtr0, kNoShortAddress, false);
      case Op::SetShortAddressFromDtr0:
        return transact(to(data), gear::kSetShortAddress, true);
      case Op::VerifyShortAddress:
        return transact(special::kVerifyShortAddress, short_address_data(data),
                        false);
      case Op::QueryShortAddress:
        return transact(special::kQueryShortAddress, 0, false);
      case Op::QueryRandomH:
        return transact(to(data), gear::kQueryRandomAddressH, false);
      case Op::QueryRandomM:
        return transact(to(data), gear::kQueryRandomAddressM, false);
      case Op::QueryRandomL:
        return transact(to(data), gear::kQueryRandomAddressL, false);
      case Op::QueryPresent:
        break;
    }
    return transact(to(data), gear::kQueryControlGearPresent, false);
  };
}

// Control devices: 24-bit special commands (IEC 62386-103), short
// addresses as plain numbers.
OpSender device_dialect(const DeviceTransact& transact) {
  namespace sp = device::special;
  return [&transact](Op op, uint8_t data) {
    auto special = [&](uint8_t command, uint8_t value, bool twice) {
      return transact({device::kSpecial, command, value}, twice);
    };
    auto query = [&](uint8_t a, uint8_t opcode) {
      return transact({a == kUnaddressed ? device::kBroadcastUnaddressed
                                         : device::short_address_byte(a),
                       device::kInstanceDevice, opcode},
                      false);
    };
    switch (op) {
      case Op::Terminate:
        return special(sp::kTerminate, 0, false);
      case Op::InitialiseUnaddressed:
        return special(sp::kInitialise, sp::kInitialiseUnaddressed, true);
      case Op::InitialiseAll:
        return special(sp::kInitialise, sp::kInitialiseAll, true);
      case Op::InitialiseAddress:
        return special(sp::kInitialise, data, true);
      case Op::Randomise:
        return special(sp::kRandomise, 0, true);
      case Op::Compare:
        return special(sp::kCompare, 0, false);
      case Op::Withdraw:
        return special(sp::kWithdraw, 0, false);
      case Op::SearchH:
        return special(sp::kSearchAddrH, data, false);
      case Op::SearchM:
        return special(sp::kSearchAddrM, data, false);
      case Op::SearchL:
        return special(sp::kSearchAddrL, data, false);
      case Op::ProgramShortAddress:
        return special(sp::kProgramShortAddress, data, false);
      case Op::ClearShortAddress:
        return special(sp::kProgramShortAddress, kNoShortAddress, false);
      case Op::MaskInDtr0:
        return special(sp::kDtr0, kNoShortAddress, false);
      case Op::SetShortAddressFromDtr0:
        return transact({data == kEveryone ? device::kBroadcast
                                           : device::short_address_byte(data),
                         device::kInstanceDevice, device::op::kSetShortAddress},
                        true);
      case Op::VerifyShortAddress:
        return special(sp::kVerifyShortAddress, data, false);
      case Op::QueryShortAddress:
        return special(sp::kQueryShortAddress, 0, false);
      case Op::QueryRandomH:
        return query(data, device::op::kQueryRandomAddressH);
      case Op::QueryRandomM:
        return query(data, device::op::kQueryRandomAddressM);
      case Op::QueryRandomL:
        return query(data, device::op::kQueryRandomAddressL);
      case Op::QueryPresent:
        break;
    }
    return query(data, device::op::kQueryDeviceStatus);
  };
}

struct Aborted {
  std::string why;
};

// Rounds of re-randomising gear that share a short address before giving
// up: gear with one RANDOMISE generator draw the same addresses forever.
constexpr unsigned kMaxSeparationRounds = 8;
// Times the search may find its knowledge wrong (gear that joined or drew
// again mid-search) before it stops.
constexpr unsigned kMaxRestarts = 16;
// Searches again for gear left without an address (one that missed PROGRAM
// SHORT ADDRESS) before giving up on them.
constexpr unsigned kMaxRecoveryRounds = 4;
// Gear left without an address are asked for their random address (as if
// only one were left) when about this many are expected from the density
// of those found.
constexpr double kAskAloneWhenExpected = 3.0;

class Commissioner {
 public:
  Commissioner(OpSender send, const CommissioningOptions& options,
               CommissioningResult& result)
      : send_(std::move(send)), options_(options), result_(result) {}

  void run() {
    for (unsigned a = 0; a < 64; ++a) {
      used_[a] = (options_.allowed >> a & 1) == 0;  // never given
    }
    send(Op::Terminate, 0);
    if (options_.readdress) {
      // Every gear gets a new address: all lose theirs first, so that a
      // search cut short leaves none held twice (an old one beside a new).
      send(Op::MaskInDtr0, 0);
      send(Op::SetShortAddressFromDtr0, kEveryone);
    }
    send(options_.readdress ? Op::InitialiseAll : Op::InitialiseUnaddressed, 0);
    randomise();
    for (unsigned round = 0;; ++round) {
      vacated_ = false;
      find_and_check();
      // A gear that missed PROGRAM SHORT ADDRESS was withdrawn without an
      // address, which the check shows as one held by nobody: those left
      // without are searched for again.
      if (!vacated_ || round == kMaxRecoveryRounds) break;
      send(Op::Terminate, 0);
      send(Op::InitialiseUnaddressed, 0);
      randomise();
    }
    send(Op::Terminate, 0);
    for (const uint8_t a : result_.assigned) {
      result_.gear.push_back({a, random_of_[a]});
    }
    progress_.stage = CommissioningProgress::Stage::Done;
    report();
  }

 private:
  // Gives every gear in the search an address, checks that each is held by
  // one gear, and separates those that are not.
  void find_and_check() {
    progress_.stage = CommissioningProgress::Stage::Searching;
    report();
    std::vector<uint8_t> fresh, suspects;
    // Only gear without a short address are searched (with readdressing, a
    // gear that missed the clearing would not answer as one).
    last_needs_no_withdraw_ = !options_.readdress;
    unaddressed_search_ = true;
    search_all([&](bool) {
      const auto a = give_address();
      if (!a) return !nobody_selected_;
      fresh.push_back(*a);
      if (twins_answered_) suspects.push_back(*a);
      return true;
    });
    last_needs_no_withdraw_ = false;
    unaddressed_search_ = false;
    if (options_.verify_unique && !fresh.empty()) {
      progress_.stage = CommissioningProgress::Stage::Verifying;
      report();
      // Every gear found is still in the initialisation state (withdrawn):
      // one RANDOMISE gives each a new random address, so gear sharing a
      // short address answer it with different bytes.
      randomise();
      suspects = shared_addresses(fresh);
    }
    separate(std::move(suspects));
  }

  BusResponse send(Op op, uint8_t data) {
    const BusResponse r = send_(op, data);
    ++result_.transactions;
    progress_.transactions = result_.transactions;
    if (r.kind == BusResponse::Kind::NotTransmitted) {
      throw Aborted{"a frame was not transmitted (bus power down?)"};
    }
    return r;
  }
  void report() {
    if (options_.progress) options_.progress(progress_);
  }

  // Whether short address `a` may be given. Gear that keep their address
  // are asked for lazily, the first time the address would be given: N
  // fresh gear on an empty bus cost N queries instead of a scan of 64, and
  // never more than the scan. Readdressing keeps no address: none is asked.
  bool free_address(unsigned a) {
    if (used_[a]) return false;
    if (options_.readdress || asked_[a]) return true;
    asked_[a] = true;
    const auto data = static_cast<uint8_t>(a);
    if (send(Op::QueryPresent, data).kind == BusResponse::Kind::NoAnswer) {
      return true;
    }
    used_[a] = true;
    result_.already_used.push_back(data);
    return false;
  }

  void randomise() {
    send(Op::Randomise, 0);
    forget();
  }

  // What the search knows about the random addresses of the gear still
  // searched for: none lies below `floor_`, and at least `holds_[b]` lie in
  // floor_..b. Lost when they draw again or the search address is unknown.
  void forget() {
    floor_ = 0;
    floor_proved_ = false;
    holds_.clear();
    search_known_ = false;
    found_ = 0;
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

  // COMPARE at `value`: records what the answer proves. A collision means
  // at least two gear answered.
  bool compare(uint32_t value) {
    set_search(value);
    const BusResponse r = send(Op::Compare, 0);
    if (r.kind == BusResponse::Kind::NoAnswer) {
      floor_ = value + 1;
      floor_proved_ = true;
      holds_.erase(holds_.begin(), holds_.upper_bound(value));
      return false;
    }
    last_collided_ = r.kind == BusResponse::Kind::Collision;
    unsigned& count = holds_[value];
    count = std::max(count, last_collided_ ? 2u : 1u);
    return true;
  }

  // The gear left are taken as spread evenly over the addresses above the
  // floor, about as densely as those found so far (until the first is
  // found: one). Returns how likely the lowest of them lies at or below
  // `t`, given that it lies at or below `high`.
  double share_below(uint32_t t, uint32_t high) const {
    const double span = double(kTop) - double(floor_) + 1;
    const double left = found_ == 0 || floor_ == 0
                            ? 1.0
                            : std::max(1.0, found_ * span / double(floor_));
    auto below = [&](uint32_t v) {
      return 1 - std::pow(1 - (double(v) - double(floor_) + 1) / span, left);
    };
    return below(t) / below(high);
  }

  // Where to ask next within floor_..high, which holds gear: about where
  // the lowest gear left is as likely below as above, preferring addresses
  // whose lower bytes are 0xFF. Searching a byte at a time with the bytes
  // below it left at 0xFF, each COMPARE needs one search-address byte sent
  // instead of two or three.
  uint32_t split(uint32_t high) const {
    uint32_t low = floor_, top = high - 1;  // the median, by bisection
    while (low < top) {
      const uint32_t mid = low + (top - low) / 2;
      if (share_below(mid, high) < 0.5) {
        low = mid + 1;
      } else {
        top = mid;
      }
    }
    // Of the addresses near the median that share their lower bytes with
    // 0xFFFF, 0xFF or the search address, the one that learns most per
    // frame sent (the COMPARE and the bytes that change).
    const uint32_t ideal = low;
    uint32_t best = ideal;
    double best_rate = 0;
    auto consider = [&](uint32_t c) {
      if (c < floor_ || c >= high) return;
      const double p = share_below(c, high);
      if (p <= 0 || p >= 1) return;
      const double bits = -p * std::log2(p) - (1 - p) * std::log2(1 - p);
      const double rate = bits / (1 + bytes_to_send(c));
      if (rate > best_rate) {
        best = c;
        best_rate = rate;
      }
    };
    consider(ideal);
    for (const uint32_t mask : {0xFFFFu, 0xFFu}) {
      for (const uint32_t lower : {mask, search_ & mask}) {
        const uint32_t c = (ideal & ~mask) | lower;
        consider(c);
        consider(c + mask + 1);
        if (c > mask) consider(c - mask - 1);
      }
    }
    return best;
  }

  unsigned bytes_to_send(uint32_t value) const {
    if (!search_known_) return 3;
    unsigned n = 0;
    for (const int shift : {16, 8, 0}) {
      n += ((value ^ search_) >> shift & 0xFF) != 0;
    }
    return n;
  }

  // The lowest random address among gear still searched for, left in the
  // search address; nullopt when none answers any more.
  std::optional<uint32_t> find_lowest() {
    alone_ = false;
    if (holds_.empty()) {
      if (!anyone_left()) return std::nullopt;
      if (!last_collided_) {
        if (const auto v = the_only_random_address()) return v;
      }
    } else if (few_left()) {
      if (const auto v = the_only_random_address()) return v;
    }
    uint32_t high = holds_.begin()->first;
    while (floor_ < high) {
      const uint32_t mid = split(high);
      if (compare(mid)) high = mid;
    }
    // Known to hold gear without a COMPARE at it in this search: trusted,
    // as PROGRAM SHORT ADDRESS to nobody shows when it is wrong.
    set_search(high);
    told_apart_ = floor_proved_;
    return high;
  }

  // Whether any gear still searched for answers COMPARE. Asked first with
  // only the high search-address byte changed to 0xFF, which leaves out
  // just the addresses above it with that high byte (one in 256 of the
  // space): one byte sent instead of three for the top.
  bool anyone_left() {
    const uint32_t near_top = 0xFF0000 | (search_ & 0xFFFF);
    if (search_known_ && near_top >= floor_ && near_top != kTop &&
        compare(near_top)) {
      return true;
    }
    return compare(kTop);
  }

  // Whether the gear left without an address may well be one: asking them
  // for their random address costs one query when two or more answer, and
  // saves a search of some twenty COMPAREs when one does. Not asked again
  // until another gear is found.
  bool few_left() const {
    if (!unaddressed_search_ || asked_alone_ || found_ == 0) return false;
    for (const auto& [bound, count] : holds_) {
      if (count >= 2) return false;
    }
    const double expected =
        found_ * (double(kTop) - double(floor_) + 1) / double(floor_);
    return expected <= kAskAloneWhenExpected;
  }

  // When a single gear answered COMPARE at the top, it may be the only one
  // left: it tells its random address in three queries, where a search
  // takes some twenty COMPAREs. Any other gear without a short address
  // answers too, with other bytes, which collide.
  std::optional<uint32_t> the_only_random_address() {
    asked_alone_ = true;
    uint32_t value = 0;
    for (const Op op : {Op::QueryRandomH, Op::QueryRandomM, Op::QueryRandomL}) {
      const BusResponse r = send(op, kUnaddressed);
      if (r.kind != BusResponse::Kind::Answer) return std::nullopt;
      value = value << 8 | r.answer;
    }
    if (value < floor_ || (!holds_.empty() && value > holds_.begin()->first) ||
        !compare(value)) {
      return std::nullopt;
    }
    set_search(value);
    told_apart_ = true;  // the gear told it
    alone_ = true;
    return value;
  }

  // Finds every gear still searched for, lowest first, and hands each to
  // `found` while it alone is selected (false: nobody was), then withdraws
  // it.
  template <typename Found>
  void search_all(Found&& found) {
    unsigned restarts = 0;
    bool first = true;
    while (const auto x = find_lowest()) {
      // The floor has reached x, so what is known to lie at or below x lies
      // at x: a collision on any COMPARE at x means more than one gear is
      // there, however many COMPAREs came after it.
      const auto known = holds_.find(*x);
      const unsigned at_x = known == holds_.end() ? 1 : known->second;
      twins_answered_ = at_x >= 2;
      if (!found(first)) {
        // Nobody there: gear drew again or joined below the floor (whose
        // answers to COMPARE look like gear here), and what the search knew
        // no longer holds.
        if (++restarts > kMaxRestarts) {
          throw Aborted{"gear keep changing their random addresses"};
        }
        const bool kept = search_known_;
        forget();
        search_known_ = kept;
        continue;
      }
      first = false;
      asked_alone_ = false;
      // The only gear without a short address left, now given one: nobody
      // is left to search, so neither WITHDRAW nor the COMPAREs that would
      // show it. One that missed its address shows in the check after the
      // search and is searched for again.
      if (alone_ && last_needs_no_withdraw_) return;
      send(Op::Withdraw, 0);
      ++found_;
      floor_ = *x + 1;
      floor_proved_ = false;
      // The gear withdrawn were below every bound: fewer under each. A bound
      // at x goes with them, or the next search would stop at x again and
      // address the withdrawn gear a second time.
      const unsigned gone = std::max(at_x, twins_answered_ ? 2u : 1u);
      holds_.erase(*x);
      for (auto it = holds_.begin(); it != holds_.end();) {
        if (it->second <= gone) {
          it = holds_.erase(it);
        } else {
          it->second -= gone;
          ++it;
        }
      }
    }
  }

  // Whether VERIFY SHORT ADDRESS must follow PROGRAM SHORT ADDRESS. The
  // check after the search already finds an address held by two gear, or
  // by none (a gear that missed PROGRAM SHORT ADDRESS is searched for
  // again). What it cannot see is a search led astray by a gear below the
  // floor that was never withdrawn: every COMPARE answers, the search ends
  // at the floor, and each address would go to nobody. A COMPARE that went
  // unanswered just below the address found rules that out.
  bool must_verify() const { return !options_.verify_unique || !told_apart_; }

  // Programs the selected gear with the lowest free address and, when
  // must_verify(), checks it. Two gear answering VERIFY SHORT ADDRESS at
  // once shared the random address.
  // nullopt when no address is free, or nobody is selected
  // (nobody_selected_).
  std::optional<uint8_t> give_address() {
    nobody_selected_ = false;
    for (unsigned a = 0; a < 64; ++a) {
      if (!free_address(a)) continue;
      const auto data = static_cast<uint8_t>(a);
      send(Op::ProgramShortAddress, data);
      const BusResponse r = must_verify()
                                ? send(Op::VerifyShortAddress, data)
                                : BusResponse{BusResponse::Kind::Answer, 0};
      if (r.kind == BusResponse::Kind::NoAnswer) {
        // Did not take it, or nobody is selected at the search address.
        if (send(Op::QueryShortAddress, 0).kind ==
            BusResponse::Kind::NoAnswer) {
          nobody_selected_ = true;
          return std::nullopt;
        }
        continue;
      }
      if (r.kind == BusResponse::Kind::Collision) twins_answered_ = true;
      used_[a] = true;
      result_.assigned.push_back(data);
      random_of_[a] = search_;
      ++progress_.assigned;
      progress_.last_assigned = data;
      // Those found so far took the addresses up to here; as many again are
      // expected in the same share of what lies above.
      const double below = double(search_) + 1;
      progress_.estimated_left = static_cast<unsigned>(
          std::lround((found_ + 1) * (double(kTop) - double(search_)) / below));
      report();
      return data;
    }
    // No address free: the gear goes without one, if one is selected at
    // all. An address it held before (a twin being separated, or a gear
    // that missed the clearing of every address) would be held twice.
    const BusResponse r = send(Op::QueryShortAddress, 0);
    if (r.kind == BusResponse::Kind::NoAnswer) {
      nobody_selected_ = true;
      return std::nullopt;
    }
    send(Op::ClearShortAddress, 0);
    const bool several =
        twins_answered_ || r.kind == BusResponse::Kind::Collision;
    result_.left_without_address += several ? 2 : 1;
    return std::nullopt;
  }

  // The addresses among `addresses` held by more than one gear, told by
  // their random addresses: gear that drew different ones answer QUERY
  // RANDOM ADDRESS (H, M or L) with different bytes, which collide.
  std::vector<uint8_t> shared_addresses(const std::vector<uint8_t>& addresses) {
    std::vector<uint8_t> shared;
    for (const uint8_t a : addresses) {
      uint32_t value = 0;
      bool alone = true;
      for (const Op op :
           {Op::QueryRandomH, Op::QueryRandomM, Op::QueryRandomL}) {
        const BusResponse r = send(op, a);
        if (r.kind == BusResponse::Kind::NoAnswer) {
          // Nobody holds it: the gear given it missed the address or was
          // not there after all.
          vacated_ = true;
          result_.assigned.erase(
              std::remove(result_.assigned.begin(), result_.assigned.end(), a),
              result_.assigned.end());
          alone = false;
          break;
        }
        if (r.kind != BusResponse::Kind::Answer) {
          shared.push_back(a);
          alone = false;
          break;
        }
        value = value << 8 | r.answer;
      }
      if (alone) random_of_[a] = value;  // drawn anew by the RANDOMISE
    }
    return shared;
  }

  // Gear sharing each of `addresses` draw again, on their own, and all but
  // the first found get an address of their own; repeated until every
  // address is held by one gear.
  void separate(std::vector<uint8_t> addresses) {
    for (unsigned round = 0; !addresses.empty(); ++round) {
      if (round == kMaxSeparationRounds) {
        give_up_on(addresses);
        return;
      }
      progress_.stage = CommissioningProgress::Stage::Verifying;
      report();
      std::vector<uint8_t> check;
      for (const uint8_t a : addresses) {
        send(Op::Terminate, 0);
        send(Op::InitialiseAddress, a);
        randomise();
        check.push_back(a);
        search_all([&](bool first) {
          if (first) return true;  // keeps `a`
          const auto b = give_address();
          if (b) check.push_back(*b);
          return b || !nobody_selected_;
        });
      }
      send(Op::Terminate, 0);
      for (const uint8_t a : check) send(Op::InitialiseAddress, a);
      randomise();
      addresses = shared_addresses(check);
    }
  }

  // Gear that keep drawing the same random address (one generator for
  // all) cannot be told apart: all of them lose the address they share, so
  // that none is held twice, and count as left without one.
  void give_up_on(const std::vector<uint8_t>& addresses) {
    for (const uint8_t a : addresses) {
      send(Op::MaskInDtr0, 0);
      send(Op::SetShortAddressFromDtr0, a);
      result_.assigned.erase(
          std::remove(result_.assigned.begin(), result_.assigned.end(), a),
          result_.assigned.end());
      result_.left_without_address += 2;
      result_.inseparable.push_back(a);
    }
  }

  OpSender send_;
  const CommissioningOptions& options_;
  CommissioningResult& result_;
  CommissioningProgress progress_;
  std::array<bool, 64> used_{};
  std::array<bool, 64> asked_{};  // whether a gear holds it, asked already
  std::array<uint32_t, 64> random_of_{};  // of the gear given each address
  uint32_t search_ = kTop;
  bool search_known_ = false;
  uint32_t floor_ = 0;
  bool floor_proved_ = false;  // by an unanswered COMPARE, not a WITHDRAW
  bool told_apart_ = false;    // the gear found lies above every other left
  bool vacated_ = false;       // the check found an address held by nobody
  bool alone_ = false;  // the gear found was the only one without an address
  bool last_needs_no_withdraw_ = false;  // searching gear without an address
  bool unaddressed_search_ = false;      // the same, readdressing too
  bool asked_alone_ = false;  // for a random address since the last found
  std::map<uint32_t, unsigned> holds_;
  unsigned found_ = 0;
  bool last_collided_ = false;  // the answer to the last COMPARE collided
  bool twins_answered_ = false;
  bool nobody_selected_ = false;
};

CommissioningResult run_search(bool have_transport, OpSender send,
                               const CommissioningOptions& options) {
  CommissioningResult result;
  if (!have_transport) {
    result.ok = false;
    result.error = "no transport";
    return result;
  }
  try {
    Commissioner(std::move(send), options, result).run();
  } catch (const Aborted& e) {
    result.ok = false;
    result.error = e.why;
  }
  return result;
}

}  // namespace

CommissioningResult commission(const Transact& transact,
                               const CommissioningOptions& options) {
  return run_search(static_cast<bool>(transact), gear_dialect(transact),
                    options);
}

CommissioningResult commission_devices(const DeviceTransact& transact,
                                       const CommissioningOptions& options) {
  return run_search(static_cast<bool>(transact), device_dialect(transact),
                    options);
}

}  // namespace kovra62386::dali
