// SPDX-License-Identifier: MIT
// The full record port discovery keeps for every serial port it has seen:
// the enumeration texts, the USB vendor and product ids parsed from the
// hardware id, what probing learnt (device version, serial) and when the
// port was last probed. Copyable; held by value in the monitor's maps.
#pragma once

#include <cstdint>
#include <string>

namespace serial {
struct PortInfo;
}

class KinetraPortInfo {
public:
    // Empty texts, device version "unknown", ids -1, stamped now.
    KinetraPortInfo();
    // From an enumeration record. The description is not kept; the record
    // is not stamped (last access 0).
    explicit KinetraPortInfo(const serial::PortInfo& info);
    KinetraPortInfo(const std::string& port, const std::string& description, const std::string& hardwareId,
                    const std::string& manufacturer);
    virtual ~KinetraPortInfo() = default;
    KinetraPortInfo(const KinetraPortInfo&) = default;
    KinetraPortInfo& operator=(const KinetraPortInfo&) = default;

    const std::string& GetPortName() const { return portName_; }
    const std::string& GetPortDescription() const { return description_; }
    const std::string& GetHardwareID() const { return hardwareId_; }
    const std::string& GetManufacturer() const { return manufacturer_; }
    const std::string& GetDeviceVersion() const { return deviceVersion_; }
    const std::string& GetDeviceSerial() const { return deviceSerial_; }
    int GetVendorID() const { return vendorId_; }
    int GetProductID() const { return productId_; }

    void SetDeviceVersion(const std::string& version) { deviceVersion_ = version; }
    void SetDeviceSerial(const std::string& serial) { deviceSerial_ = serial; }
    // An instant on the monotonic millisecond clock (KinetraThread::MonotonicNow).
    void SetLastAccessedTime(unsigned long instant) { lastAccess_ = instant; }

    // Stamps the record with the current monotonic time.
    void Access();
    // Milliseconds elapsed since the last stamp, on the monotonic clock, so
    // that a step of the wall clock neither ages nor rejuvenates a record.
    uint64_t GetLastAccessedTime() const;

    // USB ids from a hardware id "... VID:PID=vvvv:pppp; ...": hexadecimal,
    // -1 when the marker, the ":" or the ";" is missing or the part is empty.
    int CalculateVendorId(const std::string& hardwareId) const;
    int CalculateProductId(const std::string& hardwareId) const;

    // Ordered by port name.
    bool operator<(const KinetraPortInfo& other) const { return portName_ < other.portName_; }
    bool operator>(const KinetraPortInfo& other) const { return portName_ > other.portName_; }
    // Same port texts and ids; device version, serial and time take no part.
    bool operator==(const KinetraPortInfo& other) const;
    bool operator!=(const KinetraPortInfo& other) const { return !(*this == other); }

    // Six labelled lines: name, description, manufacturer, hardware id, VID, PID.
    std::string GetReadablePortInfo() const;

private:
    std::string portName_;
    std::string description_;
    std::string hardwareId_;
    std::string manufacturer_;
    std::string deviceVersion_ = "unknown";
    std::string deviceSerial_;
    uint64_t lastAccess_ = 0;
    int vendorId_ = -1;
    int productId_ = -1;
};
