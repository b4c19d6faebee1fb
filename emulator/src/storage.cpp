#include "storage.h"

#include <unistd.h>

#include <chrono>
#include <limits>
#include <string>
#include <thread>

#include "diagnostics.h"
#include "spark_lexer.h"

namespace whemu {

namespace {

constexpr int kBusyTimeoutMs = 60000;

const char* const kSetup[] = {
    "CREATE TABLE IF NOT EXISTS _lakesink_columns ("
    " table_name TEXT NOT NULL, ordinal INTEGER NOT NULL, column_name TEXT NOT NULL,"
    " type TEXT NOT NULL, nullable INTEGER NOT NULL, comment TEXT,"
    " PRIMARY KEY (table_name, ordinal))",
    "CREATE TABLE IF NOT EXISTS _lakesink_versions ("
    " table_name TEXT PRIMARY KEY, version INTEGER NOT NULL)",
    "ATTACH DATABASE ':memory:' AS information_schema",
    "CREATE TABLE information_schema.tables ("
    " table_catalog TEXT, table_schema TEXT, table_name TEXT, table_type TEXT,"
    " data_source_format TEXT, comment TEXT)",
};

// information_schema.columns with and without full_data_type.
const char* const kColumnsTable =
    "CREATE TABLE information_schema.columns ("
    " table_catalog TEXT, table_schema TEXT, table_name TEXT, column_name TEXT,"
    " ordinal_position INTEGER, is_nullable TEXT, data_type TEXT, full_data_type TEXT,"
    " character_maximum_length INTEGER, numeric_precision INTEGER, numeric_scale INTEGER,"
    " comment TEXT)";
const char* const kColumnsTableWithoutFullType =
    "CREATE TABLE information_schema.columns ("
    " table_catalog TEXT, table_schema TEXT, table_name TEXT, column_name TEXT,"
    " ordinal_position INTEGER, is_nullable TEXT, data_type TEXT,"
    " character_maximum_length INTEGER, numeric_precision INTEGER, numeric_scale INTEGER,"
    " comment TEXT)";

// to_json(x): the JSON text of a VARIANT, which is how it is stored; any
// other value is given back as its text, NULL as NULL.
void toJson(sqlite3_context* context, int, sqlite3_value** arguments) {
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const unsigned char* text = sqlite3_value_text(arguments[0]);
    sqlite3_result_text(context, reinterpret_cast<const char*>(text),
                        sqlite3_value_bytes(arguments[0]), SQLITE_TRANSIENT);
}

// spark_double(x): the cast `x::double` of a query. A string that spells a
// non-finite double (NaN, Infinity, Inf, with a sign, any letter case, blanks
// around) gives that value; SQLite cannot hold NaN as REAL, so NaN comes back
// as the text NaN, which reads as the double NaN. Anything else is cast as
// SQLite's CAST AS REAL does.
void sparkDouble(sqlite3_context* context, int, sqlite3_value** arguments) {
    sqlite3_value* value = arguments[0];
    if (sqlite3_value_type(value) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    if (sqlite3_value_type(value) == SQLITE_TEXT) {
        std::string text(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                         static_cast<size_t>(sqlite3_value_bytes(value)));
        const size_t first = text.find_first_not_of(" \t\r\n");
        const size_t last = text.find_last_not_of(" \t\r\n");
        text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
        const bool negative = !text.empty() && text[0] == '-';
        const std::string_view body =
            std::string_view(text).substr(!text.empty() && (text[0] == '-' || text[0] == '+'));
        if (equalsIgnoreCase(body, "NaN")) {
            sqlite3_result_text(context, "NaN", 3, SQLITE_STATIC);
            return;
        }
        if (equalsIgnoreCase(body, "Infinity") || equalsIgnoreCase(body, "Inf")) {
            const double infinity = std::numeric_limits<double>::infinity();
            sqlite3_result_double(context, negative ? -infinity : infinity);
            return;
        }
    }
    sqlite3_result_double(context, sqlite3_value_double(value));
}

// Closes a handle that never made it into a Session.
struct OpenGuard {
    sqlite3* db = nullptr;
    ~OpenGuard() {
        if (db)
            sqlite3_close_v2(db);
    }
};

// Runs a setup statement, waiting out locks that SQLite reports at once
// instead of through the busy handler (switching a new file to WAL while
// another process does the same is one).
void execRetrying(sqlite3* db, const char* sql) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return;
        const bool busy = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
        if (!busy || std::chrono::steady_clock::now() > deadline)
            storageError(db, rc);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

void storageError(sqlite3* db, int rc) {
    const std::string detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
        fail("HYT00", kNativeBusy,
             "The warehouse is busy: the schema stayed locked by another writer (" + detail + ").");
    }
    fail("HY000", kNativeStorage, "Warehouse storage failure: " + detail + ".");
}

void exec(sqlite3* db, const char* sql) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        storageError(db, rc);
}

sqlite3* openSchema(const std::string& path) {
    OpenGuard guard;
    const int rc =
        sqlite3_open_v2(path.c_str(), &guard.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        fail("HY000", kNativeStorage,
             "Cannot open the schema file '" + printable(path) +
                 "': " + (guard.db ? sqlite3_errmsg(guard.db) : sqlite3_errstr(rc)) + ".");
    }
    sqlite3_extended_result_codes(guard.db, 1);
    sqlite3_busy_timeout(guard.db, kBusyTimeoutMs);
    execRetrying(guard.db, "PRAGMA journal_mode=WAL");
    exec(guard.db, "PRAGMA synchronous=NORMAL");
    for (const char* sql : kSetup)
        execRetrying(guard.db, sql);
    execRetrying(guard.db, kColumnsTable);
    sqlite3_create_function(guard.db, "to_json", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            toJson, nullptr, nullptr);
    sqlite3_create_function(guard.db, "spark_double", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                            nullptr, sparkDouble, nullptr, nullptr);
    sqlite3* db = guard.db;
    guard.db = nullptr;
    return db;
}

std::string sqliteName(std::string_view name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

Statement::Statement(sqlite3* db, const std::string& sql) : db_(db) {
    const int rc =
        sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK)
        storageError(db, rc);
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

int Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        storageError(db_, rc);
    return rc;
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

void Statement::bindText(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void Statement::bindInt(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
}

Transaction::Transaction(sqlite3* db, Mode mode) : db_(db) {
    exec(db, mode == Write ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
    if (open_)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    exec(db_, "COMMIT");
    open_ = false;
}

bool loadTable(sqlite3* db, const std::string& table, std::vector<Column>& columns) {
    columns.clear();
    Statement select(db,
                     "SELECT column_name, type, nullable FROM _lakesink_columns"
                     " WHERE table_name = ?1 ORDER BY ordinal");
    select.bindText(1, table);
    while (select.step() == SQLITE_ROW) {
        Column column;
        column.name = reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 0));
        column.type =
            parseTypeText(reinterpret_cast<const char*>(sqlite3_column_text(select.get(), 1)));
        column.nullable = sqlite3_column_int(select.get(), 2) != 0;
        columns.push_back(std::move(column));
    }
    return !columns.empty();
}

bool storageTableExists(sqlite3* db, const std::string& table) {
    Statement select(db, "SELECT 1 FROM sqlite_schema WHERE name = ?1 COLLATE NOCASE");
    select.bindText(1, table);
    return select.step() == SQLITE_ROW;
}

void addCatalogColumn(sqlite3* db, const std::string& table, int ordinal, const Column& column,
                      const std::string& comment) {
    Statement insert(db,
                     "INSERT INTO _lakesink_columns"
                     " (table_name, ordinal, column_name, type, nullable, comment)"
                     " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    insert.bindText(1, table);
    insert.bindInt(2, ordinal);
    insert.bindText(3, column.name);
    insert.bindText(4, column.type.text());
    insert.bindInt(5, column.nullable ? 1 : 0);
    if (!comment.empty())
        insert.bindText(6, comment);
    insert.step();
}

void dropCatalogTable(sqlite3* db, const std::string& table) {
    Statement drop(db, "DELETE FROM _lakesink_columns WHERE table_name = ?1");
    drop.bindText(1, table);
    drop.step();
}

int64_t tableVersion(sqlite3* db, const std::string& table) {
    Statement select(db, "SELECT version FROM _lakesink_versions WHERE table_name = ?1");
    select.bindText(1, table);
    return select.step() == SQLITE_ROW ? sqlite3_column_int64(select.get(), 0) : 0;
}

void bumpTableVersion(sqlite3* db, const std::string& table) {
    Statement bump(db,
                   "INSERT INTO _lakesink_versions (table_name, version) VALUES (?1, 1)"
                   " ON CONFLICT (table_name) DO UPDATE SET version = version + 1");
    bump.bindText(1, table);
    bump.step();
}

void refreshInformationSchema(sqlite3* db, const std::string& catalog, const std::string& schema,
                              bool fullDataType) {
    exec(db, "BEGIN");
    try {
        // The table is made again each time, so the switch takes effect on
        // open connections too; it lives in memory, so this costs little.
        exec(db, "DROP TABLE IF EXISTS information_schema.columns");
        exec(db, fullDataType ? kColumnsTable : kColumnsTableWithoutFullType);
        exec(db, "DELETE FROM information_schema.tables");
        Statement tables(db,
                         "INSERT INTO information_schema.tables SELECT DISTINCT ?2,"
                         " ?1, table_name, 'MANAGED', 'DELTA', NULL FROM main._lakesink_columns");
        tables.bindText(1, schema);
        tables.bindText(2, catalog);
        tables.step();
        Statement read(db,
                       "SELECT table_name, ordinal, column_name, type, nullable, comment"
                       " FROM main._lakesink_columns ORDER BY table_name, ordinal");
        Statement insert(db, fullDataType ? "INSERT INTO information_schema.columns VALUES"
                                            " (?12, ?1, ?2, ?3, ?4, ?5, ?6, ?7, NULL, ?9, ?10, ?11)"
                                          : "INSERT INTO information_schema.columns VALUES"
                                            " (?12, ?1, ?2, ?3, ?4, ?5, ?6, NULL, ?9, ?10, ?11)");
        while (read.step() == SQLITE_ROW) {
            sqlite3_stmt* r = read.get();
            const WarehouseType type =
                parseTypeText(reinterpret_cast<const char*>(sqlite3_column_text(r, 3)));
            insert.bindText(1, schema);
            insert.bindText(2, reinterpret_cast<const char*>(sqlite3_column_text(r, 0)));
            insert.bindText(3, reinterpret_cast<const char*>(sqlite3_column_text(r, 2)));
            insert.bindInt(4, sqlite3_column_int64(r, 1));
            insert.bindText(5, sqlite3_column_int(r, 4) ? "YES" : "NO");
            insert.bindText(6, type.dataType());
            if (fullDataType)
                insert.bindText(7, type.fullDataType());
            // character_maximum_length stays NULL: the length is only in
            // full_data_type, as in Unity Catalog.
            if (type.kind == TypeKind::Decimal) {
                insert.bindInt(9, type.precision);
                insert.bindInt(10, type.scale);
            }
            if (sqlite3_column_type(r, 5) != SQLITE_NULL) {
                insert.bindText(11, reinterpret_cast<const char*>(sqlite3_column_text(r, 5)));
            }
            insert.bindText(12, catalog);
            insert.step();
            insert.reset();
        }
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace whemu
