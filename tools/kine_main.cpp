// SPDX-License-Identifier: MIT
// kine: streams, configures and zeroes DAQs from the command line, lists
// them, and runs simulated DAQs for trying the library without hardware.
#include "kine_commands.h"

int main(int argc, char** argv) { return kine_tools::runKine(argc, argv); }
