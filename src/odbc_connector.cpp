#include "odbc_connector.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <random>

#include "config_category.h"
#include "logger.h"
#include "reading.h"
#include "row_writer.h"
#include "schema_manager.h"
#include "sql_builder.h"

ODBCConnector::ODBCConnector(ODBCClient* c) : client(c) {
    Logger* logger = Logger::getLogger();
    if (!client) {
        logger->debug("Creating new ODBC client instance");
        client = std::make_unique<ODBCClient>();
    }
    try {
        readingMapper = std::make_unique<ReadingMapper>();
    } catch (const std::exception& e) {
        logger->error("Failed to create ReadingMapper: %s", e.what());
        status = CORVANE_ODBC_FAILED;
        return;
    }
    try {
        schemaManager = std::make_unique<SchemaManager>(client.get(), "");
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
    // The schema manager points at the client: it goes first.
    schemaManager.reset();
    client.reset();
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
            if (steadyNow() < lastConnectAttempt + retryDelay)
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
        // A retry that fails as the one before it says so only at debug level:
        // the client has reported the cause once already.
        if (status.load() != before)
            logger->info("Database connection status: %s", odbcStatusName(status.load()));
        else
            logger->debug("Database connection status: %s", odbcStatusName(status.load()));
        lastConnectException.clear();
    } catch (const std::exception& e) {
        // Handles that cannot be allocated now may be allocated later: this is
        // retried like any failure that is not a refused login.
        if (lastConnectException != e.what())
            logger->error("Database connection failed: %s", e.what());
        else
            logger->debug("Database connection failed again: %s", e.what());
        lastConnectException = e.what();
        status = CORVANE_ODBC_EAGAIN;
        client->Destroy();
    }
    updateBackoff(status.load());
}

void ODBCConnector::updateBackoff(ODBCStatus outcome) {
    if (outcome == CORVANE_ODBC_SUCCESS) {
        resetBackoff();
        return;
    }
    if (outcome != CORVANE_ODBC_EAGAIN)
        return;
    // 5 s after the first failure, doubled after each further one, at most
    // MAX_RETRY_INTERVAL; the count stops growing once the cap is reached.
    std::chrono::nanoseconds base = RETRY_INTERVAL;
    for (unsigned i = 0; i < failedConnects && base < MAX_RETRY_INTERVAL; ++i)
        base *= 2;
    base = std::min(base, MAX_RETRY_INTERVAL);
    if (base < MAX_RETRY_INTERVAL)
        ++failedConnects;
    double share = jitter ? jitter() : 0.0;
    if (!(share >= 0.0))  // NaN as well
        share = 0.0;
    share = std::min(share, 1.0);
    const auto extra = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double, std::nano>(static_cast<double>(base.count()) * RETRY_JITTER *
                                                 share));
    retryDelay = base + extra;
    Logger::getLogger()->debug("Next connection attempt in %.1f s",
                               std::chrono::duration<double>(retryDelay).count());
}

void ODBCConnector::resetBackoff() {
    failedConnects = 0;
    retryDelay = RETRY_INTERVAL;
}

ODBCConnector::JitterSource ODBCConnector::randomJitter() {
    std::random_device entropy;
    return [generator = std::mt19937_64(entropy()),
            share = std::uniform_real_distribution<double>(0.0, 1.0)]() mutable {
        return share(generator);
    };
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
        const std::unique_ptr<ODBCConfig> fresh(createConfig());
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
    // Every configure hands these on, changed or not: the first configure
    // with the default settings must reach them too, or the schema manager
    // would look for the existing tables in no schema at all.
    readingMapper->setCorvaneInstance(config.corvaneInstance);
    schemaManager->setDatabaseName(config.schema);
    if (!config.hasChanged(previous))
        return true;

    logger->info("Database configuration updated: Server=%s, Port=%d, Database=%s",
                 config.server.c_str(), config.port, config.schema.c_str());
    disconnect();
    status = CORVANE_ODBC_NOTCONNECTED;
    lastConnectAttempt = steadyNow();
    // New settings start the retries afresh, and a failure under them is
    // reported even when it has the cause of the last one.
    resetBackoff();
    lastConnectException.clear();
    client->forgetConnectFailure();
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
    } catch (const StatementError& e) {
        logger->error("Exception in executeQuery: %s", e.what());
        logWarehouseReason(e);
    } catch (const std::exception& e) {
        logger->error("Exception in executeQuery: %s", e.what());
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
            switch (writeTable(table, records)) {
                case TableWrite::Written:
                    break;
                case TableWrite::SchemaMissing:
                    // A table without a cached schema could not be written: the
                    // batch must not be reported as sent, or its readings would
                    // be lost.
                    everyTableWritten = false;
                    break;
                case TableWrite::Failed:
                    return false;
            }
        }
        return everyTableWritten;
    } catch (const std::exception& e) {
        logger->error("Database operation failed: %s", e.what());
        if (const auto* refused = dynamic_cast<const StatementError*>(&e))
            logWarehouseReason(*refused);
        dropDeadConnection();
        return false;
    }
}

void ODBCConnector::logWarehouseReason(const StatementError& error) {
    Logger::getLogger()->error("The warehouse refused the statement: %s", error.describe().c_str());
}

void ODBCConnector::dropDeadConnection() {
    if (!client->isConnected()) {
        Logger::getLogger()->debug("Database connection lost");
        disconnect();
    }
}

TableWrite ODBCConnector::writeTable(const std::string& table,
                                     std::vector<DatabaseRecord>& records) {
    Logger* logger = Logger::getLogger();
    if (schemaManager->fitTable(table, records) == SchemaFit::Missing) {
        logger->error("Failed to get cached schema for table '%s'", table.c_str());
        return TableWrite::SchemaMissing;
    }
    const size_t recordCount = records.size();
    const std::string sql = buildInsert(table, records);
    if (!executeQuery(sql).success) {
        logger->error("Failed to execute database query for table '%s'", table.c_str());
        // The statement may have failed because the link died; without a
        // reconnect every later batch would fail the same way.
        dropDeadConnection();
        return TableWrite::Failed;
    }
    logger->debug("Sent %zu records to table '%s'", recordCount, table.c_str());
    return TableWrite::Written;
}

std::string ODBCConnector::buildInsert(const std::string& table,
                                       std::vector<DatabaseRecord>& records) {
    RowWriter rows(*schemaManager->findCachedSchema(table),
                   *schemaManager->findCachedColumnTypes(table),
                   *schemaManager->findCachedColumnPositions(table), *sqlBuilder);
    Logger::getLogger()->debug("Using cached schema for table %s: %zu columns", table.c_str(),
                               rows.columnNames().size());
    sqlBuilder->setTableName(table);
    sqlBuilder->setColumns(rows.columnNames());
    sqlBuilder->clearValues();
    for (DatabaseRecord& record : records) {
        rows.append(record);
        // The record is written into the row text: its memory goes now.
        record = DatabaseRecord();
    }
    // So do the emptied records, before the statement is made.
    std::vector<DatabaseRecord>().swap(records);
    std::string sql = sqlBuilder->buildBulkInsert();
    // The rows are in the statement; release them before it runs.
    sqlBuilder->clearValues();
    return sql;
}
