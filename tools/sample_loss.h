// SPDX-License-Identifier: MIT
// Samples a stream could not deliver. Every gap is told on standard error,
// once samples flow again, with its size and the sample numbers it covers;
// the sample numbers of the output skip it, and the totals go into the
// stream's summary and exit status.
#pragma once

#include <cstdint>
#include <string>

namespace kine_tools {

class SampleLoss {
public:
    // `count` samples from number `first` on are lost, for the reason `why`.
    // `estimated`: the count comes from the DAQ's sample rate, not a tally.
    void lost(uint64_t first, uint64_t count, const std::string& why, bool estimated);
    // Samples are delivered again: a gap not yet told is told now.
    void resumed();
    uint64_t total() const { return total_; }
    uint64_t gaps() const { return gaps_; }
    // " lost 12 samples in 1 gap" for a summary, or "" when nothing was lost.
    std::string summary() const;

private:
    uint64_t total_ = 0, gaps_ = 0;
    // The gap being collected.
    uint64_t first_ = 0, count_ = 0;
    bool estimated_ = false;
    std::string why_;
};

}  // namespace kine_tools
