// SPDX-License-Identifier: MIT
// A listening Unix stream socket whose one accepted connection plays the
// DAQ's serial line, for hosts that reach the unit through a socket (a
// virtual machine's emulated USB-serial converter, for instance). A new
// connection is taken once the previous one has gone.
#pragma once

#include <string>

namespace kine_sim {

class SocketLink {
public:
    // Binds and listens on `path` (an existing socket file there is replaced).
    // Throws std::system_error.
    explicit SocketLink(std::string path);
    ~SocketLink();
    SocketLink(const SocketLink&) = delete;
    SocketLink& operator=(const SocketLink&) = delete;

    // The connection's descriptor, or -1 while no host is connected.
    int fd() const { return conn_; }
    const std::string& path() const { return path_; }
    // Takes a waiting connection when there is none; true when connected.
    bool connect();
    // Bytes sent on the connection that the host has not taken yet.
    int backlog() const;
    // Ends the current connection (the host went away).
    void drop();
    // Ends the connection and stops listening; the socket file is removed.
    void close();

private:
    std::string path_;
    int listen_ = -1;
    int conn_ = -1;
};

}  // namespace kine_sim
