// All state of one DAQ connection: the reader thread, the frame decoders'
// state, the per-sensor zero offsets, the protocol version and the current
// sensor configuration. KineDAQ forwards to it unchanged.
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
#include <tuple>
#include <vector>

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
    virtual ~KineDAQ_private();
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
    static void TurnOffTPDOPacket(std::vector<unsigned char>& out);

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

    // Frame decoders: decode what the reader has received into samples,
    // appended to `out` (deques, or vectors whose storage a caller reuses).
    using SampleRun = std::vector<KinePackage>;
    using SampleRun6D = std::vector<KinePackage6D>;
    int smProcess(std::deque<KinePackage> (&out)[16], bool keep);
    int smProcess(SampleRun (&out)[16], bool keep);
    int smProcess6D(std::deque<KinePackage6D>& out, bool keep);
    int smProcess6D(SampleRun6D& out, bool keep);
    // One decoding pass of the reads: the connection's own sample storage is
    // emptied and refilled, so polling reuses it instead of allocating. A
    // pass never takes more than one full receive buffer, which bounds it.
    int pass3D(bool keep);
    int pass6D(bool keep);
    const SampleRun (&passSamples3D() const)[16] { return passSamples3D_; }
    const SampleRun6D& passSamples6D() const { return passSamples6D_; }
    void ClearStateMachinePackages3D();
    void ClearStateMachinePackages6D();

    // Direct access for the read paths and tests.
    ReaderThread& readerThread() { return reader; }
    size_t offsetCount() const { return offsets.size(); }

private:
    friend class KineDAQ_privateTest;  // test access to the decoder state (tests/support)

    // The zero offset of sensor k, or a zero offset when none is stored
    // (a stream may name more sensors than the connection has offsets for).
    const KinePackage& offsetFor(int k) const;
    bool validSensor(int sensor) const;
    void growOffsetsToFour();
    // A unit of four sensors read as separate streams, with an offset each.
    void useFourSensors();
    // Decoder steps shared by both decoders (daq/DecoderCommon.h).
    int takeBytes(bool keep);
    bool frameChecked();
    void fieldHigh(uint8_t b);
    void fieldLow(uint8_t b);
    bool fieldByte(uint8_t b, uint32_t st, uint32_t& state);
    int32_t fieldSigned() const;
    int32_t fieldUnsigned() const;
    void setAxis(KinePackage& s, int axis) const;
    bool frameStart(uint8_t b, uint32_t& state);
    bool aaTypeHigh(uint8_t b, uint32_t& state);
    bool aaFrameByte(uint8_t b, uint32_t& state);
    void noteAaDataFrame();
    uint16_t payloadByte(int i) const;
    int32_t payloadSigned(int i) const;
    int32_t payloadUnsigned(int i) const;
    // Completed 0xAA frames: status bits, configuration reply, data payloads.
    void applyStatusBits(uint8_t S, uint8_t T);
    SensorConfig configFromReply() const;
    template <class Samples>
    int decode3D(Samples (&out)[16], bool keep);
    template <class Samples>
    int decode6D(Samples& out, bool keep);
    template <class Samples>
    void decodeAaData3D(Samples (&out)[16]);
    template <class Samples>
    void decodeAaData6D(Samples& out);
    // Sensors the 3D reads lay out per pass: the sensor count, kept to 1..16.
    int sensorsPerPass() const;
    // Where the decoders stand in the stream: the state number and the frame
    // in progress. A pass whose bytes stay in the reader (keep == true) sees
    // them again in the next pass, so it decodes from a copy of these and
    // leaves them as it found them.
    auto streamPosition() {
        return std::tie(smState, currentByte, payloadIndex, payloadLength, frameKind, payload, payloadReceived,
                        checksum, word, compensatedBlocks, workSamples, workSample6D);
    }
    void resetStreamPosition();
    template <typename Pass>
    int passKeepingPosition(bool keep, Pass pass);

    // Opening and closing (KineDAQ_private.cpp).
    bool openConnection(const KPort& port, bool debugMode, int baud);
    bool failOpen(kine_open_error reason, int err = 0);
    void closeConnection();
    kine_open_error awaitDecodableFrame(kine_version aaVersion);
    bool decodablePass(kine_version aaVersion, bool& sawBytes);
    bool cancelled() const { return cancelOpen.load(); }
    bool pauseUnlessCancelled(unsigned int ms);
    bool waitForBytes(KineSerial& channel, unsigned long count, unsigned long timeoutMs);

    // Decoder position
    uint32_t smState = 0;
    uint8_t currentByte = 0;

    ReaderThread reader;
    std::deque<KineSensor> offsets;
    KineSensor6D offset6D;
    int baudRate = 1000000;
    char portNameText[KPort::kFieldSize] = {0};

    // 0xAA frame fields
    int32_t payloadIndex = 0;
    int32_t payloadLength = 0;
    int32_t frameKind = -1;
    std::array<uint16_t, 256> payload{};
    int32_t payloadReceived = 0;  // payload bytes stored for the current frame
    uint16_t checksum = 0;
    uint16_t word = 0;
    bool compensatedBlocks = false;  // mode bit of the current Frame B

    std::array<KinePackage, 16> workSamples;
    KinePackage6D workSample6D;

    kine_version version = kine_version_none;
    SensorConfig configuration;
    SensorConfig keptConfiguration;  // the configuration after the latest pass, kept or not
    bool checksumOk = true;
    uint32_t lastBufferSize = 0;
    int32_t sensorCount = 0;
    std::vector<unsigned char> frameBytes;
    bool frameSeen = false;
    bool dataArrived = false;
    bool virtualSensors = false;

    // Samples of the last read pass (pass3D, pass6D).
    SampleRun passSamples3D_[16];
    SampleRun6D passSamples6D_;
    // Open's check of the stream: good data frames decoded so far, and the
    // payload length of the latest good 0xAA data frame (-1: none since open).
    uint32_t goodDataFrames = 0;
    int32_t lastDataLength = -1;

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
