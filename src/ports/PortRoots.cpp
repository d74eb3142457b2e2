// SPDX-License-Identifier: MIT
#include "ports/PortRoots.h"

#include <mutex>

namespace {

std::mutex& rootsLock() {
    static std::mutex lock;
    return lock;
}

kine_ports::EnumerationRoots& roots() {
    static kine_ports::EnumerationRoots value{"/dev", "/sys", "/run/udev"};
    return value;
}

}  // namespace

void kine_ports_set_roots(const char* dev_root, const char* sys_root) {
    std::lock_guard<std::mutex> guard(rootsLock());
    roots().dev = dev_root && *dev_root ? dev_root : "/dev";
    roots().sys = sys_root && *sys_root ? sys_root : "/sys";
}

void kine_ports_set_udev_root(const char* udev_root) {
    std::lock_guard<std::mutex> guard(rootsLock());
    roots().udev = udev_root && *udev_root ? udev_root : "/run/udev";
}

namespace kine_ports {

EnumerationRoots currentRoots() {
    std::lock_guard<std::mutex> guard(rootsLock());
    return roots();
}

}  // namespace kine_ports
