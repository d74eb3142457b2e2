#include <gtest/gtest.h>

#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kine/kine_c.h"
#include "kine_sim/simulated_daq.h"
#include "support/pty_pair.h"

extern char** environ;

namespace {

using namespace std::chrono;
using kine_sim::SimulatedDaq;
using kine_test::waitFor;

std::unique_ptr<SimulatedDaq> makeSim(int version) {
    SimulatedDaq::Options o;
    o.version = version;
    return std::make_unique<SimulatedDaq>(o);
}

int runProgram(const std::string& path, const std::string& version) {
    const char* argv[] = {KINE_C_PROGRAM, path.c_str(), version.c_str(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, KINE_C_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole calling pattern from a C program, for a single-sensor, a
// four-sensor and a six-axis unit of either family.
TEST(DaqCFunctions, CProgramRunsTheCallingPattern) {
    for (int version : {3, 4, 7, 8}) {
        SCOPED_TRACE(version);
        auto sim = makeSim(version);
        EXPECT_EQ(runProgram(sim->devicePath(), sim->deviceVersionText()), 0);
    }
}

TEST(DaqCFunctions, HandlesAndArguments) {
    callKineDAQ_Dispose(nullptr);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_NE(daq, nullptr);
    EXPECT_FALSE(callOpen(daq, "", "34 v0.9"));
    EXPECT_FALSE(callOpen(daq, nullptr, nullptr));
    EXPECT_STREQ(callGetPortName(daq), "");
    unsigned char config = 0;
    EXPECT_EQ(callGetConfig(daq, &config), 0xB0);  // fresh: nothing sent, default returned
    EXPECT_EQ(config, 0xB0);
    kine_package p;
    EXPECT_EQ(callRead(daq, &p, 0, false), -2);
    EXPECT_EQ(callRead(daq, nullptr, 0, false), -2);
    int* values = nullptr;
    EXPECT_EQ(callReadAll6Axis(daq, &values, false), -2);
    EXPECT_EQ(values, nullptr);
    callDeleteIntArray(&values);
    callDeletePackageArray(nullptr);
    callKineDAQ_Dispose(daq);
}

// Texts longer than their 24-character field are cut to fit; a cut port
// name cannot name the intended device and is refused.
TEST(DaqCFunctions, OversizedTextsNeverOverflowTheirFields) {
    auto sim = makeSim(3);
    KineDAQHandle* daq = callKineDAQ_Create();
    const std::string longName = sim->devicePath() + std::string(200, 'x');
    EXPECT_FALSE(callOpen(daq, longName.c_str(), "68 v1.1"));
    EXPECT_FALSE(callIsOpen(daq));
    const std::string longVersion = std::string("68") + std::string(300, ' ');
    EXPECT_TRUE(callOpen(daq, sim->devicePath().c_str(), longVersion.c_str()));
    EXPECT_EQ(callGetActualVersion(daq), 3);
    callKineDAQ_Dispose(daq);  // disposing an open connection closes it
}

// A long port name that is a link (as under /dev/serial/by-id) is followed
// to its device node; a link whose target does not fit is still refused.
TEST(DaqCFunctions, LongLinkNamesOpenTheirDeviceNode) {
    auto sim = makeSim(3);
    char dirTemplate[] = "/tmp/kine-by-id-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string link = dir + "/usb-Kine_DAQ_SIM00001-if00-port0";
    ASSERT_GT(link.size(), 24u);
    ASSERT_EQ(symlink(sim->devicePath().c_str(), link.c_str()), 0);
    const std::string longTarget = dir + "/a-target-name-longer-than-the-field";
    std::fclose(std::fopen(longTarget.c_str(), "w"));
    const std::string linkToLong = dir + "/link-to-a-long-target-name";
    ASSERT_EQ(symlink(longTarget.c_str(), linkToLong.c_str()), 0);

    KineDAQHandle* daq = callKineDAQ_Create();
    EXPECT_TRUE(callOpen(daq, link.c_str(), "68 v1.1"));
    EXPECT_STREQ(callGetPortName(daq), sim->devicePath().c_str());
    callClose(daq);
    EXPECT_FALSE(callOpen(daq, linkToLong.c_str(), "68 v1.1"));
    EXPECT_FALSE(callIsOpen(daq));
    callKineDAQ_Dispose(daq);
    for (const std::string& f : {linkToLong, longTarget, link}) ::unlink(f.c_str());
    ::rmdir(dir.c_str());
}

TEST(DaqCFunctions, SendConfigBuildsTheByteFromHz) {
    auto sim = makeSim(3);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), "68 v1.1"));
    sim->clearReceived();
    EXPECT_TRUE(callSendConfig(daq, 1, 1000, 15));
    EXPECT_EQ(sim->received(), std::vector<uint8_t>{0xA7});
    unsigned char config = 0;
    EXPECT_EQ(callGetConfig(daq, &config), config);
    EXPECT_EQ(config & 0x1F, 0xA7 & 0x1F);

    sim->clearReceived();
    EXPECT_TRUE(callSendConfig(daq, 0, 500, 7));  // unknown rates keep the default
    EXPECT_EQ(sim->received(), std::vector<uint8_t>{0xB0});
    callClose(daq);
    callKineDAQ_Dispose(daq);
}

TEST(DaqCFunctions, ArraysAreResizedReplacedAndReleased) {
    auto sim = makeSim(7);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), "34 v0.9"));
    kine_package* all = nullptr;
    int r = 0;
    ASSERT_TRUE(waitFor([&] { return (r = callReadAll(daq, &all, false)) > 0; }, seconds(2)));
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all[4 * r - 1].version, 7);  // sensor-major, four sensors
    int* axes = nullptr;
    // Right after a pass has taken everything, the next pass usually decodes
    // nothing: the result is still an array that must be released.
    r = callReadAll6Axis(daq, &axes, false);
    EXPECT_GE(r, 0);
    EXPECT_NE(axes, nullptr);
    callDeleteIntArray(&axes);
    callDeletePackageArray(&all);
    EXPECT_NE(all, nullptr);  // the caller's pointer is left as it was
    callKineDAQ_Dispose(daq);
}

}  // namespace
