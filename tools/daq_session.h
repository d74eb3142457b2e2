// Opening a DAQ from the command line: device paths, the wait, Ctrl-C and
// the one-line explanation of a failed open.
#pragma once

#include <string>

#include "kine/KineDAQ.h"
#include "kine/kine_result.h"

namespace kine_tools {

// Name of the program in messages.
extern const char kProgram[];

// SIGINT and SIGTERM set a flag instead of ending the process; interrupted()
// reads it. While an open waits, the flag ends the program at once.
void installInterruptHandler();
bool interrupted();

// The explanation of an open failure, one line without the program name.
// `err` is the operating system's error number where one is known, else 0.
std::string openFailureMessage(kine_open_error reason, const std::string& path, int err);

// A device path as the user gave it, resolved to the device node: links
// such as /dev/serial/by-id/... are followed, because a port record holds
// at most 24 characters. `error` is KINE_OPEN_OK when the node exists, is a
// character device and can be opened for reading and writing.
struct ResolvedDevice {
    std::string path;  // the device node, or the given path when it cannot be resolved
    kine_open_error error = KINE_OPEN_OK;
    int err = 0;
};
ResolvedDevice resolveDevice(const std::string& given);

// Why an open of a node that passed resolveDevice failed, judged from the
// node itself: busy, not a terminal, or no data.
kine_open_error classifyFailedOpen(const std::string& path, int& err);

struct DeviceRequest {
    std::string port;           // as given by the user
    std::string deviceVersion;  // device version text; empty: recognise the 0x37 family from its data
};

// Opens the DAQ. Says "waiting for the DAQ…" on standard error when the
// open takes a while; Ctrl-C during the wait ends the program with status
// 130. On failure prints one line on standard error and returns false.
// `path` receives the device node that was opened.
bool openDaq(KineDAQ& daq, const DeviceRequest& request, std::string& path);

}  // namespace kine_tools
