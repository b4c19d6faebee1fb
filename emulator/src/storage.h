#pragma once
// The SQLite side of the emulator: opening a schema file, statements and
// transactions with RAII, and the catalog that keeps the warehouse's column
// types next to the data.
//
// Each schema is one SQLite file in WAL mode with a long busy timeout, so
// several connections and processes can write to it. The table
// "_lakesink_columns" in that file is the catalog: one row per column with its
// warehouse type, in table order; "_lakesink_versions" counts the metadata
// changes of each table, so that a writer can tell that a concurrent ALTER
// happened while it waited. information_schema is an attached in-memory
// database filled from the catalog before a query reads it. Nothing here is
// thread-safe; a sqlite3 handle belongs to one Session.

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

#include "warehouse_types.h"

namespace whemu {

inline constexpr const char* kCatalogTable = "_lakesink_columns";
inline constexpr const char* kVersionsTable = "_lakesink_versions";

// Opens (creating when needed) the schema file with the catalog and the
// information_schema database attached. Throws WarehouseError.
sqlite3* openSchema(const std::string& path);

// Throws the WarehouseError for a failed SQLite call: HYT00 when the file
// stayed locked past the busy timeout, HY000 otherwise.
[[noreturn]] void storageError(sqlite3* db, int rc);

void exec(sqlite3* db, const char* sql);

// A SQLite identifier in double quotes.
std::string sqliteName(std::string_view name);

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* get() const { return stmt_; }
    // SQLITE_ROW or SQLITE_DONE; throws on anything else.
    int step();
    void reset();
    void bindText(int index, std::string_view text);
    void bindInt(int index, int64_t value);

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE (a write, taking the write lock at once) or BEGIN (a
// consistent read) on construction, ROLLBACK unless committed.
class Transaction {
  public:
    enum Mode { Write, Read };
    explicit Transaction(sqlite3* db, Mode mode = Write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

  private:
    sqlite3* db_;
    bool open_ = true;
};

// The catalog columns of `table` in order; false when the table is unknown.
bool loadTable(sqlite3* db, const std::string& table, std::vector<Column>& columns);
// True when SQLite has a table or view of that name, known to the catalog or not.
bool storageTableExists(sqlite3* db, const std::string& table);
// Appends a column to the catalog at position `ordinal` (0-based).
void addCatalogColumn(sqlite3* db, const std::string& table, int ordinal, const Column& column,
                      const std::string& comment);
void dropCatalogTable(sqlite3* db, const std::string& table);
// The metadata version of `table`: it changes with every CREATE, ALTER and
// DROP of the table (0 for a table never seen), never with an INSERT.
int64_t tableVersion(sqlite3* db, const std::string& table);
void bumpTableVersion(sqlite3* db, const std::string& table);
// Refills information_schema.columns and .tables from the catalog; without
// `fullDataType` the columns table has no full_data_type column, as in a
// database that lacks it.
void refreshInformationSchema(sqlite3* db, const std::string& catalog, const std::string& schema,
                              bool fullDataType);

}  // namespace whemu
