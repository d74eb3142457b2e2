// SPDX-License-Identifier: MIT
// The 3D frame decoder on arbitrary streams: no crash, no sanitizer report,
// and the same samples and connection state whether the stream arrives whole
// or in arbitrary pieces.
#include "decoder_fuzz.h"

namespace {

struct Decoder3D {
    using Samples = std::vector<KinePackage>[16];

    static int pass(kine_fuzz::Decoding& d, bool keep, Samples& samples) {
        static std::deque<KinePackage> out[16];  // reused: a fresh deque allocates
        const int result = d.smProcess(out, keep);
        for (int k = 0; k < 16; ++k) {
            if (out[k].empty()) continue;
            if (!keep) samples[k].insert(samples[k].end(), out[k].begin(), out[k].end());
            out[k].clear();
        }
        return result;
    }

    static void expectSame(const Samples& a, const Samples& b, const char* what) {
        for (int k = 0; k < 16; ++k) kine_fuzz::expectSame(a[k], b[k], what);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kine_fuzz::fuzzOne<Decoder3D>(data, size);
}
