#pragma once
// Where the north service takes its readings from: a JSON Lines stream (file
// or standard input) or a deterministic synthetic workload.
//
// A source hands out readings one at a time; the caller owns each reading it
// receives. Sources are used by one thread; not copyable.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "reading.h"

class ReadingSource {
  public:
    virtual ~ReadingSource() = default;
    // The next reading, or null at the end of the source.
    virtual std::unique_ptr<Reading> next() = 0;
    // Input lines that were not readings (reported and skipped).
    virtual uint64_t rejected() const { return 0; }
    // The number of readings the source will give, when known in advance.
    virtual std::optional<uint64_t> expected() const { return std::nullopt; }
};

// One reading per line; blank lines are ignored; a line that is not a reading
// is reported through the logger with its line number and skipped.
class JsonLinesSource : public ReadingSource {
  public:
    // "-" reads standard input. Throws std::runtime_error when the file cannot
    // be opened or is a directory.
    explicit JsonLinesSource(const std::string& path);
    ~JsonLinesSource() override;
    JsonLinesSource(const JsonLinesSource&) = delete;
    JsonLinesSource& operator=(const JsonLinesSource&) = delete;

    std::unique_ptr<Reading> next() override;
    uint64_t rejected() const override { return rejectedLines; }
    std::optional<uint64_t> expected() const override { return lineCount; }

  private:
    std::string name;
    FILE* file = nullptr;
    bool ownsFile = false;
    char* buffer = nullptr;
    size_t capacity = 0;
    uint64_t lineNumber = 0;
    uint64_t rejectedLines = 0;
    std::optional<uint64_t> lineCount;
};

// `count` readings spread round-robin over `assets` assets named "asset_<n>",
// each with `datapoints` datapoints "dp_<n>" cycling through float, integer and
// string values drawn from a generator seeded with `seed`. Timestamps start at
// 2026-01-01T00:00:00Z and advance by one millisecond per reading, so the same
// arguments always give the same readings.
class GeneratedSource : public ReadingSource {
  public:
    GeneratedSource(uint64_t count, uint32_t assets, uint32_t datapoints, uint64_t seed);
    GeneratedSource(const GeneratedSource&) = delete;
    GeneratedSource& operator=(const GeneratedSource&) = delete;

    std::unique_ptr<Reading> next() override;
    std::optional<uint64_t> expected() const override { return count; }

  private:
    uint64_t random();

    uint64_t count;
    uint32_t assets;
    uint32_t datapoints;
    uint64_t state;
    uint64_t produced = 0;
};
