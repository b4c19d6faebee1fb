#pragma once
// StreamRows: how the table writer hands a table's rows to the stream
// transport instead of the warehouse's INSERTs.
//
// The schema steps stay with the table writer (the table is created, and the
// rescued data column added, through the warehouse); start() then encodes
// the records as JSON records for the table's cached columns
// (JsonRecordEncoder) and writes them through the StreamClient on a thread of
// their own, so that the tables of a batch wait for their acknowledgements
// side by side. The outcome is taken from the returned future. The client
// and the cache entry are borrowed until start() returns; the thread owns
// the encoded records.

#include <future>
#include <string>
#include <vector>

#include "database_record.h"
#include "schema_manager.h"
#include "stream_client.h"

class StreamRows {
  public:
    using Pending = std::shared_future<StreamClient::Outcome>;

    // Encodes the records (consumed) for `columns` and starts writing them
    // into `table`; adds the number of rescued values to `rescued` and sets
    // `firstReason` when it is empty and a value was rescued.
    static Pending start(StreamClient& client, const std::string& table, const CachedTable& columns,
                         std::vector<DatabaseRecord>& records, size_t& rescued,
                         std::string& firstReason);
    // Returns true iff the write has finished.
    static bool isDone(const Pending& pending);
};
