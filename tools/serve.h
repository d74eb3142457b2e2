// SPDX-License-Identifier: MIT
// `kine serve`: a web page with live traces of every DAQ, served by the tool.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "daq_session.h"

namespace kine_tools {

struct ServeOptions {
    std::string bind = "127.0.0.1:8080";  // HOST:PORT; port 0 takes a free one
    std::vector<DeviceRequest> ports;     // DAQs opened at start and again when plugged back in
    bool all = false;                     // open every DAQ discovery reports
    double windowSeconds = 30;            // seconds of samples kept per DAQ: the plot and the CSV
};

// The server: the DAQs, discovery, and the HTTP side on threads of its own.
//
// Pages and data are open to anyone who can reach the address. Requests that
// change something (POST) must come from the page itself: a request whose
// Origin or Sec-Fetch-Site says another site is refused. Bound to an address
// other than loopback they also need the token printed in the URL; bound to
// loopback, requests naming another host (DNS rebinding) are refused.
class DaqServer {
public:
    explicit DaqServer(ServeOptions options);
    ~DaqServer();  // stops serving, closes the DAQs
    DaqServer(const DaqServer&) = delete;
    DaqServer& operator=(const DaqServer&) = delete;

    // Binds the address and starts serving; false with `error` set when the
    // address is bad or cannot be bound.
    bool start(std::string& error);
    int port() const;                  // the bound port
    const std::string& token() const;  // needed for changes when not bound to loopback
    std::string url() const;           // the page, with the token when it is needed
    bool tokenRequired() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Serves until Ctrl-C; prints the URL. Returns the exit status.
int runServe(const ServeOptions& options);

}  // namespace kine_tools
