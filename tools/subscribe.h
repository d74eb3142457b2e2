// SPDX-License-Identifier: MIT
// kine subscribe: the live view or the CSV of DAQs published by kine publish.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace kine_tools {

struct SubscribeArgs {
    std::string url;
    std::string topic;  // empty: every DAQ
    std::string csv;
    double duration = 0;
};

CLI::App* addSubscribeCommand(CLI::App& app, SubscribeArgs& args);
int runSubscribe(const SubscribeArgs& args);

}  // namespace kine_tools
