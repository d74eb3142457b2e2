// SPDX-License-Identifier: MIT
// Option value checks shared by the command-line tools: each names what is
// wrong with a value in words a user understands.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace kine_tools {

// Every number is decimal: 0x10 or 010 are not taken for 16 or 8.

// A whole number; `allowed` (when not empty) lists the values accepted.
CLI::Validator wholeNumber(std::vector<int> allowed = {});
// A whole number of 0 or more.
CLI::Validator countNumber();
// A finite number; with `nonNegative`, 0 or more.
CLI::Validator realNumber(bool nonNegative);

// A decimal number (no hexadecimal, no "inf"); `text` becomes the plain
// form of the value. False when `text` is not one.
bool parseDecimal(std::string& text, double& v);

// Handles the end of parsing by an exception: help and version texts go to
// standard output with status 0; every other error is one line on standard
// error, naming the command, and status 2.
int parseFailure(CLI::App& app, const CLI::ParseError& e);

}  // namespace kine_tools
