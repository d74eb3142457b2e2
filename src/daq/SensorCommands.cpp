#include "daq/DecoderCommon.h"
#include "daq/KineSendUtils.h"
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

SensorConfig KineDAQ_private::getConfig() {
    if (!reader.isOpened()) return configuration;
    keptConfiguration = configuration;
    KinePackage sample;
    KinePackage6D sample6D;
    // The 0x37 frames carry the configuration with the data.
    if (version == kine_version_3 || version == kine_version_4)
        read(sample, 0, true);
    else if (version == kine_version_5)
        read6D(sample6D, true);

    if (aaFamily(version)) {
        send171(kBlockConfig, 6);
        KinetraThread::ThreadSleep(kReplyWaitMs);
        if (version == kine_version_8) {
            read6D(sample6D, true);
            KinetraThread::ThreadSleep(kReplyWaitMs);
            read6D(sample6D, true);
        } else {
            read(sample, 0, true);
            KinetraThread::ThreadSleep(kReplyWaitMs);
            read(sample, 0, true);
        }
    }
    return keptConfiguration;
}

bool KineDAQ_private::sendConfig(SensorConfig config) {
    if (!reader.isOpened()) return false;
    KinePackage sample;
    KinePackage6D sample6D;
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
