// The kovra62386 tool end to end: the real program against an in-process
// server on port 42000 in instant mode, found through the registry.
#if !defined(_WIN32)

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>

#include "cli/cli_process.h"
#include "dali/dali_commands.h"
#include "kovra62386/kovra62386.h"
#include "protocol/control_socket.h"
#include "server/control_channel.h"
#include "server/server_core.h"
#include "support/scoped_registry_root.h"
#include "support/server_observation.h"

namespace kovra62386::testing {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
namespace gear = dali::gear;
namespace special = dali::special;
namespace colour = dali::colour;

// Exit codes as the tool documents them.
constexpr int kOk = 0;
constexpr int kUsage = 2;
constexpr int kNoServer = 3;
constexpr int kNoInterface = 4;
constexpr int kNoAnswer = 5;
constexpr int kNotSent = 7;
constexpr int kIncomplete = 8;

json parse_json(const CliResult& result) {
  json document = json::parse(result.out, nullptr, false);
  EXPECT_FALSE(document.is_discarded()) << "not JSON: " << result.out;
  return document;
}

// A byte as the tool reads and writes it: "A0".
std::string hex(uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(byte));
  return text;
}
// An opcode as a raw command argument: "0xA0".
std::string opcode_arg(uint8_t opcode) { return "0x" + hex(opcode); }
// A forward frame as the tool writes it: "03 A0".
std::string frame_text(uint8_t first, uint8_t second) {
  return hex(first) + " " + hex(second);
}

// Address bytes of the command form (0AAAAAA1, 1111111S).
constexpr uint8_t kShort1 = 0x03;
constexpr uint8_t kShort5 = 0x0B;
constexpr uint8_t kShort10 = 0x15;
constexpr uint8_t kBroadcast = 0xFF;

std::string describe(const CliResult& result) {
  return "exit " + std::to_string(result.exit_code) + "\nstdout:\n" +
         result.out + "\nstderr:\n" + result.err;
}

class CliEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::ServerOptions options;
    options.port = KOVRA62386_SERVER_PORT;
    options.real_timing = false;
    options.publish = true;
    server_ = std::make_unique<sim::ServerCore>(options);
    ASSERT_TRUE(server_->start()) << "port 42000 is taken";
  }
  void TearDown() override {
    if (server_) server_->stop();
  }

  // True when the server's buses carry simulated IEC 62386-102 gear: the
  // default bus has none at short address 63, so nothing may answer there.
  static bool gear_simulated() {
    static const bool simulated =
        run_cli({"query", "SIM-1", "63", "QUERY CONTROL GEAR PRESENT"})
            .exit_code == kNoAnswer;
    return simulated;
  }

  // Every test gets its own registry, shared with the tool it runs.
  ScopedRegistryRoot registry_;
  std::unique_ptr<sim::ServerCore> server_;
};

TEST_F(CliEndToEnd, ListShowsTheServersInterfacesAsTextAndJson) {
  const CliResult text = run_cli({"list"});
  ASSERT_EQ(text.exit_code, kOk) << describe(text);
  EXPECT_NE(text.out.find("SIM-1"), std::string::npos);
  EXPECT_NE(text.out.find("SIM-2"), std::string::npos);

  const CliResult result = run_cli({"--json", "list"});
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  EXPECT_EQ(parse_json(result)["interfaces"], json::array({"SIM-1", "SIM-2"}));
}

TEST_F(CliEndToEnd, ScanFindsTheAddressedGearWithTheirState) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const std::size_t sent_before =
      test::count_of(server_->observation(), MessageType::TransmitFrame);
  const CliResult result = run_cli({"scan", "SIM-1", "--json"});
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  const json document = parse_json(result);
  std::map<int, json> gear;
  for (const auto& g : document["gear"]) gear[g["address"].get<int>()] = g;
  ASSERT_EQ(gear.size(), 7u) << result.out;
  for (int address : {0, 1, 2, 5, 9, 10, 11}) {
    ASSERT_EQ(gear.count(address), 1u);
  }
  EXPECT_EQ(gear[0]["level"], 254);
  EXPECT_EQ(gear[1]["level"], 128);
  EXPECT_EQ(gear[2]["level"], 0);
  EXPECT_EQ(gear[5]["level"], 200);
  EXPECT_EQ(gear[9]["level"], 85);
  EXPECT_EQ(gear[1]["groups"], json::array({0, 1}));
  EXPECT_EQ(gear[9]["groups"], json::array({0, 2, 15}));
  EXPECT_FALSE(gear[0]["several_gear"].get<bool>());
  EXPECT_TRUE(gear[0]["device_type"].is_number());

  // At the floor of its queries: one per short address, whose answer gives
  // the status; level, device type and two for groups per gear; four frames
  // more per colour gear; per control device one for its instances and one
  // per instance.
  std::size_t floor = 64 + 64;
  for (const auto& [address, g] : gear) {
    floor += 4 + (g["colour_temperature"].is_null() ? 0 : 4);
  }
  for (const auto& d : document["control_devices"]) {
    floor += 1 + d["instances"].size();
  }
  EXPECT_EQ(test::count_of(server_->observation(), MessageType::TransmitFrame),
            sent_before + floor);

  // Text mode: a table, and no progress bar when stderr is not a terminal.
  const CliResult text = run_cli({"scan", "SIM-1"});
  ASSERT_EQ(text.exit_code, kOk) << describe(text);
  EXPECT_NE(text.out.find("7 control gear"), std::string::npos) << text.out;
  EXPECT_EQ(text.err.find('\r'), std::string::npos);
}

TEST_F(CliEndToEnd, SetThenQueryReadsTheLevelBack) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult set = run_cli({"set", "SIM-1", "1", "77"});
  ASSERT_EQ(set.exit_code, kOk) << describe(set);

  const CliResult named =
      run_cli({"query", "SIM-1", "1", "QUERY", "ACTUAL", "LEVEL", "--json"});
  ASSERT_EQ(named.exit_code, kOk) << describe(named);
  const json answer = parse_json(named);
  EXPECT_EQ(answer["answer"], 77);
  EXPECT_EQ(answer["result"], "answer");
  EXPECT_EQ(answer["frame"], frame_text(kShort1, gear::kQueryActualLevel));

  // A raw opcode and a group address reach the same gear.
  ASSERT_EQ(run_cli({"set", "SIM-1", "group:1", "60"}).exit_code, kOk);
  const CliResult raw =
      run_cli({"query", "SIM-1", "2", opcode_arg(gear::kQueryActualLevel)});
  ASSERT_EQ(raw.exit_code, kOk) << describe(raw);
  EXPECT_NE(raw.out.find("answer 0x3C (60)"), std::string::npos) << raw.out;
}

TEST_F(CliEndToEnd, ColourSetsTunableWhiteAndScanShowsIt) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult set = run_cli({"colour", "SIM-1", "10", "2700", "--json"});
  ASSERT_EQ(set.exit_code, kOk) << describe(set);
  const json done = parse_json(set);
  EXPECT_EQ(done["mirek"], 370);
  // 370 mirek = 0x172 in DTR1:DTR0.
  EXPECT_EQ(
      done["frames"],
      json::array({frame_text(special::kDtr0, 0x72),
                   frame_text(special::kDtr1, 0x01),
                   frame_text(special::kEnableDeviceType, colour::kDeviceType),
                   frame_text(kShort10, colour::kSetTemporaryColourTemperature),
                   frame_text(special::kEnableDeviceType, colour::kDeviceType),
                   frame_text(kShort10, colour::kActivate)}));
  EXPECT_EQ(done["readback"]["mirek"], 370);
  // An LED module has no colour temperature.
  const CliResult led = run_cli({"colour", "SIM-1", "5", "3000"});
  EXPECT_EQ(led.exit_code, kNoAnswer) << describe(led);
  EXPECT_NE(led.err.find("device type 6"), std::string::npos) << led.err;

  const CliResult scan = run_cli({"scan", "SIM-1", "--json"});
  ASSERT_EQ(scan.exit_code, kOk) << describe(scan);
  const json document = parse_json(scan);
  std::map<int, json> gear;
  for (const auto& g : document["gear"]) gear[g["address"].get<int>()] = g;
  EXPECT_EQ(gear[10]["colour_temperature"]["kelvin"], 2703) << scan.out;
  EXPECT_EQ(gear[11]["colour_temperature"]["kelvin"], 4000);
  EXPECT_TRUE(gear[0]["colour_temperature"].is_null());
}

TEST_F(CliEndToEnd, QueriesWithoutAnswerSayNoAndExitWithNoAnswer) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult absent =
      run_cli({"query", "SIM-1", "7", "QUERY CONTROL GEAR PRESENT"});
  EXPECT_EQ(absent.exit_code, kNoAnswer) << describe(absent);
  EXPECT_NE(absent.out.find("no answer: no"), std::string::npos) << absent.out;

  // DAPC to a short address nobody has is caught before sending it.
  const CliResult set = run_cli({"set", "SIM-1", "33", "100"});
  EXPECT_EQ(set.exit_code, kNoAnswer) << describe(set);
  EXPECT_NE(set.err.find("short address 33"), std::string::npos) << set.err;

  // A gear that stops answering disappears from the scan.
  server_->set_gear_silent(0, 5, true);
  const CliResult silent = run_cli({"query", "SIM-1", "5", "QUERY STATUS"});
  EXPECT_EQ(silent.exit_code, kNoAnswer) << describe(silent);
}

TEST_F(CliEndToEnd, SendReportsTheOutcomeOfRawFrames) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  // QUERY STATUS to short address 1: answered.
  const CliResult query =
      run_cli({"send", "SIM-1", "0x" + hex(kShort1) + hex(gear::kQueryStatus),
               "--json"});
  ASSERT_EQ(query.exit_code, kOk) << describe(query);
  const json document = parse_json(query);
  EXPECT_EQ(document["result"], "answer");
  EXPECT_TRUE(document["answer"].is_number());
  EXPECT_EQ(document["bits"], 16);

  // Broadcast OFF: nobody answers a command, which is success for send.
  const CliResult off =
      run_cli({"send", "SIM-1", hex(kBroadcast), hex(gear::kOff)});
  ASSERT_EQ(off.exit_code, kOk) << describe(off);
  EXPECT_NE(off.out.find("no answer"), std::string::npos) << off.out;
  const CliResult level = run_cli(
      {"query", "SIM-1", "0", opcode_arg(gear::kQueryActualLevel), "--json"});
  EXPECT_EQ(parse_json(level)["answer"], 0) << "OFF did not reach the gear";
}

TEST_F(CliEndToEnd, ConfigurationCommandsGoOutTwiceWhenTheyMust) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  auto max_level = [] {
    const CliResult r = run_cli(
        {"query", "SIM-1", "1", opcode_arg(gear::kQueryMaxLevel), "--json"});
    EXPECT_EQ(r.exit_code, kOk) << describe(r);
    return parse_json(r)["answer"];
  };
  // DTR0 = 0x60, then SET MAX LEVEL (store DTR0) to short address 1.
  ASSERT_EQ(run_cli({"send", "SIM-1", hex(special::kDtr0), "60"}).exit_code,
            kOk);
  const CliResult once =
      run_cli({"send", "SIM-1", hex(kShort1), hex(gear::kSetMaxLevel)});
  ASSERT_EQ(once.exit_code, kOk) << describe(once);
  EXPECT_NE(once.out.find("add --twice"), std::string::npos) << once.out;
  EXPECT_EQ(max_level(), 254) << "a single SET MAX LEVEL must be ignored";

  ASSERT_EQ(run_cli({"send", "SIM-1", hex(kShort1), hex(gear::kSetMaxLevel),
                     "--twice"})
                .exit_code,
            kOk);
  EXPECT_EQ(max_level(), 0x60);

  // By name, the tool knows that the command goes out twice.
  ASSERT_EQ(run_cli({"send", "SIM-1", hex(special::kDtr0), "C8"}).exit_code,
            kOk);
  const CliResult named =
      run_cli({"query", "SIM-1", "1", "SET MAX LEVEL", "--json"});
  ASSERT_EQ(named.exit_code, kOk) << describe(named);
  EXPECT_TRUE(parse_json(named)["twice"].get<bool>());
  EXPECT_EQ(max_level(), 0xC8);
}

TEST_F(CliEndToEnd, BadArgumentsExitWithUsageBeforeConnecting) {
  const std::vector<std::vector<std::string>> cases = {
      {"send", "SIM-1", "FF", "GG"},  // not hexadecimal
      {"send", "SIM-1", "FF"},        // one byte is no forward frame
      {"send", "SIM-1", "FF00", "--bits", "24"},  // length disagrees
      {"send", "SIM-1", "FF00", "--bits", "20"},  // no such frame length
      {"send", "SIM-1", "FFF"},                   // odd number of digits
      {"query", "SIM-1", "64", "QUERY STATUS"},   // no short address 64
      {"query", "SIM-1", "g16", "QUERY STATUS"},  // no group 16
      {"query", "SIM-1", "5", "QUERY THE MOON"},  // unknown command
      {"set", "SIM-1", "5", "255"},               // DAPC levels end at 254
      {"colour", "SIM-1", "10", "300"},           // kelvin, not mirek
      {"commission", "SIM-1", "--addresses", "29-20"},   // range backwards
      {"commission", "SIM-1", "--addresses", "60-64"},   // no address 64
      {"commission", "SIM-1", "--readdress", "--keep"},  // one or the other
      {"scan"},                                          // interface missing
      {"frobnicate", "SIM-1"},                           // unknown command
      {},                                                // no command
  };
  for (const auto& arguments : cases) {
    const CliResult result = run_cli(arguments);
    std::string joined;
    for (const auto& a : arguments) joined += a + " ";
    EXPECT_EQ(result.exit_code, kUsage) << joined << "\n" << describe(result);
    EXPECT_FALSE(result.err.empty()) << joined;
  }
  EXPECT_EQ(server_->observation().connections, 0u)
      << "arguments must be checked before the server is contacted";

  const CliResult json_error = run_cli({"--json", "send", "SIM-1", "FF", "GG"});
  EXPECT_EQ(parse_json(json_error)["error"]["kind"], "usage");
}

TEST_F(CliEndToEnd, UnknownInterfaceNamesTheAvailableOnes) {
  const CliResult result = run_cli({"scan", "SIM-9"});
  EXPECT_EQ(result.exit_code, kNoInterface) << describe(result);
  EXPECT_NE(result.err.find("SIM-9"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("SIM-1"), std::string::npos) << result.err;

  const CliResult json_result =
      run_cli({"--json", "query", "nope", "1", opcode_arg(gear::kQueryStatus)});
  EXPECT_EQ(json_result.exit_code, kNoInterface);
  const json error = parse_json(json_result)["error"];
  EXPECT_EQ(error["kind"], "no_interface");
  EXPECT_EQ(error["exit_code"], kNoInterface);
}

TEST_F(CliEndToEnd, BusWithoutPowerIsExplained) {
  server_->set_bus_power(0, false);
  const CliResult result = run_cli({"query", "SIM-1", "0", "QUERY STATUS"});
  EXPECT_EQ(result.exit_code, kNotSent) << describe(result);
  EXPECT_NE(result.out.find("no power"), std::string::npos) << describe(result);
  server_->set_bus_power(0, true);
  EXPECT_EQ(run_cli({"query", "SIM-1", "0", "QUERY STATUS"}).exit_code, kOk);
}

TEST_F(CliEndToEnd, TourListsScansSetsAndReadsBack) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult result = run_cli({"tour", "SIM-1"});
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  EXPECT_NE(result.out.find("SIM-2"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("7 control gear"), std::string::npos);
  EXPECT_NE(result.out.find("as set"), std::string::npos) << result.out;

  const CliResult json_result = run_cli({"tour", "SIM-1", "--json"});
  ASSERT_EQ(json_result.exit_code, kOk) << describe(json_result);
  const json document = parse_json(json_result);
  EXPECT_TRUE(document["readback"]["ok"].get<bool>());
  EXPECT_EQ(document["readback"]["level"], document["set"]["level"]);
}

TEST_F(CliEndToEnd, CommissionAddressesEveryUnaddressedGear) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult result = run_cli({"commission", "SIM-1", "--json"});
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  const json document = parse_json(result);
  std::set<int> assigned;
  for (const auto& a : document["assigned"]) assigned.insert(a.get<int>());
  // The lowest free short addresses, around the ones in use.
  EXPECT_EQ(assigned, (std::set<int>{3, 4, 6})) << result.out;
  // Those in use among the addresses asked on the way.
  EXPECT_EQ(document["already_used"], json::array({0, 1, 2, 5}));

  const CliResult scan = run_cli({"scan", "SIM-1", "--json"});
  ASSERT_EQ(scan.exit_code, kOk);
  EXPECT_EQ(parse_json(scan)["gear"].size(), 10u);

  // Nothing left to do the second time.
  const CliResult again = run_cli({"commission", "SIM-1", "--json"});
  ASSERT_EQ(again.exit_code, kOk) << describe(again);
  EXPECT_TRUE(parse_json(again)["assigned"].empty()) << again.out;
}

TEST_F(CliEndToEnd, CommissionReaddressesIntoARangeAndReportsEachGear) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  const CliResult result = run_cli(
      {"commission", "SIM-1", "--readdress", "--addresses", "20-29", "--json"});
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  const json document = parse_json(result);
  std::set<int> expected;
  for (int a = 20; a <= 29; ++a) expected.insert(a);
  std::set<int> assigned;
  for (const auto& a : document["assigned"]) assigned.insert(a.get<int>());
  EXPECT_EQ(assigned, expected) << result.out;

  ASSERT_EQ(document["gear"].size(), 10u) << result.out;
  json gear20;
  for (const auto& g : document["gear"]) {
    EXPECT_TRUE(g["device_type"].is_number()) << g;
    if (g["short_address"] == 20) gear20 = g;
  }
  // The random address reported is the one the gear holds.
  const CliResult high =
      run_cli({"query", "SIM-1", "20", "QUERY RANDOM ADDRESS (H)", "--json"});
  ASSERT_EQ(high.exit_code, kOk) << describe(high);
  EXPECT_EQ(parse_json(high)["answer"].get<int>(),
            gear20["random_address"].get<int>() >> 16)
      << result.out;

  const CliResult scan = run_cli({"scan", "SIM-1", "--json"});
  ASSERT_EQ(scan.exit_code, kOk);
  const json scanned_document = parse_json(scan);
  std::set<int> scanned;
  for (const auto& g : scanned_document["gear"]) {
    scanned.insert(g["address"].get<int>());
  }
  EXPECT_EQ(scanned, expected) << scan.out;
}

TEST_F(CliEndToEnd, CommissionWithTooFewAddressesSaysSoAndExitsIncomplete) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  // Three fresh gear, one address to give.
  const CliResult result =
      run_cli({"commission", "SIM-1", "--addresses", "40"});
  EXPECT_EQ(result.exit_code, kIncomplete) << describe(result);
  EXPECT_NE(result.out.find("gear addressed: short address 40"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("2 left without a short address (none free in 40)"),
            std::string::npos)
      << result.out;
}

TEST_F(CliEndToEnd, MonitorShowsAnotherClientsFrames) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  CliProcess monitor(KOVRA62386_CLI_PATH,
                     {"monitor", "SIM-1", "--count", "2", "--seconds", "30"});
  ASSERT_TRUE(monitor.wait_for_output("Monitoring SIM-1", true, seconds(20)));
  const CliResult query =
      run_cli({"query", "SIM-1", "5", "QUERY", "ACTUAL", "LEVEL"});
  ASSERT_EQ(query.exit_code, kOk) << describe(query);
  const CliResult result = monitor.finish(seconds(20));
  ASSERT_EQ(result.exit_code, kOk) << describe(result);
  EXPECT_NE(result.out.find(frame_text(kShort5, gear::kQueryActualLevel)),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("QUERY ACTUAL LEVEL"), std::string::npos);
  EXPECT_NE(result.out.find("answer 0xC8 (200)"), std::string::npos);
  EXPECT_EQ(result.out.find("[own frame]"), std::string::npos);
}

TEST_F(CliEndToEnd, MonitorStopsCleanlyOnCtrlC) {
  CliProcess monitor(KOVRA62386_CLI_PATH, {"monitor", "SIM-1", "--json"});
  ASSERT_TRUE(monitor.wait_for_output("Monitoring SIM-1", true, seconds(20)));
  ASSERT_EQ(
      run_cli({"send", "SIM-1", hex(kBroadcast), hex(gear::kOff)}).exit_code,
      kOk);
  ASSERT_TRUE(monitor.wait_for_output("\"forward\"", false, seconds(20)));
  monitor.signal(SIGINT);
  const CliResult result = monitor.finish(seconds(20));
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, kOk) << describe(result);
  // Every line is one JSON event, and the tool left the server.
  const json first = json::parse(result.out.substr(0, result.out.find('\n')));
  EXPECT_EQ(first["event"], "forward");
  EXPECT_EQ(first["frame"], frame_text(kBroadcast, gear::kOff));
  EXPECT_TRUE(server_->wait_for_clients(0, milliseconds(5000)));
}

TEST_F(CliEndToEnd, SimPressIsSeenByAMonitorAndScanListsControlDevices) {
  if (!gear_simulated()) {
    GTEST_SKIP() << "the server's buses do not simulate DALI control gear";
  }
  // The program's control channel, at the place the tool finds through
  // this test's registry root.
  sim::ControlChannel channel(*server_, sim_control::socket_path());
  ASSERT_EQ(channel.start(), "");
  struct stat info {};
  ASSERT_EQ(::stat(channel.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  CliProcess monitor(KOVRA62386_CLI_PATH,
                     {"monitor", "SIM-1", "--seconds", "30"});
  ASSERT_TRUE(monitor.wait_for_output("Monitoring SIM-1", true, seconds(20)));
  const CliResult press = run_cli({"sim", "press", "SIM-1", "7", "2"});
  ASSERT_EQ(press.exit_code, kOk) << describe(press);
  EXPECT_TRUE(monitor.wait_for_output("button 2 of device 7: pressed", false,
                                      seconds(20)));
  EXPECT_TRUE(monitor.wait_for_output("button 2 of device 7: released", false,
                                      seconds(20)));
  monitor.signal(SIGINT);
  monitor.finish(seconds(20));

  // Wrong targets say what is wrong.
  EXPECT_EQ(run_cli({"sim", "press", "SIM-1", "63", "0"}).exit_code, kUsage);
  EXPECT_EQ(run_cli({"sim", "press", "SIM-9", "7", "0"}).exit_code,
            kNoInterface);

  const CliResult scan = run_cli({"scan", "SIM-1", "--json"});
  ASSERT_EQ(scan.exit_code, kOk) << describe(scan);
  const json devices = parse_json(scan)["control_devices"];
  ASSERT_EQ(devices.size(), 3u) << scan.out;
  EXPECT_EQ(devices[0]["address"], 7);
  EXPECT_EQ(devices[0]["instances"].size(), 4u);
  EXPECT_EQ(devices[0]["instances"][2]["type_name"], "push button");
  channel.stop();
}

bool server_port_in_use() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(KOVRA62386_SERVER_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

// Not a fixture test: no server may run here.
TEST(CliWithoutServer, InitializeFailureIsReportedAsNoServer) {
  // A copy of the tool in a folder without the server program, and a
  // registry that names no server or install location: the library can
  // neither connect nor start one.
  if (server_port_in_use()) GTEST_SKIP() << "a server listens on port 42000";
  TempDirectory folder;
  ScopedRegistryRoot registry;
  const std::filesystem::path original(KOVRA62386_CLI_PATH);
  const std::filesystem::path copy =
      std::filesystem::path(folder.path()) / original.filename();
  std::filesystem::copy_file(original, copy);
  const std::string library_path =
      "LD_LIBRARY_PATH=" + original.parent_path().string();
  CliProcess process(copy.string(), {"list"}, {library_path});
  const CliResult result = process.finish(seconds(60));
  EXPECT_EQ(result.exit_code, kNoServer) << describe(result);
  EXPECT_NE(result.err.find("server"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace kovra62386::testing

#endif  // !_WIN32
