#include "reading_source.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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
std::optional<uint64_t> countLines(FILE* file) {
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    uint64_t lines = 0;
    bool content = false;
    char chunk[1 << 16];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        for (size_t i = 0; i < got; ++i) {
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
    clearerr(file);
    if (fseek(file, 0, SEEK_SET) != 0)
        return std::nullopt;
    return lines;
}

}  // namespace

JsonLinesSource::JsonLinesSource(const std::string& path) {
    if (path == "-") {
        name = "standard input";
        file = stdin;
    } else {
        name = path;
        file = fopen(path.c_str(), "r");
        if (!file) {
            throw std::runtime_error("cannot open readings file " + path + ": " +
                                     std::strerror(errno));
        }
        ownsFile = true;
        // A directory opens, but every read of it fails: it would pass for
        // an empty input.
        struct stat info;
        if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
            fclose(file);
            throw std::runtime_error("cannot read readings file " + path + ": " +
                                     std::strerror(EISDIR));
        }
    }
    lineCount = countLines(file);
}

JsonLinesSource::~JsonLinesSource() {
    free(buffer);
    if (ownsFile)
        fclose(file);
}

std::unique_ptr<Reading> JsonLinesSource::next() {
    for (;;) {
        ssize_t length = getline(&buffer, &capacity, file);
        if (length < 0) {
            // A read interrupted by a stop signal is not an input error.
            if (ferror(file) && errno != EINTR) {
                Logger::getLogger()->error("Reading %s stopped after line %llu: %s", name.c_str(),
                                           static_cast<unsigned long long>(lineNumber),
                                           std::strerror(errno));
            }
            return nullptr;
        }
        ++lineNumber;
        const char* text = buffer;
        size_t size = static_cast<size_t>(length);
        // A byte order mark in front of the first line is not part of the JSON.
        if (lineNumber == 1 && size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
            text += 3;
            size -= 3;
        }
        if (blank(text, size))
            continue;
        while (size > 0 && (text[size - 1] == '\n' || text[size - 1] == '\r'))
            --size;
        std::string error;
        auto reading = parseReadingLine(std::string(text, size), error);
        if (reading)
            return reading;
        ++rejectedLines;
        Logger::getLogger()->error("Line %llu of %s rejected: %s",
                                   static_cast<unsigned long long>(lineNumber), name.c_str(),
                                   error.c_str());
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

std::unique_ptr<Reading> GeneratedSource::next() {
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
