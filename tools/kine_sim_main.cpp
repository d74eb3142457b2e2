// SPDX-License-Identifier: MIT
// kine-sim: runs a virtual DAQ on a pseudo-terminal and prints the device path.
#include <CLI/CLI.hpp>

#include "option_checks.h"
#include "sim_options.h"

int main(int argc, char** argv) {
    CLI::App app{kine_tools::kSimDescription, "kine-sim"};
    kine_tools::SimSettings settings;
    kine_tools::addSimOptions(app, settings);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return kine_tools::parseFailure(app, e);
    }
    return kine_tools::runSim(app, settings, "kine-sim");
}
