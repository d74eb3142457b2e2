// SPDX-License-Identifier: MIT
#include "ports/KinePorts_private.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "daq/Protocol.h"
#include "ports/PortRoots.h"
#include "serial/list_ports_linux.h"
#include "transport/KineSerial.h"

namespace {

constexpr int kFirstScanPolls = 25;
constexpr unsigned int kFirstScanPollMs = 16;

}  // namespace

KinePorts_private::KinePorts_private(int kindSelector, int probeBaud)
    : KinetraThread(true),
      probeBaud_(probeBaud),
      kind_(kindSelector == 3 || kindSelector == 6 ? kindSelector : 0),
      excluded_(std::getenv(kine_ports::kExcludeVariable)),
      extra_(std::getenv(kine_ports::kProbeVariable)) {
    filter_.insert(filter_cond{0x04D8, 0x000A});
    filter_.insert(filter_cond{0x0403, 0x6001});
    filter_.insert(filter_cond{0x10C4, 0xEA60});
    const kine_ports::EnumerationRoots roots = kine_ports::currentRoots();
    devRoot_ = roots.dev;
    sysRoot_ = roots.sys;
    udevRoot_ = roots.udev;
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
        checkWatchedPorts();
        publishStatus();
        settled_ = true;
        retriesPending_ = timedOut_.size();
        ++cycles_;
        ThreadSleep(kCycleMs);
    }
}

bool KinePorts_private::isFiled(const std::string& portName) const {
    return known_.count(portName) || rejected_.count(portName) || timedOut_.count(portName) || watched_.count(portName);
}

std::vector<std::string> KinePorts_private::enumerate() const {
    std::vector<std::string> paths = serial::detail::list_port_paths_in(devRoot_);
    for (const std::string& extra : extra_.paths()) {
        if (std::find(paths.begin(), paths.end(), extra) != paths.end()) continue;
        struct stat st {};
        if (::stat(extra.c_str(), &st) == 0) paths.push_back(extra);
    }
    return paths;
}

kine_port_state KinePorts_private::standingOf(const std::string& path, const KinetraPortInfo& info) const {
    if (excluded_.matches(path, info.GetVendorID(), info.GetProductID()) || kine_ports::udevExcluded(path, udevRoot_))
        return KINE_PORT_EXCLUDED;
    if (extra_.matches(path, info.GetVendorID(), info.GetProductID())) return KINE_PORT_PENDING;
    if (filter_.count(filter_cond{info.GetVendorID(), 0})) return KINE_PORT_PENDING;
    return info.GetVendorID() < 0 ? KINE_PORT_NOT_USB : KINE_PORT_OTHER_VENDOR;
}

// Ports already filed are skipped before they are described: a steady
// cycle reads no sysfs file for a port it has seen.
bool KinePorts_private::isNewPort(bool probe) {
    for (const std::string& path : enumerate()) {
        // Destruction waits for the probe under way, not for a whole burst.
        if (stop_.load()) break;
        // The maps change on this thread only: no lock needed to look them up.
        if (isFiled(path)) {
            // Taking ports unprobed takes those that were no candidates too.
            const auto w = watched_.find(path);
            if (probe || w == watched_.end() ||
                (w->second.state != KINE_PORT_NOT_USB && w->second.state != KINE_PORT_OTHER_VENDOR))
                continue;
            watched_.erase(w);
        }
        kine_ports::NodeIdentity identity;
        if (!kine_ports::nodeIdentity(path, identity)) continue;  // gone again
        KinetraPortInfo info(serial::detail::describe_port(path, sysRoot_));
        identities_[path] = identity;
        statusDirty_ = true;
        const kine_port_state standing = probe ? standingOf(path, info) : KINE_PORT_PENDING;
        if (standing != KINE_PORT_PENDING) {
            watch(info, standing, kine_ports::Holder());
            continue;
        }
        DoPreprocess(info, probe);
    }
    return false;
}

int KinePorts_private::DoPreprocess(KinetraPortInfo& info, bool probe) {
    const std::string& path = info.GetPortName();
    ProbeResult found;
    found.result = 1;
    KineSerial channel;
    kine_port_state leftAlone = KINE_PORT_PENDING;
    kine_ports::Holder holder;
    if (probe) {
        // Nothing is opened that this user may not open or that another
        // process holds: the open itself, and the line settings that follow
        // it, would disturb that process.
        if (!kine_ports::mayOpen(path))
            leftAlone = KINE_PORT_NO_PERMISSION;
        else if ((holder = kine_ports::findHolder(path)).pid != 0)
            leftAlone = KINE_PORT_BUSY;
        else {
            info.Access();  // retries are paced from the open, not from the checks before it
            found = setupSerial(channel, path);
        }
    }
    KinetraLock lock(mutex_);
    statusDirty_ = true;
    if (leftAlone == KINE_PORT_PENDING && found.result < 1) {
        if (channel.GetOpenFailure() == KINE_OPEN_BUSY)
            leftAlone = KINE_PORT_BUSY;  // held under the advisory lock, e.g. by a connection of this process
        else if (channel.GetOpenFailure() == KINE_OPEN_PERMISSION_DENIED)
            leftAlone = KINE_PORT_NO_PERMISSION;
    }
    if (leftAlone != KINE_PORT_PENDING) {
        watch(info, leftAlone, holder);
        return 0;
    }
    if (found.result < 1) {
        const KineSerial::LastErrorType error = channel.GetLastError();
        if (error == KineSerial::SafeOpenError || error == KineSerial::ReadTimeout) {
            AddToTimeoutedPorts(info);
            verdicts_[path] = KINE_PORT_NO_ANSWER;
        } else {
            rejected_[path] = info;
            verdicts_[path] = error == KineSerial::OpenError                         ? KINE_PORT_OPEN_FAILED
                              : kine::protocol::identityOf(found.version) != nullptr ? KINE_PORT_OTHER_KIND
                                                                                     : KINE_PORT_NO_ANSWER;
        }
    } else {
        info.SetDeviceSerial(found.serial);
        setVersion(info, found.version);
        known_[path] = info;
        pushBounded(newPorts_, info);
    }
    return found.result;
}

template <typename Queue>
void KinePorts_private::pushBounded(Queue& queue, const KinetraPortInfo& info) {
    if (queue.size() >= kQueueCapacity) queue.pop_front();
    queue.push_back(info);
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
            // Accepted, refused for good (a DAQ of the excluded kind, a
            // device that is gone), or now busy or refused for permission
            // (looked at as such from now on): no further retry. Timed out
            // again: kept.
            if (DoPreprocess(info, true) >= 1 || rejected_.count(it->first) || watched_.count(it->first)) {
                it = timedOut_.erase(it);
                continue;
            }
            ++it;
        } else {
            rejected_[info.GetPortName()] = info;
            statusDirty_ = true;
            it = timedOut_.erase(it);
        }
    }
}

void KinePorts_private::watch(const KinetraPortInfo& info, kine_port_state state, const kine_ports::Holder& holder) {
    const uint64_t now = MonotonicNow();
    Watched w{info, state, holder, kine_ports::nodeAccess(info.GetPortName()), now, now, 0};
    w.nextLook = now + (state == KINE_PORT_BUSY ? kBusyQuickMs : kPermissionLookMs);
    watched_[info.GetPortName()] = w;
    statusDirty_ = true;
}

// Busy ports: looked at paced, probed once nobody holds them. Ports refused
// for permission: tried again while udev may still be setting them up, and
// whenever their mode, owner or ACL change.
void KinePorts_private::checkWatchedPorts() {
    const uint64_t now = MonotonicNow();
    for (auto it = watched_.begin(); it != watched_.end() && !stop_.load();) {
        Watched& w = it->second;
        const std::string path = it->first;
        if (w.state == KINE_PORT_BUSY) {
            if (now < w.nextLook) {
                ++it;
                continue;
            }
            ++w.looks;
            w.nextLook = now + (w.looks < kBusyQuickLooks ? kBusyQuickMs : kBusyPaceMs);
            const kine_ports::Holder holder = kine_ports::findHolder(path);
            if (holder.pid != 0) {
                if (holder.pid != w.holder.pid || holder.command != w.holder.command) statusDirty_ = true;
                w.holder = holder;
                ++it;
                continue;
            }
        } else if (w.state == KINE_PORT_NO_PERMISSION) {
            const kine_ports::NodeAccess access = kine_ports::nodeAccess(path);
            const bool changed = !(access == w.access);
            if (!changed && (now - w.since > kPermissionWindowMs || now < w.nextLook)) {
                ++it;
                continue;
            }
            w.access = access;
            w.nextLook = now + kPermissionLookMs;
            if (!kine_ports::mayOpen(path)) {
                ++it;
                continue;
            }
        } else {
            ++it;
            continue;
        }
        // Try it again, keeping the pace if it is left alone once more.
        const Watched before = w;
        it = watched_.erase(it);
        KinetraPortInfo info = before.info;
        DoPreprocess(info, true);
        const auto again = watched_.find(path);
        if (again != watched_.end() && again->second.state == before.state) {
            again->second.since = before.since;
            again->second.looks = before.looks;
            again->second.nextLook = before.nextLook;
        }
    }
}

bool KinePorts_private::forget(const std::string& portName) {
    rejected_.erase(portName);
    timedOut_.erase(portName);
    watched_.erase(portName);
    verdicts_.erase(portName);
    identities_.erase(portName);
    statusDirty_ = true;
    const auto known = known_.find(portName);
    if (known == known_.end()) return false;
    KinetraLock lock(mutex_);
    pushBounded(lostPorts_, known->second);
    known_.erase(known);
    return true;
}

bool KinePorts_private::isLostPort(bool) {
    const std::vector<std::string> paths = enumerate();
    const std::set<std::string> present(paths.begin(), paths.end());
    bool moved = false;
    // A port name whose device node changed is another device: forgotten
    // here, probed afresh by the next new-port pass.
    for (auto it = identities_.begin(); it != identities_.end();) {
        const std::string name = it->first;
        const kine_ports::NodeIdentity before = it->second;
        ++it;
        kine_ports::NodeIdentity now;
        if (present.count(name) && kine_ports::nodeIdentity(name, now) && now != before) moved |= forget(name);
    }
    for (auto it = rejected_.begin(); it != rejected_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        verdicts_.erase(it->first);
        identities_.erase(it->first);
        it = rejected_.erase(it);
        statusDirty_ = true;
    }
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        identities_.erase(it->first);
        it = watched_.erase(it);
        statusDirty_ = true;
    }
    for (auto it = known_.begin(); it != known_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        identities_.erase(it->first);
        KinetraLock lock(mutex_);
        pushBounded(lostPorts_, it->second);
        it = known_.erase(it);
        moved = true;
        statusDirty_ = true;
    }
    if (paths != presentPaths_) {
        presentPaths_ = paths;
        statusDirty_ = true;
    }
    return moved;
}

void KinePorts_private::publishStatus() {
    if (!statusDirty_) return;
    statusDirty_ = false;
    std::vector<KinePortStatus> status;
    status.reserve(presentPaths_.size());
    for (const std::string& path : presentPaths_) {
        KinePortStatus s{};
        std::snprintf(s.port, sizeof s.port, "%s", path.c_str());
        s.state = KINE_PORT_PENDING;
        s.vendor_id = s.product_id = -1;
        const KinetraPortInfo* info = nullptr;
        if (const auto w = watched_.find(path); w != watched_.end()) {
            info = &w->second.info;
            s.state = w->second.state;
            s.holder_pid = w->second.holder.pid;
            std::snprintf(s.holder_command, sizeof s.holder_command, "%s", w->second.holder.command.c_str());
        } else if (const auto k = known_.find(path); k != known_.end()) {
            info = &k->second;
            s.state = KINE_PORT_DAQ;
            std::snprintf(s.device_version, sizeof s.device_version, "%s", info->GetDeviceVersion().c_str());
            std::snprintf(s.device_serial, sizeof s.device_serial, "%s", info->GetDeviceSerial().c_str());
        } else if (const auto r = rejected_.find(path); r != rejected_.end()) {
            info = &r->second;
        } else if (const auto t = timedOut_.find(path); t != timedOut_.end()) {
            info = &t->second.first;
        }
        if (info != nullptr) {
            s.vendor_id = info->GetVendorID();
            s.product_id = info->GetProductID();
        }
        if (const auto v = verdicts_.find(path); v != verdicts_.end() && s.state == KINE_PORT_PENDING)
            s.state = v->second;
        status.push_back(s);
    }
    KinetraLock lock(mutex_);
    status_.swap(status);
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

int KinePorts_private::getPortStatus(KinePortStatus* out, int capacity) {
    KinetraLock lock(mutex_);
    const int n = static_cast<int>(status_.size());
    for (int i = 0; out != nullptr && i < n && i < capacity; ++i) out[i] = status_[i];
    return n;
}

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
