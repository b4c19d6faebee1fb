#pragma once
// SIGINT and SIGTERM taken by a watcher thread of their own instead of an
// asynchronous handler, so that a stop request can be answered at once with
// ordinary code (log lines, a summary) while the main thread is inside a long
// plugin_send.
//
// The constructor blocks both signals in the calling thread; threads started
// after it (the plugin's writers) inherit the mask, so the watcher is the only
// one to take them. Construct it before the plugin is loaded. The handler runs
// on the watcher thread: once with `first` true for the first signal, and
// again with `first` false for every later one. The destructor stops the
// watcher and restores the signal mask. Not copyable.

#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

class StopSignals {
  public:
    using Handler = std::function<void(int signal, bool first)>;

    explicit StopSignals(Handler handler);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // The first signal received, 0 while none was.
    int received() const { return first.load(); }

  private:
    void watch();

    Handler handler;
    sigset_t stopSet{};
    sigset_t previousMask{};
    std::atomic<int> first{0};
    std::atomic<bool> closing{false};
    std::thread watcher;
};
