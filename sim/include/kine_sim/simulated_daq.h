// SPDX-License-Identifier: MIT
// A virtual DAQ on a pseudo-terminal. It streams data frames of one protocol
// version at the rate of its speed setting, answers the host's read requests,
// applies its write frames, records every byte the host sends, and injects
// faults on demand. Intended for tests, demos and development without hardware.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kine_sim/frames.h"

namespace kine_sim {

// One value channel of the simulated unit. The first twelve exist per sensor
// (0..3); the six axes exist once, for the 6-axis units (versions 5 and 8).
enum class Channel : uint8_t {
    x,
    y,
    z,
    aux,
    raw0,
    raw1,
    raw2,
    raw3,
    raw4,
    raw5,
    raw6,
    raw7,
    Fx,
    Fy,
    Fz,
    Tx,
    Ty,
    Tz,
};
constexpr int kSensorChannelCount = 12;
constexpr int kAxisCount = 6;
// Channel::raw0 + i, for i in 0..7.
Channel rawChannel(int i);

// The value of a channel as a function of the time since the unit was created.
// Values are rounded to the nearest integer; the frame carries their low 16 bits.
class Signal {
public:
    Signal() = default;  // constant 0
    static Signal constant(int32_t value);
    // offset + amplitude * sin(2 pi f t + phase)
    static Signal sine(double amplitude, double frequencyHz, double offset = 0.0, double phaseRad = 0.0);
    // Sawtooth: rises linearly from `from` towards `to` over `periodSeconds`,
    // then starts again at `from`. A period of 0 or less holds `from`.
    static Signal ramp(int32_t from, int32_t to, double periodSeconds);
    // The number of the data frame that carries the value, counted from 0
    // over the frames the unit has sent: a host that sees this channel jump
    // has lost the frames in between.
    static Signal frameCounter();

    // The value at `seconds` since the unit was created, in data frame `frame`.
    int32_t valueAt(double seconds, uint64_t frame = 0) const;

private:
    enum class Kind : uint8_t { constant, sine, ramp, frameCounter };
    Kind kind_ = Kind::constant;
    double a_ = 0.0, b_ = 0.0, c_ = 0.0, d_ = 0.0;
};

// The built-in signals, until a test sets its own: slow sines and a ramp
// that stay within these ranges (sensor k is phase-shifted by 0.5 k rad).
//   x, y: -800..800      z: 29,600..30,400      aux: 0..4,096 (a 4 s ramp)
//   raw channel i: 1,950 + 100 i .. 2,050 + 100 i
//   Fx, Fy: -500..500    Fz: -300..300          Tx, Ty: -50..50   Tz: -20..20
// In raw mode (mode bit 0) a version 8 unit sends Fz unsigned, like its raw
// channels: the built-in Fz is then offset by kRawFzOffset (1,700..2,300).
constexpr int32_t kRawFzOffset = 2000;

class SimulatedDaq {
public:
    struct Options {
        int version = 3;                  // protocol version 3..8
        std::string serial = "SIM00001";  // at most 8 characters, sent in the identity reply
        bool compensated = false;         // mode bit: compensated (1) or raw (0) values
        int speedHz = 1000;               // 1000, 333, 100 or 30
        int filterHz = 0;                 // 0 (none), 150, 50, 15; versions 6-8 also 500, 5, 1
        bool refuseConfig = false;        // answer commands but keep speed, filter and mode
        bool streamAtStart = true;        // false: periodic data off until the host sets a speed
        std::string socketPath;           // serve on a Unix socket listening here instead of a pty
    };

    struct Stats {
        uint64_t framesSent = 0;                  // data frames written to the pty
        uint64_t framesDropped = 0;               // data frames due but not written (nobody has the
                                                  // device open, or the host does not read and the pty is full)
        uint64_t repliesSent = 0;                 // configuration and identity replies written
        std::chrono::nanoseconds maxLateness{0};  // largest delay of a frame behind its deadline
        std::chrono::nanoseconds cpuTime{0};      // CPU time used by the streaming thread
    };

    // Creates the pty (or the listening socket) and starts streaming. Throws std::invalid_argument for
    // bad options and std::system_error when the pty cannot be made.
    SimulatedDaq();
    explicit SimulatedDaq(Options o);
    ~SimulatedDaq();  // stops the thread and closes the pty
    SimulatedDaq(const SimulatedDaq&) = delete;
    SimulatedDaq& operator=(const SimulatedDaq&) = delete;

    const std::string& devicePath() const;  // slave path to open, e.g. /dev/pts/3, or the socket's path
    int version() const;
    uint8_t identityCode() const;  // 68, 94, 95, 31, 34, 64 for versions 3..8
    // The device version text a port record carries for this unit, e.g.
    // "34 v0.9": what a host passes to open it.
    const char* deviceVersionText() const;

    // --- values ---------------------------------------------------------
    // Every data frame that goes out takes, for every channel, the next fed
    // value if one is queued, else the value of the channel's signal at the
    // frame's deadline. Frames that are dropped consume nothing.
    void setSignal(Channel c, Signal s, int sensor = 0);
    // Constant signals for all channels of a sensor / of the whole 6-axis unit.
    void setConstant(const SensorValues& v, int sensor = 0);
    void setConstant(const Values6D& v);
    // Queues exact values, one per coming data frame.
    void feed(Channel c, const std::vector<int32_t>& values, int sensor = 0);
    size_t queued(Channel c, int sensor = 0) const;
    // Status bytes S and T of the 0xAA data frames (versions 6-8); 0, 0 by default.
    void setStatus(uint8_t S, uint8_t T);
    // Payload length of the 0xAA data frames; 0 restores the full length.
    void setDataLength(size_t length);

    // --- what the host did ----------------------------------------------
    std::vector<uint8_t> received() const;  // every byte the host has sent so far
    void clearReceived();

    // Current configuration as a configuration word: state 5 (for versions
    // 6-8 the state the S/T bytes stand for), speed, filter and mode fields.
    uint8_t configByte() const;
    int framesPerSecond() const;  // rate of the speed setting (kept while stopped)
    bool streaming() const;       // periodic data on, not silent, not hung up
    bool debugMode() const;       // last value written to block 0x37
    uint64_t framesSent() const;
    Stats stats() const;

    // --- faults -----------------------------------------------------------
    // Silent: no data frames and no replies; commands are still recorded and applied.
    void setSilent(bool silent);
    // The next n data frames carry a wrong checksum.
    void corruptNextChecksums(int n);
    // From now on each data frame carries a wrong checksum with probability
    // `fraction` (reproducible for a given seed); 0 turns it off.
    void setChecksumErrorRate(double fraction, uint32_t seed = 1);
    // Reads at most `bytes` of what the host sends every `period`. With 0
    // bytes the unit stops reading: the pty fills up and the host's writes
    // stall, as on a device whose input buffer is full. A period of 0 (the
    // default) reads everything at once again.
    void throttleInput(size_t bytes, std::chrono::milliseconds period);
    // Written once, between frames, as soon as the host has the device open.
    void injectGarbage(const std::vector<uint8_t>& bytes);
    // Splits every frame (data and replies) into separate writes of the given
    // sizes, repeated cyclically, with `gap` between the writes. An empty
    // pattern restores whole-frame writes. The gaps take time from the stream.
    void setChunking(std::vector<size_t> pattern, std::chrono::microseconds gap = std::chrono::microseconds(200));
    // Random chunk sizes from 1 to maxChunk (reproducible for a given seed).
    void setRandomChunking(size_t maxChunk, uint32_t seed = 1,
                           std::chrono::microseconds gap = std::chrono::microseconds(200));
    // Closes the master side, like pulling the cable; the unit is gone for good.
    void hangUp();
    bool hungUp() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kine_sim
