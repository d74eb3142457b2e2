// SPDX-License-Identifier: MIT
// The exported C functions of a DAQ connection: each forwards to KineDAQ.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daq/KineDAQ_private.h"
#include "kine/KineDAQ.h"
#include "kine/kine_c.h"

static_assert(sizeof(kine_package) == sizeof(KinePackage), "C mirror of KinePackage");
static_assert(offsetof(kine_package, x) == offsetof(KinePackage, x), "C mirror of KinePackage");
static_assert(offsetof(kine_package, x2) == offsetof(KinePackage, x2), "C mirror of KinePackage");
static_assert(offsetof(kine_package, inconsistent) == offsetof(KinePackage, inconsistent), "C mirror");
static_assert(offsetof(kine_package, aux) == offsetof(KinePackage, aux), "C mirror of KinePackage");
static_assert(offsetof(kine_package, config) == offsetof(KinePackage, config), "C mirror of KinePackage");
static_assert(offsetof(kine_package, version) == offsetof(KinePackage, version), "C mirror of KinePackage");
static_assert(sizeof(kine_package6d) == sizeof(KinePackage6D), "C mirror of KinePackage6D");
static_assert(offsetof(kine_package6d, sensors) == offsetof(KinePackage6D, sensors), "C mirror");

namespace {

KineDAQ* daqOf(KineDAQHandle* h) { return reinterpret_cast<KineDAQ*>(h); }
KinePackage* packageOf(kine_package* p) { return reinterpret_cast<KinePackage*>(p); }

// Runs a read-all through the caller's array pointer, or, when the caller
// passes NULL, through a scratch pointer whose array is released at once.
template <typename Elem, typename CElem, typename Read>
int readAllThrough(CElem** out, Read read) {
    Elem* scratch = nullptr;
    struct Release {
        Elem*& array;
        ~Release() { delete[] array; }
    } release{scratch};  // also when the read throws
    Elem*& array = out ? reinterpret_cast<Elem*&>(*out) : scratch;
    return read(array);
}

// Runs `op` on the connection behind `h`. No exception may cross into a C
// caller: a NULL handle and any exception (memory exhaustion included)
// give the function's failure value instead.
template <typename R, typename Op>
R guarded(KineDAQHandle* h, R failure, Op op) noexcept {
    if (h == nullptr) return failure;
    try {
        return op(*daqOf(h));
    } catch (...) {
        return failure;
    }
}

template <typename Op>
void guarded(KineDAQHandle* h, Op op) noexcept {
    if (h == nullptr) return;
    try {
        op(*daqOf(h));
    } catch (...) {
    }
}

}  // namespace

extern "C" {

KineDAQHandle* callKineDAQ_Create(void) {
    try {
        return reinterpret_cast<KineDAQHandle*>(new KineDAQ);
    } catch (...) {
        return nullptr;
    }
}

void callKineDAQ_Dispose(KineDAQHandle* daq) {
    try {
        delete daqOf(daq);
    } catch (...) {
    }
}

bool callOpen(KineDAQHandle* daq, const char* portName, const char* deviceVersion) {
    return guarded(daq, false, [&](KineDAQ& d) {
        KPort port;
        // A device version text longer than its field is cut. A port name
        // longer than its field is opened as the device node it leads to,
        // by the rule of the connection's own open.
        const size_t room = KPort::kFieldSize - 1;
        const char* name = portName ? portName : "";
        const char* ver = deviceVersion ? deviceVersion : "";
        std::string openName(name, strnlen(name, KPort::kFieldSize + 1));
        if (openName.size() > KPort::kFieldSize) openName = kinePortNodeFor(name);
        KPort::storeField(port.portName, openName);
        KPort::storeField(port.deviceVersion, std::string(ver, strnlen(ver, room)));
        return d.open(port, false, 1000000);
    });
}

void callClose(KineDAQHandle* daq) {
    guarded(daq, [](KineDAQ& d) { d.close(); });
}
bool callIsOpen(KineDAQHandle* daq) {
    return guarded(daq, false, [](KineDAQ& d) { return d.isOpen(); });
}
bool callIsVirtual(KineDAQHandle* daq) {
    return guarded(daq, false, [](KineDAQ& d) { return d.isVirtual(); });
}
char* callGetPortName(KineDAQHandle* daq) {
    return guarded(daq, static_cast<char*>(nullptr), [](KineDAQ& d) { return d.getPortName(); });
}
int callGetSize(KineDAQHandle* daq) {
    return guarded(daq, 0, [](KineDAQ& d) { return d.getSize(); });
}
int callGetSensorSize(KineDAQHandle* daq) {
    return guarded(daq, 0, [](KineDAQ& d) { return d.getSensorSize(); });
}
bool callIsChksumOK(KineDAQHandle* daq) {
    return guarded(daq, false, [](KineDAQ& d) { return d.isChksumOK(); });
}
int callGetActualVersion(KineDAQHandle* daq) {
    return guarded(daq, 0, [](KineDAQ& d) { return d.getVersion(); });
}
int callGetBytesPerRead(KineDAQHandle* daq) {
    return guarded(daq, 0, [](KineDAQ& d) { return d.getBytesPerRead(); });
}

int callGetLastOpenError(KineDAQHandle* daq) {
    return guarded(daq, static_cast<int>(KINE_OPEN_INVALID_ARGUMENT),
                   [](KineDAQ& d) { return static_cast<int>(d.lastOpenError()); });
}
int callGetLastOpenErrno(KineDAQHandle* daq) {
    return guarded(daq, 0, [](KineDAQ& d) { return d.lastOpenErrno(); });
}

const char* callOpenErrorText(int code) {
    switch (code) {
    case KINE_OPEN_OK: return "no error";
    case KINE_OPEN_NO_DEVICE: return "no such device";
    case KINE_OPEN_PERMISSION_DENIED: return "permission denied";
    case KINE_OPEN_BUSY: return "device busy: held by another program or connection";
    case KINE_OPEN_NOT_SERIAL: return "not a serial device";
    case KINE_OPEN_NO_DATA: return "no data arrived within the wait";
    case KINE_OPEN_BAD_CHECKSUMS: return "no frame with a good checksum arrived";
    case KINE_OPEN_VERSION_MISMATCH: return "the data stream does not match the device version text";
    case KINE_OPEN_NO_CONFIG_ANSWER: return "no answer to the configuration exchange";
    case KINE_OPEN_CANCELLED: return "cancelled by close";
    case KINE_OPEN_INVALID_ARGUMENT: return "invalid port name";
    case KINE_OPEN_ALREADY_OPEN: return "the connection is already open";
    case KINE_OPEN_IO_ERROR: return "input/output error";
    case KINE_OPEN_NO_MEMORY: return "out of memory";
    default: return "unknown open error";
    }
}

unsigned char callGetConfig(KineDAQHandle* daq, unsigned char* config) {
    return guarded(daq, static_cast<unsigned char>(0), [&](KineDAQ& d) {
        const unsigned char byte = d.getConfig().to_uin8_t();
        if (config) *config = byte;
        return byte;
    });
}

bool callSendConfig(KineDAQHandle* daq, int mode, int speed, int filter) {
    return guarded(daq, false, [&](KineDAQ& d) {
        SensorConfig config;
        config.setFilter(filter);
        config.setSpeed(speed);
        config.setMode(mode);
        return d.sendConfig(config);
    });
}

bool callZero(KineDAQHandle* daq, int sensor) {
    return guarded(daq, false, [&](KineDAQ& d) { return d.zero(sensor); });
}
void callZeroAll(KineDAQHandle* daq) {
    guarded(daq, [](KineDAQ& d) { d.zeroAll(); });
}
bool callUnzero(KineDAQHandle* daq, int sensor) {
    return guarded(daq, false, [&](KineDAQ& d) { return d.unzero(sensor); });
}
void callUnzeroAll(KineDAQHandle* daq) {
    guarded(daq, [](KineDAQ& d) { d.unzeroAll(); });
}

bool callGetOffset(KineDAQHandle* daq, int sensor, kine_package* offset) {
    return guarded(daq, false, [&](KineDAQ& d) {
        const bool known = sensor >= 0 && sensor < d.getSensorSize();
        const KinePackage o = known ? d.getOffset(sensor) : KinePackage();
        if (offset) *packageOf(offset) = o;
        return known;
    });
}

// A NULL output buffer is read into a scratch record and discarded.
int callRead(KineDAQHandle* daq, kine_package* package, int sensor, bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        KinePackage scratch;
        return d.read(package ? *packageOf(package) : scratch, sensor, keep);
    });
}

int callRead6D(KineDAQHandle* daq, kine_package6d* package, bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        KinePackage6D scratch;
        return d.read6D(package ? *reinterpret_cast<KinePackage6D*>(package) : scratch, keep);
    });
}

int callReadArray(KineDAQHandle* daq, int values[8], bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        int scratch[8];
        return d.readArray(*reinterpret_cast<int(*)[8]>(values ? values : scratch), keep);
    });
}

int callReadVirtual(KineDAQHandle* daq, kine_package packages[16], bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        KinePackage scratch[16];
        KinePackage* out = packages ? packageOf(packages) : scratch;
        return d.readVirtual(*reinterpret_cast<KinePackage(*)[16]>(out), keep);
    });
}

int callReadVirtualArray(KineDAQHandle* daq, int values[128], bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        int scratch[128];
        return d.readVirtualArray(*reinterpret_cast<int(*)[128]>(values ? values : scratch), keep);
    });
}

int callRead6Axis(KineDAQHandle* daq, int values[6], bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        int scratch[6];
        return d.read6Axis(*reinterpret_cast<int(*)[6]>(values ? values : scratch), keep);
    });
}

int callReadAll(KineDAQHandle* daq, kine_package** packages, bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        return readAllThrough<KinePackage>(packages, [&](KinePackage*& a) { return d.readAll(a, keep); });
    });
}

int callReadAll6Axis(KineDAQHandle* daq, int** values, bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        return readAllThrough<int>(values, [&](int*& a) { return d.readAll6Axis(a, keep); });
    });
}

int callReadAll6D(KineDAQHandle* daq, kine_package6d** packages, bool keep) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        return readAllThrough<KinePackage6D>(packages, [&](KinePackage6D*& a) { return d.readAll6D(a, keep); });
    });
}

int callWaitRead(KineDAQHandle* daq, kine_package* package, int sensor, int timeout_ms) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        KinePackage scratch;
        return d.waitRead(package ? *packageOf(package) : scratch, sensor, timeout_ms);
    });
}

int callWaitReadAll(KineDAQHandle* daq, kine_package** packages, int timeout_ms) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        return readAllThrough<KinePackage>(packages, [&](KinePackage*& a) { return d.waitReadAll(a, timeout_ms); });
    });
}

int callWaitRead6D(KineDAQHandle* daq, kine_package6d* package, int timeout_ms) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        KinePackage6D scratch;
        return d.waitRead6D(package ? *reinterpret_cast<KinePackage6D*>(package) : scratch, timeout_ms);
    });
}

int callWaitReadAll6D(KineDAQHandle* daq, kine_package6d** packages, int timeout_ms) {
    return guarded(daq, KINE_NOT_OPEN, [&](KineDAQ& d) {
        return readAllThrough<KinePackage6D>(packages,
                                             [&](KinePackage6D*& a) { return d.waitReadAll6D(a, timeout_ms); });
    });
}

void callDeletePackageArray(kine_package** packages) {
    if (packages && *packages) delete[] packageOf(*packages);
}

void callDeletePackage6DArray(kine_package6d** packages) {
    if (packages && *packages) delete[] reinterpret_cast<KinePackage6D*>(*packages);
}

void callDeleteIntArray(int** values) {
    if (values && *values) delete[] * values;
}

}  // extern "C"
