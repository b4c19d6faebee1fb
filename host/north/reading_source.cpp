#include "reading_source.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "logger.h"
#include "reading_json.h"

namespace {

bool blank(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t' && text[i] != '\r' && text[i] != '\n')
            return false;
    }
    return true;
}

// Non-blank lines of a regular file, for the progress display; the file is
// left at its start. Nothing for pipes and terminals.
std::optional<uint64_t> countLines(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    uint64_t lines = 0;
    bool content = false;
    char chunk[1 << 16];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            const char c = chunk[i];
            if (c == '\n') {
                lines += content ? 1 : 0;
                content = false;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                content = true;
            }
        }
    }
    lines += content ? 1 : 0;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return std::nullopt;
    return lines;
}

}  // namespace

JsonLinesSource::JsonLinesSource(const std::string& path, bool follow) {
    if (path == "-") {
        name = "standard input";
        fd = STDIN_FILENO;
    } else {
        name = path;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            throw std::runtime_error("cannot open readings file " + path + ": " +
                                     std::strerror(errno));
        }
        ownsFd = true;
        // A directory opens, but every read of it fails: it would pass for
        // an empty input.
        struct stat info;
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            ::close(fd);
            throw std::runtime_error("cannot read readings file " + path + ": " +
                                     std::strerror(EISDIR));
        }
    }
    lineCount = countLines(fd);
    // Only a regular file has more to come after its end; its size is then
    // no count of the readings.
    this->follow = follow && lineCount.has_value();
    if (this->follow)
        lineCount.reset();
}

JsonLinesSource::~JsonLinesSource() {
    if (ownsFd)
        ::close(fd);
}

std::optional<uint64_t> JsonLinesSource::expected() const {
    if (!lineCount)
        return lineCount;
    return *lineCount > rejectedLines ? *lineCount - rejectedLines : 0;
}

bool JsonLinesSource::lineBuffered() const {
    if (consumed < pending.size() && ended)
        return true;
    return pending.find('\n', consumed) != std::string::npos;
}

void JsonLinesSource::fill(std::chrono::milliseconds wait) {
    struct pollfd ready {};
    ready.fd = fd;
    ready.events = POLLIN;
    const int timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
    if (::poll(&ready, 1, timeout) <= 0)
        return;  // nothing yet, or interrupted: the caller asks again
    if (consumed > 0) {
        pending.erase(0, consumed);
        consumed = 0;
    }
    char chunk[1 << 16];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
        pending.append(chunk, static_cast<size_t>(got));
    } else if (got == 0 && follow) {
        // The end of a followed file: wait for it to grow.
        std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds(100)));
    } else if (got == 0) {
        ended = true;
    } else if (errno != EINTR && errno != EAGAIN) {
        Logger::getLogger()->error("Reading %s stopped after line %llu: %s", name.c_str(),
                                   static_cast<unsigned long long>(lineNumber),
                                   std::strerror(errno));
        ended = true;
    }
}

std::unique_ptr<Reading> JsonLinesSource::takeLine() {
    const size_t newline = pending.find('\n', consumed);
    const size_t stop = newline == std::string::npos ? pending.size() : newline;
    const char* text = pending.data() + consumed;
    size_t size = stop - consumed;
    consumed = newline == std::string::npos ? pending.size() : newline + 1;
    ++lineNumber;
    // A byte order mark in front of the first line is not part of the JSON.
    if (lineNumber == 1 && size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        size -= 3;
    }
    if (blank(text, size))
        return nullptr;
    while (size > 0 && text[size - 1] == '\r')
        --size;
    std::string error;
    auto reading = parseReadingLine(std::string(text, size), error);
    if (reading)
        return reading;
    ++rejectedLines;
    Logger::getLogger()->error("Line %llu of %s rejected: %s",
                               static_cast<unsigned long long>(lineNumber), name.c_str(),
                               error.c_str());
    return nullptr;
}

std::unique_ptr<Reading> JsonLinesSource::next(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        while (lineBuffered()) {
            if (auto reading = takeLine())
                return reading;
        }
        if (atEnd())
            return nullptr;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return nullptr;
        fill(left);
        if (!lineBuffered() && !ended && std::chrono::steady_clock::now() >= deadline)
            return nullptr;
    }
}

GeneratedSource::GeneratedSource(uint64_t count, uint32_t assets, uint32_t datapoints,
                                 uint64_t seed)
    : count(count), assets(assets == 0 ? 1 : assets), datapoints(datapoints), state(seed) {}

// splitmix64: small, fast and the same on every platform.
uint64_t GeneratedSource::random() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::unique_ptr<Reading> GeneratedSource::next(std::chrono::milliseconds) {
    if (produced >= count)
        return nullptr;
    static const char* const words[] = {"ok", "warning", "it's fine", "C:\\data\\in",
                                        "fault \"E42\""};
    const uint64_t index = produced++;
    const uint64_t start = 1767225600000000ULL;  // 2026-01-01T00:00:00Z
    auto reading = std::make_unique<Reading>("asset_" + std::to_string(index % assets),
                                             std::vector<Datapoint*>{});
    reading->setTimestamp(start + index * 1000);
    reading->setUserTimestamp(start + index * 1000);
    for (uint32_t j = 0; j < datapoints; ++j) {
        const uint64_t r = random();
        const std::string name = "dp_" + std::to_string(j);
        switch (j % 3) {
            case 0: {
                // Three decimals in [-1000, 1000).
                DatapointValue value(
                    static_cast<double>(static_cast<int64_t>(r % 2000000) - 1000000) / 1000.0);
                reading->addDatapoint(new Datapoint(name, value));
                break;
            }
            case 1: {
                DatapointValue value(static_cast<long>(r % 2000000001) - 1000000000L);
                reading->addDatapoint(new Datapoint(name, value));
                break;
            }
            default: {
                DatapointValue value{std::string(words[r % 5])};
                reading->addDatapoint(new Datapoint(name, value));
            }
        }
    }
    return reading;
}
