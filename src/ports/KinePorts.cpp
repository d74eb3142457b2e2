// SPDX-License-Identifier: MIT
#include "kine/KinePorts.h"

#include <cstddef>

#include "ports/KinePorts_private.h"

KinePorts::KinePorts(int kind, int probeBaud) : d(new KinePorts_private(kind, probeBaud)) {}

KinePorts::~KinePorts() { delete d; }

KPort* KinePorts::listPorts(bool unused) { return d->listPorts(unused); }
int KinePorts::getSize(bool unused) { return d->getSize(unused); }
int KinePorts::getLastSize() { return d->getLastSize(); }
bool KinePorts::isNewPort(bool probe) { return d->isNewPortThread(probe); }
bool KinePorts::isLostPort(bool unused) { return d->isLostPortThread(unused); }
KPort KinePorts::getNewPort() { return d->getNewPortThread(); }
KPort KinePorts::getLostPort() { return d->getLostPortThread(); }
bool KinePorts::isSettled() { return d->isSettled(); }
int KinePorts::getPortStatus(KinePortStatus* out, int capacity) { return d->getPortStatus(out, capacity); }
const char* KinePorts::getAPIversion() { return "1.5.1.234"; }

static_assert(sizeof(KinePortStatus) == 164 && offsetof(KinePortStatus, vendor_id) == 64 &&
                  offsetof(KinePortStatus, holder_command) == 80 && offsetof(KinePortStatus, device_version) == 112 &&
                  offsetof(KinePortStatus, device_serial) == 137,
              "KinePortStatus crosses the C boundary: Python mirrors this layout");
