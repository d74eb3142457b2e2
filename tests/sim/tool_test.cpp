// SPDX-License-Identifier: MIT
// The kine-sim tool as a user runs it.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "host_port.h"
#include "support/child_process.h"

#ifdef KINE_SIM_TOOL

namespace {

using namespace sim_test;

using kine_test::ChildProcess;

TEST(SimTool, HelpDocumentsTheOptions) {
    ChildProcess t(KINE_SIM_TOOL, {"--help"});
    EXPECT_EQ(t.exitStatus(), 0);
    const std::string help = t.output();
    for (const char* opt : {"--version", "--serial", "--speed", "--filter", "--compensated", "--signal", "--measure"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;

    ChildProcess bad(KINE_SIM_TOOL, {"--speed", "77"});
    EXPECT_EQ(bad.exitStatus(), 2);
}

TEST(SimTool, ServesTheDeviceUntilStopped) {
    ChildProcess t(KINE_SIM_TOOL, {"--version", "7", "--serial", "A1B2"});
    const std::string path = t.outputLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        HostPort h(path);
        h.write({0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5});
        FrameSplitter s;
        const Frame* reply = nullptr;
        for (const auto end = Clock::now() + milliseconds(1000); !reply && Clock::now() < end;) {
            s.feed(h.readSome(milliseconds(20)));
            for (const Frame& f : s.frames)
                if (f.aa() && f.type == 0x000A) reply = &f;
        }
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->bytes[4], 34);
        EXPECT_EQ(std::string(reply->bytes.begin() + 12, reply->bytes.begin() + 20), "A1B2    ");
    }
    t.signal(SIGTERM);
    EXPECT_EQ(t.exitStatus(), 0);

    ChildProcess i(KINE_SIM_TOOL, {"--version", "3"});
    ASSERT_FALSE(i.outputLine().empty());
    i.signal(SIGINT);
    EXPECT_EQ(i.exitStatus(), 0);
}

}  // namespace

#endif
