// SPDX-License-Identifier: MIT
#include "socket_link.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace kine_sim {

namespace {

[[noreturn]] void fail(int err, const char* what) { throw std::system_error(err, std::generic_category(), what); }

// A host that stops reading must not have seconds of stale frames queued for
// it in the socket: the unit drops frames it cannot send, as a real one does.
constexpr int kSendBuffer = 4096;

}  // namespace

SocketLink::SocketLink(std::string path) : path_(std::move(path)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof addr.sun_path) fail(ENAMETOOLONG, "socket path");
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_ < 0) fail(errno, "socket");
    ::unlink(path_.c_str());
    if (::bind(listen_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_, 1) != 0) {
        const int err = errno;
        ::close(listen_);
        listen_ = -1;
        fail(err, "bind");
    }
}

SocketLink::~SocketLink() { close(); }

bool SocketLink::connect() {
    if (conn_ >= 0) return true;
    if (listen_ < 0) return false;
    conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (conn_ < 0) return false;
    const int size = kSendBuffer;
    setsockopt(conn_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return true;
}

int SocketLink::backlog() const {
    int n = 0;
    if (conn_ < 0 || ioctl(conn_, SIOCOUTQ, &n) != 0) return 0;
    return n;
}

void SocketLink::drop() {
    if (conn_ < 0) return;
    ::close(conn_);
    conn_ = -1;
}

void SocketLink::close() {
    drop();
    if (listen_ < 0) return;
    ::close(listen_);
    listen_ = -1;
    ::unlink(path_.c_str());
}

}  // namespace kine_sim
