// SPDX-License-Identifier: MIT
// A fake /dev folder and sysfs tree for port discovery, in two short
// temporary folders (port names must fit a KPort field). Devices are
// symbolic links, usually to a simulated DAQ's pseudo-terminal; USB devices
// get the sysfs folders enumeration reads their ids from. No test framework
// needed: the benchmarks use it too.
#pragma once

#include <string>

namespace kine_test {

class FakePortTree {
public:
    FakePortTree();   // throws std::runtime_error when the folders cannot be made
    ~FakePortTree();  // removes both folders; points new monitors back at the real tree
    FakePortTree(const FakePortTree&) = delete;
    FakePortTree& operator=(const FakePortTree&) = delete;

    const std::string& dev() const { return dev_; }
    const std::string& sys() const { return sys_; }
    const std::string& udev() const { return udev_; }
    // Points monitors constructed from now on at this tree.
    void use() const;

    // A USB serial device (name "ttyACM<n>" or "ttyUSB<n>") behind `target`,
    // with the given sysfs ids (four hex digits) and serial number. Returns
    // the port name the monitor reports.
    std::string plugUsb(const std::string& name, const std::string& target, const std::string& vendor = "0403",
                        const std::string& product = "6001", const std::string& serial = "FT1");
    // A device node with no sysfs entry (vendor id -1), e.g. "ttyS3".
    std::string plugPlain(const std::string& name, const std::string& target = "/dev/null");
    // Points the node at another device in one step (rename), as a replug
    // between two monitor cycles looks.
    void replug(const std::string& name, const std::string& target) const;
    // Writes udev's database entry for the device behind the node, with one
    // property line "E:<key>=<value>".
    void setUdevProperty(const std::string& name, const std::string& key, const std::string& value) const;
    // Removes the device node (the sysfs folders stay, as they would for a
    // moment on a real machine).
    void unplug(const std::string& name) const;
    std::string port(const std::string& name) const { return dev_ + "/" + name; }

private:
    std::string dev_;
    std::string sys_;
    std::string udev_;
};

}  // namespace kine_test
