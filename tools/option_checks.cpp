// SPDX-License-Identifier: MIT
#include "option_checks.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <regex>

namespace kine_tools {

namespace {

// Numbers on the command line are decimal: an optional sign, digits, an
// optional fraction and exponent. Hexadecimal, octal, "inf" or spaces are
// refused, where strtod and CLI11 would each take some of them.
const std::regex kDecimal(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
const std::regex kWhole(R"([+-]?[0-9]+)");

bool parseLong(std::string& text, long& v) {
    if (!std::regex_match(text, kWhole)) return false;
    errno = 0;
    v = std::strtol(text.c_str(), nullptr, 10);
    if (errno != 0 || v < -2147483647L || v > 2147483647L) return false;
    text = std::to_string(v);  // what CLI11 converts: no leading zeros it could take for octal
    return true;
}

std::string joined(const std::vector<int>& values) {
    std::string s;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i) s += i + 1 == values.size() ? " or " : ", ";
        s += std::to_string(values[i]);
    }
    return s;
}

}  // namespace

CLI::Validator wholeNumber(std::vector<int> allowed) {
    const std::string name = allowed.empty() ? "INT" : "{" + joined(allowed) + "}";
    return CLI::Validator(
        [allowed](std::string& text) -> std::string {
            long v = 0;
            if (!parseLong(text, v)) return "needs a whole decimal number, not '" + text + "'";
            if (allowed.empty()) return {};
            for (int a : allowed)
                if (a == v) return {};
            return "must be " + joined(allowed) + ", not " + text;
        },
        name);
}

CLI::Validator countNumber() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            long v = 0;
            if (!parseLong(text, v)) return "needs a whole decimal number, not '" + text + "'";
            return v < 0 ? "must not be negative" : std::string();
        },
        "N>=0");
}

bool parseDecimal(std::string& text, double& v) {
    if (!std::regex_match(text, kDecimal)) return false;
    v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v)) return false;
    char canonical[40];
    std::snprintf(canonical, sizeof canonical, "%.17g", v);
    text = canonical;
    return true;
}

CLI::Validator realNumber(bool nonNegative) {
    return CLI::Validator(
        [nonNegative](std::string& text) -> std::string {
            double v = 0;
            if (!parseDecimal(text, v)) return "needs a decimal number, not '" + text + "'";
            return nonNegative && v < 0 ? "must not be negative" : std::string();
        },
        nonNegative ? "NUM>=0" : "NUM");
}

int parseFailure(CLI::App& app, const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
        // --help and --version: CLI11 prints the help of the selected command.
        return app.exit(e);
    }
    // Name the command the error belongs to, e.g. "kine stream".
    std::string command = app.get_name();
    const CLI::App* sub = &app;
    for (;;) {
        const auto selected = sub->get_subcommands();
        if (selected.empty()) break;
        sub = selected.front();
        command += " " + sub->get_name();
    }
    std::string message = e.what();
    while (!message.empty() && (message.back() == '\n' || message.back() == '.')) message.pop_back();
    std::cerr << command << ": " << message << " (see '" << command << " --help')" << std::endl;
    return 2;
}

}  // namespace kine_tools
