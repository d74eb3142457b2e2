// SPDX-License-Identifier: MIT
// The frame decoder of one DAQ stream, as a value: where it stands in the
// stream (state number, the 0xAA frame in progress, the working samples),
// the configuration in force there, and what the stream has said about the
// unit (version, sensor count, checksum and arrival flags).
//
// One step (decode3D / decode6D) takes the bytes received since the previous
// step, appends a sample per sensor and frame to `out` with the zero offsets
// removed, and returns the pass's facts. A frame may be split across any
// number of steps. The 3D and the 6D decoder share the state number and the
// 0xAA framing, so a stream is read with one of the two only.
//
// A pass whose bytes come again (keep == true) decodes a copy of the decoder
// and keeps only `unit` from it: the position and the configuration stamped
// on samples stay where they were, so that the same bytes decode the same
// way next time, while callers already see the unit the stream revealed.
//
// No thread, no I/O: a connection owns one and runs it on its reads' thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "kine/KinePackage.h"
#include "kine/KinePackage6D.h"
#include "kine/KineSensor.h"
#include "kine/KineSensor6D.h"
#include "kine/SensorConfig.h"
#include "kine/kine_result.h"
#include "kine/kine_version.h"

// What one decoding pass found.
struct DecodePass {
    // Samples of sensor 0 (3D) or six-axis samples now in `out`, or
    // KINE_READ_OVERFLOW when a six-axis header stopped the 3D decoder (the
    // pass's bytes after it are not looked at). The connection's passes also
    // put the reader's overflow and stopped codes here.
    int result = 0;
    size_t bytes = 0;                          // bytes the pass was given
    uint32_t goodFrames = 0;                   // data frames with a good checksum
    uint32_t badChecksums = 0;                 // frames of any kind with a bad one
    int32_t lastDataLength = -1;               // payload length of the last good 0xAA data frame; -1: none
    uint32_t configReplies = 0;                // good configuration replies
    SensorConfig configuration;                // in force where the pass ended
    kine_version version = kine_version_none;  // as the pass left them
    int32_t sensorCount = 0;
};

// What the stream has said about the unit; a kept pass keeps it.
struct StreamUnit {
    kine_version version = kine_version_none;
    int32_t sensorCount = 0;
    bool checksumOk = true;  // the last completed frame's checksum
    bool frameSeen = false;  // a good frame arrived since the connection opened
    bool dataArrived = false;
    bool virtualSensors = false;  // the unit is read as several sensors
};

class FrameDecoder {
public:
    using Offsets = std::deque<KineSensor>;
    using SampleRun = std::vector<KinePackage>;
    using SampleRun6D = std::vector<KinePackage6D>;

    // The 3D decoder: Frame A and B (versions 3, 4), 0xAA data frames of
    // versions 6 and 7, configuration replies. `offsets` hold one zero offset
    // per sensor; a four-sensor stream grows them to four.
    DecodePass decode3D(const std::vector<uint8_t>& bytes, Offsets& offsets, std::deque<KinePackage> (&out)[16],
                        bool keep = false);
    DecodePass decode3D(const std::vector<uint8_t>& bytes, Offsets& offsets, SampleRun (&out)[16], bool keep = false);
    // The 6D decoder: Frame E (version 5) and 0xAA data frames of version 8,
    // with the unit's six-axis offset removed.
    DecodePass decode6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D,
                        std::deque<KinePackage6D>& out, bool keep = false);
    DecodePass decode6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D,
                        SampleRun6D& out, bool keep = false);

    // Back to the position of a new connection: between frames, no frame in
    // progress. The unit and the configuration stay.
    void resetPosition();
    void ClearStateMachinePackages3D();
    void ClearStateMachinePackages6D();

    // The decoder's state number (0: between frames).
    uint32_t state() const { return smState; }

    StreamUnit unit;
    // The configuration in force at the decoding position, stamped on samples.
    SensorConfig configuration;

private:
    // Runs `step` on this decoder, or with keep == true on a copy whose unit alone is kept.
    template <class Step>
    DecodePass runPass(size_t bytes, bool keep, Step step);
    template <class Samples>
    void step3D(const std::vector<uint8_t>& bytes, Offsets& offsets, Samples (&out)[16], DecodePass& pass);
    template <class Samples>
    void step6D(const std::vector<uint8_t>& bytes, Offsets& offsets, const KineSensor6D& offset6D, Samples& out,
                DecodePass& pass);
    template <class Samples>
    void decodeAaData3D(const Offsets& offsets, Samples (&out)[16], DecodePass& pass);
    template <class Samples>
    void decodeAaData6D(const KineSensor6D& offset6D, Samples& out, DecodePass& pass);
    void useFourSensors(Offsets& offsets);

    // Byte steps shared by both decoders (daq/DecoderCommon.h).
    bool frameChecked(DecodePass& pass);
    void fieldHigh(uint8_t b);
    void fieldLow(uint8_t b);
    bool fieldByte(uint8_t b, uint32_t st, uint32_t& state);
    int32_t fieldSigned() const;
    int32_t fieldUnsigned() const;
    void setAxis(KinePackage& s, int axis) const;
    bool frameStart(uint8_t b, uint32_t& state);
    bool aaTypeHigh(uint8_t b, uint32_t& state);
    bool aaFrameByte(uint8_t b, uint32_t& state);
    const uint8_t* aaPayload(const uint8_t* at, const uint8_t* end, uint32_t& state);
    uint16_t payloadByte(int i) const;
    int32_t payloadSigned(int i) const;
    int32_t payloadUnsigned(int i) const;
    // Completed 0xAA frames: status bits, configuration reply.
    void applyStatusBits(uint8_t S, uint8_t T);
    SensorConfig configFromReply() const;

    // Position
    uint32_t smState = 0;
    uint8_t currentByte = 0;
    // The 0xAA frame in progress.
    int32_t payloadIndex = 0;
    int32_t payloadLength = 0;
    int32_t frameKind = -1;
    std::array<uint16_t, 256> payload{};
    int32_t payloadReceived = 0;  // payload bytes stored for the current frame
    uint16_t checksum = 0;
    uint16_t word = 0;
    bool compensatedBlocks = false;  // mode bit of the current Frame B
    // Samples being filled by the frame in progress.
    std::array<KinePackage, 16> workSamples;
    KinePackage6D workSample6D;
};
