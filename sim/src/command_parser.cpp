// SPDX-License-Identifier: MIT
#include "command_parser.h"

namespace kine_sim {

void CommandParser::append(const uint8_t* bytes, size_t n) { in_.insert(in_.end(), bytes, bytes + n); }

std::optional<CommandParser::Clock::time_point> CommandParser::deadline() const {
    if (!waiting_ || in_.empty()) return std::nullopt;
    return waitSince_ + kIncompleteTimeout;
}

CommandParser::Step CommandParser::takeStray() {
    stray_ = in_.front();
    in_.pop_front();
    waiting_ = false;
    return Step::stray;
}

CommandParser::Step CommandParser::step(Clock::time_point now, Command& cmd) {
    if (in_.empty()) {
        waiting_ = false;
        return Step::wait;
    }
    const uint8_t start = in_.front();
    if (start != 0xAA && start != 0xAB) return takeStray();

    size_t need = 0;
    if (start == 0xAB)
        need = 6;
    else if (in_.size() >= 4)
        need = 6 + size_t{in_[3]};
    if (need == 0 || in_.size() < need) {
        if (!waiting_) {
            waiting_ = true;
            waitSince_ = now;
        }
        if (now - waitSince_ >= kIncompleteTimeout) return takeStray();
        return Step::wait;
    }

    uint32_t sum = 0;
    for (size_t i = 0; i + 2 < need; ++i) sum += in_[i];
    const uint16_t sent = static_cast<uint16_t>((in_[need - 2] << 8) | in_[need - 1]);
    if (static_cast<uint16_t>(sum & 0xFFFFu) != sent) return takeStray();

    cmd.read = start == 0xAB;
    cmd.block = static_cast<uint16_t>((in_[1] << 8) | in_[2]);
    cmd.count = in_[3];
    cmd.data.assign(in_.begin() + 4, in_.begin() + static_cast<std::ptrdiff_t>(need - 2));
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(need));
    waiting_ = false;
    return Step::command;
}

}  // namespace kine_sim
