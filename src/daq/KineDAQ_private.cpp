#include "daq/KineDAQ_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "daq/KineSendUtils.h"
#include "threading/KinetraThread.h"
#include "transport/KineSerial.h"

namespace {

// Waits end by a deadline on the monotonic clock, not by a count of sleeps,
// so that neither the time the polls take nor signals change their length.
constexpr uint64_t kFirstFrameWaitMs = 1000;
constexpr unsigned int kFirstFramePollMs = 25;
constexpr int kConfigRequestPasses = 50;
constexpr unsigned long kConfigReplyBytes = 32;
constexpr uint64_t kConfigReplyWaitMs = 1000;
constexpr unsigned int kConfigSettleMs = 33;
constexpr uint64_t kVirtualWaitMs = 600;
constexpr unsigned int kVirtualRetryMs = 30;

// DAQ speed code of the configuration block -> rate in Hz (unknown codes
// are taken as 100 Hz).
int speedHzFromDaqCode(unsigned char code) {
    switch (code) {
    case 1: return 1000;
    case 3: return 333;
    case 33: return 30;
    default: return 100;
    }
}

// DAQ filter code -> cut-off in Hz; 500, 5 and 1 Hz have no SensorConfig
// field, so setFilter leaves the field as it was for them.
int filterHzFromDaqCode(unsigned char code) {
    switch (code) {
    case 0: return 0;
    case 1: return 500;
    case 2: return 150;
    case 3: return 50;
    case 4: return 15;
    case 5: return 5;
    case 6: return 1;
    default: return 15;
    }
}

}  // namespace

KineDAQ_private::KineDAQ_private() {}

KineDAQ_private::~KineDAQ_private() { close(); }

bool KineDAQ_private::open(KPort port, bool debugMode, int baud) {
    // A connection whose reader already runs stays as it is. One whose reader
    // ended by itself (a broken connection) is closed first, so that its
    // offsets and sensor count do not carry over into the new connection.
    if (reader.isOpened()) return false;
    close();
    resetStreamPosition();

    frameSeen = false;
    dataArrived = false;
    baudRate = baud;
    if (port.portName[0] == '\0') return false;

    char portName[KPort::kFieldSize + 1];
    std::memcpy(portName, port.portName, KPort::kFieldSize);
    portName[KPort::kFieldSize] = '\0';

    char code[3] = {port.deviceVersion[0], port.deviceVersion[0] ? port.deviceVersion[1] : '\0', '\0'};
    const long identity = std::strtol(code, nullptr, 10);

    kine_version aaVersion = kine_version_none;
    if (identity == 34) aaVersion = kine_version_7;
    else if (identity == 64) aaVersion = kine_version_8;
    else if (identity == 31) aaVersion = kine_version_6;
    // Other units are recognised by the decoder from their frames (a unit of
    // the 0xAA family is never switched to another family by its stream).
    version = aaVersion;
    if (aaVersion != kine_version_none) {
        bool ok = false;
        configuration = configure170(portName, ok, debugMode);
        if (!ok) return false;
    }

    const bool started = reader.startRun(portName, baudRate);
    virtualSensors = false;
    offsets.push_back(KineSensor());

    KinePackage sample;
    const uint64_t firstFrameDeadline = KinetraThread::MonotonicNow() + kFirstFrameWaitMs;
    while (!dataArrived) {
        read(sample, 0, true);
        if (dataArrived || KinetraThread::MonotonicNow() >= firstFrameDeadline) break;
        KinetraThread::ThreadSleep(kFirstFramePollMs);
    }
    if (version == kine_version_3) configuration = getConfig();
    if (!dataArrived) {
        close();
        return false;
    }
    return started;
}

SensorConfig KineDAQ_private::configure170(char* port, bool& ok, bool debugMode) {
    ok = false;
    SensorConfig config;
    KineSerial channel;
    if (port == nullptr || !channel.Open(port, static_cast<unsigned int>(baudRate), false)) return config;
    KinetraThread::ThreadSleep(kConfigSettleMs);

    std::vector<unsigned char> command;
    std::vector<unsigned char> response;
    // Configuration replies in the response, scanned from the start each
    // time; later replies are applied over earlier ones.
    auto scanReplies = [&response](SensorConfig* apply) {
        int replies = 0;
        for (size_t i = 0; i + 8 < response.size(); ++i) {
            if (response[i] != 0xAA || response[i + 1] != 0x00 || response[i + 2] != 0x32) continue;
            ++replies;
            if (apply == nullptr) continue;
            apply->setMode(response[i + 8]);
            apply->setFilter(filterHzFromDaqCode(response[i + 5]));
            apply->setSpeed(speedHzFromDaqCode(response[i + 4]));
        }
        return replies;
    };
    int requests = 0;
    int replies = 0;
    const uint64_t deadline = KinetraThread::MonotonicNow() + kConfigRequestPasses * kConfigReplyWaitMs;
    for (int pass = 0; pass < kConfigRequestPasses && !ok; ++pass) {
        const uint64_t now = KinetraThread::MonotonicNow();
        if (now >= deadline) break;
        command.clear();
        KineSendUtils::SetRequestConfig(command);
        if (channel.WriteBytes(command) < 0) break;
        ++requests;
        channel.ReadBytesCount(response, kConfigReplyBytes, std::min(kConfigReplyWaitMs, deadline - now));
        replies = scanReplies(&config);
        ok = replies > 0;
    }

    command.clear();
    KineSendUtils::SetDebugMode(command, debugMode);
    channel.WriteBytes(command);
    command.clear();
    KineSendUtils::SetSpeed100Hz(command);
    // The unit runs at 100 Hz from here on; keep what it runs at.
    if (channel.WriteBytes(command) == static_cast<int>(command.size())) config.setSpeed(100);
    if (channel.BytesAvailable() != 0) ok = true;  // the DAQ is sending

    // Replies to earlier requests still on their way describe the unit as it
    // was before these writes: take them off the line here, so that the
    // connection's decoder does not take them for its current configuration.
    const uint64_t drainEnd = KinetraThread::MonotonicNow() + kConfigReplyWaitMs;
    while (replies > 0 && replies < requests) {
        const uint64_t now = KinetraThread::MonotonicNow();
        if (now >= drainEnd || channel.ReadBytesCount(response, 1, drainEnd - now) < 0) break;
        replies = scanReplies(nullptr);
    }
    channel.Close();
    return config;
}

void KineDAQ_private::close() {
    frameSeen = false;
    dataArrived = false;
    virtualSensors = false;
    reader.close();
    reader.Wait();
    sensorCount = 0;
    frameBytes.clear();
    offsets.clear();
}

bool KineDAQ_private::isOpen() { return reader.isOpened(); }

bool KineDAQ_private::isVirtual() {
    KinePackage sample;
    const uint64_t deadline = KinetraThread::MonotonicNow() + kVirtualWaitMs;
    while (read(sample, 0, true) <= 0 && KinetraThread::MonotonicNow() < deadline)
        KinetraThread::ThreadSleep(kVirtualRetryMs);
    return virtualSensors;
}

int KineDAQ_private::getSize() const { return static_cast<int>(lastBufferSize); }

int KineDAQ_private::getSensorSize() const { return sensorCount; }

bool KineDAQ_private::isChksumOK() const { return checksumOk; }

int KineDAQ_private::getVersion() const { return version; }

int KineDAQ_private::getBytesPerRead() const {
    switch (version) {
    case kine_version_3: return 29;
    case kine_version_4: return 45;
    case kine_version_5: return 57;
    default: return 1;
    }
}

char* KineDAQ_private::getPortName() {
    std::string name = reader.getPortName();
    size_t n = name.size() < KPort::kFieldSize - 1 ? name.size() : KPort::kFieldSize - 1;
    std::memcpy(portNameText, name.data(), n);
    portNameText[n] = '\0';
    return portNameText;
}
