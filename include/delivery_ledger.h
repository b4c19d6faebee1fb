#pragma once
// DeliveryLedger: which readings of a batch are written, across the host's
// resends of that batch.
//
// The host sends a batch again, whole, until the plugin reports it sent. A
// batch that failed halfway has written some of its tables (or, after rows
// were isolated, some of a table's rows); the ledger remembers which readings
// those were, so a resend writes only the rest. It holds one batch: its
// fingerprint (the number of readings, each asset code, both times and every
// datapoint's name and value) and
// one flag per reading. It is lost on restart.
//
// A send opens a DeliveryLedger::Batch with begin(), marks readings as they
// are written, and closes it with end(): a sent batch is forgotten, a failed
// one remembered. Not thread-safe: the connector uses it from the sending
// thread; the Batch borrows the host's readings for the length of one send.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

class Reading;

class DeliveryLedger {
  public:
    // The readings of one send: those still to write (not written by an
    // earlier attempt at the same batch) and which have been written since.
    class Batch {
      public:
        // The readings still to write, in batch order; positions into this
        // list are what the other members take.
        const std::vector<Reading*>& pending() const { return pendingReadings; }
        // Flags the pending reading at `index` as written (inline: a table
        // marks every one of its readings).
        void markWritten(size_t index) {
            if (index < origin.size())
                written[origin[index]] = 1;
        }
        void markWritten(const std::vector<size_t>& indices);
        // Returns true iff the pending reading at `index` has been written.
        bool isWritten(size_t index) const {
            return index < origin.size() && written[origin[index]] != 0;
        }

      private:
        friend class DeliveryLedger;
        explicit Batch(const std::vector<Reading*>& all) : all(all), written(all.size(), 0) {}

        const std::vector<Reading*>& all;
        std::vector<Reading*> pendingReadings;
        std::vector<size_t> origin;  // position in `all` of each pending reading
        std::vector<char> written;   // per reading of `all`
        uint64_t print = 0;
        bool hasPrint = false;
    };

    // A fingerprint of the batch: the same readings in the same order give
    // the same value.
    static uint64_t fingerprintOf(const std::vector<Reading*>& readings);

    // Opens a send of `readings`: those written by an earlier attempt at the
    // same batch are not pending.
    Batch begin(const std::vector<Reading*>& readings) const;
    // Closes the send: a batch that was sent is forgotten; one that was not is
    // remembered with the readings it wrote, for the host's resend.
    void end(Batch& batch, bool sent);
    // Returns true iff some reading of an earlier failed batch was written.
    bool holdsWrites() const { return !written.empty(); }

    // Exactly once. A table is in doubt when rows about to be written may be
    // in it already: every table while the plugin is catching up after a
    // start (an earlier process may have written part of the batches the
    // host sends again), and a table whose INSERT may have run although its
    // answer was lost. Rows of a table in doubt are written so that those
    // already there are skipped.
    // With `on` false (at least once) no table is ever in doubt.
    void setExactlyOnce(bool on) { exactlyOnce = on; }
    // Returns true iff rows written to `table` now may be there already;
    // `existedBefore` tells whether the table was there before this process
    // (a table this process created holds nothing of an earlier one).
    bool isInDoubt(const std::string& table, bool existedBefore) const {
        return exactlyOnce && ((catchingUp && existedBefore) || doubtful.count(table) != 0);
    }
    // The outcome of a statement into `table` is unknown.
    void markDoubtful(const std::string& table) { doubtful.insert(table); }
    // Every row of the batch meant for `table` is known to be in it.
    void clearDoubt(const std::string& table) { doubtful.erase(table); }
    // After a send: a sent batch whose rows in doubt were all new ends the
    // catching up after a start. `checked` rows were written skipping those
    // already there, and `skipped` of them were.
    void noteCaughtUp(bool sent, size_t checked, size_t skipped);

  private:
    void forget();

    bool exactlyOnce = true;
    bool catchingUp = true;
    std::set<std::string> doubtful;

    uint64_t remembered = 0;
    std::vector<char> written;
};
