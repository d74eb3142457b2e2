// SPDX-License-Identifier: MIT
// Splits the bytes a host sends into command frames and stray bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace kine_sim {

struct Command {
    bool read = false;  // 0xAB read request; otherwise an 0xAA write
    uint16_t block = 0;
    uint8_t count = 0;          // bytes wanted (read) or written (write)
    std::vector<uint8_t> data;  // written bytes
};

// A frame starts with 0xAA (write: AA, block, n, n data bytes, checksum) or
// 0xAB (read request: AB, block, count, checksum). A start byte whose frame
// has a bad checksum, or that is not completed within the timeout, counts as
// a stray byte and the search goes on with the byte after it.
class CommandParser {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kIncompleteTimeout{20};

    void append(const uint8_t* bytes, size_t n);

    // Hands out, in arrival order, every complete checksum-valid frame and
    // every stray byte that can be decided at `now`.
    template <typename OnCommand, typename OnStray>
    void process(Clock::time_point now, OnCommand&& onCommand, OnStray&& onStray) {
        Command cmd;
        for (;;) {
            const Step s = step(now, cmd);
            if (s == Step::wait) return;
            if (s == Step::command)
                onCommand(cmd);
            else
                onStray(stray_);
        }
    }

    // The time at which an incomplete frame at the head will be given up.
    std::optional<Clock::time_point> deadline() const;

private:
    enum class Step { wait, command, stray };
    Step step(Clock::time_point now, Command& cmd);
    Step takeStray();

    std::deque<uint8_t> in_;
    bool waiting_ = false;  // the head is an incomplete frame
    Clock::time_point waitSince_{};
    uint8_t stray_ = 0;
};

}  // namespace kine_sim
