// SPDX-License-Identifier: MIT
#include "daq/KineDAQ_private.h"
#include "daq/Protocol.h"
#include "threading/KinetraThread.h"

namespace {
constexpr unsigned int kFreshDataMs = 33;
using kine::protocol::isSixAxis;
}  // namespace

void KineDAQ_private::growOffsetsToFour() {
    while (offsets.size() < 4) offsets.push_back(KineSensor());
}

bool KineDAQ_private::validSensor(int sensor) const {
    return sensor >= 0 && sensor < decoder.unit.sensorCount && static_cast<size_t>(sensor) < offsets.size();
}

bool KineDAQ_private::zero(int sensor) {
    if (!validSensor(sensor) || !reader.isOpened()) return false;
    KinetraThread::ThreadSleep(kFreshDataMs);
    // Succeeds only with a measured reading: a pass that decodes no sample of
    // this sensor (nothing new, or frames the 3-axis decoder does not turn
    // into samples, like those of a version 8 unit) stores nothing.
    std::deque<KinePackage> out[16];
    if (smProcess(out, true) <= 0 || out[sensor].empty()) return false;
    // The reading is already corrected by the current offset; adding that
    // offset back gives the uncorrected reading, which becomes the new zero.
    if (!validSensor(sensor)) return false;  // the pass may have changed the sensor count
    return setOffset(out[sensor].back() + offsets[sensor], sensor);
}

void KineDAQ_private::zeroAll() {
    if (!reader.isOpened()) return;
    if (isSixAxis(decoder.unit.version)) {
        KinetraThread::ThreadSleep(kFreshDataMs);
        KinePackage6D sample;
        read6D(sample, true);
        offset6D = sample + offset6D;
        return;
    }
    KinePackage records[16];
    KinetraThread::ThreadSleep(kFreshDataMs);
    readVirtual(records, true);
    for (int k = 0; k < 16 && validSensor(k); ++k) setOffset(records[k] + offsets[k], k);
}

bool KineDAQ_private::unzero(int sensor) {
    if (!validSensor(sensor) || !reader.isOpened()) return false;
    offsets[sensor] = 0;
    return true;
}

void KineDAQ_private::unzeroAll() {
    if (!reader.isOpened()) return;
    for (int k = 0; k < 16 && validSensor(k); ++k) offsets[k] = 0;
    offset6D = 0;
}

KinePackage KineDAQ_private::getOffset(int sensor) {
    if (!validSensor(sensor)) return KinePackage();
    return offsets[sensor];
}

bool KineDAQ_private::setOffset(KinePackage offset, int sensor) {
    if (!validSensor(sensor)) return false;
    offsets[sensor] = offset;
    return true;
}
