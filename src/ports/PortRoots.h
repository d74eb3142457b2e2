// SPDX-License-Identifier: MIT
// Where port monitors enumerate serial ports: "/dev" and "/sys" on a real
// machine. Tests point new monitors at a fake tree in a temporary folder
// (device nodes there may be symbolic links to pseudo-terminals) by calling
// kine_ports_set_roots before constructing a KinePorts or KinePorts_private.
//
// Internal: libkine.so keeps the function local. It has default visibility
// only so that the test build of the shared library (tests/, for C and
// Python test programs) can export it.
#pragma once

#include <string>

#include "kine/kine_export.h"

extern "C" {
// Sets the roots used by monitors constructed from now on; a monitor keeps
// the roots it was constructed with. NULL (or "") restores "/dev" / "/sys".
// Thread-safe.
KINE_API void kine_ports_set_roots(const char* dev_root, const char* sys_root);
// The same for udev's run-time folder (whose data/ holds the device
// properties); NULL (or "") restores "/run/udev".
KINE_API void kine_ports_set_udev_root(const char* udev_root);
}

namespace kine_ports {

struct EnumerationRoots {
    std::string dev;
    std::string sys;
    std::string udev;
};

// The roots a monitor constructed now uses.
EnumerationRoots currentRoots();

}  // namespace kine_ports
