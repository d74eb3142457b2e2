// SPDX-License-Identifier: MIT
#include "serial/list_ports_linux.h"

#include <glob.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace serial {
namespace detail {

namespace {

// Owns a glob result for one enumeration.
class GlobResult {
public:
    GlobResult() = default;
    ~GlobResult() { globfree(&result_); }
    GlobResult(const GlobResult&) = delete;
    GlobResult& operator=(const GlobResult&) = delete;

    // Adds the sorted matches of `pattern`; errors and empty matches add nothing.
    void add(const std::string& pattern) {
        glob(pattern.c_str(), first_ ? 0 : GLOB_APPEND, nullptr, &result_);
        first_ = false;
    }
    size_t size() const { return result_.gl_pathc; }
    const char* operator[](size_t i) const { return result_.gl_pathv[i]; }

private:
    glob_t result_{};
    bool first_ = true;
};

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The canonical path, or an empty string when it cannot be resolved.
std::string canonical_path(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::string();
    std::string result(resolved);
    std::free(resolved);
    return result;
}

}  // namespace

std::string format(const char* fmt, ...) {
    try {
        std::string buffer(256, '\0');
        for (int attempt = 0; attempt < 6; ++attempt) {
            va_list args;
            va_start(args, fmt);
            const int needed = std::vsnprintf(&buffer[0], buffer.size(), fmt, args);
            va_end(args);
            if (needed < 0) return std::string();
            if (static_cast<size_t>(needed) < buffer.size()) {
                buffer.resize(static_cast<size_t>(needed));
                return buffer;
            }
            buffer.assign(static_cast<size_t>(needed) + 1, '\0');
        }
    } catch (const std::bad_alloc&) {
    }
    return std::string();
}

std::string read_line(const std::string& file) {
    // "e": O_CLOEXEC, so that a program another thread starts meanwhile does
    // not inherit the descriptor.
    FILE* in = std::fopen(file.c_str(), "re");
    if (!in) return std::string();
    char* text = nullptr;
    size_t room = 0;
    const ssize_t n = ::getline(&text, &room, in);
    std::string line = n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    std::free(text);
    std::fclose(in);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

std::string usb_sysfs_hw_string(const std::string& sysfs_path) {
    std::string serial_number = read_line(sysfs_path + "/serial");
    if (!serial_number.empty()) serial_number = format("SNR=%s", serial_number.c_str());
    const std::string vendor = read_line(sysfs_path + "/idVendor");
    const std::string product = read_line(sysfs_path + "/idProduct");
    return format("USB VID:PID=%s:%s; %s", vendor.c_str(), product.c_str(), serial_number.c_str());
}

std::string usb_sysfs_friendly_name(const std::string& sysfs_path) {
    const std::string manufacturer = read_line(sysfs_path + "/manufacturer");
    const std::string product = read_line(sysfs_path + "/product");
    const std::string serial_number = read_line(sysfs_path + "/serial");
    if (manufacturer.empty() && product.empty() && serial_number.empty()) return std::string();
    return format("%s %s %s", manufacturer.c_str(), product.c_str(), serial_number.c_str());
}

std::string usb_sysfs_manufacturer_name(const std::string& sysfs_path) {
    return read_line(sysfs_path + "/manufacturer");
}

std::string dirname(const std::string& path) {
    const size_t pos = path.rfind('/');
    if (pos == std::string::npos) return path;
    if (pos == 0) return "/";
    return path.substr(0, pos);
}

std::vector<std::string> list_port_paths_in(const std::string& dev_root) {
    GlobResult devices;
    for (const char* pattern : {"/ttyACM*", "/ttyS*", "/ttyUSB*", "/tty.*", "/cu.*"}) devices.add(dev_root + pattern);
    std::vector<std::string> paths;
    paths.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) paths.emplace_back(devices[i]);
    return paths;
}

PortInfo describe_port(const std::string& device, const std::string& sys_root) {
    const size_t slash = device.rfind('/');
    const std::string device_name = slash == std::string::npos ? device : device.substr(slash + 1);
    std::string sys_device_path = format("%s/class/tty/%s/device", sys_root.c_str(), device_name.c_str());

    std::string description;
    std::string hardware_id;
    std::string manufacturer;

    // USB devices: from the tty's link up to the USB device folder, two
    // levels for a converter's tty (interface/ttyUSBn), one for a modem
    // (the interface itself).
    bool usb = false;
    if (starts_with(device_name, "ttyUSB")) {
        sys_device_path = dirname(dirname(canonical_path(sys_device_path)));
        usb = true;
    } else if (starts_with(device_name, "ttyACM")) {
        sys_device_path = dirname(canonical_path(sys_device_path));
        usb = true;
    }

    if (usb) {
        if (exists(sys_device_path)) {
            description = usb_sysfs_friendly_name(sys_device_path);
            hardware_id = usb_sysfs_hw_string(sys_device_path);
            manufacturer = usb_sysfs_manufacturer_name(sys_device_path);
        }
    } else if (exists(sys_device_path + "/id")) {
        hardware_id = read_line(sys_device_path + "/id");
    }

    if (description.empty()) description = device_name;
    if (hardware_id.empty()) hardware_id = "n/a";
    return PortInfo{device, description, hardware_id, manufacturer};
}

std::vector<PortInfo> list_ports_in(const std::string& dev_root, const std::string& sys_root) {
    std::vector<PortInfo> ports;
    for (const std::string& device : list_port_paths_in(dev_root)) ports.push_back(describe_port(device, sys_root));
    return ports;
}

}  // namespace detail

std::vector<PortInfo> list_ports() { return detail::list_ports_in("/dev", "/sys"); }

}  // namespace serial
