// SPDX-License-Identifier: MIT
// Fault injection against a DAQ connection, with the simulated DAQ as the
// faulty device: hang-ups, silence, garbage, bad checksums, a device that
// stops taking what the host writes, unplugging while open waits, many
// open/close cycles and closing while the reader thread reads. Each test
// checks that what was delivered is sound, that nothing hangs, and that no
// descriptor or thread is left behind.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <random>
#include <thread>

#include "daq/KineDAQ_private.h"
#include "kine/KineDAQ.h"
#include "kine/kine_c.h"
#include "kine/kine_result.h"
#include "kine_sim/simulated_daq.h"
#include "support/byte_streamer.h"  // msSince
#include "support/pty_pair.h"

namespace {

using namespace std::chrono;
using kine_sim::Channel;
using kine_sim::SimulatedDaq;
using kine_test::msSince;
using kine_test::waitFor;

// Descriptors and threads of the process when the test starts; the test's
// last check is that both are back to these counts.
class DaqFault : public ::testing::Test {
protected:
    void SetUp() override {
        fds_ = kine_test::openDescriptorCount();
        threads_ = kine_test::threadCount();
    }
    void expectNothingLeft() {
        EXPECT_TRUE(
            waitFor([&] { return kine_test::openDescriptorCount() == fds_ && kine_test::threadCount() == threads_; },
                    seconds(5)))
            << "descriptors " << kine_test::openDescriptorCount() << " (were " << fds_ << "), threads "
            << kine_test::threadCount() << " (were " << threads_ << ")";
    }

private:
    int fds_ = 0;
    int threads_ = 0;
};

KPort portFor(const SimulatedDaq& sim) {
    KPort p;
    KPort::storeField(p.portName, sim.devicePath());
    KPort::storeField(p.deviceVersion, sim.deviceVersionText());
    return p;
}

// open waits one second for the first frame; on a starved machine that can
// pass without one, so a test gives it three tries, as an application would.
bool openPatiently(KineDAQ& daq, const SimulatedDaq& sim) {
    for (int attempt = 0; attempt < 3; ++attempt)
        if (daq.open(portFor(sim))) return true;
    return false;
}

bool isSixAxis(int version) { return version == 5 || version == 8; }

// A unit whose frames are numbered: aux of sensor 0 carries 1, 2, 3, ... so
// each delivered sample tells which frame it came from. The other channels
// are constant.
std::unique_ptr<SimulatedDaq> numberedSim(int version, int speedHz = 1000) {
    SimulatedDaq::Options o;
    o.version = version;
    o.speedHz = speedHz;
    auto sim = std::make_unique<SimulatedDaq>(o);
    kine_sim::Values6D v;
    v.Fx = 11, v.Fy = -22, v.Fz = 33, v.Tx = -44, v.Ty = 55, v.Tz = -66;
    for (int k = 0; k < 4; ++k) {
        auto& s = v.sensors[k];
        s.x = -100 - k, s.y = 200 + k, s.z = 3000 + k, s.aux = 0;
        for (int i = 0; i < 8; ++i) s.raw[i] = 1000 + 10 * i + k;
    }
    sim->setConstant(v);
    std::vector<int32_t> numbers(60000);
    std::iota(numbers.begin(), numbers.end(), 1);
    sim->feed(Channel::aux, numbers, 0);
    return sim;
}

// Reads every sample once (keep = false) and checks each against the unit's
// constant channels, recording its frame number.
class Reader {
public:
    Reader(KineDAQ& daq, int version) : daq_(daq), version_(version) {}
    ~Reader() {
        delete[] samples_;
        delete[] samples6D_;
    }

    // One read; returns its result.
    int poll() {
        int r;
        if (isSixAxis(version_)) {
            r = daq_.readAll6D(samples6D_, false);
            for (int i = 0; i < r; ++i)
                take(samples6D_[i].sensors[0], samples6D_[i].Fx == 11 && samples6D_[i].Tz == -66);
        } else {
            r = daq_.readAll(samples_, false);
            for (int i = 0; i < r; ++i) take(samples_[i], true);
        }
        return r;
    }
    // Reads until `count` more samples have arrived or `timeout` passes;
    // results down to `lowest` are taken as part of the fault.
    ::testing::AssertionResult collect(size_t count, milliseconds timeout, int lowest = 0) {
        const size_t target = numbers.size() + count;
        int r = 0;
        if (waitFor([&] { return (r = poll()) >= lowest && numbers.size() >= target; }, timeout, milliseconds(5)))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "last read " << r << ", " << numbers.size() << " samples of " << target << ", " << bad << " bad";
    }
    // Frame numbers strictly increasing; with `consecutive` also without gaps.
    ::testing::AssertionResult inOrder(bool consecutive) const {
        for (size_t i = 1; i < numbers.size(); ++i)
            if (numbers[i] <= numbers[i - 1] || (consecutive && numbers[i] != numbers[i - 1] + 1))
                return ::testing::AssertionFailure()
                       << "frame " << numbers[i] << " after frame " << numbers[i - 1] << " (sample " << i << ")";
        return ::testing::AssertionSuccess();
    }

    std::vector<int32_t> numbers;
    int bad = 0;  // samples whose constant channels were wrong

private:
    void take(const KinePackage& s, bool axesOk) {
        // Raw channels come out of every version (the four-sensor raw mode
        // computes x, y, z from them); raw[1] is 1010 for sensor 0.
        if (!axesOk || s.raw[1] != 1010) ++bad;
        numbers.push_back(s.aux);
    }

    KineDAQ& daq_;
    int version_;
    KinePackage* samples_ = nullptr;
    KinePackage6D* samples6D_ = nullptr;
};

// Enough samples to judge a stream by, few enough that a loaded machine does
// not starve it past the silence limit meanwhile: open leaves the 0xAA
// family at 100 frames per second.
size_t samplesToCheck(int version) { return version >= 6 ? 60 : 150; }

class EveryVersion : public DaqFault, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Faults, EveryVersion, ::testing::Range(3, 9));

// The cable is pulled while a frame is halfway through: what was delivered
// is whole and in order, the connection ends by itself, nothing hangs.
TEST_P(EveryVersion, HangUpMidFrame) {
    {
        auto sim = numberedSim(GetParam());
        KineDAQ daq;
        ASSERT_TRUE(openPatiently(daq, *sim));
        // Frames now arrive in 7-byte pieces 2 ms apart: most instants fall inside one.
        sim->setChunking({7}, milliseconds(2));
        Reader reader(daq, GetParam());
        ASSERT_TRUE(reader.collect(20, seconds(10)));
        sim->hangUp();
        ASSERT_TRUE(waitFor([&] { return reader.poll() == KINE_NOT_OPEN; }, seconds(3)));
        EXPECT_TRUE(reader.inOrder(true));
        EXPECT_EQ(reader.bad, 0);
    }
    expectNothingLeft();
}

// Half of the frames carry a wrong checksum: every delivered sample is one
// the unit sent, in order, and roughly half of them arrive.
TEST_P(EveryVersion, HalfTheChecksumsBad) {
    {
        auto sim = numberedSim(GetParam());
        KineDAQ daq;
        ASSERT_TRUE(openPatiently(daq, *sim));
        sim->setChecksumErrorRate(0.5, 7);
        Reader reader(daq, GetParam());
        reader.poll();  // what came before the errors started
        reader.numbers.clear();
        ASSERT_TRUE(reader.collect(samplesToCheck(GetParam()), seconds(20)));
        EXPECT_TRUE(reader.inOrder(false));
        EXPECT_EQ(reader.bad, 0);
        const double share = double(reader.numbers.size()) / double(reader.numbers.back() - reader.numbers.front() + 1);
        EXPECT_GT(share, 0.3);
        EXPECT_LT(share, 0.7);
    }
    expectNothingLeft();
}

// 16 KB of random bytes between two frames: the decoder finds its way back,
// no sample is made of garbage, and the stream goes on.
TEST_P(EveryVersion, GarbageFlood) {
    {
        auto sim = numberedSim(GetParam());
        KineDAQ daq;
        ASSERT_TRUE(openPatiently(daq, *sim));
        Reader reader(daq, GetParam());
        ASSERT_TRUE(reader.collect(20, seconds(10)));
        std::vector<uint8_t> junk(16 * 1024);
        std::mt19937 rng(17);
        for (auto& b : junk) b = static_cast<uint8_t>(rng());
        sim->injectGarbage(junk);
        // -1 is allowed while the garbage passes (a six-axis header met by a 3-axis read).
        ASSERT_TRUE(reader.collect(samplesToCheck(GetParam()), seconds(20), KINE_READ_OVERFLOW));
        EXPECT_TRUE(daq.isOpen());
        EXPECT_TRUE(reader.inOrder(false));
        EXPECT_EQ(reader.bad, 0);
    }
    expectNothingLeft();
}

// A pause shorter than the silence limit loses nothing; a longer one ends
// the connection, which then opens again.
TEST_F(DaqFault, Silence) {
    {
        auto sim = numberedSim(3);
        KineDAQ daq;
        ASSERT_TRUE(openPatiently(daq, *sim));
        Reader reader(daq, 3);
        ASSERT_TRUE(reader.collect(20, seconds(10)));
        sim->setSilent(true);
        std::this_thread::sleep_for(milliseconds(200));  // the fault itself: a 200 ms pause
        sim->setSilent(false);
        ASSERT_TRUE(reader.collect(200, seconds(10)));
        EXPECT_TRUE(daq.isOpen());
        EXPECT_TRUE(reader.inOrder(true));

        sim->setSilent(true);
        const auto t0 = steady_clock::now();
        ASSERT_TRUE(waitFor([&] { return reader.poll() == KINE_NOT_OPEN; }, seconds(5)));
        EXPECT_GE(msSince(t0), 450);
        EXPECT_TRUE(reader.inOrder(true));
        sim->setSilent(false);
        daq.close();
        ASSERT_TRUE(openPatiently(daq, *sim));
        ASSERT_TRUE(reader.collect(20, seconds(10)));
        EXPECT_TRUE(reader.inOrder(false));
        EXPECT_EQ(reader.bad, 0);
    }
    expectNothingLeft();
}

// Fills the pty's buffer towards the device through a descriptor of our own,
// so that the host's next writes find no room.
void fillTowardsDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::vector<uint8_t> zeros(4096, 0);  // stray bytes to an 0xAA-family unit
    while (::write(fd, zeros.data(), zeros.size()) > 0) {
    }
    ::close(fd);
}

// A device that takes nothing the host writes, then takes it slowly: the
// stream keeps coming, a command gives up in bounded time, and once the
// device drains its input a command goes through.
TEST_F(DaqFault, DeviceTakesWritesSlowlyOrNotAtAll) {
    {
        auto sim = numberedSim(7, 100);
        KineDAQ daq;
        ASSERT_TRUE(openPatiently(daq, *sim));
        Reader reader(daq, 7);
        ASSERT_TRUE(reader.collect(5, seconds(10)));

        sim->throttleInput(0, milliseconds(10));
        fillTowardsDevice(sim->devicePath());
        SensorConfig wanted = daq.getConfig();
        wanted.setFilter(50);
        const auto t0 = steady_clock::now();
        EXPECT_FALSE(daq.sendConfig(wanted));
        EXPECT_LT(msSince(t0), 3000);
        // sendConfig consumed the samples before it; from here on none may be missing.
        reader.numbers.clear();
        ASSERT_TRUE(reader.collect(50, seconds(10)));
        EXPECT_TRUE(daq.isOpen());
        EXPECT_TRUE(reader.inOrder(true));

        sim->throttleInput(2048, milliseconds(10));
        ASSERT_TRUE(waitFor([&] { return daq.sendConfig(wanted); }, seconds(30), milliseconds(50)));
        EXPECT_EQ(sim->configByte() & 0x06, wanted.to_uin8_t() & 0x06);
        reader.numbers.clear();
        ASSERT_TRUE(reader.collect(20, seconds(10)));
        EXPECT_TRUE(reader.inOrder(true));
        EXPECT_EQ(reader.bad, 0);
    }
    expectNothingLeft();
}

// The device goes away while open waits: for the configuration exchange of
// the 0xAA family, for the first frame of the 0x37 family. open gives up
// soon and leaves nothing behind.
TEST_P(EveryVersion, UnplugWhileOpenWaits) {
    {
        auto sim = numberedSim(GetParam());
        sim->setSilent(true);  // requests go unanswered, no frame comes
        KineDAQ daq;
        auto opened = std::async(std::launch::async, [&] { return daq.open(portFor(*sim)); });
        if (GetParam() >= 6)
            ASSERT_TRUE(waitFor([&] { return !sim->received().empty(); }, seconds(10)));
        else
            std::this_thread::sleep_for(milliseconds(100));  // inside the one-second first-frame wait
        const auto t0 = steady_clock::now();
        sim->hangUp();
        ASSERT_EQ(opened.wait_for(seconds(10)), std::future_status::ready);
        EXPECT_FALSE(opened.get());
        EXPECT_LT(msSince(t0), 3000);
        EXPECT_FALSE(daq.isOpen());
        EXPECT_EQ(daq.getSensorSize(), 0);
    }
    expectNothingLeft();
}

// 200 open/close cycles of an 0xAA-family DAQ through the C interface, each
// with its configuration exchange.
TEST_F(DaqFault, TwoHundredOpenCloseCyclesThroughTheCInterface) {
    {
        auto sim = numberedSim(7);
        for (int i = 0; i < 200; ++i) {
            KineDAQHandle* daq = callKineDAQ_Create();
            bool opened = false;
            for (int attempt = 0; attempt < 3 && !opened; ++attempt)
                opened = callOpen(daq, sim->devicePath().c_str(), sim->deviceVersionText());
            ASSERT_TRUE(opened) << i;
            if (i % 2) callClose(daq);  // otherwise disposing closes it
            callKineDAQ_Dispose(daq);
        }
    }
    expectNothingLeft();
}

// close() and destruction while the reader thread is inside a read: with
// frames streaming, with frames arriving in pieces, and with a silent device
// (the reader waiting out its silence limit).
TEST_F(DaqFault, CloseAndDestructionDuringReads) {
    {
        auto sim = numberedSim(4);
        std::mt19937 rng(3);
        for (int i = 0; i < 30; ++i) {
            const int mode = i % 3;  // 0 whole frames, 1 frames in pieces, 2 silent
            if (mode == 1)
                sim->setRandomChunking(9, static_cast<uint32_t>(i), microseconds(300));
            else
                sim->setChunking({});
            auto daq = std::make_unique<KineDAQ>();
            ASSERT_TRUE(openPatiently(*daq, *sim)) << i;
            sim->setSilent(mode == 2);
            std::this_thread::sleep_for(microseconds(rng() % 20000));  // a random instant of the stream
            const auto t0 = steady_clock::now();
            if (i % 2) daq->close();
            daq.reset();
            EXPECT_LT(msSince(t0), 5000) << i;
            sim->setSilent(false);
        }
    }
    expectNothingLeft();
}

// The reader's own operations from two other threads while its owner starts
// and stops it again and again, then destroys it while it runs.
TEST_F(DaqFault, ReaderOperationsRaceStartAndStop) {
    {
        auto sim = numberedSim(7);  // takes stray bytes without changing anything
        auto reader = std::make_unique<ReaderThread>();
        std::atomic<bool> stop{false};
        auto hammer = [&](bool writer) {
            unsigned char stray[2] = {0x00, 0x01};
            for (unsigned n = 0; !stop; ++n) {
                int status;
                reader->getBuffer(writer, status);
                if (writer && n % 64 == 0) reader->writeByteArray(stray, 2);
                reader->isConfWritten();
                reader->isOpened();
                reader->getPortName();
            }
        };
        std::thread a(hammer, false), b(hammer, true);
        for (int i = 0; i < 50; ++i) {
            ASSERT_TRUE(reader->startRun(sim->devicePath(), 1000000));
            std::this_thread::sleep_for(microseconds(500 * (i % 7)));  // a random instant of the run
            reader->close();
            reader->Wait();
        }
        reader->startRun(sim->devicePath(), 1000000);
        stop = true;
        a.join();
        b.join();
        reader.reset();  // its destructor ends the running thread
    }
    expectNothingLeft();
}

}  // namespace
