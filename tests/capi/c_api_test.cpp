// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>

#include "kine/kine_c.h"
#include "kine/kine_result.h"
#include "kine_sim/simulated_daq.h"
#include "support/pty_pair.h"
#include "support/sim_daq.h"

// While set on a thread, every allocation of that thread fails, as when
// memory runs out. Other threads (the reader, the simulator) are unaffected.
static thread_local bool allocationsFail = false;

void* operator new(std::size_t n) {
    if (allocationsFail) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// Out of line, so that the compiler does not see a new-expression's memory
// reach free() and warn about a mismatch that the replacement pair makes right.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono;
using kine_test::waitFor;

using kine_test::simulatedDaq;

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
    EXPECT_EQ(callRead(daq, &p, 0, false), KINE_NOT_OPEN);
    EXPECT_EQ(callRead(daq, nullptr, 0, false), KINE_NOT_OPEN);
    int* values = nullptr;
    EXPECT_EQ(callReadAll6Axis(daq, &values, false), KINE_NOT_OPEN);
    EXPECT_EQ(values, nullptr);
    callDeleteIntArray(&values);
    callDeletePackageArray(nullptr);
    callKineDAQ_Dispose(daq);
}

// Texts longer than their 24-character field are cut to fit; a cut port
// name cannot name the intended device and is refused.
TEST(DaqCFunctions, OversizedTextsNeverOverflowTheirFields) {
    auto sim = simulatedDaq(3);
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
    auto sim = simulatedDaq(3);
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
    auto sim = simulatedDaq(3);
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
    auto sim = simulatedDaq(7);
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

// The six-axis array and the offsets, which callers in other languages
// reach only through these functions.
TEST(DaqCFunctions, SixAxisArraysAndOffsets) {
    auto sim = simulatedDaq(8);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), sim->deviceVersionText()));
    kine_package6d* all = nullptr;
    int r = 0;
    ASSERT_TRUE(waitFor([&] { return (r = callReadAll6D(daq, &all, false)) > 0; }, seconds(2)));
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all[r - 1].sensors[0].version, 8);
    callDeletePackage6DArray(&all);
    EXPECT_NE(all, nullptr);  // the caller's pointer is left as it was
    callClose(daq);

    kine_package offset;
    std::memset(&offset, 0x5A, sizeof offset);
    EXPECT_FALSE(callGetOffset(daq, 0, &offset));  // closed: no sensors
    EXPECT_EQ(offset.z, 0);
    EXPECT_EQ(offset.version, 0);
    auto one = simulatedDaq(3);
    one->setSignal(kine_sim::Channel::z, kine_sim::Signal::constant(700));
    ASSERT_TRUE(callOpen(daq, one->devicePath().c_str(), "68 v1.1"));
    ASSERT_TRUE(waitFor([&] { return callRead(daq, nullptr, 0, false) > 0; }, seconds(2)));
    ASSERT_TRUE(callZero(daq, 0));
    EXPECT_TRUE(callGetOffset(daq, 0, &offset));
    EXPECT_EQ(offset.z, 700);
    EXPECT_FALSE(callGetOffset(daq, 1, nullptr));
    callKineDAQ_Dispose(daq);
}

TEST(DaqCFunctions, NullHandleGivesTheFailureValue) {
    unsigned char config = 0x5A;
    kine_package p;
    kine_package6d p6;
    int v8[8], v128[128], v6[6];
    kine_package* all = nullptr;
    int* axes = nullptr;
    EXPECT_FALSE(callOpen(nullptr, "/dev/null", "68 v1.1"));
    callClose(nullptr);
    EXPECT_FALSE(callIsOpen(nullptr));
    EXPECT_FALSE(callIsVirtual(nullptr));
    EXPECT_EQ(callGetPortName(nullptr), nullptr);
    EXPECT_EQ(callGetSize(nullptr), 0);
    EXPECT_EQ(callGetSensorSize(nullptr), 0);
    EXPECT_FALSE(callIsChksumOK(nullptr));
    EXPECT_EQ(callGetActualVersion(nullptr), 0);
    EXPECT_EQ(callGetBytesPerRead(nullptr), 0);
    EXPECT_EQ(callGetLastOpenError(nullptr), KINE_OPEN_INVALID_ARGUMENT);
    EXPECT_EQ(callGetLastOpenErrno(nullptr), 0);
    EXPECT_EQ(callGetConfig(nullptr, &config), 0);
    EXPECT_EQ(config, 0x5A);
    EXPECT_FALSE(callSendConfig(nullptr, 1, 1000, 15));
    EXPECT_FALSE(callZero(nullptr, 0));
    callZeroAll(nullptr);
    EXPECT_FALSE(callUnzero(nullptr, 0));
    callUnzeroAll(nullptr);
    EXPECT_EQ(callRead(nullptr, &p, 0, false), KINE_NOT_OPEN);
    EXPECT_EQ(callRead6D(nullptr, &p6, false), KINE_NOT_OPEN);
    EXPECT_EQ(callReadArray(nullptr, v8, false), KINE_NOT_OPEN);
    EXPECT_EQ(callReadVirtual(nullptr, &p, false), KINE_NOT_OPEN);
    EXPECT_EQ(callReadVirtualArray(nullptr, v128, false), KINE_NOT_OPEN);
    EXPECT_EQ(callRead6Axis(nullptr, v6, false), KINE_NOT_OPEN);
    EXPECT_EQ(callReadAll(nullptr, &all, false), KINE_NOT_OPEN);
    EXPECT_EQ(callReadAll6Axis(nullptr, &axes, false), KINE_NOT_OPEN);
    kine_package6d* all6 = nullptr;
    EXPECT_EQ(callWaitRead(nullptr, &p, 0, -1), KINE_NOT_OPEN);
    EXPECT_EQ(callWaitRead6D(nullptr, &p6, -1), KINE_NOT_OPEN);
    EXPECT_EQ(callWaitReadAll(nullptr, &all, -1), KINE_NOT_OPEN);
    EXPECT_EQ(callWaitReadAll6D(nullptr, &all6, -1), KINE_NOT_OPEN);
    EXPECT_EQ(all, nullptr);
    EXPECT_EQ(all6, nullptr);
    EXPECT_EQ(axes, nullptr);
}

// The streaming loop of a C caller: each wait gives the next samples; a
// close on another thread ends a wait without limit.
TEST(DaqCFunctions, WaitingReadsStreamAndEndOnClose) {
    auto sim = simulatedDaq(3);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), sim->deviceVersionText()));
    kine_package* all = nullptr;
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(callWaitReadAll(daq, &all, 10000), 0);
        ASSERT_NE(all, nullptr);
        EXPECT_EQ(all[0].version, 3);
    }
    EXPECT_GT(callWaitReadAll(daq, nullptr, 10000), 0);  // NULL: read and dropped
    kine_package p;
    EXPECT_GT(callWaitRead(daq, &p, 0, 10000), 0);
    callDeletePackageArray(&all);

    sim->setSilent(true);  // a wait without limit, ended by callClose on another thread
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        callClose(daq);
    });
    const int r = callWaitRead(daq, &p, 0, -1);
    closer.join();
    EXPECT_EQ(r, KINE_NOT_OPEN);
    callKineDAQ_Dispose(daq);
}

class OpenUnit : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(DaqCFunctions, OpenUnit, ::testing::Values(3, 4, 7, 8),
                         [](const ::testing::TestParamInfo<int>& i) { return "v" + std::to_string(i.param); });

// On an open connection: sensor indices outside the unit give "no such
// sensor" and change nothing; NULL output buffers are read into scratch and
// dropped; a device version text that fills its 25-byte field without a
// terminator is read no further than the field.
TEST_P(OpenUnit, OutOfRangeSensorsNullBuffersAndAnUnterminatedVersion) {
    auto sim = simulatedDaq(GetParam());
    const std::string text = sim->deviceVersionText();
    std::unique_ptr<char[]> version(new char[25]);  // exactly the field: ASan sees a read past it
    std::memset(version.get(), ' ', 25);
    std::memcpy(version.get(), text.data(), text.size());
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), version.get()));
    const int sensors = callGetSensorSize(daq);
    ASSERT_TRUE(sensors == 1 || sensors == 4);

    kine_package p;
    std::memset(&p, 0x5A, sizeof p);
    for (int sensor : {-1, sensors, 4, 16, 1 << 20, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(sensor);
        EXPECT_EQ(callRead(daq, &p, sensor, false), KINE_NO_SUCH_SENSOR);
        EXPECT_EQ(callRead(daq, nullptr, sensor, true), KINE_NO_SUCH_SENSOR);
        EXPECT_FALSE(callZero(daq, sensor));
        EXPECT_FALSE(callUnzero(daq, sensor));
        EXPECT_FALSE(callGetOffset(daq, sensor, &p));
        EXPECT_FALSE(callGetOffset(daq, sensor, nullptr));
        EXPECT_TRUE(std::all_of(p.raw, p.raw + 8, [](int32_t v) { return v == 0; }));
        std::memset(&p, 0x5A, sizeof p);
    }

    // Every read with NULL where its buffer goes, until samples flow; the
    // passes keep their bytes, so that each read sees the stream.
    auto nullReads = [&] {
        int decoded = 0;
        for (int r :
             {callRead(daq, nullptr, 0, true), callRead6D(daq, nullptr, true), callReadArray(daq, nullptr, true),
              callReadVirtual(daq, nullptr, true), callReadVirtualArray(daq, nullptr, true),
              callRead6Axis(daq, nullptr, true), callReadAll(daq, nullptr, true), callReadAll6Axis(daq, nullptr, true),
              callReadAll6D(daq, nullptr, true)}) {
            EXPECT_NE(r, KINE_NOT_OPEN);
            EXPECT_GE(r, KINE_READER_STOPPED);
            decoded += r > 0;
        }
        return decoded > 0;
    };
    EXPECT_TRUE(waitFor(nullReads, seconds(10)));
    EXPECT_EQ(callGetConfig(daq, nullptr), callGetConfig(daq, nullptr));
    EXPECT_TRUE(callGetOffset(daq, 0, nullptr));

    // The releases the interface calls harmless.
    kine_package* none = nullptr;
    kine_package6d* none6 = nullptr;
    int* noValues = nullptr;
    callDeletePackageArray(&none);
    callDeletePackage6DArray(&none6);
    callDeleteIntArray(&noValues);
    callDeletePackageArray(nullptr);
    callDeletePackage6DArray(nullptr);
    callDeleteIntArray(nullptr);
    callClose(daq);
    callClose(daq);
    EXPECT_EQ(callRead(daq, &p, 0, false), KINE_NOT_OPEN);
    callKineDAQ_Dispose(daq);
    callKineDAQ_Dispose(nullptr);
}

TEST(DaqCFunctions, ReasonOfAFailedOpen) {
    auto sim = simulatedDaq(3);
    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_NE(daq, nullptr);
    EXPECT_EQ(callGetLastOpenError(daq), KINE_OPEN_OK);  // none tried yet
    EXPECT_FALSE(callOpen(daq, "/dev/kine-no-such-device", "68 v1.1"));
    EXPECT_EQ(callGetLastOpenError(daq), KINE_OPEN_NO_DEVICE);
    EXPECT_EQ(callGetLastOpenErrno(daq), ENOENT);
    EXPECT_STREQ(callOpenErrorText(callGetLastOpenError(daq)), "no such device");
    const std::string longName = sim->devicePath() + std::string(30, 'x');
    EXPECT_FALSE(callOpen(daq, longName.c_str(), "68 v1.1"));
    EXPECT_EQ(callGetLastOpenError(daq), KINE_OPEN_INVALID_ARGUMENT);
    EXPECT_EQ(callGetLastOpenErrno(daq), 0);
    ASSERT_TRUE(callOpen(daq, sim->devicePath().c_str(), "68 v1.1"));
    EXPECT_EQ(callGetLastOpenError(daq), KINE_OPEN_OK);
    callKineDAQ_Dispose(daq);

    // One distinct text per reason; any other code gets a generic one.
    std::set<std::string> texts;
    for (int code = KINE_OPEN_OK; code <= KINE_OPEN_NO_MEMORY; ++code) {
        const char* text = callOpenErrorText(code);
        ASSERT_NE(text, nullptr);
        EXPECT_NE(text[0], '\0');
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<size_t>(KINE_OPEN_NO_MEMORY + 1));
    ASSERT_NE(callOpenErrorText(-1), nullptr);
    EXPECT_STREQ(callOpenErrorText(-1), callOpenErrorText(1000));
    EXPECT_EQ(texts.count(callOpenErrorText(-1)), 0u);
}

// Every function returns its failure value when memory runs out inside it;
// nothing escapes into the C caller, and the connection works afterwards.
TEST(DaqCFunctions, MemoryExhaustionNeverCrossesTheInterface) {
    auto sim = simulatedDaq(7);
    const char* path = sim->devicePath().c_str();
    struct Exhausted {
        Exhausted() { allocationsFail = true; }
        ~Exhausted() { allocationsFail = false; }
    };
    KineDAQHandle* none;
    {
        Exhausted e;
        none = callKineDAQ_Create();
    }
    EXPECT_EQ(none, nullptr);

    KineDAQHandle* daq = callKineDAQ_Create();
    ASSERT_NE(daq, nullptr);
    bool opened;
    {
        Exhausted e;
        opened = callOpen(daq, path, "34 v0.9");
    }
    EXPECT_FALSE(opened);
    EXPECT_EQ(callGetLastOpenError(daq), KINE_OPEN_NO_MEMORY);
    EXPECT_FALSE(callIsOpen(daq));

    ASSERT_TRUE(callOpen(daq, path, "34 v0.9"));
    kine_package p;
    kine_package* all = nullptr;
    int* axes = nullptr;
    int v6[6];
    unsigned char config = 0;
    int read, readAll, readAll6, read6;
    bool sent, zeroed, isVirtual;
    unsigned char got;
    {
        Exhausted e;
        read = callRead(daq, &p, 0, false);
        readAll = callReadAll(daq, &all, false);
        readAll6 = callReadAll6Axis(daq, &axes, false);
        read6 = callRead6Axis(daq, v6, false);
        sent = callSendConfig(daq, 1, 1000, 15);
        zeroed = callZero(daq, 0);
        callZeroAll(daq);
        isVirtual = callIsVirtual(daq);
        got = callGetConfig(daq, &config);
    }
    // A read whose pass needed no new memory (the connection reuses its
    // sample storage) may succeed; one that needed memory fails as not open.
    for (int r : {read, readAll, readAll6, read6}) EXPECT_TRUE(r == KINE_NOT_OPEN || r >= 0) << r;
    EXPECT_FALSE(sent);
    EXPECT_FALSE(zeroed);
    EXPECT_FALSE(isVirtual);
    EXPECT_EQ(got, 0);

    EXPECT_TRUE(callIsOpen(daq));
    EXPECT_TRUE(waitFor([&] { return callRead(daq, &p, 0, false) > 0; }, seconds(2)));
    callDeletePackageArray(&all);
    callDeleteIntArray(&axes);
    callKineDAQ_Dispose(daq);
}

}  // namespace
