// SPDX-License-Identifier: MIT
#include "daq/KineSendUtils.h"

#include "daq/Protocol.h"

using namespace kine::protocol;

namespace {

void appendChecksum(std::vector<unsigned char>& out, size_t frameStart) {
    uint16_t sum = KineSendUtils::Checksum(out.data() + frameStart, out.size() - frameStart);
    out.push_back(static_cast<unsigned char>(sum >> 8));
    out.push_back(static_cast<unsigned char>(sum & 0xFF));
}

void appendHeader(std::vector<unsigned char>& out, unsigned char kind, int address, int count) {
    out.push_back(kind);
    out.push_back(static_cast<unsigned char>((address / 256) & 0xFF));
    out.push_back(static_cast<unsigned char>(address % 256));
    out.push_back(static_cast<unsigned char>(count));
}

}  // namespace

uint16_t KineSendUtils::Checksum(const unsigned char* bytes, size_t count) {
    uint16_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

void KineSendUtils::WriteFrame(std::vector<unsigned char>& out, int address, const unsigned char* data, int length) {
    if (length < 0 || data == nullptr) length = 0;
    if (length > kMaxWriteData) length = kMaxWriteData;
    size_t start = out.size();
    appendHeader(out, kStartAA, address, length);
    out.insert(out.end(), data, data + length);
    appendChecksum(out, start);
}

void KineSendUtils::ReadRequest(std::vector<unsigned char>& out, int address, int count) {
    size_t start = out.size();
    appendHeader(out, kStartReadRequest, address, count);
    appendChecksum(out, start);
}

void KineSendUtils::SetRequestIdentity(std::vector<unsigned char>& out) { ReadRequest(out, kBlockIdentity, 16); }

void KineSendUtils::SetRequestConfig(std::vector<unsigned char>& out) { ReadRequest(out, kBlockConfig, 6); }

void KineSendUtils::SetDebugMode(std::vector<unsigned char>& out, bool on) {
    const unsigned char value = on ? 10 : 0;
    WriteFrame(out, kBlockDebug, &value, 1);
}

void KineSendUtils::SetSpeed100Hz(std::vector<unsigned char>& out) {
    const unsigned char value = 10;
    WriteFrame(out, kBlockConfig, &value, 1);
}
