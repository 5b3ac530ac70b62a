// cpp_example.cpp - the library through its C++ wrapper: connect (starting
// the local server when none runs), list the interfaces, open the first one
// with a transceiver that counts what the bus reports, ask short address 0
// for its actual level, and let every object close what it holds.
#include <atomic>
#include <cstdio>
#include <exception>

#include "kovra62386/kovra62386.hpp"

int main() {
  try {
    kovra62386::Session session;
    const auto names = session.interfaces();
    for (const auto& name : names) std::printf("interface: %s\n", name.c_str());
    if (names.empty()) {
      std::fprintf(stderr, "the server lists no interface\n");
      return 1;
    }

    kovra62386::Interface bus = session.open(names.front());
    std::atomic<int> frames{0};
    kovra62386::Transceiver transceiver(
        bus, [&](const TransceiverEvent& event) {
          if (event.code != KOVRA62386_EVENT_CLOSED) ++frames;
        });

    const auto query_actual_level =
        kovra62386::command(kovra62386::Address::short_address(0),
                            kovra62386::gear::kQueryActualLevel);
    const kovra62386::SendOutcome outcome = bus.send(query_actual_level);
    std::printf("QUERY ACTUAL LEVEL of short address 0: %s",
                kovra62386::to_string(outcome.status));
    if (const auto level = outcome.answer_byte()) std::printf(" %u", *level);
    std::printf("\n");

    transceiver.stop();
    std::printf("%d frames reported\n", frames.load());
    return outcome.status == kovra62386::SendStatus::answer ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
