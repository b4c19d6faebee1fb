#pragma once
// ResendMemory: which readings of the last failed batch were written already.
//
// The host sends a batch again, whole, until the plugin reports it sent. A
// batch that failed halfway has written some of its tables (or, after rows
// were isolated, some of a table's rows); without this memory a resend would
// write those rows again. The memory holds one batch: its fingerprint (the
// number of readings, each asset code and both times) and one flag per
// reading. It is lost on restart: after a crash delivery is at least once.
// Not thread-safe: the connector uses it from the sending thread.

#include <cstddef>
#include <cstdint>
#include <vector>

class Reading;

class ResendMemory {
  public:
    // A fingerprint of the batch: the same readings in the same order give
    // the same value.
    static uint64_t fingerprintOf(const std::vector<Reading*>& readings);

    // Returns true iff some reading of an earlier failed batch was written.
    bool holdsWrites() const { return !written.empty(); }
    // Returns true iff the batch is the one remembered and its reading at
    // `index` was written then.
    bool wasWritten(uint64_t fingerprint, size_t count, size_t index) const {
        return fingerprint == remembered && count == written.size() && written[index] != 0;
    }
    // Remembers the batch and which of its readings were written (one flag per
    // reading, non-zero for written); an empty list, or one without any
    // written reading, forgets instead.
    void remember(uint64_t fingerprint, std::vector<char> writtenFlags);
    void forget();

  private:
    uint64_t remembered = 0;
    std::vector<char> written;
};
