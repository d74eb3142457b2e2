// The port monitor behind KinePorts: a thread that, every 100 ms, enumerates
// the serial ports, probes each new candidate once (a port whose USB vendor
// id is in the filter set), files the outcome in one of three maps (known
// DAQs, rejected ports, timed-out ports), reports DAQs that were attached or
// lost through two FIFO queues, and re-probes ports whose probe timed out.
//
// Threads: Run and the passes it calls run on the monitor thread only; the
// probe blocks that thread alone. The reading side (the *Thread operations,
// listPorts, getSize, getLastSize) may be called from any thread: the mutex
// guards the known-DAQ map and the two queues, which the monitor changes
// only while filing. The rejected and timed-out maps belong to the monitor
// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kine/KPort.h"
#include "ports/KinetraPortInfo.h"
#include "threading/KinetraMutex.h"
#include "threading/KinetraThread.h"

namespace serial {
struct PortInfo;
}
class KineSerial;

// A USB id pair of the filter set, ordered (and so looked up) by vendor id
// alone: the set keeps one entry per vendor.
struct filter_cond {
    int vendor;
    int product;
    bool operator<(const filter_cond& other) const { return vendor < other.vendor; }
};

class KinePorts_private : public KinetraThread {
public:
    static constexpr int kListCapacity = 100;        // records in the shared port list
    static constexpr unsigned int kCycleMs = 100;    // sleep between two cycles
    static constexpr uint64_t kRetryPaceMs = 1250;   // a timed-out port waits longer than this
    static constexpr unsigned int kMaxRetries = 15;  // the 16th due retry rejects the port

    // kindSelector: 3 admits only three-axis DAQs, 6 only six-axis ones,
    // anything else both. probeBaud: line speed of the probes. The monitor
    // enumerates the roots set by kine_ports_set_roots and runs at once.
    KinePorts_private(int kindSelector, int probeBaud);
    // Stops the thread; blocks until its current probe has ended.
    ~KinePorts_private() override;

    void Run() override;
    void startThread();
    void closeThread();

    // --- reading side, any thread ---------------------------------------
    // Known DAQs in ascending port-name order, copied into the process-wide
    // 100-record list (see listPorts in the .cpp). Waits for the first pass.
    KPort* listPorts(bool unused);
    int getSize(bool unused);   // known DAQs now
    int getLastSize() const;    // known DAQs at the latest listPorts
    KPort getNewPortThread();   // next attached DAQ, or an empty record
    KPort getLostPortThread();  // next lost DAQ, or an empty record
    // Stores `probe` as the probe flag; true when a new DAQ is waiting.
    bool isNewPortThread(bool probe);
    bool isLostPortThread(bool unused);  // a lost DAQ is waiting
    static void CopyPortInfoToKPort(KPort* port, const KinetraPortInfo& info);
    // Cycles the monitor has completed; lets tests and tools wait for whole cycles.
    uint64_t completedCycles() const { return cycles_.load(); }
    // Ports whose probe timed out and that wait for a retry, as of the last cycle.
    size_t pendingRetries() const { return retriesPending_.load(); }

    // --- probing, monitor thread (public for tests) ----------------------
    // Opens `portName` at the probe baud rate with the safe open (the device
    // must already stream), probes it and closes it. 1 accepted, 0 refused
    // or not openable (the channel's last error tells why), -1/-2 a failed
    // read or write. `version` receives the version number seen.
    int setupSerial(KineSerial& channel, const std::string& portName, int& version);
    // The probe on an open channel: the device's own stream first, then the
    // identity exchange. Results as setupSerial.
    int preprocess170(KineSerial& channel, int& version);
    // The serial the latest probe read from an identity reply ("" if none).
    std::string lastProbedSerial() const { return lastSerial_; }

    // Index of the first whole identity reply (20 bytes starting AA 00 0A)
    // in bytes[0, size), or std::string::npos.
    static size_t findIdentityReply(const unsigned char* bytes, size_t size);

    // Version number -> device version text ("34 v0.9", ..., "unknown").
    static const char* versionText(int version);
    static void setVersion(KinetraPortInfo& info, int version);
    // Writes the 7-character text and a NUL at the start of deviceVersion.
    static void setVersion(KPort& port, int& version);

private:
    // Monitor passes.
    bool isNewPort(bool probe);
    bool isLostPort(bool unused);
    void checkTimeoutedPorts();
    int DoPreprocess(KinetraPortInfo& info, bool probe);
    void AddToTimeoutedPorts(KinetraPortInfo& info);
    int askIdentity(KineSerial& channel, int& version);
    bool isFiled(const std::string& portName) const;

    // Take the front of a queue; the caller holds the mutex.
    KPort getNewPort();
    KPort getLostPort();

    std::map<std::string, KinetraPortInfo> rejected_;
    std::map<std::string, KinetraPortInfo> known_;
    std::map<std::string, std::pair<KinetraPortInfo, uint32_t>> timedOut_;
    std::deque<KinetraPortInfo> newPorts_;
    std::deque<KinetraPortInfo> lostPorts_;
    std::set<filter_cond> filter_;
    std::atomic<bool> firstScanPending_{true};
    int probeBaud_;
    char lastSerial_[KPort::kFieldSize] = {0};
    std::atomic<bool> probe_{true};
    int kind_;
    std::atomic<bool> stop_{false};
    KinetraMutex mutex_;
    std::atomic<int> lastSize_{0};

    std::string devRoot_;
    std::string sysRoot_;
    std::atomic<uint64_t> cycles_{0};
    std::atomic<size_t> retriesPending_{0};
};
