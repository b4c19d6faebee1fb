#include "log_capture.h"

#include <mutex>

struct LogCapture::State {
    mutable std::mutex mutex;
    std::vector<Entry> entries;
};

LogCapture::LogCapture() : state(new State) {
    State* s = state;
    Logger::getLogger()->setCapture([s](Logger::Level level, const std::string& text) {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->entries.emplace_back(level, text);
    });
}

LogCapture::~LogCapture() {
    Logger::getLogger()->setCapture(nullptr);
    delete state;
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->entries;
}

std::vector<std::string> LogCapture::at(Logger::Level level) const {
    std::vector<std::string> texts;
    for (const auto& entry : entries()) {
        if (entry.first == level)
            texts.push_back(entry.second);
    }
    return texts;
}

bool LogCapture::has(Logger::Level level, const std::string& text) const {
    return count(level, text) > 0;
}

size_t LogCapture::count(Logger::Level level, const std::string& text) const {
    size_t n = 0;
    for (const auto& entry : entries()) {
        if (entry.first == level && entry.second == text)
            ++n;
    }
    return n;
}

bool LogCapture::contains(const std::string& fragment) const {
    for (const auto& entry : entries()) {
        if (entry.second.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->entries.clear();
}
