#include "schema_manager.h"

#include "error_classifier.h"

#include <algorithm>
#include <cstring>

#include "logger.h"
#include "odbc_client.h"
#include "reading_mapper.h"
#include "row_layout.h"
#include "sql_builder.h"
#include "text_util.h"

namespace {
// A cell's text up to its first zero byte.
std::string cellText(const std::string& cell) {
    return std::string(cell.c_str());
}

// Returns true iff the cell holds a value: not empty, not SQL NULL and not
// the client's text for an unreadable cell.
bool hasValue(const std::string& cell) {
    return !cell.empty() && cell != "NULL" && cell != "ERROR";
}

// Returns true iff the warehouse refused a statement for naming a column it
// does not have.
bool isUnknownColumn(const StatementError& error) {
    return isMissingColumn(error.sqlState(), error.message());
}

const char* detailColumn(SchemaQueryDetail detail) {
    switch (detail) {
        case SchemaQueryDetail::Full:
            return "full_data_type";
        case SchemaQueryDetail::Bounds:
            return "character_maximum_length, numeric_precision or numeric_scale";
        default:
            return "is_nullable";
    }
}

// A cell that holds a whole number of at least 1; 0 otherwise.
long positiveCell(const std::string& cell) {
    if (!hasValue(cell) || cell.size() > 9 ||
        cell.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stol(cell);
}

// The type text of a column whose data_type carries no parameters, with the
// bounds the information schema gives beside it (character_maximum_length,
// numeric_precision, numeric_scale, from `row[3]` on): VARCHAR(n) and
// DECIMAL(p,s). Empty when it gives none for the type.
std::string boundedTypeText(const ColumnType& type, const QueryRow& row) {
    if (row.size() < 6)
        return std::string();
    if (type.kind == ColumnType::Kind::String) {
        const long length = positiveCell(row[3]);
        return length > 0 ? "VARCHAR(" + std::to_string(length) + ")" : std::string();
    }
    if (type.kind == ColumnType::Kind::Decimal) {
        const long precision = positiveCell(row[4]);
        if (precision == 0)
            return std::string();
        const long scale = row[5] == "0" ? 0 : positiveCell(row[5]);
        return "DECIMAL(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    }
    return std::string();
}
}  // namespace

QueryResult SchemaManager::executeQuery(const std::string& sql) {
    if (!client) {
        Logger::getLogger()->error("Database client not initialized");
        return QueryResult{};
    }
    return client->executeQuery(sql);
}

SchemaFit SchemaManager::fitTable(const std::string& table, std::vector<DatabaseRecord>& records) {
    // A record that shares its column list with one already found to fit the
    // table fits as well (cached columns are never removed): it is skipped.
    const DatabaseRecord* fitting = nullptr;
    for (DatabaseRecord& record : records) {
        if (fitting && record.sharesColumnsWith(*fitting))
            continue;
        if (checkTableExists(table, record)) {
            // The warehouse matches column names ignoring case: a record column
            // that the table has in another spelling takes the table's spelling
            // instead of being added again.
            if (!checkTableSchema(table, record)) {
                fitting = &record;
            } else if (adoptCachedSpelling(table, record)) {
                addMissingColumns(table, record);
            }
        } else if (!createOrLearn(table, record)) {
            Logger::getLogger()->error("Failed to create database table '%s'", table.c_str());
        }
    }
    const CachedTable* entry = findCachedTable(table);
    return entry && !entry->columns.empty() ? SchemaFit::Ready : SchemaFit::Missing;
}

bool SchemaManager::createOrLearn(const std::string& table, DatabaseRecord& record) {
    try {
        return createTable(table, record);
    } catch (const StatementError& error) {
        // The table is there although the information schema did not show it
        // (a catalog this user cannot list, or another writer just made it):
        // its columns are read once more before the refusal stands.
        if (!isNameTaken(error.sqlState()) || !learnColumns(table))
            throw;
        Logger::getLogger()->info("Table '%s' exists already; its columns were read again",
                                  table.c_str());
        if (adoptCachedSpelling(table, record))
            addMissingColumns(table, record);
        return true;
    }
}

bool SchemaManager::adoptCachedSpelling(const std::string& table, DatabaseRecord& record) const {
    const ColumnPositions* positions = findCachedColumnPositions(table);
    if (!positions)
        return true;
    bool missing = false;
    // The names are fetched anew for each column: a rename may give the record
    // a column list of its own.
    const size_t count = record.columnCount();
    for (size_t i = 0; i < count; ++i) {
        const std::string name = record.getColumnNames()[i];
        if (positions->count(name))
            continue;
        const std::string* cached = findCachedColumnIgnoringCase(table, name);
        if (!cached || !record.renameColumn(i, *cached))
            missing = true;
    }
    return missing;
}

void SchemaManager::addMissingColumns(const std::string& table, DatabaseRecord& record) {
    try {
        alterTable(table, record);
    } catch (const StatementError&) {
        // The column may be there already: added by another writer, or by this
        // manager under a table name that differs in letter case. The cache
        // would ask for it again on every resend, so the batch could never
        // pass: learn the table's columns from the warehouse and go on when
        // that was the reason. Otherwise the ALTER's own failure stands.
        bool learned = false;
        try {
            learned = learnColumns(table);
        } catch (const StatementError& reading) {
            Logger::getLogger()->error("The warehouse refused the statement: %s",
                                       reading.describe().c_str());
        }
        if (!learned)
            throw;
        Logger::getLogger()->info(
            "Table '%s' has columns this connector had not seen; its columns were read again",
            table.c_str());
        if (adoptCachedSpelling(table, record))
            alterTable(table, record);
    }
}

bool SchemaManager::checkTableExists(const std::string& table, const DatabaseRecord& /*record*/) {
    if (schemaCache.count(table))
        return true;
    if (knownMissing.count(table))
        return false;
    QueryResult result = queryColumns([this, &table](SchemaQueryDetail detail) {
        return sqlBuilder->buildInformationSchemaQuery(databaseName, table, detail);
    });
    if (!result.success)
        return false;
    std::vector<CachedColumn> columns = readColumns(result.rows, table);
    if (columns.empty())
        return false;
    storeEntry(table, std::move(columns));
    return true;
}

QueryResult SchemaManager::queryColumns(
    const std::function<std::string(SchemaQueryDetail)>& build) {
    for (;;) {
        try {
            return executeQuery(build(queryDetail));
        } catch (const StatementError& error) {
            if (queryDetail == SchemaQueryDetail::Plain || !isUnknownColumn(error))
                throw;
            Logger::getLogger()->warn(
                "The warehouse's information schema refused the column %s (%s); columns are "
                "read without it from now on",
                detailColumn(queryDetail), error.message().c_str());
            queryDetail = static_cast<SchemaQueryDetail>(static_cast<int>(queryDetail) - 1);
        }
    }
}

bool SchemaManager::learnTables(const std::vector<std::string>& tables) {
    knownMissing.clear();
    // Pump and pump are two cache entries but one table to the warehouse:
    // it is asked about once and both spellings take its columns.
    TableSpellings spellings;
    for (const std::string& table : tables) {
        if (schemaCache.count(table))
            continue;
        std::vector<std::string>& names = spellings[foldAsciiCase(table)];
        if (std::find(names.begin(), names.end(), table) == names.end())
            names.push_back(table);
    }
    bool allFound = true;
    auto first = spellings.cbegin();
    while (first != spellings.cend()) {
        auto last = first;
        for (size_t n = 0; n < kTablesPerSchemaQuery && last != spellings.cend(); ++n)
            ++last;
        if (!learnTableChunk(first, last))
            allFound = false;
        first = last;
    }
    return allFound;
}

bool SchemaManager::learnTableChunk(TableSpellings::const_iterator first,
                                    TableSpellings::const_iterator last) {
    std::vector<std::string> names;
    for (auto it = first; it != last; ++it)
        names.push_back(it->first);
    QueryResult result = queryColumns([this, &names](SchemaQueryDetail detail) {
        return sqlBuilder->buildInformationSchemaQuery(databaseName, names, detail);
    });
    if (!result.success)
        return false;
    // Each row is table_name and then what the one-table query yields.
    std::map<std::string, QueryRows> rowsByTable;
    for (QueryRow& row : result.rows) {
        if (row.empty())
            continue;
        QueryRows& rows = rowsByTable[foldAsciiCase(cellText(row[0]))];
        row.erase(row.begin());
        rows.push_back(std::move(row));
    }
    bool allFound = true;
    for (auto it = first; it != last; ++it) {
        const std::vector<std::string>& spellings = it->second;
        auto found = rowsByTable.find(it->first);
        std::vector<CachedColumn> columns;
        if (found != rowsByTable.end())
            columns = readColumns(found->second, it->first);
        if (columns.empty()) {
            knownMissing.insert(spellings.begin(), spellings.end());
            allFound = false;
            continue;
        }
        for (size_t i = 0; i + 1 < spellings.size(); ++i)
            storeEntry(spellings[i], columns);
        storeEntry(spellings.back(), std::move(columns));
    }
    return allFound;
}

TableSchema SchemaManager::getCachedSchema(const std::string& table) const {
    TableSchema schema;
    const CachedTable* entry = findCachedTable(table);
    if (!entry)
        return schema;
    schema.reserve(entry->columns.size());
    for (const CachedColumn& column : entry->columns) {
        schema.emplace_back(column.name,
                            column.learned ? parseColumnType(column.dataType) : column.typeText);
    }
    return schema;
}

const CachedTable* SchemaManager::findCachedTable(const std::string& table) const {
    auto it = schemaCache.find(table);
    return it == schemaCache.end() ? nullptr : &it->second;
}

const SchemaManager::ColumnPositions* SchemaManager::findCachedColumnPositions(
    const std::string& table) const {
    auto it = schemaCache.find(table);
    return it == schemaCache.end() ? nullptr : &it->second.positions;
}

const std::string* SchemaManager::findCachedColumnIgnoringCase(const std::string& table,
                                                               const std::string& column) const {
    auto it = schemaCache.find(table);
    if (it == schemaCache.end())
        return nullptr;
    const CachedTable& entry = it->second;
    auto found = entry.foldedPositions.find(foldAsciiCase(column));
    if (found == entry.foldedPositions.end())
        return nullptr;
    return &entry.columns[found->second].name;
}

bool SchemaManager::learnColumns(const std::string& table) {
    QueryResult result = queryColumns([this, &table](SchemaQueryDetail detail) {
        return sqlBuilder->buildInformationSchemaQuery(databaseName, table, detail);
    });
    if (!result.success)
        return false;
    std::vector<CachedColumn> columns = readColumns(result.rows, table);
    auto it = schemaCache.find(table);
    if (it == schemaCache.end()) {
        if (columns.empty())
            return false;
        storeEntry(table, std::move(columns));
        return true;
    }
    CachedTable& entry = it->second;
    bool added = false;
    for (CachedColumn& column : columns) {
        if (entry.foldedPositions.count(foldAsciiCase(column.name)))
            continue;
        appendColumn(entry, std::move(column));
        added = true;
    }
    return added;
}

TableSchema SchemaManager::extractColumnInfo(const QueryRows& rows) const {
    TableSchema columns;
    columns.reserve(rows.size());
    for (const QueryRow& row : rows) {
        if (row.size() >= 2)
            columns.emplace_back(cellText(row[0]), parseColumnType(cellText(row[1])));
    }
    return columns;
}

std::vector<CachedColumn> SchemaManager::readColumns(const QueryRows& rows,
                                                     const std::string& table) const {
    std::vector<CachedColumn> columns;
    columns.reserve(rows.size());
    for (const QueryRow& row : rows) {
        // A row without a type cannot describe a column.
        if (row.size() < 2)
            continue;
        CachedColumn column;
        column.name = cellText(row[0]);
        // data_type is the bare name ("STRING" also for varchar(300)); only
        // full_data_type tells a bounded VARCHAR or a DECIMAL's digits. Without
        // it, data_type is read with whatever parameters it shows.
        column.dataType = cellText(row[1]);
        column.typeText = row.size() == 4 && hasValue(row[3]) ? cellText(row[3]) : column.dataType;
        column.type = ColumnType::parse(column.typeText);
        const std::string bounded = boundedTypeText(column.type, row);
        if (!bounded.empty()) {
            column.typeText = bounded;
            column.type = ColumnType::parse(bounded);
        }
        if (row.size() > 2 && equalsIgnoringAsciiCase(cellText(row[2]), "no"))
            column.type.notNull = true;
        column.learned = true;
        columns.push_back(std::move(column));
    }
    if (queryDetail != SchemaQueryDetail::Full)
        assumeOwnTypes(columns, table);
    return columns;
}

void SchemaManager::assumeOwnTypes(std::vector<CachedColumn>& columns,
                                   const std::string& table) const {
    // Without full_data_type a VARCHAR(256) reads as STRING: the asset code
    // and the instance would be sent whole and refused for their length. The
    // plugin's own bounded columns are taken to be as it creates them; the
    // rejects table's are unbounded.
    if (sqlBuilder == nullptr || equalsIgnoringAsciiCase(table, REJECTS_TABLE))
        return;
    for (CachedColumn& column : columns) {
        if (column.type.kind != ColumnType::Kind::String ||
            (column.name != ASSET_CODE_COLUMN && column.name != INSTANCE_COLUMN))
            continue;
        const bool notNull = column.type.notNull;
        column.typeText = sqlBuilder->getStringType();
        column.type = ColumnType::parse(column.typeText);
        column.type.notNull = notNull;
    }
}

void SchemaManager::forgetTable(const std::string& table) {
    schemaCache.erase(table);
    knownMissing.erase(table);
}

std::string SchemaManager::parseColumnType(const std::string& type) const {
    return sqlBuilder->normalizeColumnType(type);
}

std::string SchemaManager::toLowerCase(const std::string& text) const {
    return foldAsciiCase(text);
}

bool SchemaManager::checkTableSchema(const std::string& table, const DatabaseRecord& record) const {
    const ColumnPositions* positions = findCachedColumnPositions(table);
    if (!positions)
        return true;
    for (const std::string& name : record.getColumnNames()) {
        if (positions->find(name) == positions->end())
            return true;
    }
    return false;
}

std::string SchemaManager::columnDefinition(const DatabaseRecord& record, size_t position) const {
    const ColumnConstraint constraint = record.constraintAt(position);
    if (const std::string* declared = record.declaredTypeAt(position))
        return *declared + sqlBuilder->decodeConstraints(constraint);
    return sqlBuilder->columnDefinition(record.kindAt(position), constraint);
}

CachedColumn SchemaManager::definedColumn(const DatabaseRecord& record, size_t position) const {
    CachedColumn column;
    column.name = record.getColumnNames()[position];
    column.typeText = columnDefinition(record, position);
    column.type = ColumnType::parse(column.typeText);
    return column;
}

std::string SchemaManager::buildCreateTableSQL(const std::string& table,
                                               const DatabaseRecord& record) const {
    SQLBuilder::ColumnDefinitions definitions;
    const std::vector<std::string>& names = record.getColumnNames();
    definitions.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        definitions.emplace_back(names[i], columnDefinition(record, i));
    }
    return sqlBuilder->buildCreateTable(table, definitions);
}

std::string SchemaManager::buildAlterTableSQL(const std::string& table, const std::string& column,
                                              const std::string& definition) const {
    return sqlBuilder->buildAlterTable(table, column, definition);
}

bool SchemaManager::createTable(const std::string& table, const DatabaseRecord& record) {
    QueryResult result = executeQuery(buildCreateTableSQL(table, record));
    if (!result.success) {
        Logger::getLogger()->error("Failed to create table '%s'", table.c_str());
        return false;
    }
    cacheCreated(table, record);
    return true;
}

void SchemaManager::cacheCreated(const std::string& table, const DatabaseRecord& record) {
    std::vector<CachedColumn> columns;
    columns.reserve(record.columnCount());
    for (size_t i = 0; i < record.columnCount(); ++i)
        columns.push_back(definedColumn(record, i));
    storeEntry(table, std::move(columns));
}

std::vector<SchemaStep> SchemaManager::planSchemaSteps(
    const std::string& table, const std::vector<DatabaseRecord>& records) const {
    std::vector<SchemaStep> steps;
    if (records.empty())
        return steps;
    std::set<std::string> known;  // the table's columns once the steps ran, folded
    if (const CachedTable* cached = findCachedTable(table)) {
        for (const CachedColumn& column : cached->columns)
            known.insert(foldAsciiCase(column.name));
    } else if (knownMissing.count(table) != 0) {
        steps.push_back({buildCreateTableSQL(table, records[0]), &records[0], SchemaStep::kCreate});
        for (const std::string& name : records[0].getColumnNames())
            known.insert(foldAsciiCase(name));
    } else {
        return steps;
    }
    const DatabaseRecord* previous = nullptr;
    for (const DatabaseRecord& record : records) {
        if (previous && record.sharesColumnsWith(*previous))
            continue;
        previous = &record;
        const std::vector<std::string>& names = record.getColumnNames();
        for (size_t i = 0; i < names.size(); ++i) {
            if (known.insert(foldAsciiCase(names[i])).second)
                steps.push_back(
                    {buildAlterTableSQL(table, names[i], definedColumn(record, i).typeText),
                     &record, i});
        }
    }
    return steps;
}

void SchemaManager::noteSchemaStep(const std::string& table, const SchemaStep& step) {
    if (step.column == SchemaStep::kCreate) {
        cacheCreated(table, *step.record);
        return;
    }
    const auto found = schemaCache.find(table);
    if (found != schemaCache.end())
        appendColumn(found->second, definedColumn(*step.record, step.column));
}

bool SchemaManager::alterTable(const std::string& table, const DatabaseRecord& record) {
    auto it = schemaCache.find(table);
    if (it == schemaCache.end()) {
        Logger::getLogger()->error("Table '%s' not found in cache for alteration", table.c_str());
        return false;
    }
    CachedTable& entry = it->second;
    bool result = false;
    const std::vector<std::string>& names = record.getColumnNames();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (entry.positions.count(name))
            continue;
        CachedColumn column = definedColumn(record, i);
        result = executeQuery(buildAlterTableSQL(table, name, column.typeText)).success;
        if (!result) {
            Logger::getLogger()->error("Failed to add column '%s' to table '%s'", name.c_str(),
                                       table.c_str());
            return false;
        }
        appendColumn(entry, std::move(column));
    }
    return result;
}

void SchemaManager::storeEntry(const std::string& table, std::vector<CachedColumn> columns) {
    CachedTable entry;
    entry.columns.reserve(columns.size());
    entry.positions.reserve(columns.size());
    entry.foldedPositions.reserve(columns.size());
    for (CachedColumn& column : columns)
        appendColumn(entry, std::move(column));
    schemaCache[table] = std::move(entry);
    knownMissing.erase(table);
}

void SchemaManager::appendColumn(CachedTable& entry, CachedColumn column) {
    entry.positions.emplace(column.name, entry.columns.size());  // keeps the first position
    entry.foldedPositions.emplace(foldAsciiCase(column.name), entry.columns.size());
    entry.columns.push_back(std::move(column));
}
