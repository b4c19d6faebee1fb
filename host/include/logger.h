#pragma once
// Process-wide logger of the host's common library.
//
// Every component logs through Logger::getLogger() with a printf-style format.
// A message below the minimum level is dropped before it is formatted, so a
// debug line on a hot path costs one comparison when debug logging is off.
// Lines go to stderr as "<UTC time> <LEVEL> <text>". Tests can install a
// capture callback that receives every message, whatever the minimum level, as
// (level, formatted text). All members are safe to call from several threads:
// the plugin relies on this, as it logs from its writer threads while the
// sending thread logs too. A message is formatted outside the lock; the
// capture callback and the stderr write run under it, so lines never
// interleave and a capture callback must not log.

#include <atomic>
#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

class Logger {
  public:
    enum class Level { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3 };
    using Capture = std::function<void(Level, const std::string&)>;

    static Logger* getLogger();

    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Sets the minimum level written to stderr. Names: "debug", "info",
    // "warning" (or "warn"), "error"; any other name throws std::invalid_argument.
    void setMinLevel(const std::string& name);
    void setMinLevel(Level level);
    Level getMinLevel() const { return minLevel.load(std::memory_order_relaxed); }

    // Installs (or, with an empty function, removes) the capture callback.
    // While one is installed every message is formatted and handed to it.
    void setCapture(Capture capture);

    // Installs (or, with an empty function, removes) a hook run just before a
    // line is written to stderr, e.g. to clear a progress bar drawn there.
    // It runs under the logger's lock and must not log.
    void setBeforeWrite(std::function<void()> hook);

    static const char* levelName(Level level);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

  private:
    Logger();
    void log(Level level, const char* fmt, va_list args);

    std::atomic<Level> minLevel;
    std::atomic<bool> capturing;
    std::mutex mutex;
    Capture capture;
    std::function<void()> beforeWrite;
};
