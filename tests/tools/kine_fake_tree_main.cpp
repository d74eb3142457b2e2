// SPDX-License-Identifier: MIT
// The kine tool with port discovery pointed at a fake /dev and sysfs tree,
// for the tests of `kine list` and `kine stream --reconnect`:
//   kine-fake-tree DEV_ROOT SYS_ROOT COMMAND [OPTIONS...]
// Linked against the test build of libkine.so, the only one that exports
// kine_ports_set_roots; the shipped kine has no such hook.
#include <cstdio>

#include "kine_commands.h"
#include "ports/PortRoots.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DEV_ROOT SYS_ROOT COMMAND [OPTIONS...]\n", argv[0]);
        return 2;
    }
    kine_ports_set_roots(argv[1], argv[2]);
    argv[2] = argv[0];
    return kine_tools::runKine(argc - 2, argv + 2);
}
