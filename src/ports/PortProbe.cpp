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

bool isThreeAxisStream(unsigned char v) { return v == kIdentityA || v == kIdentityB; }
bool isSixAxisStream(unsigned char v) { return v == kIdentity6D; }

}  // namespace

int KinePorts_private::setupSerial(KineSerial& channel, const std::string& portName, int& version) {
    if (!channel.Open(portName, static_cast<unsigned int>(probeBaud_), true)) return 0;
    const int result = preprocess170(channel, version);
    channel.Close();
    return result;
}

int KinePorts_private::preprocess170(KineSerial& channel, int& version) {
    std::vector<unsigned char> stream;
    const int read = channel.ReadBytesCount(stream, kPassiveBytes, kPassiveWaitMs);
    if (read < 0) return read;
    if (stream.size() < 2) return -1;

    int headers = 0;
    int matching = 0;
    for (size_t i = 0; i + 1 < stream.size(); ++i) {
        if (stream[i] != kStart37) continue;
        const unsigned char v = stream[i + 1];
        const bool three = isThreeAxisStream(v);
        const bool six = isSixAxisStream(v);
        if (three || six) {
            ++headers;
            lastSerial_[0] = '\0';
        }
        if ((three && kind_ != 6) || (six && kind_ != 3)) {
            ++matching;
            version = v;
        }
    }
    if (matching >= kMinHeaders) return 1;
    if (headers >= kMinHeaders) return 0;  // a streaming DAQ of the excluded kind
    return askIdentity(channel, version);
}

size_t KinePorts_private::findIdentityReply(const unsigned char* bytes, size_t size) {
    for (size_t p = 0; p + kReplySize <= size; ++p)
        if (bytes[p] == kStartAA && bytes[p + 1] == 0x00 && bytes[p + 2] == kBlockIdentity) return p;
    return std::string::npos;
}

// Debug mode off, then up to 6 identity requests. The replies collect in one
// buffer, so a reply split across attempts is still found.
int KinePorts_private::askIdentity(KineSerial& channel, int& version) {
    std::vector<unsigned char> command;
    KineSendUtils::SetDebugMode(command, false);
    channel.WriteBytes(command);
    ThreadSleep(kDebugOffSettleMs);
    channel.ClearInputBuffer();

    std::vector<unsigned char> reply;
    auto findReply = [&reply]() { return findIdentityReply(reply.data(), reply.size()); };
    int result = 0;
    for (int attempt = 0; attempt < kIdentityAttempts; ++attempt) {
        command.clear();
        KineSendUtils::SetRequestIdentity(command);
        if (channel.WriteBytes(command) == -1) return -1;
        // A DAQ that streams fills 19 bytes long before its reply comes, so
        // the attempt goes on reading until a reply is there or its time is up.
        const uint64_t attemptEnd = MonotonicNow() + kReplyWaitMs;
        size_t p = std::string::npos;
        for (bool first = true;; first = false) {
            const uint64_t now = MonotonicNow();
            const int read = channel.ReadBytesCount(reply, kReplyBytes, now < attemptEnd ? attemptEnd - now : 0);
            if (read < 0 && first) return read;
            if ((p = findReply()) != std::string::npos || read < 0 || MonotonicNow() >= attemptEnd) break;
        }
        if (p == std::string::npos) continue;

        version = reply[p + kVersionOffset];
        std::memset(lastSerial_, 0, sizeof lastSerial_);
        std::memcpy(lastSerial_, &reply[p + kSerialOffset], kSerialLength);
        for (size_t n = kSerialLength; n > 0 && lastSerial_[n - 1] == ' '; --n) lastSerial_[n - 1] = '\0';
        const kine_version v = versionOfIdentity(version);
        const bool six = v == kine_version_8;
        const bool three = v == kine_version_6 || v == kine_version_7;
        result = (six && kind_ != 3) || (three && kind_ != 6) ? 1 : 0;
        break;
    }
    command.clear();
    KineSendUtils::SetSpeed100Hz(command);  // the closing command of every identity exchange
    channel.WriteBytes(command);
    return result;
}

const char* KinePorts_private::versionText(int version) {
    const Identity* identity = identityOf(version);
    return identity != nullptr ? identity->text : "unknown";
}

void KinePorts_private::setVersion(KinetraPortInfo& info, int version) { info.SetDeviceVersion(versionText(version)); }

void KinePorts_private::setVersion(KPort& port, int& version) {
    std::memcpy(port.deviceVersion, versionText(version), 8);  // 7 characters and the NUL
}
