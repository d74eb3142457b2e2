// SPDX-License-Identifier: MIT
// Writes the seed corpora of the fuzz targets: streams of the simulated DAQ
// for every protocol version, the command frames a host sends, identity
// replies, hardware ids and port texts.
//   make_fuzz_corpus <fuzz/corpus>
// writes <dir>/<target> for every target.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kine/kine_wire.h"
#include "kine_sim/frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

kine_sim::SensorValues sensor(int seed) {
    kine_sim::SensorValues s;
    s.x = -800 + 37 * seed;
    s.y = 400 - 11 * seed;
    s.z = 30000 + seed;
    s.aux = 4096 - seed;
    for (int i = 0; i < 8; ++i) s.raw[i] = 2000 + 100 * i + seed;
    return s;
}

kine_sim::Values6D unit(int seed) {
    kine_sim::Values6D v;
    v.Fx = -500 + seed;
    v.Fy = 500 - seed;
    v.Fz = 40000 + seed;
    v.Tx = -50;
    v.Ty = 20 * seed;
    v.Tz = -32768;
    for (int k = 0; k < 4; ++k) v.sensors[k] = sensor(seed + 10 * k);
    return v;
}

// Three data frames of the version (the middle one with a bad checksum), a
// configuration reply for the 0xAA family, and a frame cut short at the end.
Bytes stream(int version) {
    Bytes out;
    for (int f = 0; f < 4; ++f) {
        Bytes frame;
        kine_sim::SensorValues four[4] = {sensor(f), sensor(f + 1), sensor(f + 2), sensor(f + 3)};
        switch (version) {
        case 3: frame = kine_sim::encodeFrameA(0xB0, sensor(f)); break;
        case 4: frame = kine_sim::encodeFrameB(f % 2 ? 0xB1 : 0xB0, four); break;
        case 5: frame = kine_sim::encodeFrameE(0xB0, unit(f)); break;
        case 6: frame = kine_sim::encodeV6Data(0x02, 0x80, sensor(f), f == 2 ? 10 : kine_sim::kV6PayloadLength); break;
        case 7: frame = kine_sim::encodeV7Data(0x00, 0x00, four, f == 2 ? 28 : kine_sim::kV7PayloadLength); break;
        default: frame = kine_sim::encodeV8Data(0x40, 0x00, unit(f), f == 2 ? 16 : kine_sim::kV8PayloadLength); break;
        }
        if (f == 1) frame.back() ^= 0x5A;
        if (f == 3) frame.resize(frame.size() / 2);
        if (f == 2 && version >= 6) append(out, kine_sim::encodeConfigReply(10, 3, 1));
        append(out, frame);
    }
    return out;
}

bool write(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_corpus <corpus folder>\n");
        return 2;
    }
    const std::string root = argv[1];
    bool ok = true;
    for (const char* target :
         {"decoder3d", "decoder6d", "command_parser", "identity_reply", "hardware_id", "kport_field", "wire"})
        mkdir((root + "/" + target).c_str(), 0755);

    // Decoder inputs, every version for both decoders: version pick, offset pick, four cutting-seed bytes, stream.
    // Picks 4, 5, 6 stand for versions 6, 7, 8 known from open; 0 lets the
    // stream tell (versions 3, 4, 5).
    for (int version = 3; version <= 8; ++version) {
        const uint8_t pick = version >= 6 ? static_cast<uint8_t>(version - 2) : 0;
        for (uint8_t offsets : {uint8_t{0}, uint8_t{0x2E}}) {
            Bytes input = {pick, offsets, 0x12, 0x34, static_cast<uint8_t>(version), offsets};
            append(input, stream(version));
            const std::string name = "v" + std::to_string(version) + (offsets ? "-offsets" : "");
            for (const char* target : {"decoder3d", "decoder6d"})
                ok = write(root + "/" + target + "/" + name, input) && ok;
        }
    }

    // Host commands: the configuration and identity requests, a configuration
    // write, debug mode on and off, the 100 Hz write that ends the open-time
    // exchange, with stray bytes and a frame cut short.
    Bytes host = {0x00, 0x00, 0x00, 0x09};
    append(host, kine_sim::encodeReadRequest(kine_sim::kConfigBlock, 6));
    append(host, kine_sim::encodeReadRequest(kine_sim::kIdentityBlock, 16));
    append(host, kine_sim::encodeWriteCommand(kine_sim::kConfigBlock, {1, 4, 0, 0, 1, 0}));
    host.push_back(0xB5);
    append(host, kine_sim::encodeWriteCommand(kine_sim::kDebugBlock, {10}));
    append(host, kine_sim::encodeWriteCommand(kine_sim::kDebugBlock, {0}));
    append(host, kine_sim::encodeWriteCommand(kine_sim::kConfigBlock, {10}));
    Bytes cut = kine_sim::encodeWriteCommand(kine_sim::kConfigBlock, {3, 2, 0, 0, 0, 0});
    cut.resize(7);
    append(host, cut);
    ok = write(root + "/command_parser/host-commands", host) && ok;

    // What a probe reads: identity replies of every device version, one after
    // a streaming DAQ's frames and a reply split by noise.
    for (uint8_t version : {31, 34, 64, 68, 94, 95}) {
        Bytes reads = kine_sim::encodeIdentityReply(version, "SN" + std::to_string(version));
        ok = write(root + "/identity_reply/v" + std::to_string(version), reads) && ok;
    }
    Bytes streamed = stream(6);
    append(streamed, {0xAA, 0x00, 0x0A, 0x10, 0x22});
    append(streamed, kine_sim::encodeIdentityReply(34, "A1B2C3D4"));
    ok = write(root + "/identity_reply/after-stream", streamed) && ok;

    // Hardware ids: vendor and product id, where the pair goes, the text around it.
    const std::string ids[] = {"USB VID:PID=0403:6001 SER=A10K LOCATION=1-1.2:1.0",
                               "USB VID:PID=1a86:7523; LOCATION=3-2", "PCI;VID:PID=:;n/a"};
    for (size_t i = 0; i < sizeof ids / sizeof ids[0]; ++i) {
        Bytes input = {0x04, 0x03, 0x60, 0x01, static_cast<uint8_t>(4 * i)};
        append(input, Bytes(ids[i].begin(), ids[i].end()));
        ok = write(root + "/hardware_id/id" + std::to_string(i), input) && ok;
    }

    // Port texts: three fields, short, exactly full and overlong.
    const std::string texts[] = {std::string("/dev/ttyUSB0") + std::string(13, '\0') + "34 v0.9",
                                 std::string(25, 'p') + std::string(25, 'v') + std::string(30, 's')};
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i)
        ok = write(root + "/kport_field/fields" + std::to_string(i), Bytes(texts[i].begin(), texts[i].end())) && ok;

    // Wire messages of kine publish: metadata of a 3D and a six-axis DAQ, a data batch of each.
    kine_wire::Metadata m;
    m.session = 0x5EED;
    m.protocolVersion = 7;
    m.sensors = 4;
    m.width = 16;
    m.rateHz = 1000;
    m.config = 0xB0;
    m.topic = m.serial = "A1B2";
    m.deviceVersion = "34 v0.9";
    m.port = "/dev/ttyACM0";
    ok = write(root + "/wire/metadata-v7", kine_wire::encodeMetadata(m)) && ok;
    m.protocolVersion = 8;
    m.sixAxis = true;
    m.width = 6;
    ok = write(root + "/wire/metadata-v8", kine_wire::encodeMetadata(m)) && ok;
    for (uint16_t width : {uint16_t{16}, uint16_t{6}}) {
        kine_wire::Data d;
        d.session = 0x5EED;
        d.count = 3;
        d.firstSample = 1000;
        d.monotonicNs = 5000000000;
        d.wallNs = 1700000000000000000;
        d.width = width;
        for (int i = 0; i < 3 * width; ++i) d.values.push_back(-800 + 37 * i);
        ok = write(root + "/wire/data" + std::to_string(width), kine_wire::encodeData(d)) && ok;
    }

    if (!ok) std::fprintf(stderr, "make_fuzz_corpus: cannot write under %s\n", root.c_str());
    return ok ? 0 : 1;
}
