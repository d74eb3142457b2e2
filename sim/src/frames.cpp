// SPDX-License-Identifier: MIT
#include "kine_sim/frames.h"

#include <stdexcept>

namespace kine_sim {

namespace {

void put16(std::vector<uint8_t>& out, int32_t value) {
    const auto v = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

// Appends the checksum of out[from..end) to `out`.
void putChecksum(std::vector<uint8_t>& out, size_t from) { put16(out, checksum(out.data() + from, out.size() - from)); }

std::vector<uint8_t> fitPayload(std::vector<uint8_t> payload, size_t length) {
    if (length > 255) throw std::invalid_argument("payload length above 255");
    payload.resize(length, 0);
    return payload;
}

}  // namespace

uint16_t checksum(const uint8_t* data, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += data[i];
    return static_cast<uint16_t>(sum & 0xFFFFu);
}

std::vector<uint8_t> encodeFrameA(uint8_t config, const SensorValues& s) {
    std::vector<uint8_t> f{0x37, 0x44, config};
    f.reserve(29);
    put16(f, s.x);
    put16(f, s.y);
    put16(f, s.z);
    put16(f, s.aux);
    for (int32_t r : s.raw) put16(f, r);
    putChecksum(f, 2);
    return f;
}

std::vector<uint8_t> encodeFrameB(uint8_t config, const SensorValues (&s)[4]) {
    const bool compensated = (config & 1) != 0;
    std::vector<uint8_t> f{0x37, 0x5E, config};
    f.reserve(compensated ? 37 : 45);
    for (const SensorValues& b : s) {
        if (compensated) {
            put16(f, b.x);
            put16(f, b.y);
            put16(f, b.z);
        } else {
            for (int i = 0; i < 4; ++i) put16(f, b.raw[i]);
        }
        put16(f, b.aux);
    }
    putChecksum(f, 2);
    return f;
}

std::vector<uint8_t> encodeFrameE(uint8_t config, const Values6D& v) {
    std::vector<uint8_t> f{0x37, 0x5F, config};
    f.reserve(57);
    for (int32_t axis : {v.Fx, v.Fy, v.Fz, v.Tx, v.Ty, v.Tz}) put16(f, axis);
    for (const SensorValues& s : v.sensors) put16(f, s.aux);
    for (const SensorValues& s : v.sensors)
        for (int i = 0; i < 4; ++i) put16(f, s.raw[i]);
    putChecksum(f, 2);
    return f;
}

std::vector<uint8_t> encodeAaFrame(uint16_t type, const std::vector<uint8_t>& payload) {
    if (payload.size() > 255) throw std::invalid_argument("payload longer than 255 bytes");
    std::vector<uint8_t> f{0xAA, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type & 0xFF),
                           static_cast<uint8_t>(payload.size())};
    f.reserve(payload.size() + 7);
    if (payload.empty())
        f.push_back(0);
    else
        f.insert(f.end(), payload.begin(), payload.end());
    putChecksum(f, 0);
    return f;
}

std::vector<uint8_t> encodeV6Data(uint8_t S, uint8_t T, const SensorValues& s, size_t length) {
    std::vector<uint8_t> p{0, 0, S, T};
    put16(p, s.x);
    put16(p, s.y);
    put16(p, s.z);
    for (int i = 0; i < 4; ++i) put16(p, s.raw[i]);
    put16(p, s.aux);
    for (int i = 4; i < 8; ++i) put16(p, s.raw[i]);
    return encodeAaFrame(kDataFrameType, fitPayload(std::move(p), length));
}

std::vector<uint8_t> encodeV7Data(uint8_t S, uint8_t T, const SensorValues (&s)[4], size_t length) {
    std::vector<uint8_t> p{0, 0, S, T};
    for (const SensorValues& b : s) {
        put16(p, b.x);
        put16(p, b.y);
        put16(p, b.z);
    }
    for (const SensorValues& b : s) {
        for (int i = 0; i < 4; ++i) put16(p, b.raw[i]);
        put16(p, b.aux);
    }
    for (const SensorValues& b : s) {
        for (int i = 4; i < 8; ++i) put16(p, b.raw[i]);
        put16(p, 0);
    }
    return encodeAaFrame(kDataFrameType, fitPayload(std::move(p), length));
}

std::vector<uint8_t> encodeV8Data(uint8_t S, uint8_t T, const Values6D& v, size_t length) {
    std::vector<uint8_t> p{0, 0, S, T};
    for (int32_t axis : {v.Fx, v.Fy, v.Fz, v.Tx, v.Ty, v.Tz}) put16(p, axis);
    for (const SensorValues& s : v.sensors) {
        for (int i = 0; i < 4; ++i) put16(p, s.raw[i]);
        put16(p, s.aux);
    }
    for (const SensorValues& s : v.sensors) {
        for (int i = 4; i < 8; ++i) put16(p, s.raw[i]);
        put16(p, 0);
    }
    return encodeAaFrame(kDataFrameType, fitPayload(std::move(p), length));
}

std::vector<uint8_t> encodeConfigReply(uint8_t speedCode, uint8_t filterCode, uint8_t mode) {
    return encodeAaFrame(kConfigBlock, {speedCode, filterCode, 0, 0, mode});
}

std::vector<uint8_t> encodeIdentityReply(uint8_t version, const std::string& serial) {
    std::vector<uint8_t> data(16, 0);
    data[0] = version;
    for (size_t i = 0; i < 8; ++i) data[8 + i] = i < serial.size() ? static_cast<uint8_t>(serial[i]) : uint8_t{' '};
    return encodeAaFrame(kIdentityBlock, data);
}

std::vector<uint8_t> encodeWriteCommand(uint16_t block, const std::vector<uint8_t>& data) {
    if (data.size() > 255) throw std::invalid_argument("write of more than 255 bytes");
    std::vector<uint8_t> f;
    f.reserve(data.size() + 6);
    f.push_back(0xAA);
    f.push_back(static_cast<uint8_t>(block >> 8));
    f.push_back(static_cast<uint8_t>(block & 0xFF));
    f.push_back(static_cast<uint8_t>(data.size()));
    f.insert(f.end(), data.begin(), data.end());
    putChecksum(f, 0);
    return f;
}

std::vector<uint8_t> encodeReadRequest(uint16_t block, uint8_t count) {
    std::vector<uint8_t> f{0xAB, static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block & 0xFF), count};
    putChecksum(f, 0);
    return f;
}

int rateForSpeedCode(uint8_t code) {
    switch (code) {
    case 1: return 1000;
    case 3: return 333;
    case 10: return 100;
    case 33: return 30;
    default: return 0;
    }
}

int speedCodeForRate(int hz) {
    switch (hz) {
    case 1000: return 1;
    case 333: return 3;
    case 100: return 10;
    case 30: return 33;
    default: return -1;
    }
}

int filterCodeForCutoff(int hz) {
    switch (hz) {
    case 0: return 0;
    case 500: return 1;
    case 150: return 2;
    case 50: return 3;
    case 15: return 4;
    case 5: return 5;
    case 1: return 6;
    default: return -1;
    }
}

uint8_t makeConfigByte(int state, int speedField, int filterField, int mode) {
    return static_cast<uint8_t>(((state & 7) << 5) | ((speedField & 3) << 3) | ((filterField & 3) << 1) | (mode & 1));
}

}  // namespace kine_sim
