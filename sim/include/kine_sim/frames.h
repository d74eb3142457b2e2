// SPDX-License-Identifier: MIT
// Byte-level encoders for the frames a DAQ sends, and for the command frames a
// host sends to it. Every multi-byte field is big-endian; every checksum is the
// 16-bit wrap-around byte sum, sent high byte first.
//
// Written independently of the library's protocol header (src/daq/Protocol.h)
// on purpose: the simulator checks the library from outside, so a fault in
// the library's tables shows up as a mismatch instead of being shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kine_sim {

// Values of one 3-axis sensor block. Each field is sent as its low 16 bits, so
// signed and unsigned fields are both given as plain integers (-2 and 65534
// produce the same bytes).
struct SensorValues {
    int32_t x = 0, y = 0, z = 0, aux = 0;
    int32_t raw[8] = {0};
};

// Values of a 6-axis unit: the six axes plus the four underlying sensors.
struct Values6D {
    int32_t Fx = 0, Fy = 0, Fz = 0, Tx = 0, Ty = 0, Tz = 0;
    SensorValues sensors[4];
};

// Frame type of an 0xAA data frame, of the configuration reply and of the
// identity reply (which carries the block address as its type).
constexpr uint16_t kDataFrameType = 0x0708;
constexpr uint16_t kConfigBlock = 0x0032;
constexpr uint16_t kIdentityBlock = 0x000A;
constexpr uint16_t kDebugBlock = 0x0037;

// Full payload lengths of the 0xAA data frames.
constexpr size_t kV6PayloadLength = 28;
constexpr size_t kV7PayloadLength = 108;
constexpr size_t kV8PayloadLength = 96;

uint16_t checksum(const uint8_t* data, size_t n);
inline uint16_t checksum(const std::vector<uint8_t>& bytes) { return checksum(bytes.data(), bytes.size()); }

// 0x37 family. The configuration byte goes out unchanged.
// Frame A (version 3): one sensor, 29 bytes.
std::vector<uint8_t> encodeFrameA(uint8_t config, const SensorValues& s);
// Frame B (version 4): four sensors; bit 0 of `config` selects the block
// layout: 0 = raw (raw[0..3], aux; 45 bytes), 1 = compensated (x, y, z, aux; 37 bytes).
std::vector<uint8_t> encodeFrameB(uint8_t config, const SensorValues (&s)[4]);
// Frame E (version 5): six axes, the four aux values, raw[0..3] of each sensor; 57 bytes.
std::vector<uint8_t> encodeFrameE(uint8_t config, const Values6D& v);

// 0xAA framing: AA, type (2 bytes), length = payload size, payload, checksum of
// all bytes before it. An empty payload goes out as length 0 plus one byte 0.
std::vector<uint8_t> encodeAaFrame(uint16_t type, const std::vector<uint8_t>& payload);

// Data frames of type 0x0708 with status bytes S and T. `length` cuts the
// payload to its first `length` bytes (short payloads); a length above the
// full size pads with zero bytes. At most 255.
std::vector<uint8_t> encodeV6Data(uint8_t S, uint8_t T, const SensorValues& s, size_t length = kV6PayloadLength);
std::vector<uint8_t> encodeV7Data(uint8_t S, uint8_t T, const SensorValues (&s)[4], size_t length = kV7PayloadLength);
std::vector<uint8_t> encodeV8Data(uint8_t S, uint8_t T, const Values6D& v, size_t length = kV8PayloadLength);

// Configuration reply: AA 00 32 05 speed filter 00 00 mode, checksum.
std::vector<uint8_t> encodeConfigReply(uint8_t speedCode, uint8_t filterCode, uint8_t mode);
// Identity reply: AA 00 0A 10, then 16 data bytes (the version at frame offset
// 4, the serial number right-padded with spaces at offsets 12..19; a longer
// serial is cut to 8 characters), checksum.
std::vector<uint8_t> encodeIdentityReply(uint8_t version, const std::string& serial);

// Host command frames. Write: AA, block (2 bytes), n, data, checksum (n + 6
// bytes; an empty write is 6 bytes). Read request: AB, block, count, checksum.
std::vector<uint8_t> encodeWriteCommand(uint16_t block, const std::vector<uint8_t>& data);
std::vector<uint8_t> encodeReadRequest(uint16_t block, uint8_t count);

// Codes of the configuration block 0x32 and the one-byte configuration word
// (state bits 7-5, speed field 4-3, filter field 2-1, mode bit 0).
// Rate in frames per second of a speed code (1, 3, 10, 33); 0 for any other code.
int rateForSpeedCode(uint8_t code);
// Speed code for 1000, 333, 100 or 30 Hz; -1 for any other rate.
int speedCodeForRate(int hz);
// Filter code for a cut-off in Hz (0 = none, 500, 150, 50, 15, 5, 1); -1 otherwise.
int filterCodeForCutoff(int hz);
// Configuration word from its fields (only the low bits of each field count).
uint8_t makeConfigByte(int state, int speedField, int filterField, int mode);

}  // namespace kine_sim
