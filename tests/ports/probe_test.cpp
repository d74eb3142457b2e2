// SPDX-License-Identifier: MIT
// The identity exchange of a probe, against a scripted device that answers
// each identity request with a chosen piece of reply.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "daq/KineSendUtils.h"
#include "kine_sim/frames.h"
#include "ports/KinePorts_private.h"
#include "support/fake_port_tree.h"
#include "support/pty_pair.h"
#include "transport/KineSerial.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes command(void (*build)(std::vector<unsigned char>&)) {
    std::vector<unsigned char> v;
    build(v);
    return v;
}

size_t count(const Bytes& haystack, const Bytes& needle) {
    size_t n = 0;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        n += std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<long>(i));
    return n;
}

// Sends 300 bytes without data headers (so the passive read finds no
// stream), then answers the n-th identity request with replies[n], if any.
class ScriptedDevice {
public:
    ScriptedDevice(kine_test::PtyPair& pty, std::vector<Bytes> replies) : pty_(pty), replies_(std::move(replies)) {
        pty_.write(Bytes(300, 0x00));
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedDevice() { finish(); }
    // Everything the host has sent; ends the script.
    Bytes received() {
        finish();
        const Bytes rest = pty_.readAvailable();
        received_.insert(received_.end(), rest.begin(), rest.end());
        return received_;
    }

private:
    void finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void serve() {
        const Bytes request = command(KineSendUtils::SetRequestIdentity);
        size_t answered = 0;
        while (!stop_) {
            const Bytes got = pty_.read(64, std::chrono::milliseconds(5));
            received_.insert(received_.end(), got.begin(), got.end());
            for (size_t n = count(received_, request); answered < n; ++answered)
                if (answered < replies_.size()) pty_.write(replies_[answered]);
        }
    }

    kine_test::PtyPair& pty_;
    std::vector<Bytes> replies_;
    Bytes received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class IdentityProbe : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.use();  // an empty tree: the monitor of this object finds nothing
        ASSERT_TRUE(channel_.Open(pty_.slavePath(), 1000000, false));
    }
    ProbeResult probe() { return monitor_.preprocess170(channel_); }

    kine_test::FakePortTree tree_;
    kine_test::PtyPair pty_;
    KineSerial channel_;
    KinePorts_private monitor_{0, 1000000};
};

// Two data headers are no stream: the device is asked. 19 bytes after the
// first request, a whole reply after the second: the buffer keeps both, and
// the scan from its start finds the version.
TEST_F(IdentityProbe, ReplySplitAcrossAttemptsIsFound) {
    pty_.write(Bytes{55, 68, 1, 2, 55, 68});
    const Bytes reply = kine_sim::encodeIdentityReply(34, "A1B2");
    ScriptedDevice device(pty_, {Bytes(reply.begin(), reply.begin() + 19), reply});
    const ProbeResult found = probe();
    EXPECT_EQ(found.result, 1);
    EXPECT_EQ(found.version, 34);
    EXPECT_EQ(found.serial.compare(0, 4, "A1B2"), 0);
    const Bytes sent = device.received();
    EXPECT_EQ(count(sent, command(KineSendUtils::SetRequestIdentity)), 2u);
    EXPECT_EQ(count(sent, command(KineSendUtils::SetSpeed100Hz)), 1u);  // the closing command
}

TEST_F(IdentityProbe, SilenceEndsTheExchangeWithATimeoutAndNoClosingCommand) {
    ScriptedDevice device(pty_, {});
    EXPECT_EQ(probe().result, -2);
    EXPECT_EQ(channel_.GetLastError(), KineSerial::ReadTimeout);
    const Bytes sent = device.received();
    EXPECT_EQ(count(sent, command(KineSendUtils::SetRequestIdentity)), 1u);
    EXPECT_EQ(count(sent, command(KineSendUtils::SetSpeed100Hz)), 0u);
}

}  // namespace
