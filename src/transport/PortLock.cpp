// SPDX-License-Identifier: MIT
#include "transport/PortLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "serial/unix.h"

kine_open_error PortLock::reasonFor(int err) {
    switch (err) {
    case 0: return KINE_OPEN_OK;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return KINE_OPEN_NO_DEVICE;
    case EACCES:
    case EPERM:
    case EROFS: return KINE_OPEN_PERMISSION_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return KINE_OPEN_BUSY;
    case ENOTTY:
    case EISDIR:
    case EINVAL: return KINE_OPEN_NOT_SERIAL;
    case ENOMEM: return KINE_OPEN_NO_MEMORY;
    default: return KINE_OPEN_IO_ERROR;
    }
}

kine_open_error PortLock::fail(int fd, int err) {
    if (fd >= 0) ::close(fd);
    errno_ = err;
    return reasonFor(err);
}

kine_open_error PortLock::acquire(const std::string& path, unsigned int baud) {
    release();
    errno_ = 0;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail(-1, errno);

    // The lock belongs to this open file description: a second description
    // of the same device, in this process or another, is refused at once.
    // It comes first, so that a device held by another owner is left as that
    // owner set it.
    int r;
    do {
        r = flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r != 0) return fail(fd, errno);

    // /dev/null, a regular file and the like open fine but are no terminal.
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0) return fail(fd, errno == EINVAL ? ENOTTY : errno);

    // This is the first descriptor on the device: put the line into raw mode
    // at the connection's rate before a byte can arrive to be echoed back to
    // the DAQ, then drop what came in while the terminal was still cooked.
    try {
        bool xonxoff = false, rtscts = false;
        serial::detail::configure_line(fd, baud, serial::eight_bits, serial::parity_none, serial::stopbits_one,
                                       serial::flowcontrol_none, xonxoff, rtscts);
    } catch (const serial::IOException& e) {
        return fail(fd, e.getErrorNumber() != 0 ? e.getErrorNumber() : EIO);
    } catch (const std::exception&) {
        return fail(fd, EIO);
    }
    if (tcflush(fd, TCIFLUSH) != 0) return fail(fd, errno);

    fd_ = fd;
    return KINE_OPEN_OK;
}

void PortLock::release() {
    if (fd_ < 0) return;
    // Closing the only descriptor of the description drops the lock.
    ::close(fd_);
    fd_ = -1;
}
