#include "Support/MemoryChannel.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::testing {

void MemoryChannel::feed(Bytes bytes) {
    std::lock_guard lock(mutex_);
    incoming_.push_back(std::move(bytes));
    changed_.notify_all();
}

void MemoryChannel::endInput() {
    std::lock_guard lock(mutex_);
    inputEnded_ = true;
    changed_.notify_all();
}

void MemoryChannel::failReads() {
    std::lock_guard lock(mutex_);
    readsFail_ = true;
    changed_.notify_all();
}

void MemoryChannel::failWritesAfter(std::size_t okWrites) {
    std::lock_guard lock(mutex_);
    okWrites_ = okWrites;
}

void MemoryChannel::setWriteDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    writeDelay_ = delay;
}

std::vector<Frame> MemoryChannel::frames() const {
    Bytes copy;
    {
        std::lock_guard lock(mutex_);
        copy = written_;
    }
    FrameDecoder decoder;
    std::vector<Frame> result;
    try {
        result = decoder.push(copy);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "the connection wrote what is not frames: " << error.what();
    }
    EXPECT_EQ(decoder.buffered(), 0u) << "a frame was left cut short";
    return result;
}

bool MemoryChannel::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (frames().size() >= count) return true;
        std::unique_lock lock(mutex_);
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            lock.unlock();
            return frames().size() >= count;
        }
    }
}

bool MemoryChannel::waitForClose(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return closes_ > 0; });
}

std::size_t MemoryChannel::closeCount() const {
    std::lock_guard lock(mutex_);
    return closes_;
}

std::size_t MemoryChannel::writeCount() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::optional<Bytes> MemoryChannel::read() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !incoming_.empty() || inputEnded_ || readsFail_; });
    if (!incoming_.empty()) {
        Bytes bytes = std::move(incoming_.front());
        incoming_.pop_front();
        return bytes;
    }
    if (readsFail_) throw HelperFailure("reading the socket: Connection reset by peer", 502);
    return std::nullopt;
}

void MemoryChannel::write(std::span<const std::uint8_t> bytes) {
    std::chrono::milliseconds delay;
    {
        std::lock_guard lock(mutex_);
        if (okWrites_ && writes_ >= *okWrites_) {
            ++writes_;
            throw HelperFailure("writing the socket: Broken pipe", 502);
        }
        EXPECT_FALSE(closed_) << "written after close";
        delay = writeDelay_;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    std::lock_guard lock(mutex_);
    ++writes_;
    written_.insert(written_.end(), bytes.begin(), bytes.end());
    changed_.notify_all();
}

void MemoryChannel::close() {
    std::lock_guard lock(mutex_);
    ++closes_;
    closed_ = true;
    inputEnded_ = true;
    changed_.notify_all();
}

namespace {

// Writes whole, as a socket with room to spare would, and tells the loop what the connection
// wants.
class ChannelSink : public FrameSink {
  public:
    explicit ChannelSink(MemoryChannel& channel) : channel_(channel) {}

    std::size_t writeSome(std::span<const std::uint8_t> bytes) override {
        channel_.write(bytes);
        return bytes.size();
    }
    void setInterest(bool read, bool) override {
        std::lock_guard lock(mutex_);
        wantsRead_ = read;
        changed_.notify_all();
    }
    void finished() override {
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    void waitUntilReadWanted(const Connection& connection) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return wantsRead_ || connection.state() != Connection::State::reading;
        });
    }
    void waitUntilFinished(const Connection& connection) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finished_ || connection.isFinished(); });
    }

  private:
    MemoryChannel& channel_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool wantsRead_ = true;
    bool finished_ = false;
};

}  // namespace

void runConnection(std::shared_ptr<MemoryChannel> channel, Router& router, Log log,
                   ConnectionLimits limits, TaskPool& pool) {
    auto sink = std::make_shared<ChannelSink>(*channel);
    const auto connection = Connection::make(sink, router, std::move(log), pool, limits);
    for (;;) {
        sink->waitUntilReadWanted(*connection);
        if (connection->state() != Connection::State::reading) break;
        std::optional<Bytes> bytes;
        try {
            bytes = channel->read();
        } catch (...) {
        }
        if (!bytes) {
            connection->readEnded();
            break;
        }
        connection->received(*bytes);
    }
    sink->waitUntilFinished(*connection);
    connection->close();
    channel->close();
}

}  // namespace tavrel::testing
