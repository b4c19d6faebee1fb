#include "logger.h"

#include <stdio.h>
#include <time.h>

#include <chrono>
#include <stdexcept>
#include <vector>

Logger* Logger::getLogger() {
    // Never destroyed: plugins and static destructors may still log while the
    // process winds down.
    static Logger* instance = new Logger();
    return instance;
}

Logger::Logger() : minLevel(Level::INFO), capturing(false) {}

const char* Logger::levelName(Level level) {
    switch (level) {
        case Level::DEBUG:
            return "DEBUG";
        case Level::INFO:
            return "INFO";
        case Level::WARNING:
            return "WARNING";
        case Level::ERROR:
            return "ERROR";
    }
    return "UNKNOWN";
}

void Logger::setMinLevel(Level level) {
    minLevel.store(level, std::memory_order_relaxed);
}

void Logger::setMinLevel(const std::string& name) {
    std::string lower;
    for (char c : name)
        lower += static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
    if (lower == "debug") {
        setMinLevel(Level::DEBUG);
    } else if (lower == "info") {
        setMinLevel(Level::INFO);
    } else if (lower == "warning" || lower == "warn") {
        setMinLevel(Level::WARNING);
    } else if (lower == "error") {
        setMinLevel(Level::ERROR);
    } else {
        throw std::invalid_argument("unknown log level \"" + name +
                                    "\" (expected debug, info, warning or error)");
    }
}

void Logger::setCapture(Capture newCapture) {
    std::lock_guard<std::mutex> lock(mutex);
    capture = std::move(newCapture);
    capturing.store(static_cast<bool>(capture), std::memory_order_release);
}

void Logger::setBeforeWrite(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex);
    beforeWrite = std::move(hook);
}

namespace {

std::string formatMessage(const char* fmt, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (needed < 0)
        return std::string("(unformattable log message: ") + fmt + ")";
    if (static_cast<size_t>(needed) < sizeof small)
        return std::string(small, needed);
    std::vector<char> big(static_cast<size_t>(needed) + 1);
    vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), static_cast<size_t>(needed));
}

// "2026-01-01T00:00:00.123456Z"
std::string utcNow() {
    auto now = std::chrono::system_clock::now();
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(micros / 1000000);
    long fraction = static_cast<long>(micros % 1000000);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
    return text;
}

}  // namespace

void Logger::log(Level level, const char* fmt, va_list args) {
    const bool toStderr = level >= minLevel.load(std::memory_order_relaxed);
    if (!toStderr && !capturing.load(std::memory_order_acquire))
        return;

    const std::string text = formatMessage(fmt, args);
    std::lock_guard<std::mutex> lock(mutex);
    if (capture)
        capture(level, text);
    if (toStderr) {
        const std::string line = utcNow() + " " + levelName(level) + " " + text + "\n";
        if (beforeWrite)
            beforeWrite();
        fwrite(line.data(), 1, line.size(), stderr);
        fflush(stderr);
    }
}

#define LAKESINK_LOGGER_ENTRY(method, level)    \
    void Logger::method(const char* fmt, ...) { \
        va_list args;                           \
        va_start(args, fmt);                    \
        log(level, fmt, args);                  \
        va_end(args);                           \
    }

LAKESINK_LOGGER_ENTRY(debug, Level::DEBUG)
LAKESINK_LOGGER_ENTRY(info, Level::INFO)
LAKESINK_LOGGER_ENTRY(warn, Level::WARNING)
LAKESINK_LOGGER_ENTRY(error, Level::ERROR)
