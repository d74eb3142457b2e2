// SPDX-License-Identifier: MIT
#include "kine/KineDAQ.h"

#include "daq/KineDAQ_private.h"

KineDAQ::KineDAQ() : d(new KineDAQ_private) {}
KineDAQ::~KineDAQ() { delete d; }

bool KineDAQ::open(KPort port, bool debugMode, int baud) { return d->open(port, debugMode, baud); }
void KineDAQ::close() { d->close(); }
kine_open_error KineDAQ::lastOpenError() { return d->lastOpenError(); }
int KineDAQ::lastOpenErrno() { return d->lastOpenErrno(); }
bool KineDAQ::isOpen() { return d->isOpen(); }
bool KineDAQ::isVirtual() { return d->isVirtual(); }
int KineDAQ::getSize() { return d->getSize(); }
int KineDAQ::getSensorSize() { return d->getSensorSize(); }
bool KineDAQ::isChksumOK() { return d->isChksumOK(); }
int KineDAQ::getVersion() { return d->getVersion(); }
int KineDAQ::getBytesPerRead() { return d->getBytesPerRead(); }
char* KineDAQ::getPortName() { return d->getPortName(); }

SensorConfig KineDAQ::getConfig() { return d->getConfig(); }
bool KineDAQ::sendConfig(SensorConfig config) { return d->sendConfig(config); }

bool KineDAQ::zero(int sensor) { return d->zero(sensor); }
void KineDAQ::zeroAll() { d->zeroAll(); }
bool KineDAQ::unzero(int sensor) { return d->unzero(sensor); }
void KineDAQ::unzeroAll() { d->unzeroAll(); }
KinePackage KineDAQ::getOffset(int sensor) { return d->getOffset(sensor); }

int KineDAQ::read(KinePackage& sample, int sensor, bool keep) { return d->read(sample, sensor, keep); }
int KineDAQ::readAll(KinePackage*& samples, bool keep) { return d->readAll(samples, keep); }
int KineDAQ::readArray(int (&values)[8], bool keep) { return d->readArray(values, keep); }
int KineDAQ::readVirtual(KinePackage (&samples)[16], bool keep) { return d->readVirtual(samples, keep); }
int KineDAQ::readVirtualArray(int (&values)[128], bool keep) { return d->readVirtualArray(values, keep); }
int KineDAQ::read6D(KinePackage6D& sample, bool keep) { return d->read6D(sample, keep); }
int KineDAQ::readAll6D(KinePackage6D*& samples, bool keep) { return d->readAll6D(samples, keep); }
int KineDAQ::read6Axis(int (&values)[6], bool keep) { return d->read6Axis(values, keep); }
int KineDAQ::readAll6Axis(int*& values, bool keep) { return d->readAll6Axis(values, keep); }

int KineDAQ::waitRead(KinePackage& sample, int sensor, int timeoutMs) { return d->waitRead(sample, sensor, timeoutMs); }
int KineDAQ::waitReadAll(KinePackage*& samples, int timeoutMs) { return d->waitReadAll(samples, timeoutMs); }
int KineDAQ::waitRead6D(KinePackage6D& sample, int timeoutMs) { return d->waitRead6D(sample, timeoutMs); }
int KineDAQ::waitReadAll6D(KinePackage6D*& samples, int timeoutMs) { return d->waitReadAll6D(samples, timeoutMs); }
int KineDAQ::waitReadAll6Axis(int*& values, int timeoutMs) { return d->waitReadAll6Axis(values, timeoutMs); }
