// SPDX-License-Identifier: MIT
// KPort field copying on arbitrary strings: the field copy rule from C text
// (with a terminator, of any length) and from std::string (embedded NULs
// included), and the C port triple made from fields of arbitrary bytes,
// terminated or not. Each copy is compared with what the rule demands.
//
// Input: the first 75 bytes fill the three fields as raw bytes; all of it
// is the text stored by the copy rule.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capi/port_triple.h"
#include "kine/KPort.h"
#include "kine/kine_c.h"

namespace {

constexpr size_t kField = KPort::kFieldSize;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "KPort copy: %s\n", what);
    std::abort();
}

// The field holds the first min(n, 25) bytes of `text` and NUL after them.
void expectField(const char (&field)[kField], const char* text, size_t n) {
    const size_t kept = n < kField ? n : kField;
    if (std::memcmp(field, text, kept) != 0) fail("text not copied");
    for (size_t i = kept; i < kField; ++i)
        if (field[i] != '\0') fail("field not padded with NUL");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);

    // From C text: a heap copy with its terminator, so reading past it is caught.
    std::vector<char> text(bytes, bytes + size);
    text.push_back('\0');
    KPort port;
    std::memset(&port, 0x5A, sizeof port);
    const size_t length = std::strlen(text.data());
    if (KPort::storeField(port.deviceVersion, text.data()) != (length <= kField)) fail("C text: wrong result");
    expectField(port.deviceVersion, text.data(), length);
    if (KPort::readField(port.deviceVersion) != std::string(text.data(), length < kField ? length : kField))
        fail("C text: read back differs");

    // From std::string, NULs and all.
    const std::string s(bytes, size);
    if (KPort::storeField(port.deviceSerial, s) != (size <= kField)) fail("string: wrong result");
    expectField(port.deviceSerial, bytes, size);
    if (port.portName[0] != 0x5A) fail("a neighbouring field changed");

    // The triple from raw fields: each string is the field up to its first
    // NUL, 25 bytes at most, and terminated.
    KPort raw;
    std::memset(&raw, 'x', sizeof raw);  // unterminated where the input is short
    std::memcpy(&raw, data, size < sizeof raw ? size : sizeof raw);
    char* triple[3] = {nullptr, nullptr, nullptr};
    kine_copy_port_triple(raw, triple);
    const char(*fields[3])[kField] = {&raw.portName, &raw.deviceVersion, &raw.deviceSerial};
    for (int i = 0; i < 3; ++i) {
        const std::string want = KPort::readField(*fields[i]);
        if (std::strlen(triple[i]) != want.size() || want.compare(triple[i]) != 0)
            fail("triple differs from its field");
    }
    callDeleteKPORT(triple);
    return 0;
}
