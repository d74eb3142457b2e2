// SPDX-License-Identifier: MIT
// A scripted device for channel and reader tests: writes `chunk` bytes of a
// counting sequence (or a fixed pattern) to a pty master every `period` on
// a thread of its own, until stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace kine_test {

class ByteStreamer {
public:
    ByteStreamer(PtyPair& pty, size_t chunk, std::chrono::milliseconds period)
        : thread_([this, &pty, chunk, period] {
              std::vector<uint8_t> bytes(chunk);
              uint8_t next = 0;
              while (!stop_) {
                  for (auto& b : bytes) b = next++;
                  pty.write(bytes);
                  std::this_thread::sleep_for(period);
              }
          }) {}
    ByteStreamer(PtyPair& pty, std::vector<uint8_t> pattern, std::chrono::milliseconds period)
        : thread_([this, &pty, pattern, period] {
              while (!stop_) {
                  pty.write(pattern);
                  std::this_thread::sleep_for(period);
              }
          }) {}
    ~ByteStreamer() { stop(); }
    ByteStreamer(const ByteStreamer&) = delete;
    ByteStreamer& operator=(const ByteStreamer&) = delete;

    void stop() {
        if (!stop_.exchange(true)) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kine_test
