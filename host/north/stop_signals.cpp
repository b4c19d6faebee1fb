#include "stop_signals.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

StopSignals::StopSignals(Handler handler) : handler(std::move(handler)) {
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSet, &previousMask);
    watcher = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
    closing = true;
    watcher.join();
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

// Waits in slices so that the destructor is noticed within a tenth of a
// second.
void StopSignals::watch() {
    const struct timespec slice { 0, 100 * 1000 * 1000 };
    while (!closing) {
        siginfo_t info;
        const int signal = sigtimedwait(&stopSet, &info, &slice);
        if (signal <= 0)
            continue;  // timeout or EINTR
        int none = 0;
        const bool isFirst = first.compare_exchange_strong(none, signal);
        handler(signal, isFirst);
    }
}
