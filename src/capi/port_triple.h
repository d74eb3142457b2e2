// SPDX-License-Identifier: MIT
// The copy of one KPort into the three caller-owned strings the C port
// functions hand out: each field's text (up to its first NUL, at most 25
// bytes) in a new[] array of that length + 1, NUL-terminated.
#pragma once

#include "kine/KPort.h"

void kine_copy_port_triple(const KPort& port, char** triple);
