// SPDX-License-Identifier: MIT
// The commands of the kine tool, behind its main().
#pragma once

namespace kine_tools {

// Parses the command line and runs the command; returns the exit status.
int runKine(int argc, char** argv);

}  // namespace kine_tools
