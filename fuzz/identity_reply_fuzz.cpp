// SPDX-License-Identifier: MIT
// The probe's scan for an identity reply on arbitrary bytes, as the probe
// runs it: over a buffer that grows with every read of an attempt. Within
// any prefix the index found is the first AA 00 0A with the 20 bytes of a
// reply behind it: a later header needs a longer prefix than the first one
// does, so the answer is the first header once its reply is whole, and
// npos before. Checked for the whole buffer, the prefixes that end just
// before and at the end of the first reply, and prefixes the input picks.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ports/KinePorts_private.h"

namespace {

constexpr size_t kReplySize = 20;

bool isHeader(const uint8_t* p) { return p[0] == 0xAA && p[1] == 0x00 && p[2] == 0x0A; }

[[noreturn]] void fail(const char* what, size_t length) {
    std::fprintf(stderr, "identity reply scan: %s (prefix of %zu bytes)\n", what, length);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t first = std::string::npos;
    for (size_t p = 0; p + 3 <= size && first == std::string::npos; ++p)
        if (isHeader(data + p)) first = p;

    auto check = [&](size_t length) {
        if (length > size) return;
        const size_t expected = first != std::string::npos && first + kReplySize <= length ? first : std::string::npos;
        const size_t found = KinePorts_private::findIdentityReply(data, length);
        if (found != expected) fail("wrong index", length);
    };
    check(size);
    if (first != std::string::npos) {
        check(first + kReplySize - 1);
        check(first + kReplySize);
    }
    for (size_t i = 0; i < 4 && i < size; ++i) check(data[i] * size / 256);
    return 0;
}
