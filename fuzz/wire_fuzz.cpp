// SPDX-License-Identifier: MIT
// The wire-format decoder of kine publish (kine/kine_wire.h) on arbitrary
// message bodies: it never crashes, and whatever it accepts encodes back to
// exactly the same bytes (so it accepted nothing it cannot represent).
//
// Input: the body of one message.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kine/kine_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const kine_wire::Decoded d = kine_wire::decode(data, size);
    if (!d.ok()) {
        if (d.error.empty()) std::abort();
        return 0;
    }
    const std::vector<uint8_t> again =
        d.kind == kine_wire::Kind::metadata ? kine_wire::encodeMetadata(d.metadata) : kine_wire::encodeData(d.data);
    if (again != std::vector<uint8_t>(data, data + size)) {
        std::fprintf(stderr, "wire: an accepted message does not encode back to its bytes\n");
        std::abort();
    }
    if (d.kind == kine_wire::Kind::data && d.data.values.size() != size_t{d.data.count} * d.data.width) std::abort();
    return 0;
}
