#include "service/stopsignals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

std::atomic<int> stopSignal{0};
std::atomic<int> signalWakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

void wakeUp(int fd) {
    uint64_t one = 1;
    ssize_t ignored = ::write(fd, &one, sizeof one);
    (void)ignored;
}

void onSignal(int signal) {
    const int saved = errno;
    int expected = 0;
    stopSignal.compare_exchange_strong(expected, signal);
    const int fd = signalWakeFd.load();
    if (fd >= 0) {
        wakeUp(fd);
    }
    errno = saved;
}

void setAction(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop)
    : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), onStop_(std::move(onStop)) {
    signalWakeFd.store(wake_.get());
    thread_ = std::thread(&StopSignals::run, this);
    // SA_RESETHAND: the same signal again takes its default action at once, even before the
    // thread has run.
    for (int signal : {SIGTERM, SIGINT}) {
        setAction(signal, onSignal, SA_RESTART | SA_RESETHAND);
    }
}

StopSignals::~StopSignals() {
    closing_.store(true);
    wakeUp(wake_.get());
    thread_.join();
    // From now on a signal ends the process at once: nothing is left to wake.
    for (int signal : {SIGTERM, SIGINT}) {
        setAction(signal, SIG_DFL, 0);
    }
    signalWakeFd.store(-1);
}

int StopSignals::received() {
    return stopSignal.load();
}

void StopSignals::run() {
    while (!closing_.load() && stopSignal.load() == 0) {
        pollfd wake{wake_.get(), POLLIN, 0};
        ::poll(&wake, 1, -1);
        uint64_t count;
        ssize_t ignored = ::read(wake_.get(), &count, sizeof count);
        (void)ignored;
    }
    if (stopSignal.load() == 0) {
        return;
    }
    // Whichever of the two comes next ends the process at once.
    for (int signal : {SIGTERM, SIGINT}) {
        setAction(signal, SIG_DFL, 0);
    }
    onStop_();
}
