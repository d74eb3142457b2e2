// Test access to the decoder state of a DAQ connection (the connection's
// friend), and feeding it bytes as the reader thread would. Free of the test
// framework, so that the benchmarks use it too.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "daq/KineDAQ_private.h"

class KineDAQ_privateTest {
public:
    static kine_version& version(KineDAQ_private& d) { return d.version; }
    static SensorConfig& configuration(KineDAQ_private& d) { return d.configuration; }
    static std::deque<KineSensor>& offsets(KineDAQ_private& d) { return d.offsets; }
    static KineSensor6D& offset6D(KineDAQ_private& d) { return d.offset6D; }
    static int32_t& sensorCount(KineDAQ_private& d) { return d.sensorCount; }
    static bool& frameSeen(KineDAQ_private& d) { return d.frameSeen; }
    static bool& dataArrived(KineDAQ_private& d) { return d.dataArrived; }
    static bool& virtualSensors(KineDAQ_private& d) { return d.virtualSensors; }
    static uint32_t& smState(KineDAQ_private& d) { return d.smState; }
};

namespace kine_test {

using Access = KineDAQ_privateTest;

// Puts bytes into the connection's receive buffer as one read of the reader
// thread would (no thread needed).
inline void feed(KineDAQ_private& d, const std::vector<uint8_t>& bytes) {
    d.readerThread().appendReceived(bytes.data(), bytes.size());
}

}  // namespace kine_test
