#pragma once
// SchemaManager: knows the columns of every table the plugin writes to.
//
// Learns a table's columns from the warehouse's information schema the first
// time it is asked (or, for the tables of a batch, all at once: learnTables),
// keeps them until told to forget the table (forgetTable),
// creates missing tables and adds missing columns (one ALTER per column).
// The cache holds one entry per column (CachedColumn): its name, its parsed
// type with nullability (is_nullable, or the NOT NULL the plugin wrote), and
// the type text as the warehouse spells it, which messages show. Beside the
// columns each table keeps an index from column name to the first position of
// that name, so per-record checks cost one lookup per column, and one from the
// name in ASCII lower case, for the warehouse matches column names ignoring
// case. learnColumns reads a cached table's columns again and appends those
// the cache lacks (columns added by another writer); nothing is ever removed.
// The information-schema query asks for is_nullable and full_data_type; when
// the warehouse refuses it for naming a column its information schema lacks,
// the manager asks with less from then on (SchemaQueryDetail), down to
// column_name and data_type alone. getCachedSchema and extractColumnInfo give
// the (name, normalised type) pairs of the SQL builder's normalizeColumnType;
// nothing in the plugin decides anything by those texts.
// Does not own the client or the builder (the connector owns both). Not
// thread-safe: one connector uses it from one thread at a time.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "cached_table.h"
#include "column_type.h"
#include "database_record.h"
#include "dialect.h"
#include "query_result.h"

class ODBCClient;
class SQLBuilder;

// One column as getCachedSchema gives it: (column name, normalised type text).
using ColumnInfo = std::tuple<std::string, std::string>;
using TableSchema = std::vector<ColumnInfo>;

// What SchemaManager::fitTable found or did.
enum class SchemaFit {
    Ready,    // the table exists with every column of the records
    Missing,  // the table has no cached columns afterwards: it cannot be written
};

// One schema statement a table of a batch needs before its rows are written:
// the CREATE made from `record` (column == kCreate), or the ALTER that adds
// the record's column at `column`. `record` is borrowed from the batch.
struct SchemaStep {
    static constexpr size_t kCreate = static_cast<size_t>(-1);
    std::string sql;
    const DatabaseRecord* record;
    size_t column;
};

class SchemaManager {
  public:
    using ColumnPositions = CachedTable::Positions;

    SchemaManager() = default;
    explicit SchemaManager(ODBCClient* client) : client(client) {}
    SchemaManager(ODBCClient* client, const std::string& databaseName)
        : client(client), databaseName(databaseName) {}
    SchemaManager(const SchemaManager&) = delete;
    SchemaManager& operator=(const SchemaManager&) = delete;
    virtual ~SchemaManager() = default;

    // Another client is another connection: the information-schema query
    // asks for every column again.
    void setClient(ODBCClient* newClient) {
        client = newClient;
        queryDetail = SchemaQueryDetail::Full;
    }
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

    // The schema statements `records` need for `table`, in the order fitTable
    // would run them: the CREATE of a table known to be missing, then one
    // ALTER per column that neither the table nor an earlier step has
    // (compared ignoring ASCII case). Empty when the table fits, or when it
    // is neither cached nor known missing (fitTable then asks the warehouse).
    // Runs no statement, so that the steps of several tables can run side by
    // side; each one that succeeds is handed to noteSchemaStep.
    std::vector<SchemaStep> planSchemaSteps(const std::string& table,
                                            const std::vector<DatabaseRecord>& records) const;
    // A planned step of `table` ran: caches the table or column it made.
    void noteSchemaStep(const std::string& table, const SchemaStep& step);

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
    // The cached columns as (name, type text) pairs: for a column read from
    // the information schema the builder's normalizeColumnType of its
    // data_type, for one the plugin made the definition it wrote. Empty when the
    // table is not cached.
    TableSchema getCachedSchema(const std::string& table) const;
    // The cache entry without a copy; null when not cached. Valid until the
    // next call that changes the cache.
    const CachedTable* findCachedTable(const std::string& table) const;
    const ColumnPositions* findCachedColumnPositions(const std::string& table) const;
    // The cached spelling of a column of the table whose name equals `column`
    // ignoring ASCII letter case; null when there is none.
    const std::string* findCachedColumnIgnoringCase(const std::string& table,
                                                    const std::string& column) const;
    // Reads the table's columns from the information schema and appends to its
    // cache entry (creating it) every column the entry lacks, compared ignoring
    // case. True when at least one column was added. Statement failures throw,
    // as in checkTableExists.
    bool learnColumns(const std::string& table);
    // Information-schema rows (column_name, data_type, ...) as (column name,
    // normalizeColumnType of data_type) pairs. Rows of fewer than two cells
    // are skipped.
    TableSchema extractColumnInfo(const QueryRows& rows) const;
    // How much the information-schema query asks for on this manager's
    // connection: less once the warehouse refused a column of it.
    SchemaQueryDetail schemaQueryDetail() const { return queryDetail; }
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
    // The column's definition in CREATE and ALTER: the type text the record
    // declares for it, or the builder's type for its kind, followed by its
    // constraint text.
    std::string columnDefinition(const DatabaseRecord& record, size_t position) const;

  private:
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
    // Runs the information-schema query that `build` makes for the current
    // detail. When the warehouse refuses it for a column it does not have,
    // asks with less detail, from then on, and runs it again.
    QueryResult queryColumns(const std::function<std::string(SchemaQueryDetail)>& build);
    // The columns of `table` in information-schema rows (column_name,
    // data_type[, is_nullable[, full_data_type | character_maximum_length,
    // numeric_precision, numeric_scale]]); rows of fewer than two cells are
    // skipped. Without full_data_type, bounds are read from the other three,
    // and the plugin's own bounded columns are assumed as it creates them.
    std::vector<CachedColumn> readColumns(const QueryRows& rows, const std::string& table) const;
    // The asset code and instance columns of `table`, read as unbounded
    // text, take the type the plugin creates them with.
    void assumeOwnTypes(std::vector<CachedColumn>& columns, const std::string& table) const;
    // The record's column at `position` as the plugin creates it.
    CachedColumn definedColumn(const DatabaseRecord& record, size_t position) const;
    // Caches the columns under `table`, replacing any entry, and drops any
    // memory of the table missing.
    void storeEntry(const std::string& table, std::vector<CachedColumn> columns);
    static void appendColumn(CachedTable& entry, CachedColumn column);
    // Caches the table that a CREATE made from `record` holds.
    void cacheCreated(const std::string& table, const DatabaseRecord& record);

    ODBCClient* client = nullptr;
    std::string databaseName;
    SQLBuilder* sqlBuilder = nullptr;
    std::map<std::string, CachedTable> schemaCache;
    // Tables the last learnTables asked about and did not find, as spelled
    // by the caller.
    std::set<std::string> knownMissing;
    SchemaQueryDetail queryDetail = SchemaQueryDetail::Full;
};
