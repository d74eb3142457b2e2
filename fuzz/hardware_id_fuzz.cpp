// SPDX-License-Identifier: MIT
// The USB id parsing of a port's hardware id on arbitrary text. Beyond no
// crash: an id is only found after the "VID:PID=" marker with its ":" and
// ";", and an id pair written into any text without an earlier marker is
// read back exactly.
//
// Input: bytes 0-3 the vendor and product id, byte 4 where the pair goes;
// the rest is the text around it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ports/KinetraPortInfo.h"

namespace {

const std::string kMarker = "VID:PID=";

[[noreturn]] void fail(const char* what, const std::string& id) {
    std::fprintf(stderr, "hardware id: %s in \"%s\"\n", what, id.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int vendor = data[0] << 8 | data[1];
    const int product = data[2] << 8 | data[3];
    const std::string text(reinterpret_cast<const char*>(data + 5), size - 5);

    // The text as it is.
    const KinetraPortInfo plain("/dev/ttyUSB0", text, text, text);
    const size_t at = text.find(kMarker);
    const bool complete = at != std::string::npos && text.find(':', at + kMarker.size()) != std::string::npos &&
                          text.find(';', at + kMarker.size()) != std::string::npos;
    if (!complete && (plain.GetVendorID() != -1 || plain.GetProductID() != -1))
        fail("an id without marker, ':' or ';'", text);
    if (plain.GetReadablePortInfo().find(text) == std::string::npos) fail("the readable text lost the id", text);

    // A pair written into it.
    char pair[32];
    std::snprintf(pair, sizeof pair, "VID:PID=%04X:%04x;", vendor, product);
    const size_t cut = text.empty() ? 0 : data[4] % (text.size() + 1);
    const std::string id = text.substr(0, cut) + pair + text.substr(cut);
    if (id.find(kMarker) != cut) return 0;  // an earlier marker decides
    const KinetraPortInfo info("/dev/ttyUSB0", "", id, "");
    if (info.GetVendorID() != vendor) fail("vendor id misread", id);
    if (info.GetProductID() != product) fail("product id misread", id);
    if (info.CalculateVendorId(id) != vendor || info.CalculateProductId(id) != product)
        fail("ids differ on a second read", id);
    return 0;
}
