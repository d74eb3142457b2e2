// SPDX-License-Identifier: MIT
// Command frames sent to a DAQ.
//
// Write frame:  AA <addr hi> <addr lo> <n> <n data bytes> <sum hi> <sum lo>
// Read request: AB <addr hi> <addr lo> <count> <sum hi> <sum lo>
// The checksum is the sum of all preceding bytes modulo 65536, high byte
// first. Every builder appends to the vector and keeps what was there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Block addresses and codes: daq/Protocol.h.
class KineSendUtils {
public:
    static constexpr int kMaxWriteData = 250;  // a write frame is built in 256 bytes

    static uint16_t Checksum(const unsigned char* bytes, size_t count);
    // Appends a write frame; `length` is clamped to 0..kMaxWriteData.
    static void WriteFrame(std::vector<unsigned char>& out, int address, const unsigned char* data, int length);
    static void ReadRequest(std::vector<unsigned char>& out, int address, int count);

    static void SetRequestIdentity(std::vector<unsigned char>& out);  // AB 00 0A 10 00 C5
    static void SetRequestConfig(std::vector<unsigned char>& out);    // AB 00 32 06 00 E3
    static void SetDebugMode(std::vector<unsigned char>& out, bool on);
    // AA 00 32 01 0A 00 E7: byte 0 of the configuration block = 10 (100 Hz);
    // closes the open-time exchange and every identity probe.
    static void SetSpeed100Hz(std::vector<unsigned char>& out);
};
