// SPDX-License-Identifier: MIT
// The port monitor behind KinePorts: a thread that, every 100 ms, enumerates
// the serial ports, probes each new candidate once (a port whose USB vendor
// id is in the filter set, or one the user names in KINE_PROBE_PORTS), files
// the outcome (known DAQs, rejected ports, timed-out ports, and ports left
// alone for now), reports DAQs that were attached or lost through two FIFO
// queues, and re-probes ports whose probe timed out.
//
// A probe never touches a port another process has open (a descriptor on
// the device under /proc, or the advisory lock): the port is busy and is
// looked at again, paced, for as long as it is present. A port this user
// may not open is looked at again whenever its mode, owner or ACL changes.
// Ports excluded by KINE_EXCLUDE_PORTS or udev's KINE_IGNORE are never
// opened. A port name that comes back as another device node (a replug
// between two cycles) is forgotten, reported lost if it was a DAQ, and
// probed afresh.
//
// Threads: Run and the passes it calls run on the monitor thread only; the
// probe blocks that thread alone. The reading side (the *Thread operations,
// listPorts, getSize, getLastSize, getPortStatus) may be called from any
// thread: the mutex guards the known-DAQ map, the two queues and the status
// list, which the monitor changes only while filing. The other maps belong
// to the monitor thread.
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
#include "kine/kine_port_status.h"
#include "ports/KinetraPortInfo.h"
#include "ports/PortAccess.h"
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

// What one probe found.
struct ProbeResult {
    int result = 0;      // 1 accepted, 0 refused or not openable, -1/-2 a failed read or write
    int version = 0;     // the version number seen, 0 when none
    std::string serial;  // from an identity reply, "" otherwise
};

class KinePorts_private : public KinetraThread {
public:
    static constexpr int kListCapacity = 100;        // records in the shared port list
    static constexpr unsigned int kCycleMs = 100;    // sleep between two cycles
    static constexpr uint64_t kRetryPaceMs = 1250;   // a timed-out port waits longer than this
    static constexpr unsigned int kMaxRetries = 15;  // the 16th due retry rejects the port
    // A busy port is looked at every kBusyQuickMs for its first kBusyQuickLooks
    // looks, then every kBusyPaceMs, for as long as it is present.
    static constexpr uint64_t kBusyQuickMs = 250;
    static constexpr unsigned int kBusyQuickLooks = 8;
    static constexpr uint64_t kBusyPaceMs = 2000;
    // A port refused for permission is tried every kPermissionLookMs for
    // kPermissionWindowMs after it appeared (udev sets the mode a moment
    // after the kernel makes the node), later only when its mode, owner or
    // ACL change.
    static constexpr uint64_t kPermissionLookMs = 500;
    static constexpr uint64_t kPermissionWindowMs = 10000;
    // Events nobody takes: the oldest go first beyond this many.
    static constexpr size_t kQueueCapacity = 256;

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
    int getSize(bool unused);  // known DAQs now
    int getLastSize() const;   // known DAQs at the latest listPorts
    // The first pass has looked at every port present when the monitor
    // started: each is a DAQ, refused, timed out (and retried), busy,
    // without permission, or not a candidate.
    bool isSettled() const { return settled_.load(); }
    // Every port of the latest cycle and what discovery made of it; fills
    // up to `capacity` records of `out` (which may be NULL for 0) and
    // returns the number of ports.
    int getPortStatus(KinePortStatus* out, int capacity);
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
    // must already stream), probes it and closes it. Result 0 when it cannot
    // be opened: the channel's last error tells why.
    ProbeResult setupSerial(KineSerial& channel, const std::string& portName);
    // The probe on an open channel: the device's own stream first, then the
    // identity exchange.
    ProbeResult preprocess170(KineSerial& channel);

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
    ProbeResult askIdentity(KineSerial& channel);
    bool isFiled(const std::string& portName) const;

    // A port discovery leaves alone for now, and why.
    struct Watched {
        KinetraPortInfo info;
        kine_port_state state;
        kine_ports::Holder holder;      // busy: who holds it
        kine_ports::NodeAccess access;  // no permission: the node's mode and owner when last tried
        uint64_t since = 0;
        uint64_t nextLook = 0;
        unsigned int looks = 0;
    };
    // The ports of this cycle: the enumeration plus the KINE_PROBE_PORTS
    // paths that exist.
    std::vector<std::string> enumerate() const;
    // Not a candidate (why), or KINE_PORT_PENDING for one to probe.
    kine_port_state standingOf(const std::string& path, const KinetraPortInfo& info) const;
    void watch(const KinetraPortInfo& info, kine_port_state state, const kine_ports::Holder& holder);
    void checkWatchedPorts();
    // Forgets every record of the port; a known DAQ goes to the lost queue.
    bool forget(const std::string& portName);
    // Rebuilds the status list callers read, when anything changed.
    void publishStatus();
    template <typename Queue>
    void pushBounded(Queue& queue, const KinetraPortInfo& info);

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
    std::atomic<bool> settled_{false};  // the first cycle has published its status
    int probeBaud_;
    std::atomic<bool> probe_{true};
    int kind_;
    std::atomic<bool> stop_{false};
    KinetraMutex mutex_;
    std::atomic<int> lastSize_{0};

    std::string devRoot_;
    std::string sysRoot_;
    std::string udevRoot_;

    // Monitor thread: ports left alone for now, the reason a rejected or
    // timed-out port was filed, and the device node of every filed port.
    std::map<std::string, Watched> watched_;
    std::map<std::string, kine_port_state> verdicts_;
    std::map<std::string, kine_ports::NodeIdentity> identities_;
    kine_ports::PortSelection excluded_;  // KINE_EXCLUDE_PORTS at construction
    kine_ports::PortSelection extra_;     // KINE_PROBE_PORTS at construction
    bool statusDirty_ = true;
    std::vector<std::string> presentPaths_;  // as of the latest lost-port pass
    std::vector<KinePortStatus> status_;     // under the mutex
    std::atomic<uint64_t> cycles_{0};
    std::atomic<size_t> retriesPending_{0};
};
