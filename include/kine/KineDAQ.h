// SPDX-License-Identifier: MIT
// One DAQ connection: open a DAQ on a serial port, read its force samples,
// configure and zero its sensors.
//
// Results: reads return the number of samples decoded in the pass (0 or
// more) or a negative read code named and explained in kine_result.h.
// Booleans report success; nothing throws and nothing is logged.
//
// Threads: a connection is used from one thread at a time (except that
// several threads may sit in the waiting reads, and close() may come from
// another thread); the library runs one reader thread per open connection
// behind it. Arrays returned through
// pointer references (readAll, readAll6D, readAll6Axis) belong to the
// caller: hand the same pointer back on the next call (it is resized in
// place or replaced) and release it with delete[].
#ifndef KINE_KINEDAQ_H
#define KINE_KINEDAQ_H

#include "KPort.h"
#include "KinePackage.h"
#include "KinePackage6D.h"
#include "SensorConfig.h"
#include "kine_export.h"
#include "kine_result.h"

class KineDAQ_private;

class KINE_API KineDAQ {
public:
    KineDAQ();
    ~KineDAQ();  // closes an open connection
    KineDAQ(const KineDAQ&) = delete;
    KineDAQ& operator=(const KineDAQ&) = delete;

    // Opens the DAQ named by port.portName. The first two characters of
    // port.deviceVersion give its identity code ("34 v0.9" -> 34): 31, 34
    // and 64 select the 0xAA family and a configuration exchange. Waits up
    // to about one second for the first frame it can decode; false on any
    // failure, with the reason in lastOpenError(). The connection holds the
    // device exclusively until close.
    bool open(KPort port, bool debugMode = false, int baud = 1000000);
    // Also callable from another thread while open() waits: the open then
    // returns false (KINE_OPEN_CANCELLED) and close() returns after it.
    void close();
    // Why the latest open failed; KINE_OPEN_OK after a successful one.
    kine_open_error lastOpenError();
    // The operating system's errno behind the latest failed open, 0 when none applies.
    int lastOpenErrno();
    bool isOpen();        // the reader thread runs
    bool isVirtual();     // the DAQ reports four sensors as separate streams
    int getSize();        // bytes the last decoding pass took
    int getSensorSize();  // 1 or 4 once open, 0 when closed
    bool isChksumOK();    // the last completed frame had a good checksum
    int getVersion();     // protocol version 3..8, 0 before the first frame
    int getBytesPerRead();
    char* getPortName();  // valid until the next call or destruction

    SensorConfig getConfig();
    // True when the DAQ afterwards reports the requested speed and filter.
    bool sendConfig(SensorConfig config);

    bool zero(int sensor);
    void zeroAll();
    bool unzero(int sensor);
    void unzeroAll();
    KinePackage getOffset(int sensor);

    int read(KinePackage& sample, int sensor, bool keep = false);
    int readAll(KinePackage*& samples, bool keep = false);
    int readArray(int (&values)[8], bool keep = false);
    int readVirtual(KinePackage (&samples)[16], bool keep = false);
    int readVirtualArray(int (&values)[128], bool keep = false);
    int read6D(KinePackage6D& sample, bool keep = false);
    int readAll6D(KinePackage6D*& samples, bool keep = false);
    int read6Axis(int (&values)[6], bool keep = false);
    int readAll6Axis(int*& values, bool keep = false);

    // Waiting reads: the way to stream. Each is its read above (bytes
    // consumed), but returns only once at least one new sample is there, or
    // when `timeoutMs` passes (result 0), or when the connection is closed
    // or its DAQ goes away (KINE_NOT_OPEN); other results as the read's.
    // timeoutMs 0 is the plain read, a negative one waits without limit.
    // The caller sleeps meanwhile (no CPU while the DAQ is silent); signals
    // do not shorten the wait. Several threads may wait on one connection,
    // and close() from another thread ends every wait at once. readAll's
    // array rule holds for waitReadAll and waitReadAll6D.
    int waitRead(KinePackage& sample, int sensor, int timeoutMs);
    int waitReadAll(KinePackage*& samples, int timeoutMs);
    int waitRead6D(KinePackage6D& sample, int timeoutMs);
    int waitReadAll6D(KinePackage6D*& samples, int timeoutMs);
    // readAll6Axis's waiting form, for four-sensor DAQs.
    int waitReadAll6Axis(int*& values, int timeoutMs);

private:
    KineDAQ_private* d;
};

#endif  // KINE_KINEDAQ_H
