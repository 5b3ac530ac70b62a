// `kovra62386 bridge`: every bus of the server on an MQTT broker.
#pragma once

#include "cli/bridge/bridge_options.h"
#include "cli/exit_codes.h"

namespace kovra62386::cli::bridge {

// Runs until Ctrl-C or SIGTERM; throws CliError when it cannot start.
ExitCode run_bridge(const BridgeArguments& arguments);

}  // namespace kovra62386::cli::bridge
