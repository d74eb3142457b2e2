// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "daq/ReaderThread.h"
#include "support/byte_streamer.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono;
using kine_test::msSince;
using kine_test::PtyPair;
using kine_test::waitFor;
using Bytes = std::vector<unsigned char>;

size_t buffered(ReaderThread& r) {
    int status;
    return r.getBuffer(true, status).size();
}

int statusOf(ReaderThread& r) {
    int status;
    r.getBuffer(true, status);
    return status;
}

TEST(ReaderThread, GetBufferKeepAndTake) {
    ReaderThread r;
    int status = 99;
    EXPECT_TRUE(r.getBuffer(false, status).empty());
    EXPECT_EQ(status, 0);
    const unsigned char bytes[] = {1, 2, 3};
    r.appendReceived(bytes, 3);
    EXPECT_EQ(r.getBuffer(true, status), (Bytes{1, 2, 3}));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(r.getBuffer(true, status), (Bytes{1, 2, 3}));
    EXPECT_EQ(r.getBuffer(false, status), (Bytes{1, 2, 3}));
    EXPECT_TRUE(r.getBuffer(false, status).empty());
}

TEST(ReaderThread, BufferIsBoundedAt100000Bytes) {
    ReaderThread r;
    Bytes big(99990);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i);
    r.appendReceived(big.data(), big.size());
    Bytes ten(10, 0xA1);
    r.appendReceived(ten.data(), ten.size());  // exactly 100,000: all kept
    int status;
    Bytes got = r.getBuffer(true, status);
    EXPECT_EQ(got.size(), 100000u);
    EXPECT_EQ(status, 1);

    const unsigned char one = 0xB2;
    r.appendReceived(&one, 1);  // one above: the oldest byte goes
    got = r.getBuffer(true, status);
    ASSERT_EQ(got.size(), 100000u);
    EXPECT_EQ(status, ReaderThread::kOverflow);
    EXPECT_EQ(got.front(), 1);
    EXPECT_EQ(got.back(), 0xB2);

    ReaderThread s;
    s.appendReceived(big.data(), big.size());
    Bytes twenty(20, 0xC3);
    s.appendReceived(twenty.data(), twenty.size());  // 100,010: the 20 oldest go
    got = s.getBuffer(false, status);
    ASSERT_EQ(got.size(), 99990u);
    EXPECT_EQ(status, ReaderThread::kOverflow);
    EXPECT_EQ(got.front(), static_cast<unsigned char>(20));
    EXPECT_EQ(got[99969], static_cast<unsigned char>(99989));
    EXPECT_EQ(got.back(), 0xC3);
    s.appendReceived(&one, 1);  // a normal read clears the overflow status
    EXPECT_EQ(statusOf(s), 1);
}

TEST(ReaderThread, WriteQueueArguments) {
    ReaderThread r;
    unsigned char data[3] = {1, 2, 3};
    r.writeByteArray(data, 0);
    r.writeByteArray(data, -3);
    r.writeByteArray(nullptr, 3);
    EXPECT_FALSE(r.isConfWritten());
    EXPECT_FALSE(r.isOpened());
    EXPECT_EQ(r.getPortName(), "");
}

TEST(ReaderThread, EndsAfter550msOfSilence) {
    PtyPair pty;
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    EXPECT_TRUE(r.isOpened());
    // The window opens once the reader has the bytes, after this instant
    // (taking it after the reader's read would make the window look short).
    const auto written = steady_clock::now();
    pty.write(std::vector<uint8_t>{1, 2, 3});
    ASSERT_TRUE(waitFor([&] { return buffered(r) == 3; }, seconds(1)));
    ASSERT_TRUE(waitFor([&] { return !r.isOpened(); }, seconds(5), milliseconds(1)));
    EXPECT_GE(msSince(written), 550);  // how soon after the window: bench/stream_bench idle
    int status;
    EXPECT_TRUE(r.getBuffer(true, status).empty());  // emptied when Run ends
    EXPECT_EQ(status, ReaderThread::kStopped);
    r.Wait();
}

TEST(ReaderThread, OpenFailureEndsAtOnceWithStatusZero) {
    ReaderThread r;
    ASSERT_TRUE(r.startRun("/dev/kine-no-such-device", 1000000));
    ASSERT_TRUE(waitFor([&] { return !r.isOpened(); }, seconds(2)));
    EXPECT_EQ(statusOf(r), 0);
    r.Wait();
}

TEST(ReaderThread, StartRunWhileRunningChangesNothing) {
    PtyPair pty;
    kine_test::ByteStreamer t(pty, 1, milliseconds(2));
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    EXPECT_FALSE(r.startRun("/dev/other", 9600));
    EXPECT_EQ(r.getPortName(), pty.slavePath());
    r.close();
    r.Wait();
    EXPECT_FALSE(r.isOpened());
}

// A queued command goes out on the next pass; the confirmation comes with
// the next normal read after it, but not with a read that overflows.
TEST(ReaderThread, QueuedCommandIsSentAndConfirmed) {
    PtyPair pty;
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    pty.write(std::vector<uint8_t>{0});
    ASSERT_TRUE(waitFor([&] { return statusOf(r) == 1; }, seconds(1)));

    // Nearly fill the buffer first (a normal append, before anything is sent).
    int status;
    r.getBuffer(false, status);
    Bytes fill(99995, 0);
    r.appendReceived(fill.data(), fill.size());

    unsigned char cmd[] = {0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3};
    r.writeByteArray(cmd, sizeof cmd);
    r.writeByte(static_cast<char>(0xA7));
    // Queuing wakes the waiting read: the bytes go out with no input arriving.
    auto sent = pty.read(7, seconds(1));
    EXPECT_EQ(sent, (std::vector<uint8_t>{0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3, 0xA7}));
    EXPECT_FALSE(r.isConfWritten());  // nothing read since the write yet

    // A read that overflows the buffer does not confirm.
    pty.write(std::vector<uint8_t>(20, 2));
    ASSERT_TRUE(waitFor([&] { return statusOf(r) == ReaderThread::kOverflow; }, seconds(1)));
    EXPECT_FALSE(r.isConfWritten());

    r.getBuffer(false, status);
    pty.write(std::vector<uint8_t>{3});
    ASSERT_TRUE(waitFor([&] { return statusOf(r) == 1; }, seconds(1)));
    EXPECT_TRUE(r.isConfWritten());
    EXPECT_FALSE(r.isConfWritten());  // once only
    r.close();
    r.Wait();
}

TEST(ReaderThread, HangUpMidStreamEndsTheThread) {
    PtyPair pty;
    kine_test::ByteStreamer t(pty, 1, milliseconds(2));
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    ASSERT_TRUE(waitFor([&] { return buffered(r) > 10; }, seconds(1)));
    t.stop();
    pty.hangUp();
    ASSERT_TRUE(waitFor([&] { return !r.isOpened(); }, seconds(2)));
    EXPECT_EQ(statusOf(r), ReaderThread::kStopped);
    r.Wait();
}

TEST(ReaderThread, CloseWhileStreamingEndsWithinOnePass) {
    PtyPair pty;
    kine_test::ByteStreamer t(pty, 1, milliseconds(1));
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    ASSERT_TRUE(waitFor([&] { return buffered(r) > 10; }, seconds(1)));
    auto t0 = steady_clock::now();
    r.close();
    r.Wait();
    EXPECT_LT(msSince(t0), 5000);  // how soon: bench/calls_bench
    EXPECT_FALSE(r.isOpened());
    EXPECT_EQ(statusOf(r), 1);  // a requested stop is not a failure
}

TEST(ReaderThread, CloseOnASilentDaqReturnsPromptly) {
    PtyPair pty;
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    const auto written = steady_clock::now();
    pty.write(std::vector<uint8_t>{1});
    ASSERT_TRUE(waitFor([&] { return statusOf(r) == 1; }, seconds(1)));
    std::this_thread::sleep_for(milliseconds(50));  // the reader now waits on silence
    r.close();
    r.Wait();
    // Before the silence window (which counts from the byte's arrival)
    // could have ended it.
    EXPECT_LT(msSince(written), 540);
    EXPECT_EQ(statusOf(r), 1);
}

TEST(ReaderThread, QueuedCommandsDoNotStretchTheSilenceWindow) {
    PtyPair pty;
    ReaderThread r;
    ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000));
    const auto lastByte = steady_clock::now();  // before the window opens
    pty.write(std::vector<uint8_t>{1});
    ASSERT_TRUE(waitFor([&] { return statusOf(r) == 1; }, seconds(1)));
    // Each command wakes the reader and goes out at once; the silence
    // deadline still counts from the last input.
    unsigned char cmd = 0x5A;
    while (r.isOpened() && msSince(lastByte) < 3000) {
        r.writeByteArray(&cmd, 1);
        std::this_thread::sleep_for(milliseconds(40));
    }
    long ms = msSince(lastByte);
    EXPECT_FALSE(r.isOpened());
    EXPECT_GE(ms, 550);
    EXPECT_LT(ms, 1800);  // one window, far from the 3 s of commands
    EXPECT_EQ(statusOf(r), ReaderThread::kStopped);
    EXPECT_GE(pty.readAvailable().size(), 5u);
    r.Wait();
}

TEST(ReaderThread, RestartManyTimesWithoutLeaks) {
    PtyPair pty;
    kine_test::ByteStreamer t(pty, 1, milliseconds(1));
    const int fds = kine_test::openDescriptorCount();
    const int threads = kine_test::threadCount();
    {
        ReaderThread r;
        for (int i = 0; i < 1000; ++i) {
            ASSERT_TRUE(r.startRun(pty.slavePath(), 1000000)) << i;
            if (i % 100 == 0) {
                ASSERT_TRUE(waitFor([&] { return buffered(r) > 0; }, seconds(1)));
            }
            r.close();
            r.Wait();
            ASSERT_FALSE(r.isOpened());
        }
    }
    t.stop();
    EXPECT_EQ(kine_test::openDescriptorCount(), fds);
    EXPECT_TRUE(kine_test::threadCountBecomes(threads - 1)) << kine_test::threadCount();  // the ticker has ended
}

}  // namespace
