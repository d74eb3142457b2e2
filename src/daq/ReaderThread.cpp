// SPDX-License-Identifier: MIT
#include "daq/ReaderThread.h"

ReaderThread::ReaderThread() : KinetraThread(true) {
    // The owning connection holds the device's lock for the whole connection.
    channel_.SetPortLocking(false);
}

ReaderThread::~ReaderThread() {
    // The owner normally ends the thread first; make sure Run is not still
    // using members that are about to be destroyed.
    close();
    Wait();
}

bool ReaderThread::startRun(std::string const& port, int baud) {
    KinetraLock lock(dataLock_);
    if (IsRunning()) return false;
    status_ = kNothingRead;
    stopRequested_ = false;
    dropQueuedWrites();
    portName_ = port;
    baud_ = baud;
    setLive(true);
    Start();
    return true;
}

void ReaderThread::close() {
    KinetraLock lock(dataLock_);
    stopRequested_ = true;
    wake_.Signal();
    setLive(false);
}

bool ReaderThread::isOpened() {
    KinetraLock lock(dataLock_);
    return IsRunning();
}

std::string ReaderThread::getPortName() {
    KinetraLock lock(dataLock_);
    return portName_;
}

std::vector<unsigned char> ReaderThread::getBuffer(bool keep, int& status) {
    KinetraLock lock(dataLock_);
    status = status_;
    if (keep) return receiveBuffer_;
    std::vector<unsigned char> out;
    out.swap(receiveBuffer_);
    return out;
}

void ReaderThread::writeByte(char value) {
    KinetraLock lock(dataLock_);
    writeQueue_.push_back(static_cast<unsigned char>(value));
    wake_.Signal();
}

void ReaderThread::writeByteArray(unsigned char* data, int count) {
    if (count <= 0 || data == nullptr) return;
    KinetraLock lock(dataLock_);
    writeQueue_.insert(writeQueue_.end(), data, data + count);
    wake_.Signal();
}

bool ReaderThread::isConfWritten() {
    KinetraLock lock(dataLock_);
    bool written = confWritten_;
    confWritten_ = false;
    return written;
}

void ReaderThread::Run() {
    std::string port;
    int baud;
    {
        KinetraLock lock(dataLock_);
        port = portName_;
        baud = baud_;
    }
    channel_.Open(port, static_cast<unsigned int>(baud), false);
    silenceWindowOpen_ = false;
    while (!stopRequested_.load()) {
        if (!channel_.IsOpen()) break;
        if (DoRead() < 0 || !DoWrite()) {
            KinetraLock lock(dataLock_);
            stopRequested_ = true;
            status_ = kStopped;
            break;
        }
    }
    {
        KinetraLock lock(dataLock_);
        receiveBuffer_.clear();
        dropQueuedWrites();
    }
    setLive(false);
    channel_.Close();
}

int ReaderThread::DoRead() {
    readChunk_.clear();
    if (!silenceWindowOpen_) {
        silenceDeadline_ = KineSerial::Clock::now() + std::chrono::milliseconds(kSilenceMs);
        silenceWindowOpen_ = true;
    }
    const int r = channel_.ReadBytesUntil(readChunk_, silenceDeadline_, wake_.Fd());
    if (r == 0) {
        // Woken: lower the signal before the loop looks at the stop flag and
        // the write queue, so that a request made after this is not lost.
        wake_.Clear();
        return 0;
    }
    silenceWindowOpen_ = false;
    if (r < 0) return r;
    appendReceived(readChunk_.data(), readChunk_.size());
    return 1;
}

void ReaderThread::appendReceived(const unsigned char* data, size_t count) {
    {
        KinetraLock lock(dataLock_);
        receiveBuffer_.insert(receiveBuffer_.end(), data, data + count);
        if (receiveBuffer_.size() > kMaxBuffer) {
            // Drop the oldest `count` bytes: the buffer keeps as many bytes as
            // it held before this read, the newest ones.
            receiveBuffer_.erase(receiveBuffer_.begin(), receiveBuffer_.begin() + static_cast<long>(count));
            status_ = kOverflow;
        } else {
            status_ = kReading;
            if (writePending_) {
                writePending_ = false;
                confWritten_ = true;
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(arrivalLock_);
        ++arrivals_;
    }
    arrived_.notify_all();  // no system call while nobody waits
}

uint64_t ReaderThread::arrivals() {
    std::lock_guard<std::mutex> lock(arrivalLock_);
    return arrivals_;
}

ReaderThread::Arrival ReaderThread::waitForArrival(uint64_t seen,
                                                   const std::chrono::steady_clock::time_point* deadline) {
    std::unique_lock<std::mutex> lock(arrivalLock_);
    // The condition variable's own wait resumes after a signal handler runs;
    // only the predicate or the deadline ends it.
    const auto ready = [&] { return arrivals_ != seen || !live_; };
    if (deadline == nullptr)
        arrived_.wait(lock, ready);
    else if (!arrived_.wait_until(lock, *deadline, ready))
        return Arrival::kTimedOut;
    return arrivals_ != seen ? Arrival::kArrived : Arrival::kEnded;
}

void ReaderThread::setLive(bool live) {
    {
        std::lock_guard<std::mutex> lock(arrivalLock_);
        live_ = live;
    }
    arrived_.notify_all();
}

// Commands belong to the connection they were given to: none is sent to
// the unit of a later connection. Called with the data lock held.
void ReaderThread::dropQueuedWrites() {
    writeQueue_.clear();
    writePending_ = false;
    confWritten_ = false;
}

bool ReaderThread::DoWrite() {
    KinetraLock lock(dataLock_);
    if (writeQueue_.empty()) return true;
    if (channel_.WriteAndErase(writeQueue_) == -1) return false;
    writePending_ = true;
    return true;
}
