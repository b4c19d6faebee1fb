#pragma once
// Where the north service takes its readings from: a JSON Lines stream (file
// or standard input) or a deterministic synthetic workload.
//
// A source hands out readings one at a time; the caller owns each reading it
// receives. A source never waits longer than the caller allows, so that the
// caller can send a partial block when its input goes quiet and can notice a
// stop request. Sources are used by one thread; not copyable.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "reading.h"

class ReadingSource {
  public:
    virtual ~ReadingSource() = default;
    // The next reading, waiting up to `wait` for one to arrive; null when
    // none arrived in time or the source is at its end (see atEnd).
    virtual std::unique_ptr<Reading> next(std::chrono::milliseconds wait) = 0;
    // Returns true iff the source has given its last reading.
    virtual bool atEnd() const = 0;
    // Input lines that were not readings (reported and skipped).
    virtual uint64_t rejected() const { return 0; }
    // The number of readings the source will give, when known in advance; for
    // a file, its non-blank lines less those rejected so far.
    virtual std::optional<uint64_t> expected() const { return std::nullopt; }
};

// One reading per line; blank lines are ignored; a line that is not a reading
// is reported through the logger with its line number and skipped. A last
// line without a line end is read at the end of the input. Pipes, FIFOs and
// terminals are read as their lines arrive; a regular file is read to the end
// it has when it is reached, or, when followed, as it grows, without an end.
class JsonLinesSource : public ReadingSource {
  public:
    // "-" reads standard input. Throws std::runtime_error when the file cannot
    // be opened or is a directory.
    explicit JsonLinesSource(const std::string& path, bool follow = false);
    ~JsonLinesSource() override;
    JsonLinesSource(const JsonLinesSource&) = delete;
    JsonLinesSource& operator=(const JsonLinesSource&) = delete;

    std::unique_ptr<Reading> next(std::chrono::milliseconds wait) override;
    bool atEnd() const override { return ended && pending.size() == consumed; }
    uint64_t rejected() const override { return rejectedLines; }
    std::optional<uint64_t> expected() const override;

  private:
    // Returns true iff a whole line (or the rest of an ended input) is buffered.
    bool lineBuffered() const;
    // Waits up to `wait` for input and appends what arrived to `pending`.
    void fill(std::chrono::milliseconds wait);
    // The reading of the buffered line, or null when it is blank or rejected.
    std::unique_ptr<Reading> takeLine();

    std::string name;
    int fd = -1;
    bool ownsFd = false;
    bool follow = false;  // a regular file is read as it grows
    bool ended = false;
    std::string pending;  // bytes read and not yet taken, from `consumed` on
    size_t consumed = 0;
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

    std::unique_ptr<Reading> next(std::chrono::milliseconds wait) override;
    bool atEnd() const override { return produced >= count; }
    std::optional<uint64_t> expected() const override { return count; }

  private:
    uint64_t random();

    uint64_t count;
    uint32_t assets;
    uint32_t datapoints;
    uint64_t state;
    uint64_t produced = 0;
};
