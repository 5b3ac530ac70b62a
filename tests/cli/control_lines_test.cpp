// The control channel's `interfaces` answer, which `kovra62386 list` reads:
// its lines survive hostile text and stay bounded, a bus without power says
// so, and a device node that cannot be opened is answered as lost with the
// node named.
#include <gtest/gtest.h>

#include <string>

#include "protocol/control_socket.h"
#include "server/control_channel.h"
#include "server/server_core.h"

namespace kovra62386 {
namespace {

using sim_control::InterfaceLine;

TEST(ControlLines, RoundTripAndHostileText) {
  InterfaceLine line{7,
                     "LAB",
                     "sevenlab",
                     "lost",
                     "/dev/tty\tUSB0",
                     "3.5.1",
                     "cannot open\n/dev/ttyUSB0: Permission denied"};
  const std::string text = sim_control::format_interface_line(line);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const auto parsed = sim_control::parse_interface_line(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->index, 7u);
  EXPECT_EQ(parsed->name, "LAB");
  EXPECT_EQ(parsed->where, "/dev/tty USB0");
  EXPECT_EQ(parsed->firmware, "3.5.1");
  EXPECT_EQ(parsed->error, "cannot open /dev/ttyUSB0: Permission denied");

  // A long error is cut to the bound; the fields before it stay whole.
  line.error.assign(5000, 'x');
  const std::string cut = sim_control::format_interface_line(line);
  EXPECT_LE(cut.size(), sim_control::kMaxAnswerLine);
  const auto shortened = sim_control::parse_interface_line(cut);
  ASSERT_TRUE(shortened);
  EXPECT_EQ(shortened->firmware, "3.5.1");

  for (const char* garbage :
       {"ok 2", "interface\t1\tLAB", "interface\t256\tA\tb\tc\td\te\tf",
        "interface\t1\t\tb\tc\td\te\tf", "interface\t1\tA\tb\tc\td\te\tf\tg",
        "interface\tx\tA\tb\tc\td\te\tf"}) {
    EXPECT_FALSE(sim_control::parse_interface_line(garbage)) << garbage;
  }
}

TEST(ControlLines, StatesOfABusWithoutPowerAndOfAMissingNode) {
  sim::ServerOptions options;
  options.port = 0;
  options.interfaces = {"SIM-1"};
  options.real_interfaces = {{"LAB", "sevenlab", "/nonexistent/ttyLAB"}};
  sim::ServerCore core(options);
  ASSERT_TRUE(core.start());
  core.set_bus_power(0, false);
  sim::ControlChannel channel(core, "");
  const std::string answer = channel.execute("interfaces");
  core.stop();

  const std::size_t first_end = answer.find('\n');
  const std::size_t second_end = answer.find('\n', first_end + 1);
  ASSERT_NE(second_end, std::string::npos) << answer;
  EXPECT_EQ(answer.substr(second_end + 1), "ok 2");
  const auto sim_line =
      sim_control::parse_interface_line(answer.substr(0, first_end));
  const auto lab_line = sim_control::parse_interface_line(
      answer.substr(first_end + 1, second_end - first_end - 1));
  ASSERT_TRUE(sim_line && lab_line) << answer;
  EXPECT_EQ(sim_line->driver, "simulated");
  EXPECT_EQ(sim_line->state, sim_control::kStatePowerOff);
  EXPECT_EQ(lab_line->driver, "sevenlab");
  EXPECT_EQ(lab_line->state, sim_control::kStateLost);
  EXPECT_EQ(lab_line->where, "/nonexistent/ttyLAB");
  EXPECT_NE(lab_line->error.find("/nonexistent/ttyLAB"), std::string::npos)
      << lab_line->error;
}

}  // namespace
}  // namespace kovra62386
