// SPDX-License-Identifier: MIT
#include "daq/KineDAQ_private.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "daq/KineSendUtils.h"
#include "daq/Protocol.h"
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
// Longest sleep between two looks at a cancel request while open waits.
constexpr uint64_t kCancelSliceMs = 10;

using namespace kine::protocol;

// DAQ speed code of the configuration block -> rate in Hz (unknown codes
// are taken as 100 Hz).
int speedHzFromDaqCode(unsigned char code) {
    const SpeedCode* s = speedOfCode(code);
    return s != nullptr ? s->hz : 100;
}

// DAQ filter code -> cut-off in Hz (unknown codes are taken as 15 Hz); 500,
// 5 and 1 Hz have no SensorConfig field, so setFilter leaves the field as it
// was for them.
int filterHzFromDaqCode(unsigned char code) {
    const FilterCode* f = filterOfCode(code);
    return f != nullptr ? f->hz : 15;
}

}  // namespace

KineDAQ_private::KineDAQ_private() {}

KineDAQ_private::~KineDAQ_private() {
    try {
        close();
    } catch (...) {
        // Nothing can be reported from a destructor; the reader is told to
        // stop by its own destructor.
    }
}

bool KineDAQ_private::open(KPort port, bool debugMode, int baud) {
    {
        std::lock_guard<std::mutex> lock(openMutex);
        if (opening) {  // another thread is opening this connection right now
            openError = KINE_OPEN_ALREADY_OPEN;
            openErrno = 0;
            return false;
        }
        opening = true;
        cancelOpen = false;
    }
    bool ok = false;
    try {
        ok = openConnection(port, debugMode, baud);
    } catch (const std::bad_alloc&) {
        ok = false;
        try {
            failOpen(KINE_OPEN_NO_MEMORY);
        } catch (...) {
        }
    } catch (...) {
        ok = false;
        try {
            failOpen(KINE_OPEN_IO_ERROR);
        } catch (...) {
        }
    }
    {
        std::lock_guard<std::mutex> lock(openMutex);
        opening = false;
        cancelOpen = false;
    }
    openEnded.notify_all();
    return ok;
}

std::string kinePortNodeFor(const std::string& name) {
    char* real = name.empty() ? nullptr : ::realpath(name.c_str(), nullptr);
    if (!real) return name.size() <= KPort::kFieldSize ? name : std::string();
    std::string node(real);
    std::free(real);
    return node.size() <= KPort::kFieldSize ? node : std::string();
}

bool KineDAQ_private::failOpen(kine_open_error reason, int err) {
    closeConnection();
    openError = reason;
    openErrno = err;
    return false;
}

bool KineDAQ_private::openConnection(const KPort& port, bool debugMode, int baud) {
    // A connection whose reader already runs stays as it is. One whose reader
    // ended by itself (a broken connection) is closed first, so that its
    // offsets, sensor count and device lock do not carry over.
    if (reader.isOpened()) {
        openError = KINE_OPEN_ALREADY_OPEN;
        openErrno = 0;
        return false;
    }
    closeConnection();
    openError = KINE_OPEN_OK;
    openErrno = 0;
    decoder.resetPosition();

    decoder.unit.frameSeen = false;
    decoder.unit.dataArrived = false;
    baudRate = baud;
    if (port.portName[0] == '\0') return failOpen(KINE_OPEN_INVALID_ARGUMENT);

    const std::string node = kinePortNodeFor(KPort::readField(port.portName));
    if (node.empty()) return failOpen(KINE_OPEN_INVALID_ARGUMENT);
    char portName[KPort::kFieldSize + 1];
    std::memcpy(portName, node.c_str(), node.size() + 1);

    // The device is this connection's from here until close: a second
    // connection or program is refused at once instead of splitting the
    // byte stream.
    const kine_open_error locked = portLock.acquire(portName, static_cast<unsigned int>(baud));
    if (locked != KINE_OPEN_OK) return failOpen(locked, portLock.lastErrno());

    char code[3] = {port.deviceVersion[0], port.deviceVersion[0] ? port.deviceVersion[1] : '\0', '\0'};
    const long identity = std::strtol(code, nullptr, 10);

    // Units of the 0xAA family are configured before their stream is read;
    // other units are recognised by the decoder from their frames (a unit of
    // the 0xAA family is never switched to another family by its stream).
    kine_version aaVersion = versionOfIdentity(static_cast<int>(identity));
    if (!aaFamily(aaVersion)) aaVersion = kine_version_none;
    decoder.unit.version = aaVersion;
    if (aaVersion != kine_version_none) {
        bool ok = false;
        decoder.configuration = configure170(portName, ok, debugMode);
        if (cancelled()) return failOpen(KINE_OPEN_CANCELLED);
        if (!ok) return failOpen(KINE_OPEN_NO_CONFIG_ANSWER);
    }

    const bool started = reader.startRun(portName, baudRate);
    decoder.unit.virtualSensors = false;
    offsets.push_back(KineSensor());

    const kine_open_error outcome = awaitDecodableFrame(aaVersion);
    if (outcome != KINE_OPEN_OK) return failOpen(outcome);
    const kine_version version = decoder.unit.version;
    if (version == kine_version_3) decoder.configuration = getConfig();

    // The unit's sensor count, whichever decoder ran first.
    decoder.unit.sensorCount = version == kine_version_3 || version == kine_version_6 ? 1 : 4;
    if (version == kine_version_4 || version == kine_version_7 || version == kine_version_8) growOffsetsToFour();
    return started;
}

namespace {

// True when `bytes` hold a whole 0x37-family frame with a good checksum
// (the sum of the bytes between header and checksum). An 0xAA-family
// connection skips such frames, so open looks for them itself to tell a
// unit of the other family from a stream of bad frames.
bool holdsGood37Frame(const std::vector<unsigned char>& bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != kStart37) continue;
        size_t lengths[2] = {0, 0};
        switch (bytes[i + 1]) {
        case kIdentityA: lengths[0] = kFrameALength; break;
        case kIdentityB:
            lengths[0] = kFrameBLength;
            lengths[1] = kFrameBCompensatedLength;
            break;
        case kIdentity6D: lengths[0] = kFrameELength; break;
        default: continue;
        }
        for (size_t len : lengths) {
            if (len == 0 || i + len > bytes.size()) continue;
            uint16_t sum = 0;
            for (size_t k = i + 2; k < i + len - 2; ++k) sum = static_cast<uint16_t>(sum + bytes[k]);
            if (sum == ((bytes[i + len - 2] << 8) | bytes[i + len - 1])) return true;
        }
    }
    return false;
}

}  // namespace

// One decoding pass over everything received since open (the bytes stay
// with the reader). True once a frame arrived that this connection can
// decode: for the 0xAA family a good data frame of the full length of the
// version the device version text selected; otherwise a good 0x37 frame,
// which sets the version.
// What open's passes have seen so far.
struct KineDAQ_private::OpenLook {
    bool sawBytes = false;
    bool sawGoodFrame = false;    // a good data frame of any version
    int32_t lastDataLength = -1;  // of the latest good 0xAA data frame
    void note(const DecodePass& p) {
        sawBytes = sawBytes || p.bytes > 0;
        sawGoodFrame = sawGoodFrame || p.goodFrames > 0;
        if (p.lastDataLength >= 0) lastDataLength = p.lastDataLength;
    }
};

bool KineDAQ_private::decodablePass(kine_version aaVersion, OpenLook& look) {
    if (aaVersion != kine_version_none) {
        look.note(isSixAxis(aaVersion) ? readPass6D(true) : readPass3D(true));
        return look.lastDataLength == fullDataLength(aaVersion);
    }
    const DecodePass p = readPass3D(true);
    look.note(p);
    if (p.result > 0) return p.version == kine_version_3 || p.version == kine_version_4;
    // A six-axis header stops the 3D decoder; only a good six-axis frame counts.
    if (p.result != KINE_READ_OVERFLOW || p.version != kine_version_5) return false;
    const DecodePass p6 = readPass6D(true);
    look.note(p6);
    return p6.result > 0 && p6.version == kine_version_5;
}

// Waits about one second for a decodable frame, polling every 25 ms.
kine_open_error KineDAQ_private::awaitDecodableFrame(kine_version aaVersion) {
    const uint64_t deadline = KinetraThread::MonotonicNow() + kFirstFrameWaitMs;
    OpenLook look;
    bool readerEnded = false;
    for (;;) {
        if (cancelled()) return KINE_OPEN_CANCELLED;
        // Tested before the pass: once the reader has ended, the pass has
        // seen everything it will ever get.
        readerEnded = !reader.isOpened();
        if (decodablePass(aaVersion, look)) return KINE_OPEN_OK;
        if (readerEnded || KinetraThread::MonotonicNow() >= deadline) break;
        if (!pauseUnlessCancelled(kFirstFramePollMs)) return KINE_OPEN_CANCELLED;
    }
    int status = 0;
    const std::vector<unsigned char> received = reader.getBuffer(true, status);
    // A reader that never read ended because its device would not open.
    if (!look.sawBytes)
        return readerEnded && status == ReaderThread::kNothingRead ? KINE_OPEN_IO_ERROR : KINE_OPEN_NO_DATA;
    if (look.sawGoodFrame) return KINE_OPEN_VERSION_MISMATCH;
    if (aaVersion != kine_version_none && holdsGood37Frame(received)) return KINE_OPEN_VERSION_MISMATCH;
    return KINE_OPEN_BAD_CHECKSUMS;
}

// Sleeps `ms` in slices short enough that close() on another thread ends
// an open within a few tens of milliseconds; false when cancelled.
bool KineDAQ_private::pauseUnlessCancelled(unsigned int ms) {
    const uint64_t deadline = KinetraThread::MonotonicNow() + ms;
    for (uint64_t now = KinetraThread::MonotonicNow(); now < deadline; now = KinetraThread::MonotonicNow()) {
        if (cancelled()) return false;
        const uint64_t left = deadline - now;
        KinetraThread::ThreadSleep(static_cast<unsigned int>(left < kCancelSliceMs ? left : kCancelSliceMs));
    }
    return !cancelled();
}

// The channel's WaitForRead in cancellable slices: true once `count` bytes
// wait, false after `timeoutMs` or when cancelled.
bool KineDAQ_private::waitForBytes(KineSerial& channel, unsigned long count, unsigned long timeoutMs) {
    const uint64_t deadline = KinetraThread::MonotonicNow() + timeoutMs;
    for (;;) {
        const uint64_t now = KinetraThread::MonotonicNow();
        const uint64_t left = deadline > now ? deadline - now : 0;
        if (channel.WaitForRead(count, left < kCancelSliceMs ? left : kCancelSliceMs)) return true;
        if (cancelled() || KinetraThread::MonotonicNow() >= deadline) return false;
    }
}

SensorConfig KineDAQ_private::configure170(char* port, bool& ok, bool debugMode) {
    ok = false;
    SensorConfig config;
    KineSerial channel;
    channel.SetPortLocking(false);  // the connection holds the device's lock
    if (port == nullptr || !channel.Open(port, static_cast<unsigned int>(baudRate), false)) return config;
    if (!pauseUnlessCancelled(kConfigSettleMs)) return config;

    std::vector<unsigned char> command;
    std::vector<unsigned char> response;
    // Configuration replies in the response, scanned from the start each
    // time; later replies are applied over earlier ones.
    auto scanReplies = [&response](SensorConfig* apply) {
        int replies = 0;
        for (size_t i = 0; i + 8 < response.size(); ++i) {
            if (response[i] != kStartAA || response[i + 1] != 0x00 || response[i + 2] != kConfigReplyType) continue;
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
        // Up to one second for a reply's worth of bytes, within the overall budget.
        if (waitForBytes(channel, kConfigReplyBytes, std::min(kConfigReplyWaitMs, deadline - now)))
            channel.ReadBytes(response);
        if (cancelled()) return config;
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
        if (now >= drainEnd || !waitForBytes(channel, 1, drainEnd - now)) break;
        channel.ReadBytes(response);
        replies = scanReplies(nullptr);
    }
    channel.Close();
    return config;
}

void KineDAQ_private::close() {
    std::unique_lock<std::mutex> lock(openMutex);
    if (opening) {
        // An open waits on another thread: make it give up, and close only
        // once it has, so the two never touch the connection at once.
        cancelOpen = true;
        openEnded.wait(lock, [this] { return !opening; });
    }
    closeConnection();
}

void KineDAQ_private::closeConnection() {
    const std::lock_guard<std::mutex> waiters(waitingReads);  // after a waiter's pass in progress
    decoder.unit.frameSeen = false;
    decoder.unit.dataArrived = false;
    decoder.unit.virtualSensors = false;
    reader.close();
    reader.Wait();
    decoder.unit.sensorCount = 0;
    offsets.clear();
    portLock.release();
}

kine_open_error KineDAQ_private::lastOpenError() const { return static_cast<kine_open_error>(openError.load()); }

int KineDAQ_private::lastOpenErrno() const { return openErrno.load(); }

bool KineDAQ_private::isOpen() { return reader.isOpened(); }

bool KineDAQ_private::isVirtual() {
    KinePackage sample;
    const uint64_t deadline = KinetraThread::MonotonicNow() + kVirtualWaitMs;
    while (read(sample, 0, true) <= 0 && KinetraThread::MonotonicNow() < deadline)
        KinetraThread::ThreadSleep(kVirtualRetryMs);
    return decoder.unit.virtualSensors;
}

int KineDAQ_private::getSize() const { return static_cast<int>(lastBufferSize); }

int KineDAQ_private::getSensorSize() const { return decoder.unit.sensorCount; }

bool KineDAQ_private::isChksumOK() const { return decoder.unit.checksumOk; }

int KineDAQ_private::getVersion() const { return decoder.unit.version; }

int KineDAQ_private::getBytesPerRead() const {
    const int length = frame37Length(decoder.unit.version);
    return length > 0 ? length : 1;
}

char* KineDAQ_private::getPortName() {
    std::string name = reader.getPortName();
    size_t n = name.size() < KPort::kFieldSize - 1 ? name.size() : KPort::kFieldSize - 1;
    std::memcpy(portNameText, name.data(), n);
    portNameText[n] = '\0';
    return portNameText;
}
