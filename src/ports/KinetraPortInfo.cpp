// SPDX-License-Identifier: MIT
#include "ports/KinetraPortInfo.h"

#include <sstream>

#include "serial/serial.h"
#include "threading/KinetraThread.h"

namespace {

const char kIdMarker[] = "VID:PID=";

// One hexadecimal number read as a formatted stream read into -1: leading
// blanks are skipped; no digit at all gives 0, an empty text keeps -1.
int readHex(const std::string& text) {
    int value = -1;
    std::istringstream in(text);
    in >> std::hex >> value;
    return value;
}

// The text after the marker, or false when there is no marker.
bool afterMarker(const std::string& hardwareId, std::string& rest) {
    const size_t at = hardwareId.find(kIdMarker);
    if (at == std::string::npos) return false;
    rest = hardwareId.substr(at + sizeof kIdMarker - 1);
    return true;
}

}  // namespace

KinetraPortInfo::KinetraPortInfo() : lastAccess_(KinetraThread::MonotonicNow()) {}

KinetraPortInfo::KinetraPortInfo(const serial::PortInfo& info)
    : KinetraPortInfo(info.port, info.description, info.hardware_id, info.manufacturer) {}

KinetraPortInfo::KinetraPortInfo(const std::string& port, const std::string& /*description*/,
                                 const std::string& hardwareId, const std::string& manufacturer)
    : portName_(port), hardwareId_(hardwareId), manufacturer_(manufacturer) {
    vendorId_ = CalculateVendorId(hardwareId_);
    productId_ = CalculateProductId(hardwareId_);
}

void KinetraPortInfo::Access() { lastAccess_ = KinetraThread::MonotonicNow(); }

uint64_t KinetraPortInfo::GetLastAccessedTime() const { return KinetraThread::MonotonicNow() - lastAccess_; }

int KinetraPortInfo::CalculateVendorId(const std::string& hardwareId) const {
    std::string rest;
    if (!afterMarker(hardwareId, rest)) return -1;
    const size_t colon = rest.find(':');
    if (rest.find(';') == std::string::npos || colon == std::string::npos) return -1;
    return readHex(rest.substr(0, colon));
}

int KinetraPortInfo::CalculateProductId(const std::string& hardwareId) const {
    std::string rest;
    if (!afterMarker(hardwareId, rest)) return -1;
    const size_t colon = rest.find(':');
    const size_t semicolon = rest.find(';');
    // A ";" before the ":" leaves no product part to read.
    if (colon == std::string::npos || semicolon == std::string::npos || semicolon < colon) return -1;
    return readHex(rest.substr(colon + 1, semicolon - colon - 1));
}

bool KinetraPortInfo::operator==(const KinetraPortInfo& other) const {
    return hardwareId_ == other.hardwareId_ && manufacturer_ == other.manufacturer_ &&
           description_ == other.description_ && portName_ == other.portName_ && productId_ == other.productId_ &&
           vendorId_ == other.vendorId_;
}

std::string KinetraPortInfo::GetReadablePortInfo() const {
    std::ostringstream out;
    out << "Port Name: " << portName_ << "\n"
        << "Port Description: " << description_ << "\n"
        << "Port Manufacturer: " << manufacturer_ << "\n"
        << "Hardware ID: " << hardwareId_ << "\n"
        << "Port VID: " << vendorId_ << "\n"
        << "Port PID: " << productId_ << "\n";
    return out.str();
}
