// SPDX-License-Identifier: MIT
#include "daq/KineDAQ_private.h"
#include "daq/KineSendUtils.h"
#include "daq/Protocol.h"
#include "threading/KinetraThread.h"

namespace {

constexpr unsigned int kRequestGapMs = 2;
constexpr unsigned int kReplyWaitMs = 50;
constexpr uint64_t kConfirmWaitMs = 2000;
constexpr unsigned int kConfirmPollMs = 10;
constexpr uint8_t kSpeedAndFilterBits = 0x1E;

using namespace kine::protocol;

}  // namespace

// Commands are queued only while the connection is open: the reader empties
// its queue when it starts, so nothing given to a closed connection reaches
// the next unit it opens.
void KineDAQ_private::send170(int address, int length, unsigned char* data) {
    if (!reader.isOpened()) return;
    std::vector<unsigned char> frame;
    KineSendUtils::WriteFrame(frame, address, data, length);
    reader.writeByteArray(frame.data(), static_cast<int>(frame.size()));
}

void KineDAQ_private::send171(int address, int length) {
    if (!reader.isOpened()) return;
    std::vector<unsigned char> frame;
    KineSendUtils::ReadRequest(frame, address, length);
    reader.writeByteArray(frame.data(), static_cast<int>(frame.size()));
    KinetraThread::ThreadSleep(kRequestGapMs);
}

void KineDAQ_private::TurnOffTPDOPacket(std::vector<unsigned char>& out) {
    const unsigned char off = 0;
    KineSendUtils::WriteFrame(out, kBlockConfig, &off, 1);
}

// The configuration where the latest of its passes ended (they keep their
// bytes for the reads).
SensorConfig KineDAQ_private::getConfig() {
    if (!reader.isOpened()) return decoder.configuration;
    SensorConfig seen = decoder.configuration;
    auto look = [this, &seen](bool sixAxis) {
        if (reader.isOpened()) seen = (sixAxis ? readPass6D(true) : readPass3D(true)).configuration;
    };
    // The 0x37 frames carry the configuration with the data.
    const kine_version& version = decoder.unit.version;  // a pass may change it
    if (version == kine_version_3 || version == kine_version_4 || version == kine_version_5)
        look(version == kine_version_5);

    if (aaFamily(version)) {
        const bool sixAxis = version == kine_version_8;
        send171(kBlockConfig, 6);
        KinetraThread::ThreadSleep(kReplyWaitMs);
        look(sixAxis);
        KinetraThread::ThreadSleep(kReplyWaitMs);
        look(sixAxis);
    }
    return seen;
}

bool KineDAQ_private::sendConfig(SensorConfig config) {
    if (!reader.isOpened()) return false;
    KinePackage sample;
    KinePackage6D sample6D;
    const kine_version& version = decoder.unit.version;  // a pass may change it
    if (version == kine_version_3 || version == kine_version_4) read(sample, 0, false);
    if (version == kine_version_5) read6D(sample6D, false);
    if (version == kine_version_6 || version == kine_version_7) read(sample, 0, false);
    if (version == kine_version_8) read6D(sample6D, false);

    const uint8_t requested = config.to_uin8_t();
    if (aaFamily(version)) {
        unsigned char codes[2] = {speedCodeOfField((requested >> 3) & 3), filterCodeOfField((requested >> 1) & 3)};
        send170(kBlockConfig, 2, codes);
    } else {
        reader.writeByte(static_cast<char>(requested));
        const uint64_t deadline = KinetraThread::MonotonicNow() + kConfirmWaitMs;
        while (!reader.isConfWritten() && KinetraThread::MonotonicNow() < deadline)
            KinetraThread::ThreadSleep(kConfirmPollMs);
    }
    KinetraThread::ThreadSleep(kReplyWaitMs);
    const SensorConfig got = getConfig();
    return ((got.to_uin8_t() ^ requested) & kSpeedAndFilterBits) == 0;
}
