#include "kine/KinePorts.h"

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
const char* KinePorts::getAPIversion() { return "1.5.1.234"; }
