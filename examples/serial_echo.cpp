// SPDX-License-Identifier: MIT
// serial_echo: prints what a serial device sends until Ctrl-C or until the
// device goes away.
//
//   serial_echo DEVICE [BAUD] [--hex]
//
// BAUD defaults to 1000000. Without --hex the bytes go to stdout unchanged;
// with it they are shown as a hex dump, 16 bytes a line.
#include <serial/serial.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s DEVICE [BAUD] [--hex]\n", program);
    return 2;
}

class HexDump {
public:
    void put(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            std::printf("%02x%c", data[i], ++column_ == 16 ? '\n' : ' ');
            if (column_ == 16) column_ = 0;
        }
        std::fflush(stdout);
    }
    void finish() {
        if (column_ != 0) std::printf("\n");
        column_ = 0;
    }

private:
    int column_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') return usage(argv[0]);
    const std::string device = argv[1];
    uint32_t baud = 1000000;
    bool hex = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--hex") {
            hex = true;
            continue;
        }
        char* end = nullptr;
        errno = 0;
        const unsigned long value = std::strtoul(arg.c_str(), &end, 10);
        if (errno != 0 || end == arg.c_str() || *end != '\0' || value == 0 || value > 4000000) {
            std::fprintf(stderr, "%s: bad baud rate '%s'\n", argv[0], arg.c_str());
            return usage(argv[0]);
        }
        baud = static_cast<uint32_t>(value);
    }

    // No SA_RESTART: a signal cuts the current wait short.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    HexDump dump;
    try {
        serial::Timeout timeout;
        timeout.read_timeout_constant = 100;  // how long one wait for input lasts
        serial::Serial port(device, baud, timeout);
        std::fprintf(stderr, "%s: reading %s at %u baud, Ctrl-C to stop\n", argv[0], device.c_str(), baud);

        uint8_t buffer[4096];
        while (!g_stop) {
            if (!port.waitReadable()) continue;
            // One byte first: on a device that has gone away this is what
            // reports the disconnection. The rest is queued already.
            size_t n = port.read(buffer, 1);
            if (n == 1) n += port.read(buffer + 1, std::min(port.available(), sizeof buffer - 1));
            if (hex) {
                dump.put(buffer, n);
            } else {
                std::fwrite(buffer, 1, n, stdout);
                std::fflush(stdout);
            }
        }
        if (hex) dump.finish();
        std::fprintf(stderr, "%s: stopped\n", argv[0]);
        return 0;
    } catch (const std::exception& e) {
        if (hex) dump.finish();
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], device.c_str(), e.what());
        return 1;
    }
}
