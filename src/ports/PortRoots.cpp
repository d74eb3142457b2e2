#include "ports/PortRoots.h"

#include <mutex>

namespace {

std::mutex& rootsLock() {
    static std::mutex lock;
    return lock;
}

kine_ports::EnumerationRoots& roots() {
    static kine_ports::EnumerationRoots value{"/dev", "/sys"};
    return value;
}

}  // namespace

void kine_ports_set_roots(const char* dev_root, const char* sys_root) {
    std::lock_guard<std::mutex> guard(rootsLock());
    roots().dev = dev_root && *dev_root ? dev_root : "/dev";
    roots().sys = sys_root && *sys_root ? sys_root : "/sys";
}

namespace kine_ports {

EnumerationRoots currentRoots() {
    std::lock_guard<std::mutex> guard(rootsLock());
    return roots();
}

}  // namespace kine_ports
