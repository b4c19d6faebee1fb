#pragma once
// SchemaManager: knows the columns of every table the plugin writes to.
//
// Learns a table's columns from the warehouse's information schema the first
// time it is asked (or, for the tables of a batch, all at once: learnTables),
// keeps them until told to forget the table (forgetTable),
// creates missing tables and adds missing columns (one ALTER per column).
// Beside each cache entry it keeps an index from column name to the first
// position of that name, so per-record checks cost one lookup per column, and
// one from the name in ASCII lower case, for the warehouse matches column
// names ignoring case. learnColumns reads a cached table's columns again and
// appends those the cache lacks (columns added by another writer); nothing
// is ever removed.
// Does not own the client or the builder (the connector owns both). Not
// thread-safe: one connector uses it from one thread at a time.

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "column_type.h"
#include "odbc_client.h"
#include "reading_mapper.h"

class SQLBuilder;

// One cached column: (column name, column type text).
using ColumnInfo = std::tuple<std::string, std::string>;
using TableSchema = std::vector<ColumnInfo>;

// What SchemaManager::fitTable found or did.
enum class SchemaFit {
    Ready,    // the table exists with every column of the records
    Missing,  // the table has no cached columns afterwards: it cannot be written
};

class SchemaManager {
  public:
    using ColumnPositions = std::unordered_map<std::string, size_t>;

    SchemaManager() = default;
    explicit SchemaManager(ODBCClient* client) : client(client) {}
    SchemaManager(ODBCClient* client, const std::string& databaseName)
        : client(client), databaseName(databaseName) {}
    SchemaManager(const SchemaManager&) = delete;
    SchemaManager& operator=(const SchemaManager&) = delete;
    virtual ~SchemaManager() = default;

    void setClient(ODBCClient* newClient) { client = newClient; }
    ODBCClient* getClient() const { return client; }
    // The cache is kept; what learnTables found missing is forgotten, as it
    // was missing from the old schema.
    void setDatabaseName(const std::string& name) {
        databaseName = name;
        knownMissing.clear();
    }
    const std::string& getDatabaseName() const { return databaseName; }
    void setSQLBuilder(SQLBuilder* builder) { sqlBuilder = builder; }
    SQLBuilder* getSQLBuilder() const { return sqlBuilder; }

    // Runs one statement through the client; a failed result without a client.
    QueryResult executeQuery(const std::string& sql);
    // Makes sure `table` exists with every column of `records`, the one call
    // the send pipeline makes before writing a table: looks the table up in
    // the cache or the information schema, creates it from the first record
    // that needs it, gives record columns that the table has in another
    // letter case the table's spelling, and adds the columns still missing.
    // When adding a column fails because the warehouse has it already (added
    // by another writer), learns the table's columns and goes on. A record
    // that shares its column list with one already fitted is skipped.
    // Refused statements throw StatementError.
    SchemaFit fitTable(const std::string& table, std::vector<DatabaseRecord>& records);

    // Returns true iff the table is cached or the information schema knows it
    // (it is then cached). A table that the last learnTables found missing
    // answers false without a query. `record` is not used.
    bool checkTableExists(const std::string& table, const DatabaseRecord& record);

    // The most table names one learnTables query asks about.
    static constexpr size_t kTablesPerSchemaQuery = 200;
    // Reads the columns of the listed tables that are not cached from the
    // information schema, one query per kTablesPerSchemaQuery distinct names
    // rather than one per table, and caches each table found exactly as
    // checkTableExists would, under the spelling given here (the warehouse's
    // names are matched ignoring ASCII letter case). A listed table that the
    // warehouse does not have is remembered as missing: checkTableExists
    // answers false for it without a query until the table is created,
    // forgotten, or learnTables is called again (which first forgets every
    // table remembered as missing).
    // Returns true iff every listed table is cached afterwards; false also
    // without a client (nothing is then remembered as missing). Statement
    // failures throw, as in checkTableExists; tables of the queries that ran
    // before the failure stay cached.
    bool learnTables(const std::vector<std::string>& tables);
    TableSchema getCachedSchema(const std::string& table) const;
    // The cache entry and its name index without a copy; null when not cached.
    // Valid until the next call that changes the cache.
    const TableSchema* findCachedSchema(const std::string& table) const;
    const ColumnPositions* findCachedColumnPositions(const std::string& table) const;
    // The parsed type of each cached column, in cache order; null when not cached.
    const std::vector<ColumnType>* findCachedColumnTypes(const std::string& table) const;
    // The cached spelling of a column of the table whose name equals `column`
    // ignoring ASCII letter case; null when there is none.
    const std::string* findCachedColumnIgnoringCase(const std::string& table,
                                                    const std::string& column) const;
    // Reads the table's columns from the information schema and appends to its
    // cache entry (creating it) every column the entry lacks, compared ignoring
    // case. True when at least one column was added. Statement failures throw,
    // as in checkTableExists.
    bool learnColumns(const std::string& table);
    // Information-schema rows (column_name, data_type[, full_data_type]) to
    // cache columns, the type text normalised from data_type. When `types` is
    // given, it receives each column's parsed type, from full_data_type when
    // the row has one and from data_type otherwise. Rows of fewer than two
    // cells are skipped.
    TableSchema extractColumnInfo(const QueryRows& rows,
                                  std::vector<ColumnType>* types = nullptr) const;
    // Drops the table's cache entry, if any, and any memory of it missing:
    // the next checkTableExists reads the information schema again (for a
    // table dropped or changed by hand).
    void forgetTable(const std::string& table);
    std::string parseColumnType(const std::string& type) const;
    std::string toLowerCase(const std::string& text) const;

    // Returns true iff the record has a column the cached table lacks (the
    // table must be altered), or the table is not cached at all.
    bool checkTableSchema(const std::string& table, const DatabaseRecord& record) const;
    // Returns true iff the table was created and cached; throws StatementError
    // when the warehouse refuses it.
    bool createTable(const std::string& table, const DatabaseRecord& record);
    // Adds the record's columns that the cached table lacks, one ALTER each.
    // Returns true iff at least one column was added and none failed: false
    // also when there was nothing to add.
    bool alterTable(const std::string& table, const DatabaseRecord& record);
    std::string buildCreateTableSQL(const std::string& table, const DatabaseRecord& record) const;
    std::string buildAlterTableSQL(const std::string& table, const std::string& column,
                                   const std::string& definition) const;
    // The record's SQL type for the column followed by its constraint text.
    std::string columnDefinition(const DatabaseRecord& record, size_t position) const;

  private:
    struct CacheEntry {
        TableSchema columns;
        std::vector<ColumnType> types;    // parsed from the column's type, per column
        ColumnPositions positions;        // first position of each column name
        ColumnPositions foldedPositions;  // the same, keyed by the name in lower case
    };
    // Renames the record's columns that the cached table has in another
    // letter case to the cached spelling. Returns true iff a column of the
    // record is still missing from the table afterwards.
    bool adoptCachedSpelling(const std::string& table, DatabaseRecord& record) const;
    // createTable; when the warehouse has the table already, learns its
    // columns and adds the record's missing ones instead.
    bool createOrLearn(const std::string& table, DatabaseRecord& record);
    // alterTable; when an ALTER fails and the table's columns read again show
    // columns this manager had not seen, alters with those known instead.
    void addMissingColumns(const std::string& table, DatabaseRecord& record);
    // Table names in ASCII lower case (as the warehouse reports them), each
    // with the caller's distinct spellings of it.
    using TableSpellings = std::map<std::string, std::vector<std::string>>;
    // One learnTables query, for the names of [first, last). Returns true iff
    // the warehouse has every one of them.
    bool learnTableChunk(TableSpellings::const_iterator first, TableSpellings::const_iterator last);
    // Caches the columns under `table`, replacing any entry, and drops any
    // memory of the table missing. `types` holds the parsed type of each of
    // `columns`.
    void storeEntry(const std::string& table, TableSchema columns, std::vector<ColumnType> types);
    static void appendColumn(CacheEntry& entry, const std::string& name, const std::string& type,
                             const ColumnType& parsed);

    ODBCClient* client = nullptr;
    std::string databaseName;
    SQLBuilder* sqlBuilder = nullptr;
    std::map<std::string, CacheEntry> schemaCache;
    // Tables the last learnTables asked about and did not find, as spelled
    // by the caller.
    std::set<std::string> knownMissing;
};
