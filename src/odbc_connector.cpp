#include "odbc_connector.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "config_category.h"
#include "logger.h"
#include "reading.h"
#include "schema_manager.h"
#include "sql_builder.h"

ODBCConnector::ODBCConnector(ODBCClient* c) : client(c) {
    Logger* logger = Logger::getLogger();
    if (!client) {
        logger->debug("Creating new ODBC client instance");
        client = new ODBCClient();
    }
    try {
        readingMapper = new ReadingMapper();
    } catch (const std::exception& e) {
        logger->error("Failed to create ReadingMapper: %s", e.what());
        status = CORVANE_ODBC_FAILED;
        return;
    }
    try {
        schemaManager = new SchemaManager(client, "");
    } catch (const std::exception& e) {
        logger->error("Failed to create SchemaManager: %s", e.what());
        status = CORVANE_ODBC_FAILED;
        return;
    }
}

ODBCConnector::~ODBCConnector() {
    try {
        disconnect();
    } catch (...) {
        try {
            Logger::getLogger()->error("Exception during disconnect in destructor");
        } catch (...) {
        }
    }
    delete client;
    client = nullptr;
    delete schemaManager;
    schemaManager = nullptr;
    delete readingMapper;
    readingMapper = nullptr;
}

void ODBCConnector::connect() {
    Logger* logger = Logger::getLogger();
    if (!isValid()) {
        logger->error("ODBC connector is not in a valid state - cannot connect");
        status = CORVANE_ODBC_FAILED;
        return;
    }
    const ODBCStatus current = status.load();
    switch (current) {
        case CORVANE_ODBC_FAILED:
        case CORVANE_ODBC_SUCCESS:
            return;
        case CORVANE_ODBC_EAGAIN:
            if (steadyNow() < lastConnectAttempt + RETRY_INTERVAL)
                return;
            break;
        default:
            break;
    }
    lastConnectAttempt = steadyNow();
    try {
        const ODBCStatus before = status.load();
        if (before == CORVANE_ODBC_NOTCONNECTED || before == CORVANE_ODBC_EAGAIN)
            client->Init();
        status = client->Connect(config.getConnectionString());
        logger->info("Database connection status: %s", odbcStatusName(status.load()));
    } catch (const std::exception& e) {
        logger->error("Database connection failed: %s", e.what());
        status = CORVANE_ODBC_FAILED;
        client->Destroy();
    }
}

void ODBCConnector::disconnect() {
    Logger* logger = Logger::getLogger();
    logger->debug("Disconnecting from database");
    if (client)
        client->Destroy();
    logger->info("Database disconnected");
    status = CORVANE_ODBC_NOTCONNECTED;
}

bool ODBCConnector::configure(const ConfigCategory* category) {
    Logger* logger = Logger::getLogger();
    if (!isValid()) {
        logger->error("ODBC connector is not in a valid state - cannot configure");
        return false;
    }
    if (!category) {
        logger->error("Configuration is null - cannot configure");
        return false;
    }
    std::lock_guard<std::mutex> lock(configMutex);
    const ODBCConfig previous = config;
    {
        std::unique_ptr<ODBCConfig> fresh(createConfig());
        fresh->configure(category);
        config.server = fresh->server;
        config.port = fresh->port;
        config.schema = fresh->schema;
        config.user = fresh->user;
        config.password = fresh->password;
        config.corvaneInstance = fresh->corvaneInstance;
        config.source = fresh->source;
        config.additionalParams = fresh->additionalParams;
        config.connectionString = fresh->getConnectionString();
    }
    if (!config.hasChanged(previous))
        return true;

    readingMapper->setCorvaneInstance(config.corvaneInstance);
    schemaManager->setDatabaseName(config.schema);
    logger->info("Database configuration updated: Server=%s, Port=%d, Database=%s",
                 config.server.c_str(), config.port, config.schema.c_str());
    disconnect();
    status = CORVANE_ODBC_NOTCONNECTED;
    lastConnectAttempt = steadyNow();
    return true;
}

std::string ODBCConnector::getConnectionString() {
    return config.getConnectionString();
}

ODBCConfig* ODBCConnector::createConfig() const {
    return new ODBCConfig();
}

QueryResult ODBCConnector::executeQuery(const std::string& sql) {
    Logger* logger = Logger::getLogger();
    if (!isValid()) {
        logger->error("ODBC connector is not in a valid state - cannot execute query");
        return QueryResult{};
    }
    try {
        return client->executeQuery(sql);
    } catch (const std::exception& e) {
        logger->error("Exception in executeQuery: %s", e.what());
        logWarehouseReason();
    } catch (...) {
        logger->error("Unknown exception in executeQuery");
    }
    return QueryResult{};
}

void ODBCConnector::setSQLBuilder(SQLBuilder* builder) {
    sqlBuilder = builder;
    if (schemaManager)
        schemaManager->setSQLBuilder(builder);
    if (readingMapper)
        readingMapper->setSQLBuilder(builder);
}

TableGroups ODBCConnector::transformReadingsToRecords(const std::vector<Reading*>& readings) {
    if (!isValid()) {
        Logger::getLogger()->error(
            "ODBC connector is not in a valid state - cannot transform readings");
        return TableGroups{};
    }
    std::vector<DatabaseRecord> records = readingMapper->mapReadingsToRecords(readings);
    return readingMapper->groupRecordsByTable(std::move(records));
}

bool ODBCConnector::send(const std::vector<Reading*>& readings) {
    Logger* logger = Logger::getLogger();
    if (!isValid()) {
        logger->debug("ODBC connector is not in a valid state - cannot send readings");
        return false;
    }
    if (status.load() == CORVANE_ODBC_FAILED)
        return false;
    if (!sqlBuilder) {
        logger->error("No SQL builder configured - cannot send readings");
        return false;
    }
    if (status.load() != CORVANE_ODBC_SUCCESS) {
        logger->debug("Attempting database connection");
        connect();
    }
    if (status.load() != CORVANE_ODBC_SUCCESS) {
        logger->error("Database connection not available - cannot send readings");
        return false;
    }

    try {
        TableGroups groups = transformReadingsToRecords(readings);
        bool everyTableWritten = true;
        for (auto& [name, records] : groups) {
            if (records.empty())
                continue;
            const std::string table = name;
            bool schemaMissing = false;
            if (!writeTable(table, records, schemaMissing))
                return false;
            // A table without a cached schema could not be written: the batch
            // must not be reported as sent, or its readings would be lost.
            if (schemaMissing)
                everyTableWritten = false;
        }
        return everyTableWritten;
    } catch (const std::exception& e) {
        logger->error("Database operation failed: %s", e.what());
        logWarehouseReason();
        if (!client->isConnected()) {
            logger->debug("Database connection lost");
            disconnect();
        }
        return false;
    }
}

void ODBCConnector::logWarehouseReason() {
    const std::string& reason = client->getLastErrorText();
    if (!reason.empty())
        Logger::getLogger()->error("The warehouse refused the statement: %s", reason.c_str());
}

bool ODBCConnector::adoptCachedSpelling(const std::string& table, DatabaseRecord& record) {
    const SchemaManager::ColumnPositions* positions =
        schemaManager->findCachedColumnPositions(table);
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
        const std::string* cached = schemaManager->findCachedColumnIgnoringCase(table, name);
        if (!cached || !record.renameColumn(i, *cached))
            missing = true;
    }
    return missing;
}

void ODBCConnector::addMissingColumns(const std::string& table, DatabaseRecord& record) {
    try {
        schemaManager->alterTable(table, record);
    } catch (const std::exception&) {
        // The column may be there already: added by another writer, or by this
        // connector under a table name that differs in letter case. The cache
        // would ask for it again on every resend, so the batch could never
        // pass: learn the table's columns from the warehouse and go on when
        // that was the reason. Otherwise the ALTER's own failure stands.
        const std::string reason = client->getLastErrorText();
        bool learned = false;
        try {
            learned = schemaManager->learnColumns(table);
        } catch (const std::exception&) {
            learned = false;
        }
        if (!learned) {
            // The caller logs the client's last reason; this one only when the
            // reading of the columns has replaced it.
            if (!reason.empty() && reason != client->getLastErrorText())
                Logger::getLogger()->error("The warehouse refused the statement: %s",
                                           reason.c_str());
            throw;
        }
        Logger::getLogger()->info(
            "Table '%s' has columns this connector had not seen; its columns were read again",
            table.c_str());
        if (adoptCachedSpelling(table, record))
            schemaManager->alterTable(table, record);
    }
}

bool ODBCConnector::writeTable(const std::string& table, std::vector<DatabaseRecord>& records,
                               bool& schemaMissing) {
    Logger* logger = Logger::getLogger();

    // A record that shares its column list with one already found to fit the
    // table fits as well (cached columns are never removed): it is skipped.
    const DatabaseRecord* fitting = nullptr;
    for (DatabaseRecord& record : records) {
        if (fitting && record.sharesColumnsWith(*fitting))
            continue;
        if (schemaManager->checkTableExists(table, record)) {
            // The warehouse matches column names ignoring case: a record column
            // that the table has in another spelling takes the table's spelling
            // instead of being added again.
            if (!schemaManager->checkTableSchema(table, record)) {
                fitting = &record;
            } else if (adoptCachedSpelling(table, record)) {
                addMissingColumns(table, record);
            }
        } else if (!schemaManager->createTable(table, record)) {
            logger->error("Failed to create database table '%s'", table.c_str());
        }
    }

    const TableSchema* schema = schemaManager->findCachedSchema(table);
    if (!schema || schema->empty()) {
        logger->error("Failed to get cached schema for table '%s'", table.c_str());
        schemaMissing = true;
        return true;
    }
    const SchemaManager::ColumnPositions& positions =
        *schemaManager->findCachedColumnPositions(table);

    const size_t columnCount = schema->size();
    std::vector<std::string> columnNames;
    columnNames.reserve(columnCount);
    // The type used to format a column's values is that of the first cached
    // column of the same name.
    std::vector<const std::string*> columnTypes;
    columnTypes.reserve(columnCount);
    for (const ColumnInfo& column : *schema) {
        const std::string& name = std::get<0>(column);
        columnNames.push_back(name);
        columnTypes.push_back(&std::get<1>((*schema)[positions.at(name)]));
    }
    const bool uniqueNames = positions.size() == columnCount;
    logger->debug("Using cached schema for table %s: %zu columns", table.c_str(), columnCount);

    sqlBuilder->setTableName(table);
    sqlBuilder->setColumns(columnNames);
    sqlBuilder->clearValues();

    static const std::string SQL_NULL = "NULL";
    const size_t recordCount = records.size();
    // One row at a time: each table column takes the record's value of that
    // name, formatted for the column's type, or NULL. Where a table column's
    // value comes from is worked out once per column list, not per record.
    std::vector<std::string> row(columnCount);
    std::vector<int64_t> source(columnCount, -1);
    DatabaseRecord sourceColumns;  // shares the column list `source` describes
    for (size_t r = 0; r < recordCount; ++r) {
        DatabaseRecord& record = records[r];
        if (r == 0 || !record.sharesColumnsWith(sourceColumns)) {
            if (uniqueNames) {
                std::fill(source.begin(), source.end(), -1);
                const std::vector<std::string>& names = record.getColumnNames();
                for (size_t i = 0; i < names.size(); ++i) {
                    auto found = positions.find(names[i]);
                    if (found != positions.end())
                        source[found->second] = static_cast<int64_t>(i);
                }
            } else {
                for (size_t c = 0; c < columnCount; ++c)
                    source[c] = record.findColumn(columnNames[c]);
            }
            sourceColumns = DatabaseRecord(std::string(), record);
        }
        // The row's texts keep their buffers from record to record.
        for (size_t c = 0; c < columnCount; ++c) {
            if (source[c] < 0) {
                row[c] = SQL_NULL;
            } else {
                row[c].clear();
                sqlBuilder->appendFormattedValue(
                    row[c], record.valueAt(static_cast<size_t>(source[c])), *columnTypes[c]);
            }
        }
        sqlBuilder->appendRow(row);
        // The record is written into the row text: its memory goes now.
        record = DatabaseRecord();
    }
    // So do the emptied records, before the statement is made.
    std::vector<DatabaseRecord>().swap(records);

    std::string sql = sqlBuilder->buildBulkInsert();
    // The rows are in the statement; release them before it runs.
    sqlBuilder->clearValues();
    QueryResult result = executeQuery(sql);
    if (!result.success) {
        logger->error("Failed to execute database query for table '%s'", table.c_str());
        // The statement may have failed because the link died; without a
        // reconnect every later batch would fail the same way.
        if (!client->isConnected()) {
            logger->debug("Database connection lost");
            disconnect();
        }
        return false;
    }
    logger->debug("Sent %zu records to table '%s'", recordCount, table.c_str());
    return true;
}
