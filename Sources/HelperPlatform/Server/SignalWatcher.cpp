#include "HelperPlatform/Server/SignalWatcher.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "HelperCore/Concurrency/ThreadName.hpp"
#include "HelperPlatform/Server/UnixSocket.hpp"

namespace tavrel {
namespace {

// The write end of the pipe the forwarding handler writes to; one watcher per process.
std::atomic<int> forwardDescriptor{-1};

void forwardSignal(int signal) {
    const int saved = errno;
    const int descriptor = forwardDescriptor.load();
    if (descriptor >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(descriptor, &number, 1);
    }
    errno = saved;
}

sigset_t setOf(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    return set;
}

}  // namespace

void SignalWatcher::blockInThisThread(std::initializer_list<int> signals) {
    const sigset_t set = setOf(signals);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatcher::SignalWatcher(SerialQueue& queue, std::initializer_list<int> signals,
                             std::function<void(int)> handler)
    : queue_(queue), handler_(std::move(handler)) {
    const sigset_t set = setOf(signals);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signalDescriptor_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signalDescriptor_ < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
        const std::string reason = systemErrorText(errno);
        if (signalDescriptor_ >= 0) ::close(signalDescriptor_);
        throw std::runtime_error("cannot watch signals: " + reason);
    }
    forwardDescriptor.store(stopPipe_[1]);
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : signals) ::sigaction(signal, &action, nullptr);
    try {
        thread_ = std::thread([this] {
            setCurrentThreadName("tavrel.signals");
            watch();
        });
    } catch (const std::system_error& error) {
        forwardDescriptor.store(-1);
        ::close(signalDescriptor_);
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
        throw std::runtime_error(std::string("cannot watch signals: ") + error.what());
    }
}

SignalWatcher::~SignalWatcher() {
    forwardDescriptor.store(-1);
    const unsigned char stop = 0;  // not a signal number: ends the watch
    [[maybe_unused]] const ssize_t written = ::write(stopPipe_[1], &stop, 1);
    thread_.join();
    ::close(signalDescriptor_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
}

void SignalWatcher::watch() {
    pollfd descriptors[2] = {{signalDescriptor_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        if (::poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (descriptors[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalDescriptor_, &info, sizeof info) == sizeof info) {
                const int signal = static_cast<int>(info.ssi_signo);
                queue_.async([handler = handler_, signal] { handler(signal); });
            }
        }
        if (descriptors[1].revents & POLLIN) {
            unsigned char number = 0;
            if (::read(stopPipe_[0], &number, 1) != 1 || number == 0) return;
            queue_.async([handler = handler_, number] { handler(number); });
        }
    }
}

}  // namespace tavrel
