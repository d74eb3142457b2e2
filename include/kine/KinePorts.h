// SPDX-License-Identifier: MIT
// Discovery of DAQs: which are attached now, and which were attached or
// lost since you last asked.
//
// A KinePorts starts a background monitor when it is constructed and stops
// it when it is destroyed. Every 100 ms the monitor lists the machine's
// serial ports; a new port whose USB vendor id is one of the DAQ converters'
// (0x04D8, 0x0403, 0x10C4) is probed once: a 0x37-family DAQ is recognised
// from its data stream, an 0xAA-family DAQ from its identity reply (which
// also gives its serial). A port whose probe timed out is tried again, more
// than 1.25 s apart, up to 15 times. Each accepted DAQ is reported once as
// new, and once as lost when its port disappears.
//
// Results are KPort records: port name, device version text (e.g. "34 v0.9")
// and device serial. A KPort from getNewPort can be passed to KineDAQ::open.
//
// Threads: every operation may be called from any thread. listPorts returns
// one array shared by all KinePorts objects of the process: list from one
// thread at a time and copy what you need before the next listPorts.
#ifndef KINE_KINEPORTS_H
#define KINE_KINEPORTS_H

#include "KPort.h"
#include "kine_export.h"
#include "kine_port_status.h"

class KinePorts_private;

class KINE_API KinePorts {
public:
    // kind: 3 admits only three-axis DAQs, 6 only six-axis DAQs, any other
    // value both. probeBaud: line speed of the probes. Discovery starts now.
    explicit KinePorts(int kind = 0, int probeBaud = 1000000);
    // Stops discovery; blocks until a probe under way has ended.
    ~KinePorts();
    KinePorts(const KinePorts&) = delete;
    KinePorts& operator=(const KinePorts&) = delete;

    // The known DAQs in ascending port-name order: getLastSize() records,
    // at most 100, valid until the next listPorts of any KinePorts. Records
    // beyond them are stale. Right after construction this waits up to about
    // 400 ms for the first scan to finish; it always takes at least 16 ms.
    KPort* listPorts(bool unused = true);
    int getSize(bool unused = true);  // known DAQs now
    int getLastSize();                // known DAQs at the latest listPorts (may exceed 100)

    // True when an attached DAQ waits to be taken with getNewPort. The
    // argument also sets how new ports are taken from the next scan on:
    // true (the default) probes candidates; false takes every new port,
    // of any vendor, unprobed, with device version "unknown".
    bool isNewPort(bool probe = true);
    bool isLostPort(bool unused = true);  // a lost DAQ waits
    // The next attached (lost) DAQ, each delivered once; a record of three
    // empty texts when none waits.
    KPort getNewPort();
    KPort getLostPort();

    // True once discovery has looked at every port present when it started
    // (each is a DAQ, refused, busy, without permission, or no candidate);
    // a list taken then is complete. A slow probe can take seconds.
    bool isSettled();
    // Every serial port discovery sees and what it decided (DAQ, not USB,
    // other vendor, excluded, busy and by whom, no permission, no answer,
    // ...): fills up to `capacity` records of `out` in enumeration order and
    // returns the number of ports, which may be larger.
    int getPortStatus(KinePortStatus* out, int capacity);

    const char* getAPIversion();  // "1.5.1.234"

private:
    KinePorts_private* d;
};

#endif  // KINE_KINEPORTS_H
