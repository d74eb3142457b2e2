// SPDX-License-Identifier: MIT
// Opening a DAQ from the command line: device paths, the wait, Ctrl-C and
// the one-line explanation of a failed open.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "kine/KineDAQ.h"
#include "kine/KinePorts.h"
#include "kine/kine_result.h"

namespace kine_tools {

// Name of the program in messages.
extern const char kProgram[];

// SIGINT, SIGTERM and SIGHUP set a flag instead of ending the process;
// interrupted() reads it. An open under way is cancelled when the flag is
// seen. SIGPIPE is ignored: a closed pipe shows as a failed write.
void installInterruptHandler();
bool interrupted();

// The explanation of an open failure, one line without the program name:
// the library's text for `reason`, then what to do about it. `err` is the
// operating system's error number where one is known, else 0;
// `deviceVersion` the device version text the open was given.
std::string openFailureMessage(kine_open_error reason, const std::string& path, int err,
                               const std::string& deviceVersion);

struct DeviceRequest {
    std::string port;           // as given by the user
    std::string deviceVersion;  // device version text; empty: learnt through discovery, else
                                // the 0x37 family is recognised from its data
};

// The outcome of one open attempt.
struct OpenAttempt {
    bool opened = false;
    bool interrupted = false;  // Ctrl-C cancelled it
    kine_open_error reason = KINE_OPEN_OK;
    int err = 0;
};

// Opens `node` (a resolved device path) with `deviceVersion` on a helper
// thread while this one watches for Ctrl-C, which cancels the open by closing
// the connection. A positive `limit` cancels it the same way when it runs
// longer. `onSlow` runs once when the open has taken 300 ms.
OpenAttempt attemptOpen(KineDAQ& daq, const std::string& node, const std::string& deviceVersion,
                        std::chrono::milliseconds limit = std::chrono::milliseconds(0),
                        const std::function<void()>& onSlow = nullptr);

// Exit statuses of the commands that open a DAQ.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitOptionError = 2;
constexpr int kExitSamplesLost = 3;    // a stream ended without every sample
constexpr int kExitInterrupted = 130;  // 128 + SIGINT
constexpr int kExitPipeClosed = 141;   // 128 + SIGPIPE: the reader of standard output went away

// Opens the DAQ. Without a device version it asks discovery (`discovery`, or
// a monitor of its own) for the version of the DAQ at that node. Says
// "waiting for the DAQ…" on standard error when the open takes a while.
// Returns kExitOk, or the exit status after one line on standard error:
// kExitFailed, or kExitInterrupted for Ctrl-C. `path` receives the device
// node; `found` what discovery knows of the DAQ (empty texts when nothing).
int openDaq(KineDAQ& daq, const DeviceRequest& request, std::string& path, KPort* found = nullptr,
            KinePorts* discovery = nullptr);

}  // namespace kine_tools
