// SPDX-License-Identifier: MIT
// The 3D frame decoder: a byte-at-a-time state machine over the reader's
// buffered bytes that turns 0x37 frames (versions 3, 4) and 0xAA frames
// (versions 6, 7, and configuration replies) into one KinePackage per sensor
// and frame, with each sensor's zero offset removed (daq/FrameDecoder.h).
//
// States: 0 between frames; 1 after 0x37; 24..51 Frame A (0x37 0x44);
// 52..95 Frame B (0x37 0x5E); 153..159 an 0xAA frame.
#include <array>

#include "daq/DecoderCommon.h"

using namespace kine::decoder;

namespace {

enum : uint32_t {
    kConfigA = 24,
    kFieldsA = 26,  // x 26-27, y 28-29, z 30-31
    kRawA = 32,     // raw[0..7] 32-47
    kAuxA = 48,     // aux 48-49
    kChecksumA = 50,
    kFirstB = 52,
    kConfigB = 53,
    kBlocksB = 54,  // four blocks of five field positions (two states each), 54-93
    kChecksumB = 94,
};

const KineSensor kZeroOffset;

// Sensor and field position (0..4) of each Frame B block state, so that the
// per-byte step needs no division.
struct BlockPosition {
    uint8_t sensor, field;
};
constexpr std::array<BlockPosition, kChecksumB - kBlocksB> kBlockPositions = [] {
    std::array<BlockPosition, kChecksumB - kBlocksB> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = {static_cast<uint8_t>(i / 10), static_cast<uint8_t>(i % 10 / 2)};
    return t;
}();

// The zero offset of sensor k, or a zero offset when none is stored (a
// stream may name more sensors than the connection has offsets for).
const KinePackage& offsetFor(const FrameDecoder::Offsets& offsets, int k) {
    if (k >= 0 && static_cast<size_t>(k) < offsets.size()) return offsets[static_cast<size_t>(k)];
    return kZeroOffset;
}

void growOffsetsToFour(FrameDecoder::Offsets& offsets) {
    while (offsets.size() < 4) offsets.push_back(KineSensor());
}

}  // namespace

// A unit of four sensors read as separate streams, with an offset each.
void FrameDecoder::useFourSensors(Offsets& offsets) {
    unit.sensorCount = 4;
    unit.virtualSensors = true;
    growOffsetsToFour(offsets);
}

void FrameDecoder::resetPosition() {
    const StreamUnit keptUnit = unit;
    const SensorConfig keptConfiguration = configuration;
    *this = FrameDecoder();
    unit = keptUnit;
    configuration = keptConfiguration;
}

void FrameDecoder::ClearStateMachinePackages3D() {
    for (auto& s : workSamples) zeroFields(s);
}

void FrameDecoder::applyStatusBits(uint8_t S, uint8_t T) {
    int state = state_ok;
    if (S & 0x02) state = 1;
    if (S & 0x01) state = 2;
    if (T & 0x80) state = 3;
    if ((S & 0xE0) == 0x40) state = 6;
    if ((S & 0x1C) == 0x04)
        state = 0;
    else if ((S & 0x1C) == 0x08)
        state = 4;
    configuration = SensorConfig::fromByte(static_cast<uint8_t>((state << 5) | (configuration.to_uin8_t() & 0x1F)));
}

// Fields of a configuration reply; an unknown code is taken as the field
// value itself, and a filter without a field value (500, 5 and 1 Hz) leaves
// the field as it was.
SensorConfig FrameDecoder::configFromReply() const {
    const uint8_t speedCode = static_cast<uint8_t>(payloadByte(0));
    const uint8_t filterCode = static_cast<uint8_t>(payloadByte(1));
    const SpeedCode* knownSpeed = speedOfCode(speedCode);
    const int speed = knownSpeed != nullptr ? knownSpeed->field : speedCode & 3;
    const FilterCode* knownFilter = filterOfCode(filterCode);
    int filter = filterCode & 3;
    if (knownFilter != nullptr)
        filter = knownFilter->field != kNoField ? knownFilter->field : (configuration.to_uin8_t() >> 1) & 3;
    return SensorConfig(state_ok, static_cast<sensor_speed>(speed), static_cast<sensor_filter>(filter),
                        payloadByte(4) != 0 ? mode_compensated : mode_raw);
}

// Data payload of versions 6 (one sensor) and 7 (sensorCount sensors): the
// force vectors of all n sensors first, then each sensor's raw channels
// 0..3 and aux, then each sensor's raw channels 4..7.
template <class Samples>
void FrameDecoder::decodeAaData3D(const Offsets& offsets, Samples (&out)[16], DecodePass& pass) {
    ++pass.goodFrames;
    pass.lastDataLength = payloadLength;
    applyStatusBits(static_cast<uint8_t>(payloadByte(2)), static_cast<uint8_t>(payloadByte(3)));
    for (int k = 0; k < 4; ++k) {
        workSamples[k].version = unit.version;
        workSamples[k].config = configuration;
    }
    const int32_t sensorCount = unit.sensorCount;
    int n;
    if (unit.version == kine_version_6)
        n = 1;
    else if (unit.version == kine_version_7)
        n = sensorCount < 0 ? 0 : sensorCount > 4 ? 4 : sensorCount;
    else
        return;

    const bool signedZ = configuration.getMode() == mode_compensated;
    const bool withRaw = payloadLength > 4 + 6 * n;
    for (int k = 0; k < n; ++k) {
        KinePackage& s = workSamples[k];
        s.x = payloadSigned(4 + 6 * k);
        s.y = payloadSigned(6 + 6 * k);
        s.z = signedZ ? payloadSigned(8 + 6 * k) : payloadUnsigned(8 + 6 * k);
        if (withRaw) {
            const int first = 4 + 6 * n + 10 * k;
            const int second = 4 + 16 * n + 10 * k;
            for (int i = 0; i < 4; ++i) {
                s.raw[i] = payloadUnsigned(first + 2 * i);
                s.raw[4 + i] = payloadUnsigned(second + 2 * i);
            }
            s.aux = payloadUnsigned(first + 8);
        }
        s.x2 = s.x;
        s.y2 = s.y;
        s.z2 = s.z;
    }
    for (int k = 0; k < n; ++k) {
        workSamples[k].saveInconsistent();
        workSamples[k].setInvariant(offsetFor(offsets, k));
        out[k].push_back(workSamples[k]);
    }
}

template <class Samples>
void FrameDecoder::step3D(const std::vector<uint8_t>& bytes, Offsets& offsets, Samples (&out)[16], DecodePass& pass) {
    // A completed frame's working samples are cleared, good checksum or not.
    auto clearWork = [this](int samples) {
        for (int k = 0; k < samples; ++k) zeroFields(workSamples[k]);
    };

    // The position lives in a local while the bytes are decoded and goes
    // back into the decoder when the call ends. A state of the 6D
    // decoder (the connection was read through it) counts as the start.
    const uint32_t at = smState;
    const bool owned =
        at <= kHeader || (at >= kConfigA && at <= kChecksumB + 1) || (at >= kTypeHigh && at <= kChecksumLow);
    uint32_t state = owned ? at : kIdle;

    const uint8_t* next = bytes.data();
    const uint8_t* const end = next + bytes.size();
    while (next != end) {
        const uint8_t b = *next++;
        const uint32_t st = state;
        switch (st) {
        case kIdle:
            // ClearStateMachinePackages3D(), for the four samples the
            // decoder fills; the others are never written.
            clearWork(4);
            if (frameStart(b, state)) workSamples[0].version = unit.version;
            break;

        case kHeader:
            if (b == kIdentityA) {
                unit.version = kine_version_3;
                workSamples[0].version = kine_version_3;
                unit.sensorCount = 1;
                unit.virtualSensors = false;
                state = kConfigA;
            } else if (b == kIdentityB) {
                unit.version = kine_version_4;
                for (int k = 0; k < 4; ++k) workSamples[k].version = kine_version_4;
                unit.virtualSensors = true;
                unit.sensorCount = 4;
                state = kFirstB;
            } else if (b == kIdentity6D) {
                // A 6-axis unit: read through the 6D decoder. The state stays
                // at 1, so the next call continues after the header.
                unit.version = kine_version_5;
                if (!unit.frameSeen) unit.frameSeen = unit.dataArrived = true;
                unit.sensorCount = 1;
                smState = state;
                currentByte = b;
                pass.result = KINE_READ_OVERFLOW;
                return;
            } else {
                unit.virtualSensors = false;
                state = kIdle;
            }
            break;

        // Frame A: configuration, x, y, z, aux, raw[0..7], checksum.
        case kConfigA:
            configuration = SensorConfig::fromByte(b);
            workSamples[0].config = configuration;
            checksum = b;
            state = kFieldsA;
            break;
        case kChecksumA:
        case kChecksumB:
            word = static_cast<uint16_t>(b << 8);  // not summed
            state = st + 1;
            break;
        case kChecksumA + 1: {
            word = static_cast<uint16_t>(word + b);
            state = kIdle;
            if (frameChecked(pass)) {
                ++pass.goodFrames;
                KinePackage& s = workSamples[0];
                s.saveInconsistent();
                s.setInvariant(offsetFor(offsets, 0));
                out[0].push_back(s);
            }
            clearWork(1);
            break;
        }

        // Frame B: configuration, four sensor blocks, checksum.
        case kFirstB: growOffsetsToFour(offsets); [[fallthrough]];
        case kConfigB:
            configuration = SensorConfig::fromByte(b);
            for (int k = 0; k < 4; ++k) workSamples[k].config = configuration;
            compensatedBlocks = (b & 1) != 0;
            checksum = b;
            state = kBlocksB;
            break;
        case kChecksumB + 1: {
            word = static_cast<uint16_t>(word + b);
            state = kIdle;
            if (frameChecked(pass)) {
                ++pass.goodFrames;
                for (int k = 0; k < 4; ++k)
                    for (int i = 0; i < 4; ++i) workSamples[k].raw[4 + i] = workSamples[k].raw[i];
                for (int k = 0; k < 4; ++k) {
                    workSamples[k].saveInconsistent();
                    workSamples[k].setInvariant(offsetFor(offsets, k));
                }
                for (int k = 0; k < 4; ++k) out[k].push_back(workSamples[k]);
            }
            clearWork(4);
            break;
        }

        // 0xAA frame.
        case kTypeHigh:
            if (aaTypeHigh(b, state) && !unit.frameSeen) {
                if (unit.version == kine_version_6)
                    unit.sensorCount = 1;
                else if (unit.version == kine_version_7)
                    useFourSensors(offsets);
            }
            break;
        case kPayload: next = aaPayload(next - 1, end, state); break;
        case kTypeLow:
        case kLength:
        case kChecksumHigh:
        case kChecksumLow:
            if (aaFrameByte(b, state)) {
                if (frameChecked(pass)) {
                    if (frameKind == kDataFrame) {
                        decodeAaData3D(offsets, out, pass);
                    } else if (frameKind == kConfigReply) {
                        ++pass.configReplies;
                        configuration = configFromReply();
                    }
                }
                clearWork(4);
            }
            break;

        default:
            if (st >= kFieldsA && st < kChecksumA) {
                // Frame A fields, high byte in the even state.
                if (!fieldByte(b, st, state)) break;
                KinePackage& s = workSamples[0];
                if (st < kRawA) {
                    setAxis(s, static_cast<int>(st - kFieldsA) / 2);
                    state = st == kRawA - 1 ? kAuxA : st + 1;
                } else if (st < kAuxA) {
                    s.raw[(st - kRawA) / 2] = fieldUnsigned();
                    state = st == kAuxA - 1 ? kChecksumA : st + 1;
                } else {
                    s.aux = fieldUnsigned();
                    state = kRawA;
                }
            } else if (st >= kBlocksB && st < kChecksumB) {
                // Frame B block: raw[0..3], aux in raw mode; x, y, z, aux in
                // compensated mode (the fourth field position is absent).
                if (!fieldByte(b, st, state)) break;  // kBlocksB is even: high bytes in even states
                const BlockPosition at = kBlockPositions[st - kBlocksB];
                KinePackage& s = workSamples[at.sensor];
                const uint32_t field = at.field;
                if (field == 4) {
                    s.aux = fieldUnsigned();
                    state = st + 1;
                } else if (!compensatedBlocks) {
                    s.raw[field] = fieldUnsigned();
                    state = st + 1;
                } else {
                    setAxis(s, static_cast<int>(field));
                    state = field == 2 ? st + 3 : st + 1;
                }
            }
            // Any other state is never entered; its byte is skipped.
            break;
        }
    }
    smState = state;
    if (!bytes.empty()) currentByte = bytes.back();
    pass.result = static_cast<int>(out[0].size());
}

DecodePass FrameDecoder::decode3D(const std::vector<uint8_t>& bytes, Offsets& offsets,
                                  std::deque<KinePackage> (&out)[16], bool keep) {
    return runPass(bytes.size(), keep, [&](FrameDecoder& d, DecodePass& p) { d.step3D(bytes, offsets, out, p); });
}

DecodePass FrameDecoder::decode3D(const std::vector<uint8_t>& bytes, Offsets& offsets, SampleRun (&out)[16],
                                  bool keep) {
    return runPass(bytes.size(), keep, [&](FrameDecoder& d, DecodePass& p) { d.step3D(bytes, offsets, out, p); });
}
