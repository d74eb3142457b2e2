// SPDX-License-Identifier: MIT
// Port enumeration against fake /dev and sysfs trees in a temporary folder.
#include "serial/list_ports_linux.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using serial::PortInfo;
using serial::detail::list_ports_in;

// A temporary folder holding a fake dev/ and sys/ tree; removed on destruction.
class FakeTree {
public:
    FakeTree() {
        char name[] = "/tmp/kine-ports-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = name;
        makeDirs("dev");
        makeDirs("sys/class/tty");
    }
    ~FakeTree() {
        nftw(
            root_.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    FakeTree(const FakeTree&) = delete;
    FakeTree& operator=(const FakeTree&) = delete;

    std::string dev() const { return root_ + "/dev"; }
    std::string sys() const { return root_ + "/sys"; }
    std::string path(const std::string& rel) const { return root_ + "/" + rel; }

    void makeDirs(const std::string& rel) const {
        std::string sofar = root_;
        size_t start = 0;
        while (start <= rel.size()) {
            const size_t end = rel.find('/', start);
            sofar += "/" + rel.substr(start, end - start);
            ::mkdir(sofar.c_str(), 0755);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    void file(const std::string& rel, const std::string& content) const {
        const size_t slash = rel.rfind('/');
        if (slash != std::string::npos) makeDirs(rel.substr(0, slash));
        std::ofstream(path(rel)) << content;
    }
    void device(const std::string& name) const { file("dev/" + name, ""); }
    // sys/class/tty/<name>/device -> <target> (relative to the tree root).
    void ttyLink(const std::string& name, const std::string& target) const {
        makeDirs("sys/class/tty/" + name);
        EXPECT_EQ(::symlink(path(target).c_str(), path("sys/class/tty/" + name + "/device").c_str()), 0);
    }
    // A USB device folder with the given attribute files (empty text: no file).
    void usbDevice(const std::string& rel, const std::string& vendor, const std::string& product,
                   const std::string& serial_number, const std::string& manufacturer,
                   const std::string& product_name) const {
        makeDirs(rel);
        if (!vendor.empty()) file(rel + "/idVendor", vendor + "\n");
        if (!product.empty()) file(rel + "/idProduct", product + "\n");
        if (!serial_number.empty()) file(rel + "/serial", serial_number + "\n");
        if (!manufacturer.empty()) file(rel + "/manufacturer", manufacturer + "\n");
        if (!product_name.empty()) file(rel + "/product", product_name + "\n");
    }

private:
    std::string root_;
};

const PortInfo* find(const std::vector<PortInfo>& ports, const std::string& port) {
    for (const PortInfo& p : ports)
        if (p.port == port) return &p;
    return nullptr;
}

TEST(ListPorts, EmptyDevFolderGivesNoPorts) {
    FakeTree tree;
    EXPECT_TRUE(list_ports_in(tree.dev(), tree.sys()).empty());
    EXPECT_TRUE(list_ports_in(tree.path("missing"), tree.sys()).empty());
}

TEST(ListPorts, UsbDevicesAreDescribedFromTheirUsbFolder) {
    FakeTree tree;
    const std::string usb = "sys/devices/pci0000:00/usb1";
    // Decoys one level off in either direction catch a wrong number of strips.
    tree.usbDevice(usb, "dead", "beef", "WRONG", "Wrong", "Wrong");
    tree.usbDevice(usb + "/1-1", "1234", "5678", "ABC", "Maker Inc", "DAQ 4");
    tree.usbDevice(usb + "/1-1/1-1:1.0", "dead", "beef", "WRONG", "Wrong", "Wrong");
    tree.device("ttyACM0");
    tree.ttyLink("ttyACM0", usb + "/1-1/1-1:1.0");

    tree.usbDevice(usb + "/1-2", "0403", "6001", "", "FTDI", "FT232R USB UART");
    tree.usbDevice(usb + "/1-2/1-2:1.0", "dead", "beef", "WRONG", "Wrong", "Wrong");
    tree.makeDirs(usb + "/1-2/1-2:1.0/ttyUSB0");
    tree.device("ttyUSB0");
    tree.ttyLink("ttyUSB0", usb + "/1-2/1-2:1.0/ttyUSB0");

    const std::vector<PortInfo> ports = list_ports_in(tree.dev(), tree.sys());
    ASSERT_EQ(ports.size(), 2u);
    const PortInfo& acm = ports[0];
    EXPECT_EQ(acm.port, tree.dev() + "/ttyACM0");
    EXPECT_EQ(acm.description, "Maker Inc DAQ 4 ABC");
    EXPECT_EQ(acm.hardware_id, "USB VID:PID=1234:5678; SNR=ABC");
    EXPECT_EQ(acm.manufacturer, "Maker Inc");

    const PortInfo& usb_serial = ports[1];
    EXPECT_EQ(usb_serial.port, tree.dev() + "/ttyUSB0");
    EXPECT_EQ(usb_serial.description, "FTDI FT232R USB UART ");
    EXPECT_EQ(usb_serial.hardware_id, "USB VID:PID=0403:6001; ");
    EXPECT_EQ(usb_serial.manufacturer, "FTDI");
}

TEST(ListPorts, PartialAndMissingUsbInformation) {
    FakeTree tree;
    tree.usbDevice("sys/devices/usb1/1-3", "", "", "", "", "X");
    tree.makeDirs("sys/devices/usb1/1-3/1-3:1.0");
    tree.device("ttyACM3");
    tree.ttyLink("ttyACM3", "sys/devices/usb1/1-3/1-3:1.0");

    tree.device("ttyACM4");
    tree.ttyLink("ttyACM4", "sys/devices/usb1/gone/1-4:1.0");  // dangling link
    tree.device("ttyUSB7");                                    // no sysfs entry at all

    const std::vector<PortInfo> ports = list_ports_in(tree.dev(), tree.sys());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].description, " X ");
    EXPECT_EQ(ports[0].hardware_id, "USB VID:PID=:; ");
    EXPECT_EQ(ports[0].manufacturer, "");
    for (size_t i = 1; i < 3; ++i) {
        const std::string name = ports[i].port.substr(ports[i].port.rfind('/') + 1);
        EXPECT_EQ(ports[i].description, name);
        EXPECT_EQ(ports[i].hardware_id, "n/a");
        EXPECT_EQ(ports[i].manufacturer, "");
    }
}

TEST(ListPorts, OtherDevicesUseTheFirstLineOfTheirIdFile) {
    FakeTree tree;
    tree.device("ttyS0");
    tree.file("sys/class/tty/ttyS0/device/id", "PNP0501 \nsecond line\n");
    tree.device("ttyS1");
    tree.makeDirs("sys/class/tty/ttyS1/device");  // a device folder without id
    tree.device("ttyS2");                         // nothing in sysfs

    const std::vector<PortInfo> ports = list_ports_in(tree.dev(), tree.sys());
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].description, "ttyS0");
    EXPECT_EQ(ports[0].hardware_id, "PNP0501 ");  // not trimmed
    EXPECT_EQ(ports[0].manufacturer, "");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(ports[i].description, "ttyS" + std::to_string(i));
        EXPECT_EQ(ports[i].hardware_id, "n/a");
        EXPECT_EQ(ports[i].manufacturer, "");
    }
}

TEST(ListPorts, PatternOrderThenSortedWithinEachPattern) {
    FakeTree tree;
    for (const char* name : {"cu.usbmodem1", "tty.usbmodem1", "ttyUSB1", "ttyUSB0", "ttyS10", "ttyS2", "ttyS1",
                             "ttyACM1", "ttyACM0", "ttyX0", "console"})
        tree.device(name);
    std::vector<std::string> names;
    for (const PortInfo& p : list_ports_in(tree.dev(), tree.sys()))
        names.push_back(p.port.substr(tree.dev().size() + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyACM1", "ttyS1", "ttyS10", "ttyS2", "ttyUSB0", "ttyUSB1",
                                               "tty.usbmodem1", "cu.usbmodem1"}));
}

TEST(ListPorts, HelperFunctions) {
    using serial::detail::dirname;
    using serial::detail::format;
    using serial::detail::read_line;
    EXPECT_EQ(dirname("/a/b/c"), "/a/b");
    EXPECT_EQ(dirname("/a"), "/");
    EXPECT_EQ(dirname("abc"), "abc");
    EXPECT_EQ(dirname(""), "");

    EXPECT_EQ(format("%s-%d", "x", 42), "x-42");
    const std::string long_text(1000, 'q');
    EXPECT_EQ(format("<%s>", long_text.c_str()), "<" + long_text + ">");

    FakeTree tree;
    tree.file("a", "first\r\nsecond\n");
    tree.file("empty", "");
    EXPECT_EQ(read_line(tree.path("a")), "first\r");
    EXPECT_EQ(read_line(tree.path("empty")), "");
    EXPECT_EQ(read_line(tree.path("missing")), "");
}

TEST(ListPorts, RealSystemScanNeverThrows) {
    std::vector<PortInfo> ports;
    ASSERT_NO_THROW(ports = serial::list_ports());
    for (const PortInfo& p : ports) {
        EXPECT_EQ(p.port.compare(0, 5, "/dev/"), 0) << p.port;
        EXPECT_FALSE(p.description.empty());
        EXPECT_FALSE(p.hardware_id.empty());
    }
    EXPECT_EQ(find(ports, "/dev/kine-never-there"), nullptr);
}

}  // namespace
