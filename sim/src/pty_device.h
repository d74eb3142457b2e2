// SPDX-License-Identifier: MIT
// The master side of a pseudo-terminal whose slave plays the DAQ's serial device.
#pragma once

#include <string>

namespace kine_sim {

class PtyDevice {
public:
    // Opens a non-blocking master and puts the slave into raw mode at once, so
    // that nothing written to the master is echoed back before a host has set
    // its own line modes. Throws std::system_error.
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    int fd() const { return master_; }
    const std::string& path() const { return path_; }
    void close();

    // Discards what the host side has not read yet (called once nobody has the
    // slave open, so a later host does not read stale frames) and puts the line
    // back into raw mode if a host left echo or canonical mode on.
    void flushSlaveInput();

private:
    int master_ = -1;
    std::string path_;
};

}  // namespace kine_sim
