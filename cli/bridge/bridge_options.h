// The options of `kovra62386 bridge`, from the command line and from a
// file of `option = value` lines (--config; the command line wins).
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kovra62386::cli::bridge {

struct BridgeArguments {
  std::string broker = "localhost:1883";
  std::string node;  // empty: the host name
  std::string prefix = "kovra62386";
  std::string discovery_prefix = "homeassistant";
  bool no_discovery = false;
  std::string username;
  std::string password_file;
  std::string tls_ca;
  std::string client_id;                // empty: node and process id
  std::vector<std::string> interfaces;  // empty: every one the server lists
};

// Adds the `bridge` subcommand to `app`, filling `arguments`.
CLI::App* add_bridge_command(CLI::App& app, BridgeArguments& arguments);

// What the bridge runs with, checked.
struct BridgeSettings {
  std::string host;
  int port = 1883;
  std::string node;
  std::string prefix;
  std::string discovery_prefix;  // empty: no discovery
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> tls_ca;
  std::string client_id;
  std::vector<std::string> interfaces;
};

// "host", "host:1883", "[::1]:1883"; nullopt when malformed.
struct BrokerAddress {
  std::string host;
  int port = 1883;
};
std::optional<BrokerAddress> parse_broker(const std::string& text);

// Checks the arguments and reads the password (from --password-file, else
// the environment variable KOVRA62386_MQTT_PASSWORD). Throws
// CliError(kUsage) naming the bad option.
BridgeSettings make_settings(const BridgeArguments& arguments);

}  // namespace kovra62386::cli::bridge
