// SPDX-License-Identifier: MIT
// The 6D frame decoder: the twin of the 3D decoder for 6-axis units, whose
// frames carry the six force/torque axes plus the four underlying sensors.
// Frame E (0x37 0x5F, version 5) and 0xAA data frames of version 8 become
// one KinePackage6D each, with the unit's 6D zero offset removed. It shares
// the state number and the 0xAA framing with the 3D decoder, so a
// stream is read with one of the two only (daq/FrameDecoder.h).
//
// States: 0 between frames; 1 after 0x37; 96..151 Frame E; 153..159 an
// 0xAA frame.
#include "daq/DecoderCommon.h"

using namespace kine::decoder;

namespace {

enum : uint32_t {
    kConfigE = 96,
    kAxesE = 98,  // Fx, Fy, Fz, Tx, Ty, Tz: 98-109
    kAuxE = 110,  // aux of sensors 0..3: 110-117
    kRawE = 118,  // raw[0..3] of sensors 0..3: 118-149
    kChecksumE = 150,
};

inline int32_t& axis(KinePackage6D& p, int i) {
    switch (i) {
    case 0: return p.Fx;
    case 1: return p.Fy;
    case 2: return p.Fz;
    case 3: return p.Tx;
    case 4: return p.Ty;
    default: return p.Tz;
    }
}

}  // namespace

// `workSample6D = 0`, written out: it runs for every byte between frames.
void FrameDecoder::ClearStateMachinePackages6D() {
    KinePackage6D& w = workSample6D;
    w.Fx = w.Fy = w.Fz = w.Tx = w.Ty = w.Tz = 0;
    for (auto& s : w.sensors) zeroFields(s);
}

// Data payload of version 8: status bytes, the six axes, then each sensor's
// raw channels 0..3 and aux, then each sensor's raw channels 4..7.
template <class Samples>
void FrameDecoder::decodeAaData6D(const KineSensor6D& offset6D, Samples& out, DecodePass& pass) {
    ++pass.goodFrames;
    pass.lastDataLength = payloadLength;
    applyStatusBits(static_cast<uint8_t>(payloadByte(2)), static_cast<uint8_t>(payloadByte(3)));
    KinePackage6D& w = workSample6D;
    for (auto& s : w.sensors) {
        s.version = unit.version;
        s.config = configuration;
    }
    if (unit.version != kine_version_8) return;

    w.Fx = payloadSigned(4);
    w.Fy = payloadSigned(6);
    w.Fz = configuration.getMode() == mode_compensated ? payloadSigned(8) : payloadUnsigned(8);
    w.Tx = payloadSigned(10);
    w.Ty = payloadSigned(12);
    w.Tz = payloadSigned(14);
    if (payloadLength > 16) {
        for (int k = 0; k < 4; ++k) {
            KinePackage& s = w.sensors[k];
            for (int i = 0; i < 4; ++i) {
                s.raw[i] = payloadUnsigned(16 + 10 * k + 2 * i);
                s.raw[4 + i] = payloadUnsigned(56 + 10 * k + 2 * i);
            }
            s.aux = payloadUnsigned(24 + 10 * k);
        }
    }
    for (auto& s : w.sensors) s.saveInconsistent();
    w.setInvariant(offset6D);
    out.push_back(w);
}

template <class Samples>
void FrameDecoder::step6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D,
                          Samples& out, DecodePass& pass) {
    KinePackage6D& w = workSample6D;

    // The position lives in a local while the bytes are decoded and goes
    // back into the decoder when the call ends. A state of the 3D
    // decoder (the connection was read through it) counts as the start.
    const uint32_t at = smState;
    const bool owned =
        at <= kHeader || (at >= kConfigE && at <= kChecksumE + 1) || (at >= kTypeHigh && at <= kChecksumLow);
    uint32_t state = owned ? at : kIdle;

    const uint8_t* next = bytes.data();
    const uint8_t* const end = next + bytes.size();
    while (next != end) {
        const uint8_t b = *next++;
        const uint32_t st = state;
        switch (st) {
        case kIdle:
            ClearStateMachinePackages6D();
            if (frameStart(b, state))
                for (auto& s : w.sensors) s.version = unit.version;
            break;

        case kHeader:
            if (b == kIdentity6D) {
                unit.version = kine_version_5;
                for (auto& s : w.sensors) s.version = kine_version_5;
                unit.virtualSensors = true;
                unit.sensorCount = 4;
                state = kConfigE;
            } else {
                // 0x44 and 0x5E belong to the 3D decoder.
                unit.virtualSensors = false;
                state = kIdle;
            }
            break;

        // Frame E: configuration, six axes, four aux values, 16 raw channels, checksum.
        case kConfigE:
            configuration = SensorConfig::fromByte(b);
            for (auto& s : w.sensors) s.config = configuration;
            checksum = b;
            state = kAxesE;
            break;
        case kChecksumE:
            word = static_cast<uint16_t>(b << 8);  // not summed
            state = kChecksumE + 1;
            break;
        case kChecksumE + 1:
            word = static_cast<uint16_t>(word + b);
            state = kIdle;
            if (frameChecked(pass)) {
                ++pass.goodFrames;
                for (auto& s : w.sensors) s.saveInconsistent();
                w.setInvariant(offset6D);
                out.push_back(w);
            }
            for (auto& s : w.sensors) zeroFields(s);
            break;

        // 0xAA frame.
        case kTypeHigh:
            if (!aaTypeHigh(b, state)) break;
            for (auto& s : w.sensors) s.version = kine_version_8;
            if (unit.version == kine_version_8) useFourSensors(offsets);
            break;
        case kPayload: next = aaPayload(next - 1, end, state); break;
        case kTypeLow:
        case kLength:
        case kChecksumHigh:
        case kChecksumLow:
            if (aaFrameByte(b, state) && frameChecked(pass)) {
                if (frameKind == kDataFrame) {
                    decodeAaData6D(offset6D, out, pass);
                } else if (frameKind == kConfigReply) {
                    ++pass.configReplies;
                    configuration = configFromReply();
                    KinePackage& s0 = w.sensors[0];
                    s0.config = SensorConfig::fromByte(
                        static_cast<uint8_t>((s0.config.to_uin8_t() & 0xE0) | (configuration.to_uin8_t() & 0x1F)));
                }
            }
            break;

        default:
            if (st >= kAxesE && st < kChecksumE) {
                if (!fieldByte(b, st, state)) break;
                if (st < kAuxE)
                    axis(w, static_cast<int>(st - kAxesE) / 2) = fieldSigned();
                else if (st < kRawE)
                    w.sensors[(st - kAuxE) / 2].aux = fieldUnsigned();
                else {
                    const uint32_t i = (st - kRawE) / 2;
                    w.sensors[i / 4].raw[i % 4] = fieldUnsigned();
                }
                state = st + 1;
            }
            // Any other state is never entered; its byte is skipped.
            break;
        }
    }
    smState = state;
    if (!bytes.empty()) currentByte = bytes.back();
    pass.result = static_cast<int>(out.size());
}

DecodePass FrameDecoder::decode6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D,
                                  std::deque<KinePackage6D>& out, bool keep) {
    return runPass(bytes.size(), keep,
                   [&](FrameDecoder& d, DecodePass& p) { d.step6D(bytes, offsets, offset6D, out, p); });
}

DecodePass FrameDecoder::decode6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D,
                                  SampleRun6D& out, bool keep) {
    return runPass(bytes.size(), keep,
                   [&](FrameDecoder& d, DecodePass& p) { d.step6D(bytes, offsets, offset6D, out, p); });
}
