// SPDX-License-Identifier: MIT
// Linux serial port enumeration from /dev and sysfs. Internal to the library
// (hidden in the shared library); serial::list_ports() is the public entry.
#pragma once

#include "serial/serial.h"

#include <string>
#include <vector>

namespace serial {
namespace detail {

// Enumerates <dev_root>/ttyACM*, ttyS*, ttyUSB*, tty.* and cu.* (in that
// order, each group sorted) and describes each device from
// <sys_root>/class/tty/<name>/device. list_ports() is list_ports_in("/dev", "/sys").
std::vector<PortInfo> list_ports_in(const std::string& dev_root, const std::string& sys_root);

// The device paths list_ports_in describes, in its order: the glob alone,
// for callers that need only the names.
std::vector<std::string> list_port_paths_in(const std::string& dev_root);
// The record list_ports_in gives for one device path.
PortInfo describe_port(const std::string& device, const std::string& sys_root);

// printf-style formatting into a string; empty on a formatting error.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The first line of `file` without its line end; empty when it cannot be read.
std::string read_line(const std::string& file);
// "USB VID:PID=<idVendor>:<idProduct>; SNR=<serial>" of a USB device folder
// ("; " at the end when there is no serial number).
std::string usb_sysfs_hw_string(const std::string& sysfs_path);
// "<manufacturer> <product> <serial>" of a USB device folder; empty when all
// three are missing.
std::string usb_sysfs_friendly_name(const std::string& sysfs_path);
std::string usb_sysfs_manufacturer_name(const std::string& sysfs_path);
// Everything before the last "/" ("/" when that is the first character; the
// string itself when it has none).
std::string dirname(const std::string& path);

}  // namespace detail
}  // namespace serial
