// SPDX-License-Identifier: MIT
// Decoding throughput of every protocol version through the path the read
// operations take: the reader's receive buffer (appendReceived, as one read
// of the reader thread), getBuffer's hand-over, the decoder, and the
// connection's sample storage, which the reads reuse from pass to pass.
//
// Each pass decodes one block of whole frames: either a full receive
// buffer (bytes:100000, the most one pass can get) or what a caller polling
// every 10 ms finds there (bytes:1000). The line delivers 100,000 bytes/s at
// 1,000,000 baud; the "xLine" counter is the throughput as a multiple of
// that. "Memcpy" copies the same block twice (into and out of a buffer) as a
// baseline measured in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "daq/KineDAQ_private.h"
#include "daq/Protocol.h"
#include "kine_sim/frames.h"

namespace {

constexpr double kLineBytesPerSecond = 100000.0;

using kine_sim::SensorValues;
using kine_sim::Values6D;

SensorValues sensor(int i, int k) {
    SensorValues s;
    s.x = -500 + i + k;
    s.y = 300 - i;
    s.z = 20000 + 7 * i;
    s.aux = i & 0xFF;
    for (int r = 0; r < 8; ++r) s.raw[r] = 1000 * (k + 1) + 13 * r + i;
    return s;
}

std::vector<uint8_t> frameFor(int version, int i) {
    SensorValues four[4];
    for (int k = 0; k < 4; ++k) four[k] = sensor(i, k);
    Values6D v;
    v.Fx = i, v.Fy = -i, v.Fz = 3 * i, v.Tx = 1, v.Ty = -2, v.Tz = 3;
    for (int k = 0; k < 4; ++k) v.sensors[k] = four[k];
    switch (version) {
    case 3: return kine_sim::encodeFrameA(0xB0, four[0]);
    case 4: return kine_sim::encodeFrameB(0xB0, four);
    case 5: return kine_sim::encodeFrameE(0xB0, v);
    case 6: return kine_sim::encodeV6Data(0, 0, four[0]);
    case 7: return kine_sim::encodeV7Data(0, 0, four);
    default: return kine_sim::encodeV8Data(0, 0, v);
    }
}

struct Block {
    std::vector<uint8_t> bytes;
    int frames = 0;
};

// Whole frames filling `limit` bytes as far as they fit.
Block blockFor(int version, size_t limit) {
    Block b;
    for (int i = 0;; ++i) {
        const auto f = frameFor(version, i);
        if (b.bytes.size() + f.size() > limit) break;
        b.bytes.insert(b.bytes.end(), f.begin(), f.end());
        ++b.frames;
    }
    return b;
}

void setCounters(benchmark::State& state, const Block& b) {
    const double bytes = static_cast<double>(b.bytes.size()) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["frames/s"] = benchmark::Counter(
        static_cast<double>(b.frames) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["xLine"] = benchmark::Counter(bytes / kLineBytesPerSecond, benchmark::Counter::kIsRate);
}

// One decoding pass as the reads run it (`reuse`: into the connection's
// reused sample storage), or into deques created and destroyed in every pass
// (how the reads worked before they kept their storage), for comparison.
void decodePasses(benchmark::State& state, bool reuse) {
    const int version = static_cast<int>(state.range(0));
    const Block b = blockFor(version, static_cast<size_t>(state.range(1)));
    KineDAQ_private d;
    if (kine::protocol::aaFamily(version))
        d.frameDecoder().unit.version = static_cast<kine_version>(version);  // as open sets it
    const bool sixAxis = kine::protocol::isSixAxis(version);
    int decoded = 0;
    for (auto _ : state) {
        d.readerThread().appendReceived(b.bytes.data(), b.bytes.size());
        if (reuse) {
            decoded = sixAxis ? d.pass6D(false) : d.pass3D(false);
        } else if (sixAxis) {
            std::deque<KinePackage6D> out;
            decoded = d.smProcess6D(out, false);
        } else {
            std::deque<KinePackage> out[16];
            decoded = d.smProcess(out, false);
        }
        benchmark::DoNotOptimize(decoded);
    }
    if (decoded != b.frames) state.SkipWithError("decoded frame count differs from the encoded one");
    setCounters(state, b);
}
void BM_Decode(benchmark::State& state) { decodePasses(state, true); }
void BM_DecodeFreshDeques(benchmark::State& state) { decodePasses(state, false); }

void everyVersion(benchmark::internal::Benchmark* b) {
    b->ArgNames({"version", "bytes"})->Unit(benchmark::kMicrosecond);
    for (int64_t bytes : {int64_t{ReaderThread::kMaxBuffer}, int64_t{1000}})
        for (int64_t v = 3; v <= 8; ++v) b->Args({v, bytes});
}

BENCHMARK(BM_Decode)->Apply(everyVersion);
BENCHMARK(BM_DecodeFreshDeques)->Apply(everyVersion);

// Baseline: the same bytes copied into a buffer and out again, no decoding.
void BM_Memcpy(benchmark::State& state) {
    const Block b = blockFor(static_cast<int>(state.range(0)), static_cast<size_t>(state.range(1)));
    std::vector<uint8_t> buffer(b.bytes.size()), taken(b.bytes.size());
    for (auto _ : state) {
        std::memcpy(buffer.data(), b.bytes.data(), b.bytes.size());
        benchmark::ClobberMemory();
        std::memcpy(taken.data(), buffer.data(), buffer.size());
        benchmark::DoNotOptimize(taken.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, b);
}
BENCHMARK(BM_Memcpy)->Apply(everyVersion);

}  // namespace

BENCHMARK_MAIN();
