// SPDX-License-Identifier: MIT
#include "kine_sim/simulated_daq.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "command_parser.h"
#include "pty_device.h"
#include "socket_link.h"

namespace kine_sim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr double kHalfPi = 1.5707963267948966;
// A stream that fell this far behind (the machine stalled) restarts its
// schedule instead of sending the missed frames in a burst.
constexpr nanoseconds kMaxCatchUp = std::chrono::milliseconds(100);
// Waits for a deadline poll for input and wake-ups, then sleep the final
// stretch with clock_nanosleep alone. Waits shorter than kMinPolledWait are not
// polled at all: a 1000 frames/s stream then wakes once per frame, and input
// waits at most one frame.
constexpr nanoseconds kFinalSleep = std::chrono::microseconds(200);
constexpr nanoseconds kMinPolledWait = std::chrono::microseconds(1500);
// How often a unit nobody listens to looks for a host, and how long an idle
// unit sleeps when nothing wakes it.
constexpr nanoseconds kPresencePoll = std::chrono::milliseconds(5);
constexpr nanoseconds kIdleWait = std::chrono::milliseconds(50);
// A unit on a socket drops data frames while this many bytes wait unread in
// it, as a USB-serial converter drops what its host does not fetch: a host
// that opens the port gets the live stream, not a backlog of old frames.
constexpr int kMaxSocketBacklog = 128;
// Replies waiting behind a full pty are dropped beyond this many bytes.
constexpr size_t kMaxPendingOutput = 64 * 1024;

uint8_t identityCodeFor(int version) {
    static const uint8_t codes[] = {68, 94, 95, 31, 34, 64};
    return codes[version - 3];
}

int speedFieldForRate(int hz) {
    switch (hz) {
    case 1000: return 0;
    case 333: return 1;
    case 100: return 2;
    default: return 3;
    }
}

int rateForSpeedField(int field) {
    static const int rates[] = {1000, 333, 100, 30};
    return rates[field & 3];
}

// Filter field of the configuration word for a filter code, as a host reads
// a configuration reply: 0, 2, 3, 4 map to 0..3, other codes keep their two low bits.
int filterFieldForCode(uint8_t code) {
    switch (code) {
    case 0: return 0;
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    default: return code & 3;
    }
}

uint8_t filterCodeForField(int field) {
    static const uint8_t codes[] = {0, 2, 3, 4};
    return codes[field & 3];
}

// State field a host derives from the status bytes of a data frame; later
// rules override earlier ones.
int stateForStatus(uint8_t S, uint8_t T) {
    int state = 5;
    if (S & 0x02) state = 1;
    if (S & 0x01) state = 2;
    if (T & 0x80) state = 3;
    if ((S & 0xE0) == 0x40) state = 6;
    if ((S & 0x1C) == 0x04)
        state = 0;
    else if ((S & 0x1C) == 0x08)
        state = 4;
    return state;
}

timespec toTimespec(nanoseconds d) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(d.count() % 1000000000);
    return ts;
}

void sleepUntil(Clock::time_point t) {
    // steady_clock is CLOCK_MONOTONIC, so its epoch offsets are valid absolute times.
    const timespec ts = toTimespec(std::chrono::duration_cast<nanoseconds>(t.time_since_epoch()));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

nanoseconds threadCpuTime(pthread_t thread) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(thread, &id) != 0 || clock_gettime(id, &ts) != 0) return nanoseconds(0);
    return std::chrono::seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec);
}

}  // namespace

struct SimulatedDaq::Impl {
    explicit Impl(Options o);
    ~Impl();

    void run();
    void service();
    bool readHost();
    void processInput(Clock::time_point now);
    void applyCommand(const Command& c, std::vector<std::vector<uint8_t>>& replies);
    void applyConfigByte(uint8_t b);
    void sendDataFrame(Clock::time_point deadline, Clock::time_point now);
    std::vector<uint8_t> buildDataFrame(double seconds);
    void emit(const std::vector<uint8_t>& frame, bool chunked);
    void flushPending();
    void wait(Clock::time_point target);
    void wake();
    uint8_t currentConfigByte() const;
    nanoseconds period() const { return nanoseconds(1000000000LL / rate); }
    int32_t next(int sensor, int channel, double seconds);
    int32_t nextAxis(int axis, double seconds);
    void stopThread();
    nanoseconds cpuTime();

    const Options opt;
    const bool family37;
    const Clock::time_point start;
    // The line to the host: a pseudo-terminal, or a socket when one is asked for.
    std::unique_ptr<PtyDevice> pty;
    std::unique_ptr<SocketLink> socket;
    int linkFd() const { return pty ? pty->fd() : socket->fd(); }
    ssize_t writeLink(const uint8_t* data, size_t size);
    void closeLink();
    int eventFd = -1;

    // Shared with the public calls, under `m`.
    mutable std::mutex m;
    int rate = 1000;       // frames per second of the speed setting
    bool periodic = true;  // periodic data on
    uint8_t filterCode = 0;
    bool mode = false;
    bool debug = false;
    bool silent = false;
    bool reschedule = false;
    uint8_t statusS = 0, statusT = 0;
    size_t dataLength = 0;
    int corrupt = 0;
    double corruptFraction = 0.0;
    std::minstd_rand corruptRng;
    size_t inputBytes = 0;       // read per inputPeriod when throttled
    nanoseconds inputPeriod{0};  // 0: not throttled
    Signal signals[4][kSensorChannelCount];
    std::deque<int32_t> queues[4][kSensorChannelCount];
    Signal axisSignals[kAxisCount];
    std::deque<int32_t> axisQueues[kAxisCount];
    bool defaultFz = true;  // Fz still follows the built-in signal
    std::vector<uint8_t> receivedBytes;
    std::vector<uint8_t> garbage;
    std::vector<size_t> chunkPattern;
    size_t randomChunkMax = 0;
    std::minstd_rand rng;
    nanoseconds chunkGap{0};

    // Used by the streaming thread only.
    CommandParser parser;
    Clock::time_point nextInput{};  // next throttled read
    bool present = false;           // some host has the slave open
    std::vector<uint8_t> pendingOut;

    std::atomic<bool> stop{false};
    std::atomic<bool> hung{false};
    std::atomic<uint64_t> framesSent{0}, framesDropped{0}, repliesSent{0};
    std::atomic<int64_t> maxLatenessNs{0};
    std::atomic<int64_t> finalCpuNs{0};
    std::mutex lifecycle;  // guards starting, joining and inspecting `thread`
    std::thread thread;
};

namespace {

SimulatedDaq::Options validated(SimulatedDaq::Options o) {
    const bool family37 = o.version >= 3 && o.version <= 5;
    if (o.version < 3 || o.version > 8) throw std::invalid_argument("protocol version must be 3 to 8");
    if (o.serial.size() > 8) throw std::invalid_argument("serial number longer than 8 characters");
    if (speedCodeForRate(o.speedHz) < 0) throw std::invalid_argument("speed must be 1000, 333, 100 or 30 Hz");
    const int code = filterCodeForCutoff(o.filterHz);
    if (code < 0 || (family37 && code != 0 && (code < 2 || code > 4)))
        throw std::invalid_argument(family37 ? "filter must be 0, 150, 50 or 15 Hz"
                                             : "filter must be 0, 500, 150, 50, 15, 5 or 1 Hz");
    return o;
}

}  // namespace

SimulatedDaq::Impl::Impl(Options o) : opt(validated(std::move(o))), family37(opt.version <= 5), start(Clock::now()) {
    rate = opt.speedHz;
    filterCode = static_cast<uint8_t>(filterCodeForCutoff(opt.filterHz));
    mode = opt.compensated;
    periodic = opt.streamAtStart;

    for (int k = 0; k < 4; ++k) {
        const double p = 0.5 * k;
        signals[k][int(Channel::x)] = Signal::sine(800, 0.5, 0, p);
        signals[k][int(Channel::y)] = Signal::sine(800, 0.5, 0, p + kHalfPi);
        signals[k][int(Channel::z)] = Signal::sine(400, 0.2, 30000, p);
        signals[k][int(Channel::aux)] = Signal::ramp(0, 4096, 4.0);
        for (int i = 0; i < 8; ++i)
            signals[k][int(Channel::raw0) + i] = Signal::sine(50, 1.0, 2000 + 100 * i, 0.7 * i + p);
    }
    axisSignals[0] = Signal::sine(500, 0.5);
    axisSignals[1] = Signal::sine(500, 0.5, 0, kHalfPi);
    axisSignals[2] = Signal::sine(300, 0.3);
    axisSignals[3] = Signal::sine(50, 0.7);
    axisSignals[4] = Signal::sine(50, 0.7, 0, kHalfPi);
    axisSignals[5] = Signal::sine(20, 0.9);

    if (opt.socketPath.empty())
        pty = std::make_unique<PtyDevice>();
    else
        socket = std::make_unique<SocketLink>(opt.socketPath);
    eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    thread = std::thread([this] { run(); });
}

SimulatedDaq::Impl::~Impl() {
    stopThread();
    closeLink();
    if (eventFd >= 0) ::close(eventFd);
}

nanoseconds SimulatedDaq::Impl::cpuTime() {
    std::lock_guard<std::mutex> lock(lifecycle);
    return thread.joinable() ? threadCpuTime(thread.native_handle()) : nanoseconds(finalCpuNs.load());
}

void SimulatedDaq::Impl::stopThread() {
    std::lock_guard<std::mutex> lock(lifecycle);
    if (!thread.joinable()) return;
    stop = true;
    wake();
    thread.join();
}

void SimulatedDaq::Impl::wake() {
    const uint64_t one = 1;
    ssize_t r = ::write(eventFd, &one, sizeof one);
    (void)r;  // a full counter already wakes the thread
}

void SimulatedDaq::Impl::run() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Clock::time_point next = Clock::now();
    while (!stop) {
        service();
        const Clock::time_point now = Clock::now();
        bool due = false;
        Clock::time_point target = now;
        {
            std::lock_guard<std::mutex> lock(m);
            if (reschedule) {
                next = now + period();
                reschedule = false;
            }
            if (periodic && !silent) {
                due = now >= next;
                target = next;
            } else {
                next = now + period();
                target = now + kIdleWait;
            }
        }
        if (due) {
            if (now - next > kMaxCatchUp) {
                framesDropped += static_cast<uint64_t>((now - next) / period());
                next = now;
            }
            sendDataFrame(next, now);
            next += period();
            continue;
        }
        if (!present) target = std::min(target, now + kPresencePoll);
        if (auto d = parser.deadline()) target = std::min(target, *d);
        wait(target);
    }
    finalCpuNs = std::chrono::duration_cast<nanoseconds>(threadCpuTime(pthread_self())).count();
}

void SimulatedDaq::Impl::wait(Clock::time_point target) {
    const Clock::time_point now = Clock::now();
    bool inputWanted;
    {
        std::lock_guard<std::mutex> lock(m);
        inputWanted = inputPeriod.count() == 0;
        if (!inputWanted && inputBytes > 0) target = std::min(target, std::max(now, nextInput));
    }
    if (target - now > kMinPolledWait) {
        // A throttled unit does not wake for input it will not read yet.
        pollfd fds[2] = {{eventFd, POLLIN, 0}, {linkFd(), static_cast<short>(inputWanted ? POLLIN : 0), 0}};
        if (!pendingOut.empty()) fds[1].events |= POLLOUT;
        const timespec ts = toTimespec(target - kFinalSleep - now);
        const int r = ppoll(fds, present ? 2 : 1, &ts, nullptr);
        if (r > 0) {
            uint64_t count;
            if (fds[0].revents & POLLIN) {
                ssize_t n = ::read(eventFd, &count, sizeof count);
                (void)n;
            }
            return;  // something to do before the deadline
        }
    }
    sleepUntil(target);
}

// Reads everything the host has sent. Returns false when nobody has the slave
// open (the master then reports a hang-up or EIO once its input is drained).
bool SimulatedDaq::Impl::readHost() {
    size_t budget = SIZE_MAX;
    {
        std::lock_guard<std::mutex> lock(m);
        if (inputPeriod.count() > 0) {
            const Clock::time_point now = Clock::now();
            budget = now >= nextInput ? inputBytes : 0;
            if (budget > 0) nextInput = now + inputPeriod;
        }
    }
    if (socket && !socket->connect()) return false;
    pollfd p{linkFd(), static_cast<short>(budget > 0 ? POLLIN : 0), 0};
    if (poll(&p, 1, 0) < 0) return present;
    if (!(p.revents & POLLIN)) {
        if (!(p.revents & (POLLHUP | POLLERR))) return true;
        if (socket) socket->drop();
        return false;
    }
    uint8_t buf[4096];
    while (budget > 0) {
        const ssize_t n = ::read(linkFd(), buf, std::min(sizeof buf, budget));
        if (n > 0) {
            parser.append(buf, static_cast<size_t>(n));
            if (budget != SIZE_MAX) budget -= static_cast<size_t>(n);
            std::lock_guard<std::mutex> lock(m);
            receivedBytes.insert(receivedBytes.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        // EIO: the last host has closed the slave; 0: the socket's host went away.
        if (socket) socket->drop();
        return false;
    }
    return true;
}

void SimulatedDaq::Impl::service() {
    const bool wasPresent = present;
    present = readHost();
    processInput(Clock::now());
    if (wasPresent && !present) {
        // Whatever the host did not read is lost with its port, as on a real line.
        pendingOut.clear();
        if (pty) pty->flushSlaveInput();
    }
    if (!present) return;
    flushPending();
    std::vector<uint8_t> junk;
    {
        std::lock_guard<std::mutex> lock(m);
        junk.swap(garbage);
    }
    if (!junk.empty()) emit(junk, false);
}

void SimulatedDaq::Impl::processInput(Clock::time_point now) {
    std::vector<std::vector<uint8_t>> replies;
    bool quiet;
    {
        std::lock_guard<std::mutex> lock(m);
        parser.process(
            now, [&](const Command& c) { applyCommand(c, replies); },
            [&](uint8_t b) {
                if (family37) applyConfigByte(b);
            });
        quiet = silent;
    }
    if (quiet || !present) return;
    for (const auto& r : replies) {
        emit(r, true);
        ++repliesSent;
    }
}

// Called with `m` held.
void SimulatedDaq::Impl::applyCommand(const Command& c, std::vector<std::vector<uint8_t>>& replies) {
    if (c.read) {
        if (c.block == kConfigBlock)
            replies.push_back(encodeConfigReply(static_cast<uint8_t>(periodic ? speedCodeForRate(rate) : 0), filterCode,
                                                mode ? 1 : 0));
        else if (c.block == kIdentityBlock)
            replies.push_back(encodeIdentityReply(identityCodeFor(opt.version), opt.serial));
        return;
    }
    const auto& d = c.data;
    if (c.block == kDebugBlock) {
        if (!d.empty() && d[0] == 10) debug = true;
        if (!d.empty() && d[0] == 0) debug = false;
        return;
    }
    if (c.block != kConfigBlock || opt.refuseConfig) return;
    if (d.size() >= 1) {
        if (d[0] == 0) {
            periodic = false;
        } else if (const int hz = rateForSpeedCode(d[0])) {
            rate = hz;
            periodic = true;
            reschedule = true;
        }
    }
    if (d.size() >= 2) {
        const uint8_t f = d[1];
        const bool representable = f == 0 || (f >= 2 && f <= 4);
        if (f <= 6 && (representable || !family37)) filterCode = f;
    }
    if (d.size() >= 5) mode = d[4] != 0;
}

// Called with `m` held. A 0x37-family unit takes any byte that is not part of
// a command frame as its new configuration word.
void SimulatedDaq::Impl::applyConfigByte(uint8_t b) {
    if (opt.refuseConfig) return;
    rate = rateForSpeedField((b >> 3) & 3);
    filterCode = filterCodeForField((b >> 1) & 3);
    mode = (b & 1) != 0;
    periodic = true;
    reschedule = true;
}

uint8_t SimulatedDaq::Impl::currentConfigByte() const {
    const int state = family37 ? 5 : stateForStatus(statusS, statusT);
    return makeConfigByte(state, speedFieldForRate(rate), filterFieldForCode(filterCode), mode ? 1 : 0);
}

int32_t SimulatedDaq::Impl::next(int sensor, int channel, double seconds) {
    auto& q = queues[sensor][channel];
    if (q.empty()) return signals[sensor][channel].valueAt(seconds, framesSent);
    const int32_t v = q.front();
    q.pop_front();
    return v;
}

int32_t SimulatedDaq::Impl::nextAxis(int axis, double seconds) {
    auto& q = axisQueues[axis];
    if (q.empty()) return axisSignals[axis].valueAt(seconds, framesSent);
    const int32_t v = q.front();
    q.pop_front();
    return v;
}

// Called with `m` held.
std::vector<uint8_t> SimulatedDaq::Impl::buildDataFrame(double seconds) {
    Values6D v;
    for (int k = 0; k < 4; ++k) {
        SensorValues& s = v.sensors[k];
        s.x = next(k, int(Channel::x), seconds);
        s.y = next(k, int(Channel::y), seconds);
        s.z = next(k, int(Channel::z), seconds);
        s.aux = next(k, int(Channel::aux), seconds);
        for (int i = 0; i < 8; ++i) s.raw[i] = next(k, int(Channel::raw0) + i, seconds);
    }
    int32_t* axes[kAxisCount] = {&v.Fx, &v.Fy, &v.Fz, &v.Tx, &v.Ty, &v.Tz};
    const bool builtInFz = defaultFz && axisQueues[int(Channel::Fz) - int(Channel::Fx)].empty();
    for (int a = 0; a < kAxisCount; ++a) *axes[a] = nextAxis(a, seconds);
    // In raw mode a version 8 unit sends Fz as an unsigned count, like the
    // raw channels: the built-in signal then swings around the same offset.
    if (opt.version == 8 && !mode && builtInFz) v.Fz += kRawFzOffset;

    const uint8_t cfg = currentConfigByte();
    std::vector<uint8_t> f;
    switch (opt.version) {
    case 3: f = encodeFrameA(cfg, v.sensors[0]); break;
    case 4: f = encodeFrameB(cfg, v.sensors); break;
    case 5: f = encodeFrameE(cfg, v); break;
    case 6: f = encodeV6Data(statusS, statusT, v.sensors[0], dataLength ? dataLength : kV6PayloadLength); break;
    case 7: f = encodeV7Data(statusS, statusT, v.sensors, dataLength ? dataLength : kV7PayloadLength); break;
    default: f = encodeV8Data(statusS, statusT, v, dataLength ? dataLength : kV8PayloadLength); break;
    }
    bool bad = corrupt > 0;
    if (bad) --corrupt;
    if (corruptFraction > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(corruptRng) < corruptFraction)
        bad = true;
    if (bad) f[f.size() - 1] ^= 0x5A;
    return f;
}

void SimulatedDaq::Impl::sendDataFrame(Clock::time_point deadline, Clock::time_point now) {
    // A frame that cannot go out whole right now is dropped before it takes any
    // fed values, so the stream never carries a torn frame.
    if (!present || !pendingOut.empty() || (socket && socket->backlog() > kMaxSocketBacklog)) {
        ++framesDropped;
        return;
    }
    std::vector<uint8_t> f;
    {
        std::lock_guard<std::mutex> lock(m);
        f = buildDataFrame(std::chrono::duration<double>(deadline - start).count());
    }
    const int64_t late = std::chrono::duration_cast<nanoseconds>(now - deadline).count();
    if (late > maxLatenessNs) maxLatenessNs = late;
    emit(f, true);
    ++framesSent;
}

// Writes a whole frame, split into chunks when chunking is on. What the pty
// does not take now waits in `pendingOut` and goes out before anything else.
void SimulatedDaq::Impl::emit(const std::vector<uint8_t>& frame, bool chunked) {
    if (!pendingOut.empty()) {
        if (pendingOut.size() + frame.size() <= kMaxPendingOutput)
            pendingOut.insert(pendingOut.end(), frame.begin(), frame.end());
        return;
    }
    std::vector<size_t> sizes;
    nanoseconds gap{0};
    if (chunked) {
        std::lock_guard<std::mutex> lock(m);
        gap = chunkGap;
        size_t left = frame.size();
        for (size_t i = 0; left > 0 && (randomChunkMax > 0 || !chunkPattern.empty()); ++i) {
            size_t n = randomChunkMax > 0 ? std::uniform_int_distribution<size_t>(1, randomChunkMax)(rng)
                                          : chunkPattern[i % chunkPattern.size()];
            n = std::min(std::max<size_t>(n, 1), left);
            sizes.push_back(n);
            left -= n;
        }
    }
    if (sizes.empty()) sizes.push_back(frame.size());

    size_t off = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (i > 0 && gap.count() > 0) sleepUntil(Clock::now() + gap);
        const size_t end = off + sizes[i];
        while (off < end) {
            const ssize_t n = writeLink(frame.data() + off, end - off);
            if (n > 0) {
                off += static_cast<size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                pendingOut.assign(frame.begin() + static_cast<std::ptrdiff_t>(off), frame.end());
                return;
            }
        }
    }
}

ssize_t SimulatedDaq::Impl::writeLink(const uint8_t* data, size_t size) {
    // A host that has gone away must not raise SIGPIPE in the test's process.
    if (socket) return ::send(socket->fd(), data, size, MSG_NOSIGNAL);
    return ::write(pty->fd(), data, size);
}

void SimulatedDaq::Impl::closeLink() {
    if (pty) pty->close();
    if (socket) socket->close();
}

void SimulatedDaq::Impl::flushPending() {
    size_t off = 0;
    while (off < pendingOut.size()) {
        const ssize_t n = writeLink(pendingOut.data() + off, pendingOut.size() - off);
        if (n > 0)
            off += static_cast<size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    pendingOut.erase(pendingOut.begin(), pendingOut.begin() + static_cast<std::ptrdiff_t>(off));
}

// --- public interface ------------------------------------------------------

namespace {

void checkSensor(int sensor) {
    if (sensor < 0 || sensor > 3) throw std::out_of_range("sensor index must be 0 to 3");
}

bool isAxis(Channel c) { return c >= Channel::Fx; }

}  // namespace

SimulatedDaq::SimulatedDaq() : SimulatedDaq(Options{}) {}

SimulatedDaq::SimulatedDaq(Options o) : impl_(std::make_unique<Impl>(std::move(o))) {}

SimulatedDaq::~SimulatedDaq() = default;

const std::string& SimulatedDaq::devicePath() const { return impl_->pty ? impl_->pty->path() : impl_->socket->path(); }

int SimulatedDaq::version() const { return impl_->opt.version; }

uint8_t SimulatedDaq::identityCode() const { return identityCodeFor(impl_->opt.version); }

const char* SimulatedDaq::deviceVersionText() const {
    switch (identityCode()) {
    case 68: return "68 v1.1";
    case 94: return "94 v0.9";
    case 95: return "95 v1.0";
    case 31: return "31 v0.9";
    case 34: return "34 v0.9";
    default: return "64 v0.9";
    }
}

void SimulatedDaq::setSignal(Channel c, Signal s, int sensor) {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (isAxis(c)) {
        impl_->axisSignals[int(c) - int(Channel::Fx)] = s;
        if (c == Channel::Fz) impl_->defaultFz = false;
        return;
    }
    checkSensor(sensor);
    impl_->signals[sensor][int(c)] = s;
}

void SimulatedDaq::setConstant(const SensorValues& v, int sensor) {
    checkSensor(sensor);
    std::lock_guard<std::mutex> lock(impl_->m);
    Signal* s = impl_->signals[sensor];
    s[int(Channel::x)] = Signal::constant(v.x);
    s[int(Channel::y)] = Signal::constant(v.y);
    s[int(Channel::z)] = Signal::constant(v.z);
    s[int(Channel::aux)] = Signal::constant(v.aux);
    for (int i = 0; i < 8; ++i) s[int(Channel::raw0) + i] = Signal::constant(v.raw[i]);
}

void SimulatedDaq::setConstant(const Values6D& v) {
    for (int k = 0; k < 4; ++k) setConstant(v.sensors[k], k);
    std::lock_guard<std::mutex> lock(impl_->m);
    const int32_t axes[kAxisCount] = {v.Fx, v.Fy, v.Fz, v.Tx, v.Ty, v.Tz};
    for (int a = 0; a < kAxisCount; ++a) impl_->axisSignals[a] = Signal::constant(axes[a]);
    impl_->defaultFz = false;
}

void SimulatedDaq::feed(Channel c, const std::vector<int32_t>& values, int sensor) {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (isAxis(c)) {
        auto& q = impl_->axisQueues[int(c) - int(Channel::Fx)];
        q.insert(q.end(), values.begin(), values.end());
        return;
    }
    checkSensor(sensor);
    auto& q = impl_->queues[sensor][int(c)];
    q.insert(q.end(), values.begin(), values.end());
}

size_t SimulatedDaq::queued(Channel c, int sensor) const {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (isAxis(c)) return impl_->axisQueues[int(c) - int(Channel::Fx)].size();
    checkSensor(sensor);
    return impl_->queues[sensor][int(c)].size();
}

void SimulatedDaq::setStatus(uint8_t S, uint8_t T) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->statusS = S;
    impl_->statusT = T;
}

void SimulatedDaq::setDataLength(size_t length) {
    if (length > 255) throw std::invalid_argument("payload length above 255");
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->dataLength = length;
}

std::vector<uint8_t> SimulatedDaq::received() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->receivedBytes;
}

void SimulatedDaq::clearReceived() {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->receivedBytes.clear();
}

uint8_t SimulatedDaq::configByte() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->currentConfigByte();
}

int SimulatedDaq::framesPerSecond() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->rate;
}

bool SimulatedDaq::streaming() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->periodic && !impl_->silent && !impl_->hung;
}

bool SimulatedDaq::debugMode() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->debug;
}

uint64_t SimulatedDaq::framesSent() const { return impl_->framesSent; }

SimulatedDaq::Stats SimulatedDaq::stats() const {
    Stats s;
    s.framesSent = impl_->framesSent;
    s.framesDropped = impl_->framesDropped;
    s.repliesSent = impl_->repliesSent;
    s.maxLateness = nanoseconds(impl_->maxLatenessNs.load());
    s.cpuTime = impl_->cpuTime();
    return s;
}

void SimulatedDaq::setSilent(bool silent) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->silent = silent;
    }
    impl_->wake();
}

void SimulatedDaq::corruptNextChecksums(int n) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->corrupt = std::max(0, n);
}

void SimulatedDaq::setChecksumErrorRate(double fraction, uint32_t seed) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->corruptFraction = std::clamp(fraction, 0.0, 1.0);
    impl_->corruptRng.seed(seed);
}

void SimulatedDaq::throttleInput(size_t bytes, std::chrono::milliseconds period) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->inputBytes = bytes;
        impl_->inputPeriod = period;
    }
    impl_->wake();
}

void SimulatedDaq::injectGarbage(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->garbage.insert(impl_->garbage.end(), bytes.begin(), bytes.end());
    }
    impl_->wake();
}

void SimulatedDaq::setChunking(std::vector<size_t> pattern, std::chrono::microseconds gap) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->chunkPattern = std::move(pattern);
    impl_->randomChunkMax = 0;
    impl_->chunkGap = gap;
}

void SimulatedDaq::setRandomChunking(size_t maxChunk, uint32_t seed, std::chrono::microseconds gap) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->chunkPattern.clear();
    impl_->randomChunkMax = maxChunk;
    impl_->rng.seed(seed);
    impl_->chunkGap = gap;
}

void SimulatedDaq::hangUp() {
    if (impl_->hung.exchange(true)) return;
    impl_->stopThread();
    impl_->closeLink();
}

bool SimulatedDaq::hungUp() const { return impl_->hung; }

}  // namespace kine_sim
