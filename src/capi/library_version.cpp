// SPDX-License-Identifier: MIT
// The version of the loaded library, for programs that check what they run on.
#include "kine/kine_library_version.h"

extern "C" const char* callGetLibraryVersion(void) { return KINE_LIBRARY_VERSION; }
