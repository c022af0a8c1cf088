#include "Support/ScriptedDevice.hpp"

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel::testing {

void RecordingTransport::setDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

void RecordingTransport::failAt(std::size_t index, HelperFailure failure) {
    std::lock_guard lock(mutex_);
    failure_.emplace(index, std::move(failure));
}

std::vector<HIDStep> RecordingTransport::steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
}

void RecordingTransport::send(const HIDStep& step) {
    std::chrono::milliseconds delay;
    {
        std::lock_guard lock(mutex_);
        const std::size_t index = sent_++;
        if (failure_ && failure_->first == index) throw failure_->second;
        delay = delay_;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    std::lock_guard lock(mutex_);
    steps_.push_back(step);
}

ScriptedDevice::ScriptedDevice()
    : screen_(ScreenGeometry::of(1179, 2556, 3)),
      jpeg_{Bytes{0xFF, 0xD8, 0xFF, 0xD9}, 393, 852},
      transport_(std::make_shared<RecordingTransport>()),
      driver_(std::make_shared<InputDriver>(transport_, screen_)) {}

ScriptedDevice::~ScriptedDevice() {
    std::vector<std::jthread> producers;
    {
        std::lock_guard lock(mutex_);
        producers.swap(producers_);
    }
    // jthreads request stop and join as they go.
}

void ScriptedDevice::setScreen(ScreenGeometry screen) {
    std::lock_guard lock(mutex_);
    screen_ = screen;
}

void ScriptedDevice::setJPEG(JPEG jpeg) {
    std::lock_guard lock(mutex_);
    jpeg_ = std::move(jpeg);
}

void ScriptedDevice::setTree(AXNode root) {
    std::lock_guard lock(mutex_);
    tree_ = std::move(root);
}

void ScriptedDevice::setTransport(std::shared_ptr<RecordingTransport> transport) {
    std::lock_guard lock(mutex_);
    transport_ = transport;
    driver_ = std::make_shared<InputDriver>(std::move(transport), screen_);
}

void ScriptedDevice::setCoreSimulator(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    coreSimulator_ = std::move(text);
}

void ScriptedDevice::setSource(std::optional<std::string> text) {
    std::lock_guard lock(mutex_);
    source_ = std::move(text);
}

void ScriptedDevice::setDelay(Operation operation, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delays_[static_cast<int>(operation)] = delay;
}

void ScriptedDevice::setFailure(Operation operation, std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    failures_[static_cast<int>(operation)] = std::move(error);
}

void ScriptedDevice::clearFailure(Operation operation) {
    setFailure(operation, nullptr);
}

void ScriptedDevice::setStream(std::vector<Bytes> buffers, std::chrono::milliseconds gap,
                               std::exception_ptr error, bool endless) {
    std::lock_guard lock(mutex_);
    buffers_ = std::move(buffers);
    gap_ = gap;
    streamError_ = std::move(error);
    endless_ = endless;
}

void ScriptedDevice::holdWarming() {
    std::lock_guard lock(mutex_);
    warming_ = true;
}

void ScriptedDevice::finishWarming() {
    std::lock_guard lock(mutex_);
    warming_ = false;
    warmedChanged_.notify_all();
}

int ScriptedDevice::calls(Operation operation) const {
    return calls_[static_cast<int>(operation)].load();
}

int ScriptedDevice::cancelledStreams() const {
    return cancelled_.load();
}

int ScriptedDevice::refreshRequests() const {
    return refreshes_.load();
}
int ScriptedDevice::liveStreams() const {
    return live_.load();
}

std::shared_ptr<RecordingTransport> ScriptedDevice::transport() const {
    std::lock_guard lock(mutex_);
    return transport_;
}

void ScriptedDevice::begin(Operation operation) {
    ++calls_[static_cast<int>(operation)];
    std::chrono::milliseconds delay;
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        delay = delays_[static_cast<int>(operation)];
        failure = failures_[static_cast<int>(operation)];
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    if (failure) std::rethrow_exception(failure);
}

std::optional<std::string> ScriptedDevice::coreSimulator() const {
    std::lock_guard lock(mutex_);
    return coreSimulator_;
}

std::optional<std::string> ScriptedDevice::source() const {
    std::lock_guard lock(mutex_);
    return source_;
}

ScreenGeometry ScriptedDevice::screen() {
    begin(Operation::screen);
    std::lock_guard lock(mutex_);
    return screen_;
}

std::optional<ScreenGeometry> ScriptedDevice::screenAtOnce() {
    const int screen = static_cast<int>(Operation::screen);
    std::lock_guard lock(mutex_);
    if (delays_[screen].count() > 0 || failures_[screen]) return std::nullopt;
    ++calls_[screen];
    return screen_;
}

JPEG ScriptedDevice::screenshot(const ScreenshotRequest& request) {
    {
        std::lock_guard lock(mutex_);
        lastScreenshot_ = request;
    }
    begin(Operation::screenshot);
    std::lock_guard lock(mutex_);
    return jpeg_;
}

AXNode ScriptedDevice::tree() {
    begin(Operation::tree);
    std::lock_guard lock(mutex_);
    return tree_;
}

std::shared_ptr<InputDriver> ScriptedDevice::input() {
    begin(Operation::input);
    std::lock_guard lock(mutex_);
    return driver_;
}

void ScriptedDevice::waitUntilWarm() {
    begin(Operation::warmed);
    std::unique_lock lock(mutex_);
    warmedChanged_.wait(lock, [this] { return !warming_; });
}

std::optional<ScreenshotRequest> ScriptedDevice::lastScreenshot() const {
    std::lock_guard lock(mutex_);
    return lastScreenshot_;
}

std::optional<StreamSettings> ScriptedDevice::lastStream() const {
    std::lock_guard lock(mutex_);
    return lastStream_;
}

AsyncStream<Bytes> ScriptedDevice::stream(const StreamSettings& settings) {
    {
        std::lock_guard lock(mutex_);
        lastStream_ = settings;
    }
    begin(Operation::stream);
    AsyncStream<Bytes> stream;
    ++live_;
    stream.onTermination([this](StreamTermination how) {
        if (how == StreamTermination::cancelled) ++cancelled_;
    });
    stream.onRefresh([this] { ++refreshes_; });
    std::lock_guard lock(mutex_);
    // The producer holds the stream as a producer would; it ends when the stream is ended.
    producers_.emplace_back([this, stream, buffers = buffers_, gap = gap_, error = streamError_,
                             endless = endless_](std::stop_token stop) {
        std::mutex sleepMutex;
        std::condition_variable_any sleeper;
        auto pause = [&] {
            if (gap.count() == 0) return;
            std::unique_lock lock(sleepMutex);
            sleeper.wait_for(lock, stop, gap, [] { return false; });
        };
        bool open = true;
        do {
            for (const auto& buffer : buffers) {
                if (stop.stop_requested() || !stream.yield(buffer)) {
                    open = false;
                    break;
                }
                pause();
            }
            if (buffers.empty()) pause();
        } while (open && endless && !stream.isEnded() && !stop.stop_requested());
        if (open) stream.finish(error);
        --live_;
    });
    return stream;
}

}  // namespace tavrel::testing
