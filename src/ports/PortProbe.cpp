// SPDX-License-Identifier: MIT
// Device probing: is there a sensor DAQ on this port, and of which version?
// A streaming 0x37-family DAQ is recognised from its own data stream
// without a byte written to it; anything else is asked for its identity.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "daq/KineSendUtils.h"
#include "daq/Protocol.h"
#include "ports/KinePorts_private.h"
#include "transport/KineSerial.h"

using namespace kine::protocol;

namespace {

constexpr unsigned long kPassiveBytes = 300;
constexpr unsigned long kPassiveWaitMs = 1500;
constexpr int kMinHeaders = 3;
constexpr unsigned int kDebugOffSettleMs = 55;
constexpr int kIdentityAttempts = 6;
constexpr unsigned long kReplyBytes = 19;  // a reply needs one more: offsets 0 to 19
constexpr unsigned long kReplyWaitMs = 333;
constexpr size_t kReplySize = 20;
constexpr size_t kVersionOffset = 4;
constexpr size_t kSerialOffset = 12;
constexpr size_t kSerialLength = 8;

ProbeResult failedProbe(int result) {
    ProbeResult r;
    r.result = result;
    return r;
}

bool isThreeAxisStream(unsigned char v) { return v == kIdentityA || v == kIdentityB; }
bool isSixAxisStream(unsigned char v) { return v == kIdentity6D; }

}  // namespace

ProbeResult KinePorts_private::setupSerial(KineSerial& channel, const std::string& portName) {
    if (!channel.Open(portName, static_cast<unsigned int>(probeBaud_), true)) return ProbeResult{};
    const ProbeResult result = preprocess170(channel);
    channel.Close();
    return result;
}

ProbeResult KinePorts_private::preprocess170(KineSerial& channel) {
    ProbeResult found;
    std::vector<unsigned char> stream;
    const int read = channel.ReadBytesCount(stream, kPassiveBytes, kPassiveWaitMs);
    if (read < 0) return failedProbe(read);
    if (stream.size() < 2) return failedProbe(-1);

    int headers = 0;
    int matching = 0;
    for (size_t i = 0; i + 1 < stream.size(); ++i) {
        if (stream[i] != kStart37) continue;
        const unsigned char v = stream[i + 1];
        const bool three = isThreeAxisStream(v);
        const bool six = isSixAxisStream(v);
        if (three || six) {
            ++headers;
            if (!found.version) found.version = v;  // an excluded kind still says what it is
        }
        if ((three && kind_ != 6) || (six && kind_ != 3)) {
            ++matching;
            found.version = v;
        }
    }
    if (matching >= kMinHeaders) {
        found.result = 1;
        return found;
    }
    if (headers >= kMinHeaders) return found;  // a streaming DAQ of the excluded kind: result 0
    return askIdentity(channel);
}

size_t KinePorts_private::findIdentityReply(const unsigned char* bytes, size_t size) {
    for (size_t p = 0; p + kReplySize <= size; ++p)
        if (bytes[p] == kStartAA && bytes[p + 1] == 0x00 && bytes[p + 2] == kBlockIdentity) return p;
    return std::string::npos;
}

// Debug mode off, then up to 6 identity requests. The replies collect in one
// buffer, so a reply split across attempts is still found.
ProbeResult KinePorts_private::askIdentity(KineSerial& channel) {
    std::vector<unsigned char> command;
    KineSendUtils::SetDebugMode(command, false);
    channel.WriteBytes(command);
    ThreadSleep(kDebugOffSettleMs);
    channel.ClearInputBuffer();

    std::vector<unsigned char> reply;
    auto findReply = [&reply]() { return findIdentityReply(reply.data(), reply.size()); };
    ProbeResult found;
    for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
        command.clear();
        KineSendUtils::SetRequestIdentity(command);
        if (channel.WriteBytes(command) == -1) return failedProbe(-1);
        // A DAQ that streams fills 19 bytes long before its reply comes, so
        // the attempt goes on reading until a reply is there or its time is up.
        const uint64_t attemptEnd = MonotonicNow() + kReplyWaitMs;
        size_t p = std::string::npos;
        for (bool first = true;; first = false) {
            const uint64_t now = MonotonicNow();
            const int read = channel.ReadBytesCount(reply, kReplyBytes, now < attemptEnd ? attemptEnd - now : 0);
            if (read < 0 && first) return failedProbe(read);
            if ((p = findReply()) != std::string::npos || read < 0 || MonotonicNow() >= attemptEnd) break;
        }
        if (p == std::string::npos) continue;

        found.version = reply[p + kVersionOffset];
        const char* serial = reinterpret_cast<const char*>(&reply[p + kSerialOffset]);
        found.serial.assign(serial, strnlen(serial, kSerialLength));
        const size_t end = found.serial.find_last_not_of(' ');
        found.serial.resize(end == std::string::npos ? 0 : end + 1);
        const kine_version v = versionOfIdentity(found.version);
        const bool six = v == kine_version_8;
        const bool three = v == kine_version_6 || v == kine_version_7;
        found.result = (six && kind_ != 3) || (three && kind_ != 6) ? 1 : 0;
        break;
    }
    command.clear();
    KineSendUtils::SetSpeed100Hz(command);  // the closing command of every identity exchange
    channel.WriteBytes(command);
    return found;
}

const char* KinePorts_private::versionText(int version) {
    const Identity* identity = identityOf(version);
    return identity != nullptr ? identity->text : "unknown";
}

void KinePorts_private::setVersion(KinetraPortInfo& info, int version) { info.SetDeviceVersion(versionText(version)); }

void KinePorts_private::setVersion(KPort& port, int& version) {
    std::memcpy(port.deviceVersion, versionText(version), 8);  // 7 characters and the NUL
}
