#pragma once
// Captures every message of the host logger while it lives, as (level, text),
// so tests can assert exact log lines. Only one capture may be active at once.

#include <string>
#include <utility>
#include <vector>

#include "logger.h"

class LogCapture {
  public:
    using Entry = std::pair<Logger::Level, std::string>;

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    // The texts of every message at one level, in order.
    std::vector<std::string> at(Logger::Level level) const;
    // True when a message of that level and exactly that text was logged.
    bool has(Logger::Level level, const std::string& text) const;
    // True when any message (any level) contains the fragment.
    bool contains(const std::string& fragment) const;
    size_t count(Logger::Level level, const std::string& text) const;
    void clear();

  private:
    struct State;
    State* state;
};
