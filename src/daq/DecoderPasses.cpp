// SPDX-License-Identifier: MIT
// The connection's decoding passes: the bytes the reader has collected go
// through the connection's frame decoder, with the connection's zero offsets.
// The reader's overflow and stopped codes end a pass before decoding (the
// 6D reads decode what a stopped reader left).
#include "daq/KineDAQ_private.h"

// A pass that the reader's status ended before decoding: the decoder's view as it was.
static DecodePass notDecoded(const FrameDecoder& decoder, int result, size_t bytes) {
    DecodePass pass;
    pass.result = result;
    pass.bytes = bytes;
    pass.configuration = decoder.configuration;
    pass.version = decoder.unit.version;
    pass.sensorCount = decoder.unit.sensorCount;
    return pass;
}

template <class Samples>
DecodePass KineDAQ_private::decodePass3D(Samples (&out)[16], bool keep) {
    int status = 0;
    const std::vector<unsigned char> bytes = reader.getBuffer(keep, status);
    if (status == ReaderThread::kOverflow || status == ReaderThread::kStopped)
        return notDecoded(decoder, status, bytes.size());
    lastBufferSize = static_cast<uint32_t>(bytes.size());
    return decoder.decode3D(bytes, offsets, out, keep);
}

template <class Samples>
DecodePass KineDAQ_private::decodePass6D(Samples& out, bool keep) {
    int status = 0;
    const std::vector<unsigned char> bytes = reader.getBuffer(keep, status);
    if (status == ReaderThread::kNothingRead) return notDecoded(decoder, 0, bytes.size());
    if (status == ReaderThread::kOverflow) return notDecoded(decoder, KINE_READ_OVERFLOW, bytes.size());
    lastBufferSize = static_cast<uint32_t>(bytes.size());
    return decoder.decode6D(bytes, offsets, offset6D, out, keep);
}

int KineDAQ_private::smProcess(std::deque<KinePackage> (&out)[16], bool keep) { return decodePass3D(out, keep).result; }

int KineDAQ_private::smProcess(SampleRun (&out)[16], bool keep) { return decodePass3D(out, keep).result; }

int KineDAQ_private::smProcess6D(std::deque<KinePackage6D>& out, bool keep) { return decodePass6D(out, keep).result; }

int KineDAQ_private::smProcess6D(SampleRun6D& out, bool keep) { return decodePass6D(out, keep).result; }

DecodePass KineDAQ_private::readPass3D(bool keep) {
    for (SampleRun& run : passSamples3D_) run.clear();  // keeps the storage
    return decodePass3D(passSamples3D_, keep);
}

DecodePass KineDAQ_private::readPass6D(bool keep) {
    passSamples6D_.clear();
    return decodePass6D(passSamples6D_, keep);
}
