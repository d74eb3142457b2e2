// SPDX-License-Identifier: MIT
// The 6D frame decoder on arbitrary streams: no crash, no sanitizer report,
// and the same samples and connection state whether the stream arrives whole
// or in arbitrary pieces.
#include "decoder_fuzz.h"

namespace {

struct Decoder6D {
    using Samples = std::vector<KinePackage6D>;

    static int pass(kine_fuzz::Decoding& d, bool keep, Samples& samples) {
        static std::deque<KinePackage6D> out;  // reused: a fresh deque allocates
        const int result = d.smProcess6D(out, keep);
        if (!keep) samples.insert(samples.end(), out.begin(), out.end());
        out.clear();
        return result;
    }

    static void expectSame(const Samples& a, const Samples& b, const char* what) { kine_fuzz::expectSame(a, b, what); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return kine_fuzz::fuzzOne<Decoder6D>(data, size);
}
