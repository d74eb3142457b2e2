#include "ports/KinePorts_private.h"

#include <iterator>

#include "ports/PortRoots.h"
#include "serial/list_ports_linux.h"
#include "transport/KineSerial.h"

namespace {

constexpr int kFirstScanPolls = 25;
constexpr unsigned int kFirstScanPollMs = 16;

}  // namespace

KinePorts_private::KinePorts_private(int kindSelector, int probeBaud)
    : KinetraThread(true), probeBaud_(probeBaud), kind_(kindSelector == 3 || kindSelector == 6 ? kindSelector : 0) {
    filter_.insert(filter_cond{0x04D8, 0x000A});
    filter_.insert(filter_cond{0x0403, 0x6001});
    filter_.insert(filter_cond{0x10C4, 0xEA60});
    const kine_ports::EnumerationRoots roots = kine_ports::currentRoots();
    devRoot_ = roots.dev;
    sysRoot_ = roots.sys;
    startThread();
}

KinePorts_private::~KinePorts_private() { closeThread(); }

void KinePorts_private::startThread() {
    {
        KinetraLock lock(mutex_);
        stop_ = false;
    }
    Start();
}

void KinePorts_private::closeThread() {
    stop_ = true;
    Wait();
}

void KinePorts_private::Run() {
    while (!stop_.load()) {
        isNewPort(probe_.load());
        firstScanPending_ = false;
        isLostPort(probe_.load());
        checkTimeoutedPorts();
        retriesPending_ = timedOut_.size();
        ++cycles_;
        ThreadSleep(kCycleMs);
    }
}

bool KinePorts_private::isFiled(const std::string& portName) const {
    return known_.count(portName) || rejected_.count(portName) || timedOut_.count(portName);
}

// Ports already filed are skipped before they are described: a steady
// cycle reads no sysfs file for known, rejected or timed-out ports.
bool KinePorts_private::isNewPort(bool probe) {
    for (const std::string& path : serial::detail::list_port_paths_in(devRoot_)) {
        // Destruction waits for the probe under way, not for a whole burst.
        if (stop_.load()) break;
        // The maps change on this thread only: no lock needed to look them up.
        if (isFiled(path)) continue;
        KinetraPortInfo info(serial::detail::describe_port(path, sysRoot_));
        if (probe && !filter_.count(filter_cond{info.GetVendorID(), 0})) continue;
        DoPreprocess(info, probe);
    }
    return false;
}

int KinePorts_private::DoPreprocess(KinetraPortInfo& info, bool probe) {
    int version = 0;
    KineSerial channel;
    const int result = probe ? setupSerial(channel, info.GetPortName(), version) : 1;
    KinetraLock lock(mutex_);
    if (result < 1) {
        const KineSerial::LastErrorType error = channel.GetLastError();
        // A port held by another program (or another monitor's probe) is
        // busy only for a while: it is retried like a probe that timed out.
        if (error == KineSerial::SafeOpenError || error == KineSerial::ReadTimeout ||
            channel.GetOpenFailure() == KINE_OPEN_BUSY)
            AddToTimeoutedPorts(info);
        else
            rejected_[info.GetPortName()] = info;
    } else {
        info.SetDeviceSerial(lastSerial_);
        setVersion(info, version);
        known_[info.GetPortName()] = info;
        newPorts_.push_back(info);
    }
    return result;
}

void KinePorts_private::AddToTimeoutedPorts(KinetraPortInfo& info) {
    if (timedOut_.count(info.GetPortName())) return;
    info.Access();
    timedOut_.emplace(info.GetPortName(), std::make_pair(info, 0u));
}

void KinePorts_private::checkTimeoutedPorts() {
    for (auto it = timedOut_.begin(); it != timedOut_.end() && !stop_.load();) {
        KinetraPortInfo& info = it->second.first;
        uint32_t& retries = it->second.second;
        if (info.GetLastAccessedTime() <= kRetryPaceMs) {
            ++it;
            continue;
        }
        info.Access();
        ++retries;
        if (retries <= kMaxRetries) {
            // Accepted, or refused for good (a DAQ of the excluded kind, a
            // device that is gone): no further retry. Timed out again: kept.
            if (DoPreprocess(info, true) >= 1 || rejected_.count(it->first)) {
                it = timedOut_.erase(it);
                continue;
            }
            ++it;
        } else {
            rejected_[info.GetPortName()] = info;
            it = timedOut_.erase(it);
        }
    }
}

bool KinePorts_private::isLostPort(bool) {
    const std::vector<std::string> paths = serial::detail::list_port_paths_in(devRoot_);
    const std::set<std::string> present(paths.begin(), paths.end());
    for (auto it = rejected_.begin(); it != rejected_.end();)
        it = present.count(it->first) ? std::next(it) : rejected_.erase(it);
    bool moved = false;
    for (auto it = known_.begin(); it != known_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        KinetraLock lock(mutex_);
        lostPorts_.push_back(it->second);
        it = known_.erase(it);
        moved = true;
    }
    return moved;
}

// --- reading side ---------------------------------------------------------

KPort* KinePorts_private::listPorts(bool) {
    // Give a monitor still in its first pass up to about 400 ms to finish it.
    bool pending = true;
    for (int poll = 1; poll <= kFirstScanPolls && pending; ++poll) {
        pending = firstScanPending_.load();
        ThreadSleep(kFirstScanPollMs);
    }
    // One list for the whole process, every record empty at first; the
    // function-local static makes its creation thread-safe.
    static KPort portListTemp[kListCapacity];
    KinetraLock lock(mutex_);
    lastSize_ = static_cast<int>(known_.size());
    int i = 0;
    for (auto it = known_.begin(); it != known_.end() && i < kListCapacity; ++it, ++i)
        CopyPortInfoToKPort(&portListTemp[i], it->second);
    return portListTemp;
}

int KinePorts_private::getSize(bool) {
    KinetraLock lock(mutex_);
    return static_cast<int>(known_.size());
}

int KinePorts_private::getLastSize() const { return lastSize_.load(); }

KPort KinePorts_private::getNewPortThread() {
    KinetraLock lock(mutex_);
    return getNewPort();
}

KPort KinePorts_private::getLostPortThread() {
    KinetraLock lock(mutex_);
    return getLostPort();
}

bool KinePorts_private::isNewPortThread(bool probe) {
    KinetraLock lock(mutex_);
    probe_ = probe;
    return !newPorts_.empty();
}

bool KinePorts_private::isLostPortThread(bool) {
    KinetraLock lock(mutex_);
    return !lostPorts_.empty();
}

namespace {

// The front of a queue as a KPort (an empty record for an empty queue).
KPort takeFront(std::deque<KinetraPortInfo>& queue) {
    KPort port;
    if (!queue.empty()) {
        KinePorts_private::CopyPortInfoToKPort(&port, queue.front());
        queue.pop_front();
    }
    return port;
}

}  // namespace

KPort KinePorts_private::getNewPort() { return takeFront(newPorts_); }

KPort KinePorts_private::getLostPort() { return takeFront(lostPorts_); }

void KinePorts_private::CopyPortInfoToKPort(KPort* port, const KinetraPortInfo& info) {
    if (port == nullptr) return;
    KPort::storeField(port->portName, info.GetPortName());
    KPort::storeField(port->deviceVersion, info.GetDeviceVersion());
    KPort::storeField(port->deviceSerial, info.GetDeviceSerial());
}
