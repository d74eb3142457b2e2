// SPDX-License-Identifier: MIT
#include "support/fake_port_tree.h"

#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "ports/PortRoots.h"

namespace kine_test {

namespace {

std::string makeTempDir(const char* pattern) {
    std::string name = pattern;
    if (mkdtemp(&name[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    return name;
}

void removeTree(const std::string& root) {
    nftw(
        root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void makeDirs(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0755);
    ::mkdir(path.c_str(), 0755);
}

void writeLine(const std::string& path, const std::string& text) {
    if (!text.empty()) std::ofstream(path) << text << "\n";
}

void link(const std::string& target, const std::string& path) {
    ::unlink(path.c_str());
    if (::symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink " + path);
}

}  // namespace

FakePortTree::FakePortTree()
    : dev_(makeTempDir("/tmp/kdXXXXXX")), sys_(makeTempDir("/tmp/ksXXXXXX")), udev_(sys_ + "/run-udev") {
    makeDirs(udev_ + "/data");
}

FakePortTree::~FakePortTree() {
    kine_ports_set_roots(nullptr, nullptr);
    kine_ports_set_udev_root(nullptr);
    removeTree(dev_);
    removeTree(sys_);
}

void FakePortTree::use() const {
    kine_ports_set_roots(dev_.c_str(), sys_.c_str());
    kine_ports_set_udev_root(udev_.c_str());
}

void FakePortTree::replug(const std::string& name, const std::string& target) const {
    const std::string next = port(name) + ".new";
    link(target, next);
    if (::rename(next.c_str(), port(name).c_str()) != 0) throw std::runtime_error("rename " + next);
}

void FakePortTree::setUdevProperty(const std::string& name, const std::string& key, const std::string& value) const {
    struct stat st {};
    if (::stat(port(name).c_str(), &st) != 0) throw std::runtime_error("stat " + port(name));
    std::ofstream(udev_ + "/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)))
        << "I:1\nE:ID_VENDOR=test\nE:" << key << "=" << value << "\n";
}

std::string FakePortTree::plugUsb(const std::string& name, const std::string& target, const std::string& vendor,
                                  const std::string& product, const std::string& serial) {
    // <usb device>/<interface>[/<ttyUSB port>]: enumeration climbs from the
    // tty's device link to the USB device folder that holds the ids.
    const std::string usb = sys_ + "/devices/usb1/1-" + name;
    std::string device = usb + "/1-" + name + ":1.0";
    if (name.compare(0, 6, "ttyUSB") == 0) device += "/" + name;
    makeDirs(device);
    writeLine(usb + "/idVendor", vendor);
    writeLine(usb + "/idProduct", product);
    writeLine(usb + "/serial", serial);
    writeLine(usb + "/manufacturer", "Kine test");
    makeDirs(sys_ + "/class/tty/" + name);
    link(device, sys_ + "/class/tty/" + name + "/device");
    link(target, port(name));
    return port(name);
}

std::string FakePortTree::plugPlain(const std::string& name, const std::string& target) {
    link(target, port(name));
    return port(name);
}

void FakePortTree::unplug(const std::string& name) const { ::unlink(port(name).c_str()); }

}  // namespace kine_test
