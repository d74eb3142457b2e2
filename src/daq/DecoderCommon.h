// SPDX-License-Identifier: MIT
// Byte steps shared by the 3D and the 6D frame decoder: 16-bit big-endian
// fields, the tail of an 0xAA frame (type, length, payload, checksum) and
// bounded access to its payload.
#pragma once

#include <optional>

#include "daq/FrameDecoder.h"
#include "daq/Protocol.h"

namespace kine::decoder {

using namespace kine::protocol;

// States both decoders use between frames, after a 0x37 start byte and for
// the 0xAA framing (after the start byte).
enum : uint32_t {
    kIdle = 0,
    kHeader = 1,
    kTypeHigh = 153,
    kTypeLow = 154,
    kLength = 155,
    kPayload = 157,
    kChecksumHigh = 158,
    kChecksumLow = 159,
};

enum FrameKind : int32_t { kOtherFrame = -1, kDataFrame = 0, kConfigReply = 1 };

// The integer fields to 0, config and version kept. Same result as
// `p = 0`: with every raw channel 0 the vector recomputed from them is 0 too.
inline void zeroFields(KinePackage& p) {
    for (auto& v : p.raw) v = 0;
    p.x = p.y = p.z = 0;
    p.x2 = p.y2 = p.z2 = 0;
    for (auto& v : p.inconsistent) v = 0;
    p.aux = 0;
}

}  // namespace kine::decoder

// End of a frame, `word` holding the received checksum: records the
// outcome and whether this is the first good frame since open.
inline bool FrameDecoder::frameChecked(DecodePass& pass) {
    unit.checksumOk = word == checksum;
    if (!unit.checksumOk) {
        ++pass.badChecksums;
        return false;
    }
    if (!unit.frameSeen) unit.frameSeen = unit.dataArrived = true;
    return true;
}

// High byte of a 16-bit field: summed into the frame checksum.
inline void FrameDecoder::fieldHigh(uint8_t b) {
    word = static_cast<uint16_t>(b << 8);
    checksum = static_cast<uint16_t>(checksum + b);
}

// Low byte: completes the field in `word` (whose low byte the high step
// left 0, so | is +). Written with different operations on purpose: the
// compiler then keeps the two updates apart instead of merging them into
// one 32-bit access, which would stall on the 16-bit stores just before.
inline void FrameDecoder::fieldLow(uint8_t b) {
    word = static_cast<uint16_t>(word | b);
    checksum = static_cast<uint16_t>(checksum + b);
}

// One byte of a 16-bit field whose high byte comes in an even state `st`:
// after the high byte the decoder moves to the next state and false is
// returned; after the low byte `word` holds the field and true is returned.
inline bool FrameDecoder::fieldByte(uint8_t b, uint32_t st, uint32_t& state) {
    if ((st & 1) == 0) {
        fieldHigh(b);
        state = st + 1;
        return false;
    }
    fieldLow(b);
    return true;
}

inline int32_t FrameDecoder::fieldSigned() const { return static_cast<int16_t>(word); }
inline int32_t FrameDecoder::fieldUnsigned() const { return word; }
// Axis field 0, 1 or 2 of a 0xAA frame: x and y are signed, z is not.
inline void FrameDecoder::setAxis(KinePackage& s, int axis) const {
    if (axis == 0)
        s.x = fieldSigned();
    else if (axis == 1)
        s.y = fieldSigned();
    else
        s.z = fieldUnsigned();
}

// Bytes past the payload of the current frame read as 0: the buffer still
// holds bytes of earlier frames there, which must never be decoded.
inline uint16_t FrameDecoder::payloadByte(int i) const { return i >= 0 && i < payloadReceived ? payload[i] : 0; }

inline int32_t FrameDecoder::payloadUnsigned(int i) const {
    return static_cast<int32_t>((payloadByte(i) << 8) | payloadByte(i + 1));
}

inline int32_t FrameDecoder::payloadSigned(int i) const {
    return static_cast<int16_t>(static_cast<uint16_t>(payloadUnsigned(i)));
}

// A byte between frames (state kIdle): an 0xAA start byte begins an 0xAA
// frame and its checksum, and the function returns true; a 0x37 start byte
// moves to kHeader. An 0xAA-family stream resynchronises on its next 0xAA
// frame: 0x37 there is payload, never a header.
inline bool FrameDecoder::frameStart(uint8_t b, uint32_t& state) {
    using namespace kine::decoder;
    if (b == kStartAA) {
        checksum = kStartAA;
        state = kTypeHigh;
        return true;
    }
    if (b == kStart37 && !aaFamily(unit.version)) state = kHeader;
    return false;
}

// The high byte of an 0xAA frame's type. A byte above 15 is no frame type:
// the frame is abandoned (back to kIdle, the byte not looked at again) and
// the function returns false.
inline bool FrameDecoder::aaTypeHigh(uint8_t b, uint32_t& state) {
    using namespace kine::decoder;
    if (b > 15) {
        state = kIdle;
        return false;
    }
    fieldHigh(b);
    state = kTypeLow;
    return true;
}

// Payload bytes of the current 0xAA frame from `at` (state kPayload) up to
// `end`, in one run; returns where the payload or the bytes ended. A
// length of 0 still takes one payload byte.
inline const uint8_t* FrameDecoder::aaPayload(const uint8_t* at, const uint8_t* end, uint32_t& state) {
    using namespace kine::decoder;
    int32_t i = payloadIndex;
    uint16_t sum = checksum;
    for (; at != end; ++i) {
        const uint8_t b = *at++;
        sum = static_cast<uint16_t>(sum + b);
        payload[i] = b;
        if (i >= payloadLength - 1) {
            payloadReceived = i + 1;
            payloadIndex = 0;
            checksum = sum;
            state = kChecksumHigh;
            return at;
        }
    }
    payloadReceived = payloadIndex = i;
    checksum = sum;
    return at;
}

// One byte of an 0xAA frame in the states after the type's high byte,
// except the payload's; `state` is the decoder's position.
// Returns true when it was the last byte: `word` then holds the received
// checksum and `checksum` the computed one.
inline bool FrameDecoder::aaFrameByte(uint8_t b, uint32_t& state) {
    using namespace kine::decoder;
    switch (state) {
    case kTypeLow:
        fieldLow(b);
        frameKind = word == kDataType ? kDataFrame : word == kConfigReplyType ? kConfigReply : kOtherFrame;
        state = kLength;
        return false;
    case kLength:
        checksum = static_cast<uint16_t>(checksum + b);
        payloadLength = b;
        payloadIndex = 0;
        payloadReceived = 0;
        state = kPayload;
        return false;
    case kChecksumHigh:
        word = static_cast<uint16_t>(b << 8);  // not summed
        state = kChecksumLow;
        return false;
    case kChecksumLow:
        word = static_cast<uint16_t>(word + b);
        state = kIdle;
        return true;
    default: return false;
    }
}

template <class Step>
DecodePass FrameDecoder::runPass(size_t bytes, bool keep, Step step) {
    DecodePass pass;
    pass.bytes = bytes;
    std::optional<FrameDecoder> trial;
    FrameDecoder& d = keep ? trial.emplace(*this) : *this;
    step(d, pass);
    pass.configuration = d.configuration;
    pass.version = d.unit.version;
    pass.sensorCount = d.unit.sensorCount;
    if (keep) unit = d.unit;
    return pass;
}
