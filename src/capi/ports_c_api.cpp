// The exported C functions of port discovery: each forwards to KinePorts and
// hands ports over as triples of strings the caller owns.
#include <cstring>
#include <mutex>
#include <new>

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

char* copyField(const char (&field)[KPort::kFieldSize]) {
    const size_t n = strnlen(field, KPort::kFieldSize);
    char* text = new char[n + 1];
    std::memcpy(text, field, n);
    text[n] = '\0';
    return text;
}

void copyTriple(const KPort& port, char** triple) {
    triple[0] = copyField(port.portName);
    triple[1] = copyField(port.deviceVersion);
    triple[2] = copyField(port.deviceSerial);
}

}  // namespace

extern "C" {

KinePortsHandle* callKinePorts_Create(void) {
    try {
        return reinterpret_cast<KinePortsHandle*>(new KinePorts(0, 1000000));
    } catch (...) {
        return nullptr;
    }
}

void callKinePorts_Dispose(KinePortsHandle* ports) { delete portsOf(ports); }

char** callListPorts(KinePortsHandle* ports) {
    std::lock_guard<std::mutex> guard(listLock());
    const KPort* records = portsOf(ports)->listPorts(false);
    const int n = listedCount(portsOf(ports));
    char** list = new char*[3 * static_cast<size_t>(n)];
    for (int i = 0; i < n; ++i) copyTriple(records[i], list + 3 * i);
    return list;
}

int callGetSizePorts(KinePortsHandle* ports) { return portsOf(ports)->getSize(true); }

int callGetLastSize(KinePortsHandle* ports) { return listedCount(portsOf(ports)); }

bool callIsNewPort(KinePortsHandle* ports) { return portsOf(ports)->isNewPort(true); }

bool callIsLostPort(KinePortsHandle* ports) { return portsOf(ports)->isLostPort(true); }

// Without slots to write, the waiting port is left for a later call.
void callGetNewPort(KinePortsHandle* ports, char** port) {
    if (port) copyTriple(portsOf(ports)->getNewPort(), port);
}

void callGetLostPort(KinePortsHandle* ports, char** port) {
    if (port) copyTriple(portsOf(ports)->getLostPort(), port);
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
