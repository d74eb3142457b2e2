// SPDX-License-Identifier: MIT
// One DAQ connection: the device lock and the open/close protocol, the reader
// thread (daq/ReaderThread.h), the frame decoder (daq/FrameDecoder.h, which
// also holds the version, sensor count and configuration the stream gave),
// the per-sensor zero offsets (Zeroing.cpp), the sample reads
// (SampleReads.cpp) and the sensor commands (SensorCommands.cpp). KineDAQ
// forwards to it unchanged.
//
// The connection belongs to the caller's thread: every operation, decoding
// included (it runs inside the reads), runs on the thread that calls it and
// takes no lock; calls on one connection must not overlap. Only `reader` is
// shared with another thread, through its own locked operations. The one
// exception is close() while open() waits on another thread: close() then
// cancels the open, waits for it to wind down and closes after it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "daq/FrameDecoder.h"
#include "daq/ReaderThread.h"
#include "kine/KPort.h"
#include "kine/KinePackage.h"
#include "kine/KinePackage6D.h"
#include "kine/KineSensor.h"
#include "kine/KineSensor6D.h"
#include "kine/SensorConfig.h"
#include "kine/kine_result.h"
#include "transport/PortLock.h"

class KineSerial;

// The device path a port name is opened as: a link such as
// /dev/serial/by-id/... is followed to its device node, taken when it fits a
// port record. The name itself when it cannot be resolved (the open then says
// why), empty when the node does not fit. Every entry point opens through it.
std::string kinePortNodeFor(const std::string& name);

class KineDAQ_private {
public:
    KineDAQ_private();
    ~KineDAQ_private();
    KineDAQ_private(const KineDAQ_private&) = delete;
    KineDAQ_private& operator=(const KineDAQ_private&) = delete;

    // Connection
    bool open(KPort port, bool debugMode, int baud);
    void close();
    bool isOpen();
    bool isVirtual();
    int getSize() const;
    int getSensorSize() const;
    bool isChksumOK() const;
    int getVersion() const;
    int getBytesPerRead() const;
    char* getPortName();
    SensorConfig configure170(char* port, bool& ok, bool debugMode);
    // Why the latest open failed (KINE_OPEN_OK after a successful one), and
    // the operating system's error behind it (0 when none applies).
    kine_open_error lastOpenError() const;
    int lastOpenErrno() const;

    // Sensor commands
    void send170(int address, int length, unsigned char* data);
    void send171(int address, int length);
    SensorConfig getConfig();
    bool sendConfig(SensorConfig config);

    // Zeroing and offsets
    bool zero(int sensor);
    void zeroAll();
    bool unzero(int sensor);
    void unzeroAll();
    KinePackage getOffset(int sensor);
    bool setOffset(KinePackage offset, int sensor);

    // Sample reads
    int read(KinePackage& sample, int sensor, bool keep);
    int readVirtual(KinePackage (&samples)[16], bool keep);
    int readArray(int (&values)[8], bool keep);
    int readVirtualArray(int (&values)[128], bool keep);
    int readAll(KinePackage*& samples, bool keep);
    int read6D(KinePackage6D& sample, bool keep);
    int readAll6D(KinePackage6D*& samples, bool keep);
    int read6Axis(int (&values)[6], bool keep);
    int readAll6Axis(int*& values, bool keep);
    KinePackage calc6axisVector(KinePackage& a, KinePackage& b, KinePackage& c, KinePackage& d);
    KinePackage calc6axisTorque(KinePackage& a, KinePackage& b, KinePackage& c, KinePackage& d);

    // Waiting reads (WaitingReads.cpp): the read, repeated each time the
    // reader brings bytes, until it gives a sample or a code, the timeout
    // passes (0) or the connection ends. Several threads may wait at once.
    int waitRead(KinePackage& sample, int sensor, int timeoutMs);
    int waitReadAll(KinePackage*& samples, int timeoutMs);
    int waitRead6D(KinePackage6D& sample, int timeoutMs);
    int waitReadAll6D(KinePackage6D*& samples, int timeoutMs);
    int waitReadAll6Axis(int*& values, int timeoutMs);

    // Frame decoders: decode what the reader has received into samples,
    // appended to `out` (deques, or vectors whose storage a caller reuses).
    // keep == true leaves the bytes with the reader and the decoder's
    // position where it was (daq/FrameDecoder.h).
    using SampleRun = FrameDecoder::SampleRun;
    using SampleRun6D = FrameDecoder::SampleRun6D;
    int smProcess(std::deque<KinePackage> (&out)[16], bool keep);
    int smProcess(SampleRun (&out)[16], bool keep);
    int smProcess6D(std::deque<KinePackage6D>& out, bool keep);
    int smProcess6D(SampleRun6D& out, bool keep);
    // One decoding pass of the reads: the connection's own sample storage is
    // emptied and refilled, so polling reuses it instead of allocating. A
    // pass never takes more than one full receive buffer, which bounds it.
    int pass3D(bool keep);
    int pass6D(bool keep);

    // Kept for the design's interface although nothing here calls them: the
    // command that stops a DAQ's data frames, the working samples' reset,
    // the offset count and direct access to the reader thread and the
    // decoder (tests and benchmarks use the last three).
    static void TurnOffTPDOPacket(std::vector<unsigned char>& out);
    void ClearStateMachinePackages3D() { decoder.ClearStateMachinePackages3D(); }
    void ClearStateMachinePackages6D() { decoder.ClearStateMachinePackages6D(); }
    size_t offsetCount() const { return offsets.size(); }
    ReaderThread& readerThread() { return reader; }
    FrameDecoder& frameDecoder() { return decoder; }

private:
    bool validSensor(int sensor) const;
    void growOffsetsToFour();
    // Sensors the 3D reads lay out per pass: the sensor count, kept to 1..16.
    int sensorsPerPass() const;
    // One decoding pass over the reader's bytes, with what it found.
    template <class Samples>
    DecodePass decodePass3D(Samples (&out)[16], bool keep);
    template <class Samples>
    DecodePass decodePass6D(Samples& out, bool keep);
    DecodePass readPass3D(bool keep);
    DecodePass readPass6D(bool keep);
    // Opening and closing (KineDAQ_private.cpp).
    bool openConnection(const KPort& port, bool debugMode, int baud);
    bool failOpen(kine_open_error reason, int err = 0);
    void closeConnection();
    kine_open_error awaitDecodableFrame(kine_version aaVersion);
    struct OpenLook;
    bool decodablePass(kine_version aaVersion, OpenLook& look);
    bool cancelled() const { return cancelOpen.load(); }
    bool pauseUnlessCancelled(unsigned int ms);
    bool waitForBytes(KineSerial& channel, unsigned long count, unsigned long timeoutMs);

    ReaderThread reader;
    std::deque<KineSensor> offsets;
    KineSensor6D offset6D;
    int baudRate = 1000000;
    char portNameText[KPort::kFieldSize] = {0};

    FrameDecoder decoder;
    uint32_t lastBufferSize = 0;  // bytes of the latest decoded pass (getSize)
    // Samples of the last read pass (pass3D, pass6D), storage reused.
    SampleRun passSamples3D_[16];
    SampleRun6D passSamples6D_;

    // Waiting reads decode one at a time; close() takes it to clear the
    // decoder state only after a waiter's pass in progress has finished.
    std::mutex waitingReads;
    template <typename Read>
    int waitFor(int timeoutMs, Read read);

    // The device's lock, held from open until close.
    PortLock portLock;
    // An open in progress and its cancellation by close() on another thread.
    std::mutex openMutex;
    std::condition_variable openEnded;
    bool opening = false;  // guarded by openMutex
    std::atomic<bool> cancelOpen{false};
    std::atomic<int> openError{KINE_OPEN_OK};
    std::atomic<int> openErrno{0};
};
