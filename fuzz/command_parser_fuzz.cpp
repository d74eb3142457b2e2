// SPDX-License-Identifier: MIT
// The simulator's command parser on arbitrary host bytes. Beyond no crash:
// every byte comes out exactly once, as part of a command or as a stray byte,
// so re-encoding the commands and putting the strays between them rebuilds
// the input; and a stream appended in pieces (each within the incomplete-frame
// timeout of the last) parses as it does whole.
//
// Input: bytes 0-3 seed the cutting; the rest is what the host sends.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command_parser.h"
#include "kine_sim/frames.h"

namespace {

using kine_sim::CommandParser;

struct Event {
    bool isCommand;
    kine_sim::Command command;
    uint8_t stray;
};

std::vector<uint8_t> bytesOf(const kine_sim::Command& c) {
    return c.read ? kine_sim::encodeReadRequest(c.block, c.count) : kine_sim::encodeWriteCommand(c.block, c.data);
}

bool operator==(const Event& a, const Event& b) {
    if (a.isCommand != b.isCommand) return false;
    return a.isCommand ? bytesOf(a.command) == bytesOf(b.command) : a.stray == b.stray;
}

// Appends `chunks` one microsecond apart, then lets time run until every
// incomplete frame has been given up.
std::vector<Event> parse(const uint8_t* s, const std::vector<size_t>& chunks) {
    CommandParser p;
    std::vector<Event> events;
    auto onCommand = [&](const kine_sim::Command& c) { events.push_back({true, c, 0}); };
    auto onStray = [&](uint8_t b) { events.push_back({false, {}, b}); };
    CommandParser::Clock::time_point now{};
    for (size_t c : chunks) {
        p.append(s, c);
        s += c;
        p.process(now, onCommand, onStray);
        now += std::chrono::microseconds(1);
    }
    while (const auto d = p.deadline()) {
        now = *d;
        p.process(now, onCommand, onStray);
    }
    return events;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "command parser: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t x = (uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 | uint32_t{data[2]} << 8 | data[3]) | 1;
    const uint8_t* stream = data + 4;
    const size_t n = size - 4;

    const size_t maxChunk = 1 + x % 40;
    std::vector<size_t> chunks;
    for (size_t left = n; left > 0;) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const size_t c = std::min<size_t>(left, x % (maxChunk + 1));
        chunks.push_back(c);
        left -= c;
    }

    const std::vector<Event> whole = parse(stream, {n});
    std::vector<uint8_t> rebuilt;
    for (const Event& e : whole) {
        if (!e.isCommand) {
            rebuilt.push_back(e.stray);
            continue;
        }
        if (!e.command.read && e.command.data.size() != e.command.count) fail("write length and data differ");
        const auto b = bytesOf(e.command);
        rebuilt.insert(rebuilt.end(), b.begin(), b.end());
    }
    if (rebuilt != std::vector<uint8_t>(stream, stream + n)) fail("the events do not rebuild the input");
    if (parse(stream, chunks) != whole) fail("whole and pieces differ");
    return 0;
}
