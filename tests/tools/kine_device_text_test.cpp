// SPDX-License-Identifier: MIT
// Text a DAQ sends reaches the user escaped: a serial number carrying a
// terminal escape sequence and bytes that are not UTF-8, listed by kine list.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kine_sim/simulated_daq.h"
#include "support/child_process.h"
#include "support/fake_port_tree.h"

#ifdef KINE_FAKE_TREE_TOOL

namespace {

using kine_test::ChildProcess;
using namespace std::chrono;

// Well-formed UTF-8 without control characters other than newline.
bool isCleanUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (c < 0x20 && c != '\n') || c == 0x7F) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST(KineDeviceText, ASerialWithEscapesIsListedSafely) {
    kine_test::FakePortTree tree;
    kine_sim::SimulatedDaq::Options o;
    o.version = 7;
    o.serial = "\x1b]0;X\x07\xff\xfe";  // sets a terminal's title; then two bytes that are not UTF-8
    kine_sim::SimulatedDaq sim(o);
    const std::string port = tree.plugUsb("ttyACM0", sim.devicePath());

    // A probe can time out on a loaded machine: the listing is run again.
    auto list = [&](const std::string& format) {
        std::string out;
        for (int run = 0; run < 3 && out.find(port) == std::string::npos; ++run) {
            ChildProcess p(KINE_FAKE_TREE_TOOL, format.empty()
                                                    ? std::vector<std::string>{tree.dev(), tree.sys(), "list"}
                                                    : std::vector<std::string>{tree.dev(), tree.sys(), "list", format});
            EXPECT_EQ(p.exitStatus(seconds(60)), 0) << p.errors();
            out = p.output();
        }
        return out;
    };
    const std::string text = list("");
    EXPECT_NE(text.find("\\x1b]0;X\\x07\\xff\\xfe"), std::string::npos) << text;
    EXPECT_TRUE(isCleanUtf8(text)) << text;

    const std::string json = list("--json");
    EXPECT_NE(json.find("\"serial\": \"\\u001b]0;X\\u0007\\u00ff\\u00fe\""), std::string::npos) << json;
    EXPECT_TRUE(isCleanUtf8(json)) << json;
}

}  // namespace

#endif
