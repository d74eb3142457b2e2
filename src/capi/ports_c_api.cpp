// SPDX-License-Identifier: MIT
// The exported C functions of port discovery: each forwards to KinePorts and
// hands ports over as triples of strings the caller owns.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

#include "capi/port_triple.h"
#include "kine/KinePorts.h"
#include "kine/kine_c.h"
#include "ports/KinePorts_private.h"

namespace {

KinePorts* portsOf(KinePortsHandle* h) { return reinterpret_cast<KinePorts*>(h); }

// listPorts fills one array shared by the whole process and releases the
// monitor's mutex before returning; this lock keeps a second C caller from
// overwriting that array until the first one has made its copies.
std::mutex& listLock() {
    static std::mutex lock;
    return lock;
}

// The n of a list: the known DAQs of the latest listPorts, at most the
// records the shared array holds.
int listedCount(KinePorts* ports) {
    const int n = ports->getLastSize();
    if (n < 1) return 0;
    return n < KinePorts_private::kListCapacity ? n : KinePorts_private::kListCapacity;
}

// callGetLastSize answers for the calling thread's own latest list on a
// handle. A handle's address can come back for a new handle once the old
// one is disposed, so each handle gets a number that is never reused, and a
// thread's record counts only for the handle it was made for.
struct HandleRegistry {
    std::mutex lock;
    std::unordered_map<const KinePortsHandle*, uint64_t> serials;
    uint64_t next = 1;
};

HandleRegistry& registry() {
    static HandleRegistry r;
    return r;
}

uint64_t serialOf(const KinePortsHandle* h) {
    HandleRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    const auto it = r.serials.find(h);
    return it == r.serials.end() ? 0 : it->second;
}

struct ThreadListSize {
    uint64_t handle = 0;
    int n = 0;
};

std::unordered_map<const KinePortsHandle*, ThreadListSize>& threadListSizes() {
    thread_local std::unordered_map<const KinePortsHandle*, ThreadListSize> sizes;
    return sizes;
}

char* copyField(const char (&field)[KPort::kFieldSize]) {
    const size_t n = strnlen(field, KPort::kFieldSize);
    char* text = new char[n + 1];
    std::memcpy(text, field, n);
    text[n] = '\0';
    return text;
}

}  // namespace

void kine_copy_port_triple(const KPort& port, char** triple) {
    triple[0] = triple[1] = triple[2] = nullptr;
    try {
        triple[0] = copyField(port.portName);
        triple[1] = copyField(port.deviceVersion);
        triple[2] = copyField(port.deviceSerial);
    } catch (...) {
        callDeleteKPORT(triple);
        triple[0] = triple[1] = triple[2] = nullptr;
        throw;
    }
}

namespace {

// Without slots to write, the waiting port is left for a later call; a NULL
// handle gives an empty triple, memory exhaustion three NULL slots.
template <typename Take>
void takePort(KinePortsHandle* ports, char** port, Take take) noexcept {
    if (port == nullptr) return;
    try {
        kine_copy_port_triple(ports ? take(*portsOf(ports)) : KPort(), port);
    } catch (...) {
    }
}

}  // namespace

extern "C" {

KinePortsHandle* callKinePorts_Create(void) {
    try {
        std::unique_ptr<KinePorts> ports(new KinePorts(0, 1000000));
        KinePortsHandle* h = reinterpret_cast<KinePortsHandle*>(ports.get());
        HandleRegistry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.serials[h] = r.next++;
        ports.release();
        return h;
    } catch (...) {
        return nullptr;
    }
}

void callKinePorts_Dispose(KinePortsHandle* ports) {
    if (ports == nullptr) return;
    {
        HandleRegistry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        r.serials.erase(ports);
    }
    delete portsOf(ports);
}

// A NULL handle lists nothing; NULL is returned only when memory is exhausted.
char** callListPorts(KinePortsHandle* ports) {
    try {
        if (ports == nullptr) return new char*[0];
        std::lock_guard<std::mutex> guard(listLock());
        const KPort* records = portsOf(ports)->listPorts(false);
        const int n = listedCount(portsOf(ports));
        char** list = new char*[3 * static_cast<size_t>(n)];
        int made = 0;
        try {
            for (; made < n; ++made) kine_copy_port_triple(records[made], list + 3 * made);
            threadListSizes()[ports] = ThreadListSize{serialOf(ports), n};
        } catch (...) {
            callDeletePORTLIST(&list, made);
            throw;
        }
        return list;
    } catch (...) {
        return nullptr;
    }
}

int callGetSizePorts(KinePortsHandle* ports) { return ports ? portsOf(ports)->getSize(true) : 0; }

int callGetLastSize(KinePortsHandle* ports) {
    if (ports == nullptr) return 0;
    try {
        auto& sizes = threadListSizes();
        const auto it = sizes.find(ports);
        if (it == sizes.end()) return 0;
        if (it->second.handle == serialOf(ports)) return it->second.n;
        sizes.erase(it);  // made for a handle since disposed
    } catch (...) {
    }
    return 0;
}

bool callIsSettled(KinePortsHandle* ports) { return ports && portsOf(ports)->isSettled(); }

int callGetPortStatus(KinePortsHandle* ports, KinePortStatus* status, int capacity) {
    if (ports == nullptr) return 0;
    try {
        return portsOf(ports)->getPortStatus(status, status ? capacity : 0);
    } catch (...) {
        return 0;
    }
}

bool callIsNewPort(KinePortsHandle* ports) { return ports && portsOf(ports)->isNewPort(true); }

bool callIsLostPort(KinePortsHandle* ports) { return ports && portsOf(ports)->isLostPort(true); }

void callGetNewPort(KinePortsHandle* ports, char** port) {
    takePort(ports, port, [](KinePorts& p) { return p.getNewPort(); });
}

void callGetLostPort(KinePortsHandle* ports, char** port) {
    takePort(ports, port, [](KinePorts& p) { return p.getLostPort(); });
}

void callDeleteKPORT(char** port) {
    if (port == nullptr) return;
    for (int i = 0; i < 3; ++i) delete[] port[i];
}

void callDeletePORTLIST(char*** list, int n) {
    if (list == nullptr || *list == nullptr) return;
    char** array = *list;
    if (n > KinePorts_private::kListCapacity) n = KinePorts_private::kListCapacity;  // no list holds more
    for (int i = 0; i < 3 * n; ++i) delete[] array[i];
    delete[] array;
}

}  // extern "C"
