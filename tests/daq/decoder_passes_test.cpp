// SPDX-License-Identifier: MIT
// The connection's decoding passes: the reader's bytes through the frame
// decoder, and the reader's status codes, which end a pass before decoding.
#include <gtest/gtest.h>

#include "daq/KineDAQ_private.h"
#include "daq/decoder_values.h"
#include "kine_sim/frames.h"
#include "support/pty_pair.h"

namespace {

using decoder_values::unit;
using decoder_values::values;

using Out = std::deque<KinePackage>[16];

// Bytes into the receive buffer as one read of the reader thread puts them.
void feed(KineDAQ_private& d, const std::vector<uint8_t>& bytes) {
    d.readerThread().appendReceived(bytes.data(), bytes.size());
}

int process(KineDAQ_private& d, Out& out) { return d.smProcess(out, false); }

TEST(Decoder3DStatus, OverflowReturnsMinusOneAndDecodesNothing) {
    KineDAQ_private d;
    const auto frame = kine_sim::encodeFrameA(0x01, values(0));
    std::vector<uint8_t> block;
    while (block.size() + frame.size() <= ReaderThread::kMaxBuffer)
        block.insert(block.end(), frame.begin(), frame.end());
    feed(d, block);
    feed(d, frame);  // over the bound: the oldest bytes go, status -1
    Out out;
    EXPECT_EQ(process(d, out), KINE_READ_OVERFLOW);
    EXPECT_TRUE(out[0].empty());
    // The taken bytes are lost; the next normal read decodes again.
    feed(d, frame);
    Out next;
    EXPECT_EQ(process(d, next), 1);
}

TEST(Decoder3DStatus, StoppedReaderReturnsMinusFour) {
    kine_test::PtyPair pty;
    KineDAQ_private d;
    ASSERT_TRUE(d.readerThread().startRun(pty.slavePath(), 1000000));
    // Once a byte has come through, the reader holds the port open.
    pty.write(std::vector<uint8_t>{0x00});
    ASSERT_TRUE(kine_test::waitFor(
        [&] {
            int status = 0;
            return !d.readerThread().getBuffer(true, status).empty();
        },
        std::chrono::seconds(3)));
    pty.hangUp();
    ASSERT_TRUE(kine_test::waitFor([&] { return !d.readerThread().isOpened(); }, std::chrono::seconds(3)));
    Out out;
    EXPECT_EQ(process(d, out), KINE_READER_STOPPED);
    std::deque<KinePackage6D> out6;
    EXPECT_EQ(d.smProcess6D(out6, false), 0);  // the 6D decoder decodes the (empty) buffer
}

TEST(Decoder6DStatus, NothingReadYetAndOverflow) {
    KineDAQ_private d;
    std::deque<KinePackage6D> out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);  // the reader has read nothing yet

    const auto frame = kine_sim::encodeFrameE(0xB0, unit(0));
    std::vector<uint8_t> block;
    while (block.size() + frame.size() <= ReaderThread::kMaxBuffer)
        block.insert(block.end(), frame.begin(), frame.end());
    feed(d, block);
    feed(d, frame);
    EXPECT_EQ(d.smProcess6D(out, false), KINE_READ_OVERFLOW);
    EXPECT_TRUE(out.empty());
    feed(d, frame);
    EXPECT_EQ(d.smProcess6D(out, false), 1);
}

}  // namespace
