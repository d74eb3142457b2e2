// SPDX-License-Identifier: MIT
// kine publish: the samples of local DAQs on a ZeroMQ socket.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace kine_tools {

struct PublishArgs {
    std::vector<std::string> ports;
    bool all = false;
    std::string bind = "tcp://127.0.0.1:5556";
    std::string deviceVersion;
    int speed = 0;  // 0: as the DAQ runs
    int hwm = 20000;
    double duration = 0;
};

CLI::App* addPublishCommand(CLI::App& app, PublishArgs& args);
int runPublish(const PublishArgs& args);

}  // namespace kine_tools
