// SPDX-License-Identifier: MIT
#include "sample_loss.h"

#include <cinttypes>
#include <cstdio>

#include "daq_session.h"

namespace kine_tools {

void SampleLoss::lost(uint64_t first, uint64_t count, const std::string& why, bool estimated) {
    if (count == 0) return;
    // Losses that follow each other form one gap, told once.
    if (count_ > 0 && first != first_ + count_) resumed();
    if (count_ == 0) {
        first_ = first;
        why_ = why;
        estimated_ = false;
    }
    count_ += count;
    estimated_ = estimated_ || estimated;
    total_ += count;
}

void SampleLoss::resumed() {
    if (count_ == 0) return;
    ++gaps_;
    std::fprintf(stderr, "%s: lost %s%" PRIu64 " samples, numbers %" PRIu64 " to %" PRIu64 ": %s\n", kProgram,
                 estimated_ ? "about " : "", count_, first_, first_ + count_ - 1, why_.c_str());
    std::fflush(stderr);
    count_ = 0;
}

std::string SampleLoss::summary() const {
    if (total_ == 0) return std::string();
    return "; lost " + std::to_string(total_) + " samples in " + std::to_string(gaps_) +
           (gaps_ == 1 ? " gap" : " gaps");
}

}  // namespace kine_tools
