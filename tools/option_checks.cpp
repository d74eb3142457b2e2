#include "option_checks.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kine_tools {

namespace {

bool parseLong(const std::string& text, long& v) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && v >= -2147483647L && v <= 2147483647L;
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
            if (!parseLong(text, v)) return "needs a whole number, not '" + text + "'";
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
            if (!parseLong(text, v)) return "needs a whole number, not '" + text + "'";
            return v < 0 ? "must not be negative" : std::string();
        },
        "N>=0");
}

CLI::Validator realNumber(bool nonNegative) {
    return CLI::Validator(
        [nonNegative](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(v)) return "needs a number, not '" + text + "'";
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
