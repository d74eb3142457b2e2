// SPDX-License-Identifier: MIT
// An application with its own globals named like the library's (newptr,
// size, arrSize), linked against libkine.so only. Reads through the public
// KineDAQ class must leave the application's variables untouched, while
// the library records the resize in its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "kine/KPort.h"
#include "kine/KineDAQ.h"
#include "kine/kine_alloc.h"
#include "support/worked_frames.h"

// Exported like any application symbol built without hidden visibility, so
// that they would take the place of the library's if its references could
// be interposed.
#define APPLICATION_GLOBAL __attribute__((visibility("default")))
int applicationSentinel = 0;
APPLICATION_GLOBAL int size = 12345;
APPLICATION_GLOBAL void* newptr = &applicationSentinel;
APPLICATION_GLOBAL size_t* arrSize = nullptr;

namespace {

using kine_test::worked::kFrameA;  // one-sensor DAQ: x = -2, y = 3, z = 65535

// A DAQ on a pseudo-terminal that streams Frame A every millisecond until
// stopped (at most 5 s).
class StreamingPty {
public:
    StreamingPty() {
        char name[256] = {0};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
        path_ = name;
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        writer_ = std::thread([this] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!stop_ && std::chrono::steady_clock::now() < end) {
                if (::write(master_, kFrameA.data(), kFrameA.size()) < 0) {
                    pollfd p{master_, POLLOUT, 0};
                    poll(&p, 1, 10);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~StreamingPty() {
        stop_ = true;
        if (writer_.joinable()) writer_.join();
        if (master_ >= 0) ::close(master_);
        if (slave_ >= 0) ::close(slave_);
    }
    const std::string& path() const { return path_; }

private:
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread writer_;
};

// The library's own `size`, looked up in libkine.so itself.
int* librarySize() {
    void* self = dlopen("libkine.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (self == nullptr) return nullptr;
    auto* p = static_cast<int*>(dlsym(self, "size"));
    dlclose(self);
    return p;
}

void expectApplicationGlobalsUntouched() {
    EXPECT_EQ(size, 12345);
    EXPECT_EQ(newptr, &applicationSentinel);
    EXPECT_EQ(arrSize, nullptr);
}

// The count new[] stored before the array (Itanium C++ ABI); exempt from
// clang's AddressSanitizer, which poisons that word against stray writes.
__attribute__((no_sanitize("address"))) size_t arrayCount(const KinePackage* array) {
    return reinterpret_cast<const size_t*>(array)[-1];
}

TEST(Interposition, ReadAllWritesOnlyTheLibrarysGlobals) {
    StreamingPty daq;
    ASSERT_FALSE(daq.path().empty());
    KPort port;
    KPort::storeField(port.portName, daq.path());
    KPort::storeField(port.deviceVersion, "68 v1.1");

    KineDAQ d;
    ASSERT_TRUE(d.open(port, false, 1000000));
    KinePackage* samples = nullptr;
    int r = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (r <= 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        r = d.readAll(samples, false);
    }
    ASSERT_GT(r, 0);
    ASSERT_NE(samples, nullptr);
    EXPECT_EQ(arrayCount(samples), static_cast<size_t>(r));
    EXPECT_EQ(samples[r - 1].x, -2);
    d.close();
    delete[] samples;

    expectApplicationGlobalsUntouched();
    int* own = librarySize();
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, &size);
    EXPECT_EQ(*own, r);
}

TEST(Interposition, ExportedResizeWritesOnlyTheLibrarysGlobals) {
    KinePackage* a = nullptr;
    kine::alloc::reallocPackArray(a, 7);
    KinePackage6D* b = nullptr;
    kine::alloc::reallocPackArray(b, 2);
    expectApplicationGlobalsUntouched();
    int* own = librarySize();
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(*own, 2);
    delete[] a;
    delete[] b;
}

}  // namespace
