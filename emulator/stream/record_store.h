#pragma once
// The table a stream writes: its schema file, its columns as the stream saw
// them when it was created, and the writing of JSON records into it.
//
// A record is one JSON object, column name to value. Every record of a
// request is checked against the columns and converted with the warehouse
// emulator's own value rules before any is written; the request's rows are
// then written in one SQLite transaction. TIMESTAMP values are integers
// (microseconds since the epoch), VARIANT values strings holding JSON text.
// A stream never follows a change of its table: once the table's metadata
// version moves, the stream's writes are refused. One RecordStore per
// stream; not thread-safe.

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "warehouse_types.h"

namespace zbemu {

// A refusal with the gRPC status code it is answered with.
class StreamRefusal : public std::runtime_error {
  public:
    StreamRefusal(int code, const std::string& message) : std::runtime_error(message), code(code) {}
    int code;  // a grpc::StatusCode
};

class RecordStore {
  public:
    // Opens `catalog.schema.table` in `dir`. Throws StreamRefusal: NOT_FOUND
    // for a table that does not exist, INVALID_ARGUMENT for a malformed name.
    RecordStore(const std::string& dir, const std::string& fullName);
    ~RecordStore();
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // Checks and writes the records in one transaction; nothing is written
    // when one is refused (INVALID_ARGUMENT), or when the table changed since
    // the stream was opened (INVALID_ARGUMENT, or NOT_FOUND once dropped).
    void write(const std::vector<std::string>& records);

  private:
    void convert(const std::string& record, std::vector<whemu::Stored>& row) const;

    sqlite3* db_ = nullptr;
    std::string table_;
    int64_t version_ = 0;
    std::vector<whemu::Column> columns_;
    std::string insertSql_;
};

}  // namespace zbemu
