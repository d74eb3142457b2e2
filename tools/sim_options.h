// SPDX-License-Identifier: MIT
// The options and the two modes (serve, measure) of the simulated DAQ, shared
// by the kine-sim program and the `kine sim` command.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "kine_sim/simulated_daq.h"

namespace kine_tools {

struct SimSettings {
    kine_sim::SimulatedDaq::Options options;
    std::string shape = "default";
    double amplitude = 1000.0;
    double frequency = 0.5;
    std::string link;
    std::string record;   // file that receives every byte the host sends
    std::string measure;  // seconds of --measure, or empty for the default
};

// What the simulator does, for the help text of a program.
extern const char kSimDescription[];

// Adds the simulator's options to `app` (a program or a subcommand).
void addSimOptions(CLI::App& app, SimSettings& s);

// Runs the parsed settings: serves the device until SIGINT, SIGTERM or
// SIGHUP (printing its path on standard output), or measures it. `program`
// prefixes the messages. Returns the exit status: 0, 1 on failure, 2 for
// option values the simulator refuses.
int runSim(const CLI::App& app, SimSettings& s, const std::string& program);

}  // namespace kine_tools
