// SPDX-License-Identifier: MIT
// Deadline timer, timed reads and writes, line readers, hang-ups and high
// descriptors of serial::Serial, on pseudo-terminals with measured times.
#include "serial/unix.h"
#include "serial_test_util.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using kine_test::makeTimeout;
using kine_test::msSince;
using kine_test::PtyPair;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A timed wait ends at its deadline: the upper bound tells it from a hang or
// from a wait for another, much longer timeout; how closely it keeps the
// deadline is no matter for these tests.
constexpr double kSlackMs = 2000.0;
// Bound for "returns without waiting": the timeouts these calls could wait
// out are kLongMs, or none (a read with all timeouts 0 would block).
constexpr double kAtOnceMs = 2000.0;
constexpr uint32_t kLongMs = 10000;

std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Writes `data` to the pty master after `delay`, from a thread that ends by itself.
class DelayedWrite {
public:
    DelayedWrite(PtyPair& pty, milliseconds delay, std::string data)
        : thread_([&pty, delay, data] {
              std::this_thread::sleep_for(delay);
              pty.write(data);
          }) {}
    ~DelayedWrite() { thread_.join(); }

private:
    std::thread thread_;
};

// Milliseconds f() took.
template <typename F>
double timed(F&& f) {
    const auto start = Clock::now();
    f();
    return msSince(start);
}

// Checks that f() takes `expected_ms`: not less, and not much more.
template <typename F>
void expectTakes(double expected_ms, F&& f) {
    const double took = timed(f);
    EXPECT_GE(took, expected_ms - 2.0);
    EXPECT_LT(took, expected_ms + kSlackMs);
}

void waitForQueued(serial::Serial& port, size_t n) {
    ASSERT_TRUE(kine_test::waitFor([&] { return port.available() >= n; }, milliseconds(2000)));
}

// ------------------------------------------------------------ timer

TEST(SerialTimer, DeadlineCarriesWholeSeconds) {
    using serial::MillisecondTimer;
    timespec e = MillisecondTimer::expiry_after(timespec{10, 900000000}, 5000);
    EXPECT_EQ(e.tv_sec, 15);
    EXPECT_EQ(e.tv_nsec, 900000000);
    e = MillisecondTimer::expiry_after(timespec{3, 999999999}, 1);
    EXPECT_EQ(e.tv_sec, 4);
    EXPECT_EQ(e.tv_nsec, 999999);
    e = MillisecondTimer::expiry_after(timespec{7, 100}, 0);
    EXPECT_EQ(e.tv_sec, 7);
    EXPECT_EQ(e.tv_nsec, 100);
    e = MillisecondTimer::expiry_after(timespec{0, 0}, 4294967295u);
    EXPECT_EQ(e.tv_sec, 4294967);
    EXPECT_EQ(e.tv_nsec, 295000000);
}

TEST(SerialTimer, RemainingTruncatesTowardZero) {
    using serial::MillisecondTimer;
    const timespec expiry{15, 900000000};
    EXPECT_EQ(MillisecondTimer::remaining_until(expiry, timespec{10, 900000000}), 5000);
    EXPECT_EQ(MillisecondTimer::remaining_until(expiry, timespec{15, 899000001}), 0);
    EXPECT_EQ(MillisecondTimer::remaining_until(expiry, timespec{15, 898000000}), 2);
    EXPECT_EQ(MillisecondTimer::remaining_until(expiry, timespec{16, 0}), -100);
    EXPECT_EQ(MillisecondTimer::remaining_until(expiry, timespec{14, 950000000}), 950);
}

TEST(SerialTimer, RelativeTimespecs) {
    timespec t = serial::timespec_from_ms(0);
    EXPECT_EQ(t.tv_sec, 0);
    EXPECT_EQ(t.tv_nsec, 0);
    t = serial::timespec_from_ms(1500);
    EXPECT_EQ(t.tv_sec, 1);
    EXPECT_EQ(t.tv_nsec, 500000000);
    t = serial::timespec_from_ms(4294967295u);
    EXPECT_EQ(t.tv_sec, 4294967);
    EXPECT_EQ(t.tv_nsec, 295000000);
}

TEST(SerialTimer, RunsOnTheMonotonicClock) {
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const timespec now = serial::MillisecondTimer::timespec_now();
    EXPECT_LE(std::llabs(static_cast<long long>(now.tv_sec - mono.tv_sec)), 1);

    const auto start = Clock::now();
    const serial::MillisecondTimer timer(150);
    EXPECT_LE(timer.remaining(), 150);
    EXPECT_GT(timer.remaining(), 100);
    ASSERT_TRUE(kine_test::waitFor([&] { return timer.remaining() <= 0; }, milliseconds(1000), milliseconds(1)));
    EXPECT_GE(msSince(start), 149.0);
}

// ------------------------------------------------------------ read timeouts

TEST(SerialRead, ZeroSizeAndZeroTimeoutsReturnAtOnce) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);  // all timeouts 0
    uint8_t buf[16];
    EXPECT_EQ(port.read(buf, 0), 0u);

    EXPECT_LT(timed([&] { EXPECT_EQ(port.read(buf, 10), 0u); }), kAtOnceMs);

    pty.write("abc");
    waitForQueued(port, 3);
    EXPECT_LT(timed([&] { EXPECT_EQ(port.read(buf, 10), 3u); }), kAtOnceMs);
    EXPECT_EQ(std::memcmp(buf, "abc", 3), 0);
}

TEST(SerialRead, ConstantAndPerByteTotals) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600, makeTimeout(kLongMs, 200, 0));
    uint8_t buf[8];
    expectTakes(200.0, [&] { EXPECT_EQ(port.read(buf, 5), 0u); });

    port.setTimeout(makeTimeout(kLongMs, 50, 30));  // 50 + 5 * 30 = 200 ms
    expectTakes(200.0, [&] { EXPECT_EQ(port.read(buf, 5), 0u); });
}

TEST(SerialRead, ShortInterByteTimeoutDoesNotEndTheRead) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(1, 1000, 0));
    pty.write("1234");
    waitForQueued(port, 4);
    uint8_t buf[10];
    expectTakes(1000.0, [&] { EXPECT_EQ(port.read(buf, 10), 4u); });
}

TEST(SerialRead, BytesArrivingLaterCompleteTheReadEarly) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(100, 3000, 0));
    const auto start = Clock::now();
    std::string got;
    std::thread device([&] {  // one thread: the pieces come in order however late it runs
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("abc");
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("def");
    });
    EXPECT_EQ(port.read(got, 6), 6u);
    device.join();
    EXPECT_EQ(got, "abcdef");
    EXPECT_LT(msSince(start), 2000.0);  // not the 3 s total
}

TEST(SerialRead, UnlimitedInterByteWaitsTheMissingByteTimes) {
    PtyPair pty;
    // 9600 8N1: 1.04166 ms a byte. Once the first byte is in, the read sleeps
    // for the 99 missing bytes (103 ms), then takes the whole block at once.
    serial::Serial port(pty.slavePath(), 9600, makeTimeout(serial::Timeout::max(), 5000, 0));
    const pid_t reader = kine_test::currentThreadId();
    auto inPoll = [reader](bool with_fds) {
        unsigned long fds = 0;
        return kine_test::blockedSyscall(reader, &fds) == SYS_ppoll && (fds != 0) == with_fds;
    };
    Clock::time_point first_byte_at;
    bool saw_byte_sleep = false;
    std::thread device([&] {
        if (!kine_test::waitFor([&] { return inPoll(true); }, milliseconds(2000))) return;
        first_byte_at = Clock::now();
        pty.write("A");
        saw_byte_sleep = kine_test::waitFor([&] { return inPoll(false); }, milliseconds(2000));
        pty.write(std::string(99, 'b'));
    });
    std::vector<uint8_t> got;
    EXPECT_EQ(port.read(got, 100), 100u);
    const auto done = Clock::now();
    device.join();
    EXPECT_TRUE(saw_byte_sleep);
    ASSERT_EQ(got.size(), 100u);
    EXPECT_EQ(got.front(), 'A');
    const double took = std::chrono::duration<double, std::milli>(done - first_byte_at).count();
    EXPECT_GE(took, 103.0 - 2.0);
    EXPECT_LT(took, 2500.0);  // well before the 5 s total
}

TEST(SerialRead, WaitByteTimesSleepsCharacterTimes) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    expectTakes(208.332, [&] { port.waitByteTimes(200); });  // 200 * 1041660 ns
}

// Runs a read of 10 bytes into `got` while the master hangs up after 100 ms;
// returns the what() of the exception that ended it.
std::string readThroughHangUp(PtyPair& pty, serial::Serial& port, std::vector<uint8_t>& got) {
    std::thread unplug([&pty] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.hangUp();
    });
    std::string text = "no exception";
    try {
        port.read(got, 10);
    } catch (const std::exception& e) {
        text = e.what();
    }
    unplug.join();
    return text;
}

TEST(SerialRead, HangUpWhileWaitingThrowsDisconnected) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(1, 5000, 0));
    std::vector<uint8_t> got = {7, 7};
    const auto start = Clock::now();
    EXPECT_EQ(readThroughHangUp(pty, port, got),
              "SerialException device reports readiness to read but returned no data (device "
              "disconnected?) failed.");
    EXPECT_LT(msSince(start), 2500.0);             // not the 5 s total
    EXPECT_EQ(got, std::vector<uint8_t>({7, 7}));  // destination untouched

    // Writing to the hung-up line fails the same way.
    port.setTimeout(makeTimeout(0, 0, 0, 500, 0));
    try {
        port.write(std::string("x"));
        ADD_FAILURE() << "write to a hung-up line succeeded";
    } catch (const serial::SerialException& e) {
        EXPECT_STREQ(e.what(),
                     "SerialException device reports readiness to write but returned no data "
                     "(device disconnected?) failed.");
    }
}

TEST(SerialRead, HangUpDuringTheByteTimeStepFailsInAvailable) {
    // Without an inter-byte limit the read asks for the queued count first,
    // which a hung-up line refuses with EIO.
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(serial::Timeout::max(), 5000, 0));
    std::vector<uint8_t> got;
    const auto start = Clock::now();
    const std::string text = readThroughHangUp(pty, port, got);
    EXPECT_EQ(text.rfind(std::string("IO Exception (5): ") + std::strerror(EIO), 0), 0u) << text;
    EXPECT_LT(msSince(start), 2500.0);
    EXPECT_TRUE(got.empty());
}

TEST(SerialRead, WaitReadable) {
    PtyPair pty;
    serial::Serial closed("", 9600, makeTimeout(0, kLongMs, 0));
    // At once, without waiting.
    EXPECT_LT(timed([&] { EXPECT_FALSE(closed.waitReadable()); }), kAtOnceMs);

    serial::Serial port(pty.slavePath(), 9600, makeTimeout(0, 100, 0));
    expectTakes(100.0, [&] { EXPECT_FALSE(port.waitReadable()); });

    pty.write("z");
    port.setTimeout(makeTimeout(0, kLongMs, 0));
    EXPECT_LT(timed([&] { EXPECT_TRUE(port.waitReadable()); }), kAtOnceMs);
}

TEST(SerialRead, ClosedPortRefusesEveryReadAndWrite) {
    serial::Serial port("", 9600);
    uint8_t buf[4] = {};
    std::vector<uint8_t> v;
    std::string s;
    const std::vector<std::function<void()>> reads = {
        [&] { port.read(buf, 4); },         [&] { port.read(v, 4); },
        [&] { port.read(s, 4); },           [&] { port.read(4); },
        [&] { port.readline(s, 4, "\n"); }, [&] { port.readline(4, "\n"); },
        [&] { port.readlines(4, "\n"); },
    };
    for (const auto& r : reads) {
        try {
            r();
            ADD_FAILURE() << "read on a closed port returned";
        } catch (const serial::PortNotOpenedException& e) {
            EXPECT_STREQ(e.what(), "PortNotOpenedException Serial::read failed.");
        }
    }
    const std::vector<std::function<void()>> writes = {
        [&] { port.write(buf, 4); },
        [&] { port.write(std::vector<uint8_t>{1}); },
        [&] { port.write(std::string("x")); },
    };
    for (const auto& w : writes) {
        try {
            w();
            ADD_FAILURE() << "write on a closed port returned";
        } catch (const serial::PortNotOpenedException& e) {
            EXPECT_STREQ(e.what(), "PortNotOpenedException Serial::write failed.");
        }
    }
}

TEST(SerialRead, VectorAndStringVariantsAppend) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(10, 500, 0));
    pty.write("xyzuvw");
    waitForQueued(port, 6);
    std::vector<uint8_t> v = {'o', 'l', 'd'};
    EXPECT_EQ(port.read(v, 2), 2u);
    EXPECT_EQ(v, bytes("oldxy"));
    std::string s = "keep:";
    EXPECT_EQ(port.read(s, 2), 2u);
    EXPECT_EQ(s, "keep:zu");
    EXPECT_EQ(port.read(5), "vw");
}

// ------------------------------------------------------------ writes

TEST(SerialWrite, TimeoutsBoundTheWrite) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000);  // write timeouts 0
    EXPECT_EQ(port.write(std::string("lost")), 0u);
    EXPECT_TRUE(pty.read(4, milliseconds(50)).empty());

    port.setTimeout(makeTimeout(0, 0, 0, kLongMs, 0));
    EXPECT_LT(timed([&] { EXPECT_EQ(port.write(std::vector<uint8_t>()), 0u); }), kAtOnceMs);

    EXPECT_EQ(port.write(std::string("sent")), 4u);
    EXPECT_EQ(pty.read(4, milliseconds(1000)), bytes("sent"));
    const uint8_t raw[] = {1, 2, 3};
    EXPECT_EQ(port.write(raw, 3), 3u);
    EXPECT_EQ(pty.read(3, milliseconds(1000)), std::vector<uint8_t>({1, 2, 3}));
}

TEST(SerialWrite, FullLineReturnsThePartialCountAtTheDeadline) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(0, 0, 0, 200, 0));
    const std::vector<uint8_t> big(4 << 20, 0x55);  // far more than the pty buffers
    size_t written = 0;
    expectTakes(200.0, [&] { written = port.write(big); });
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
}

TEST(SerialWrite, AWriterIsNotHeldUpByAWaitingReader) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(3000, 2000, 0, 500, 0));
    std::atomic<pid_t> reader_tid{0};
    std::atomic<bool> reader_done{false};
    std::thread reader([&] {
        reader_tid = kine_test::currentThreadId();
        uint8_t buf[4];
        port.read(buf, 4);  // waits its 2 s: nothing arrives
        reader_done = true;
    });
    // The reader holds the read lock while it waits in the poll.
    ASSERT_TRUE(kine_test::waitFor(
        [&] { return reader_tid != 0 && kine_test::blockedSyscall(reader_tid) == SYS_ppoll; }, milliseconds(2000)));
    const auto start = Clock::now();
    EXPECT_EQ(port.write(std::string("go")), 2u);
    EXPECT_LT(msSince(start), 1000.0);
    EXPECT_FALSE(reader_done);
    reader.join();
    EXPECT_EQ(pty.read(2, milliseconds(1000)), bytes("go"));
}

// ------------------------------------------------------------ line readers

TEST(SerialReadline, StopsAtEolSizeOrTimeout) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(10, 50, 0));
    pty.write("abc\ndef\r\nghijklmn");
    waitForQueued(port, 17);

    std::string line = "prefix:";
    EXPECT_EQ(port.readline(line, 100, "\n"), 4u);
    EXPECT_EQ(line, "prefix:abc\n");
    EXPECT_EQ(port.readline(100, "\r\n"), "def\r\n");
    EXPECT_EQ(port.readline(3, "\n"), "ghi");
    EXPECT_EQ(port.readline(100, ""), "j");  // an empty eol ends every byte

    // No end of line: the rest comes back after one byte's deadline passes.
    expectTakes(50.0, [&] { EXPECT_EQ(port.readline(100, "\n"), "klmn"); });
}

TEST(SerialReadline, SizeZeroReadsNothing) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(10, 50, 0));
    pty.write("q\n");
    waitForQueued(port, 2);
    std::string line = "same";
    EXPECT_EQ(port.readline(line, 0, "\n"), 0u);
    EXPECT_EQ(line, "same");
    EXPECT_EQ(port.available(), 2u);
    EXPECT_TRUE(port.readlines(0, "\n").empty());
    EXPECT_EQ(port.available(), 2u);
}

TEST(SerialReadlines, SplitsLinesUpToSize) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, makeTimeout(10, 50, 0));

    pty.write("a\nb");
    waitForQueued(port, 3);
    EXPECT_EQ(port.readlines(3, "\n"), (std::vector<std::string>{"a\n", "b"}));

    pty.write("one\ntwo\nthr");
    waitForQueued(port, 11);
    EXPECT_EQ(port.readlines(100, "\n"), (std::vector<std::string>{"one\n", "two\n", "thr"}));

    pty.write("abcd\n");
    waitForQueued(port, 5);
    EXPECT_EQ(port.readlines(3, "\n"), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(port.readlines(100, "\n"), (std::vector<std::string>{"d\n"}));

    pty.write("xyz");
    waitForQueued(port, 3);
    EXPECT_EQ(port.readlines(3, ""), (std::vector<std::string>{"x", "y", "z"}));

    // An end of line is only looked for inside the current line.
    pty.write("aaab");
    waitForQueued(port, 4);
    EXPECT_EQ(port.readlines(4, "aa"), (std::vector<std::string>{"aa", "ab"}));
}

// ------------------------------------------------------------ high descriptors

TEST(SerialDescriptors, PortAboveFdSetsizeWaitsCorrectly) {
    PtyPair pty;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlim_t needed = FD_SETSIZE + 64;
    if (saved.rlim_cur < needed) {
        if (saved.rlim_max < needed) GTEST_SKIP() << "descriptor limit too low";
        rlimit raised = saved;
        raised.rlim_cur = saved.rlim_max;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    // Take every descriptor below FD_SETSIZE, so the port gets a higher one.
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        if (fd >= FD_SETSIZE) {
            ::close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    {
        const std::vector<int> keeper = kine_test::descriptorsOn(pty.slavePath());
        serial::Serial port(pty.slavePath(), 1000000, makeTimeout(5, 150, 0, 200, 0));
        const std::vector<int> all = kine_test::descriptorsOn(pty.slavePath());
        ASSERT_EQ(all.size(), keeper.size() + 1);
        for (int fd : all) {
            if (std::find(keeper.begin(), keeper.end(), fd) == keeper.end()) {
                EXPECT_GE(fd, FD_SETSIZE);
            }
        }

        uint8_t buf[8];
        expectTakes(150.0, [&] { EXPECT_EQ(port.read(buf, 4), 0u); });

        port.setTimeout(makeTimeout(5, 3000, 0, 200, 0));
        {
            DelayedWrite later(pty, milliseconds(30), "hi!");
            EXPECT_EQ(port.read(buf, 3), 3u);
        }
        EXPECT_EQ(std::memcmp(buf, "hi!", 3), 0);
        EXPECT_EQ(port.write(std::string("back")), 4u);
        EXPECT_EQ(pty.read(4, milliseconds(1000)), bytes("back"));

        port.setTimeout(makeTimeout(0, 100, 0));
        expectTakes(100.0, [&] { EXPECT_FALSE(port.waitReadable()); });
    }
    for (int fd : fillers) ::close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

}  // namespace
