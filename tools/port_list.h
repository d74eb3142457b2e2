// SPDX-License-Identifier: MIT
// Port discovery from the command line: `kine list`, and looking up the DAQ
// at a given device node.
#pragma once

#include <string>
#include <vector>

#include "kine/KPort.h"
#include "kine/KinePorts.h"

namespace kine_tools {

// The device node `path` leads to after following links; empty when it
// cannot be resolved.
std::string deviceNode(const std::string& path);

// What discovery knows of the DAQ at device node `node`. Waits for the
// monitor's first scan, then up to about a second for probes still under
// way. False (with `found` untouched) when no known DAQ is at that node.
bool findDaq(KinePorts& ports, const std::string& node, KPort& found);

// Takes every event waiting in the monitor's queues, so that the next ones
// are news.
void discardEvents(KinePorts& ports);

struct ListArgs {
    bool watch = false;
    bool json = false;
    bool all = false;                // every serial port and what discovery decided
    std::vector<std::string> probe;  // ports to probe whatever their vendor
};

// `kine list`: the DAQs found once discovery's first pass has settled, one
// per line or as a JSON array, then the candidate ports it could not probe
// (busy, no permission); with `all` every serial port and its decision; with
// `watch`, then plug and unplug events until Ctrl-C. Returns the exit status.
int runList(const ListArgs& args);

}  // namespace kine_tools
