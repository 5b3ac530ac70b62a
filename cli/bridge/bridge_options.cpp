#include "cli/bridge/bridge_options.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli/bridge/topics.h"
#include "cli/exit_codes.h"

namespace kovra62386::cli::bridge {
namespace {

constexpr const char* kPasswordVariable = "KOVRA62386_MQTT_PASSWORD";
// A password file is a line or two, not a log file.
constexpr std::size_t kPasswordFileMost = 4096;

[[noreturn]] void usage(const std::string& message) {
  throw CliError(ExitCode::kUsage, message);
}

std::optional<int> port_number(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

// A prefix may span levels, but no level may be empty or a wildcard.
bool is_topic_prefix(const std::string& prefix) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = prefix.find('/', start);
    if (!is_topic_level(prefix.substr(start, end - start))) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string host_name() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
    return "localhost";
  }
  return name;
}

std::string read_password(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) usage(fmt::format("cannot read the password file '{}'", file));
  std::string text(kPasswordFileMost, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  // Only the first line: editors end files with a newline.
  text = text.substr(0, text.find_first_of("\r\n"));
  return text;
}

}  // namespace

CLI::App* add_bridge_command(CLI::App& app, BridgeArguments& arguments) {
  auto* bridge = app.add_subcommand(
      "bridge",
      "put every bus on an MQTT broker, with Home Assistant discovery, until "
      "Ctrl-C");
  // CLI11 reads a config file for the main app only: the bridge reads its
  // own once the command line is in, filling what that left out.
  auto* config = bridge->add_option(
      "--config",
      "a file of `option = value` lines (the long option names); "
      "the command line wins");
  bridge->add_option("--broker", arguments.broker, "the broker as HOST[:PORT]")
      ->capture_default_str();
  bridge->add_option("--node", arguments.node,
                     "this machine's topic level (default: the host name)");
  bridge->add_option("--prefix", arguments.prefix, "the topic prefix")
      ->capture_default_str();
  bridge
      ->add_option("--discovery-prefix", arguments.discovery_prefix,
                   "Home Assistant's discovery prefix")
      ->capture_default_str();
  bridge->add_flag("--no-discovery", arguments.no_discovery,
                   "publish no Home Assistant discovery configs");
  bridge->add_option("--username", arguments.username, "the MQTT user name");
  bridge->add_option("--password-file", arguments.password_file,
                     "a file whose first line is the MQTT password (else "
                     "the environment variable KOVRA62386_MQTT_PASSWORD)");
  bridge->add_option("--tls-ca", arguments.tls_ca,
                     "a CA certificate file: connect with TLS");
  bridge->add_option(
      "--client-id", arguments.client_id,
      "the MQTT client id (default: unique per node and process)");
  bridge->add_option("--interface", arguments.interfaces,
                     "an interface to bridge (repeatable; default: every one "
                     "the server lists, and ones that appear later)");
  bridge->callback([bridge, config] {
    if (config->count() == 0) return;
    const std::string file = config->as<std::string>();
    if (!std::filesystem::is_regular_file(file)) {
      throw CLI::FileError::Missing(file);
    }
    for (const CLI::ConfigItem& item : CLI::ConfigINI().from_file(file)) {
      CLI::Option* option = item.parents.empty() && item.name != "config"
                                ? bridge->get_option_no_throw("--" + item.name)
                                : nullptr;
      if (option == nullptr) throw CLI::ConfigError::Extras(item.fullname());
      if (option->count() > 0) continue;  // given on the command line
      option->add_result(item.inputs);
      option->run_callback();
    }
  });
  return bridge;
}

std::optional<BrokerAddress> parse_broker(const std::string& text) {
  BrokerAddress broker;
  std::string rest;
  if (text.starts_with('[')) {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close == 1) return std::nullopt;
    broker.host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
  } else {
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos &&
        text.find(':', colon + 1) != std::string::npos) {
      return std::nullopt;  // an IPv6 address needs its brackets
    }
    broker.host = text.substr(0, colon);
    if (colon != std::string::npos) rest = text.substr(colon);
  }
  if (broker.host.empty()) return std::nullopt;
  if (!rest.empty()) {
    const auto port = port_number(rest.substr(1));
    if (!port) return std::nullopt;
    broker.port = *port;
  }
  return broker;
}

BridgeSettings make_settings(const BridgeArguments& arguments) {
  BridgeSettings settings;
  const auto broker = parse_broker(arguments.broker);
  if (!broker) {
    usage(fmt::format("--broker must be HOST[:PORT], not '{}'",
                      arguments.broker));
  }
  settings.host = broker->host;
  settings.port = broker->port;
  settings.node = arguments.node.empty() ? host_name() : arguments.node;
  if (!is_topic_level(settings.node)) {
    usage(
        fmt::format("--node must be one topic level (no '/', '+' or '#'), "
                    "not '{}'",
                    settings.node));
  }
  if (!is_topic_prefix(arguments.prefix)) {
    usage(
        fmt::format("--prefix must be topic levels without wildcards, not "
                    "'{}'",
                    arguments.prefix));
  }
  settings.prefix = arguments.prefix;
  if (!arguments.no_discovery) {
    if (!is_topic_prefix(arguments.discovery_prefix)) {
      usage(
          fmt::format("--discovery-prefix must be topic levels without "
                      "wildcards, not '{}'",
                      arguments.discovery_prefix));
    }
    settings.discovery_prefix = arguments.discovery_prefix;
  }
  if (!arguments.username.empty()) settings.username = arguments.username;
  if (!arguments.password_file.empty()) {
    if (!settings.username) usage("--password-file needs --username");
    settings.password = read_password(arguments.password_file);
  } else if (const char* password = std::getenv(kPasswordVariable);
             password != nullptr && settings.username) {
    settings.password = password;
  }
  if (!arguments.tls_ca.empty()) settings.tls_ca = arguments.tls_ca;
  // Two bridges never share a session: the broker would throw one out.
  settings.client_id =
      arguments.client_id.empty()
          ? fmt::format("kovra62386-{}-{}", settings.node, getpid())
          : arguments.client_id;
  for (const auto& name : arguments.interfaces) {
    if (!is_topic_level(name)) {
      usage(fmt::format("--interface '{}' cannot be a topic level", name));
    }
  }
  settings.interfaces = arguments.interfaces;
  return settings;
}

}  // namespace kovra62386::cli::bridge
