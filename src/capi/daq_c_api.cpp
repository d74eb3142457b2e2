// The exported C functions of a DAQ connection: each forwards to KineDAQ.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

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

}  // namespace

extern "C" {

KineDAQHandle* callKineDAQ_Create(void) {
    return reinterpret_cast<KineDAQHandle*>(new (std::nothrow) KineDAQ);
}

void callKineDAQ_Dispose(KineDAQHandle* daq) { delete daqOf(daq); }

bool callOpen(KineDAQHandle* daq, const char* portName, const char* deviceVersion) {
    KPort port;
    // Each text must fit its field with a terminating NUL; a longer one is
    // cut so nothing is written past the field. A longer port name is
    // usually a link such as /dev/serial/by-id/...: it is followed to the
    // device node, which is used when it fits. Otherwise a cut name cannot
    // name the device the caller meant.
    const size_t room = KPort::kFieldSize - 1;
    const char* name = portName ? portName : "";
    const char* ver = deviceVersion ? deviceVersion : "";
    std::string openName(name, strnlen(name, room + 1));
    bool usable = true;
    if (openName.size() > room) {
        char* real = ::realpath(name, nullptr);
        usable = real && std::strlen(real) <= room;
        openName = usable ? std::string(real) : std::string(name, room);
        std::free(real);
    }
    std::string cutVersion(ver, strnlen(ver, room));
    KPort::storeField(port.portName, openName);
    KPort::storeField(port.deviceVersion, cutVersion);
    if (!usable) return false;
    return daqOf(daq)->open(port, false, 1000000);
}

void callClose(KineDAQHandle* daq) { daqOf(daq)->close(); }
bool callIsOpen(KineDAQHandle* daq) { return daqOf(daq)->isOpen(); }
bool callIsVirtual(KineDAQHandle* daq) { return daqOf(daq)->isVirtual(); }
char* callGetPortName(KineDAQHandle* daq) { return daqOf(daq)->getPortName(); }
int callGetSize(KineDAQHandle* daq) { return daqOf(daq)->getSize(); }
int callGetSensorSize(KineDAQHandle* daq) { return daqOf(daq)->getSensorSize(); }
bool callIsChksumOK(KineDAQHandle* daq) { return daqOf(daq)->isChksumOK(); }
int callGetActualVersion(KineDAQHandle* daq) { return daqOf(daq)->getVersion(); }
int callGetBytesPerRead(KineDAQHandle* daq) { return daqOf(daq)->getBytesPerRead(); }

unsigned char callGetConfig(KineDAQHandle* daq, unsigned char* config) {
    const unsigned char byte = daqOf(daq)->getConfig().to_uin8_t();
    if (config) *config = byte;
    return byte;
}

bool callSendConfig(KineDAQHandle* daq, int mode, int speed, int filter) {
    SensorConfig config;
    config.setFilter(filter);
    config.setSpeed(speed);
    config.setMode(mode);
    return daqOf(daq)->sendConfig(config);
}

bool callZero(KineDAQHandle* daq, int sensor) { return daqOf(daq)->zero(sensor); }
void callZeroAll(KineDAQHandle* daq) { daqOf(daq)->zeroAll(); }
bool callUnzero(KineDAQHandle* daq, int sensor) { return daqOf(daq)->unzero(sensor); }
void callUnzeroAll(KineDAQHandle* daq) { daqOf(daq)->unzeroAll(); }

// A NULL output buffer is read into a scratch record and discarded.
int callRead(KineDAQHandle* daq, kine_package* package, int sensor, bool keep) {
    KinePackage scratch;
    return daqOf(daq)->read(package ? *packageOf(package) : scratch, sensor, keep);
}

int callRead6D(KineDAQHandle* daq, kine_package6d* package, bool keep) {
    KinePackage6D scratch;
    return daqOf(daq)->read6D(package ? *reinterpret_cast<KinePackage6D*>(package) : scratch, keep);
}

int callReadArray(KineDAQHandle* daq, int values[8], bool keep) {
    int scratch[8];
    return daqOf(daq)->readArray(*reinterpret_cast<int(*)[8]>(values ? values : scratch), keep);
}

int callReadVirtual(KineDAQHandle* daq, kine_package packages[16], bool keep) {
    KinePackage scratch[16];
    KinePackage* out = packages ? packageOf(packages) : scratch;
    return daqOf(daq)->readVirtual(*reinterpret_cast<KinePackage(*)[16]>(out), keep);
}

int callReadVirtualArray(KineDAQHandle* daq, int values[128], bool keep) {
    int scratch[128];
    return daqOf(daq)->readVirtualArray(*reinterpret_cast<int(*)[128]>(values ? values : scratch), keep);
}

int callRead6Axis(KineDAQHandle* daq, int values[6], bool keep) {
    int scratch[6];
    return daqOf(daq)->read6Axis(*reinterpret_cast<int(*)[6]>(values ? values : scratch), keep);
}

int callReadAll(KineDAQHandle* daq, kine_package** packages, bool keep) {
    KinePackage* scratch = nullptr;
    KinePackage*& array = packages ? reinterpret_cast<KinePackage*&>(*packages) : scratch;
    int r = daqOf(daq)->readAll(array, keep);
    if (!packages) delete[] scratch;
    return r;
}

int callReadAll6Axis(KineDAQHandle* daq, int** values, bool keep) {
    int* scratch = nullptr;
    int*& array = values ? *values : scratch;
    int r = daqOf(daq)->readAll6Axis(array, keep);
    if (!values) delete[] scratch;
    return r;
}

void callDeletePackageArray(kine_package** packages) {
    if (packages && *packages) delete[] packageOf(*packages);
}

void callDeleteIntArray(int** values) {
    if (values && *values) delete[] *values;
}

}  // extern "C"
