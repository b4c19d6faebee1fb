#include "odbc_connector.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <random>

#include "config_category.h"
#include "logger.h"
#include "reading.h"
#include "rejects.h"
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
    writerPool.close();
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
        config.writers = fresh->writers;
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

    Batch batch(readings, resendMemory);
    bool sent = false;
    try {
        sent = writeBatch(batch);
    } catch (const std::exception& e) {
        logger->error("Database operation failed: %s", e.what());
        if (const auto* refused = dynamic_cast<const StatementError*>(&e))
            logWarehouseReason(*refused);
        dropDeadConnection();
    }
    if (sent) {
        resendMemory.forget();
    } else {
        // The host sends this batch again: what was written stays written.
        resendMemory.remember(batch.fingerprint(), std::move(batch.written));
    }
    return sent;
}

ODBCConnector::Batch::Batch(const std::vector<Reading*>& all, const ResendMemory& memory)
    : all(all), written(all.size(), 0) {
    if (memory.holdsWrites()) {
        print = ResendMemory::fingerprintOf(all);
        hasPrint = true;
    }
    pending.reserve(all.size());
    origin.reserve(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        if (hasPrint && memory.wasWritten(print, all.size(), i)) {
            written[i] = 1;
            continue;
        }
        pending.push_back(all[i]);
        origin.push_back(i);
    }
}

uint64_t ODBCConnector::Batch::fingerprint() {
    if (!hasPrint) {
        print = ResendMemory::fingerprintOf(all);
        hasPrint = true;
    }
    return print;
}

void ODBCConnector::Batch::markWritten(const std::vector<size_t>& indices) {
    for (size_t index : indices) {
        if (index < origin.size())
            written[origin[index]] = 1;
    }
}

bool ODBCConnector::writeBatch(Batch& batch) {
    TableGroups groups = transformReadingsToRecords(batch.pending);
    // A reading that no group holds has no table to go to (an empty asset
    // code and no usable hint): it is kept in the rejects table.
    std::vector<char> routed(batch.pending.size(), 0);
    for (const auto& [name, records] : groups) {
        for (const DatabaseRecord& record : records) {
            if (record.readingIndex() < routed.size())
                routed[record.readingIndex()] = 1;
        }
    }
    std::vector<size_t> unroutable;
    for (size_t i = 0; i < routed.size(); ++i) {
        if (!routed[i] && batch.pending[i] != nullptr)
            unroutable.push_back(i);
    }
    if (!unroutable.empty()) {
        TableReport report;
        for (size_t index : unroutable)
            report.rejects.push_back({index, std::string(),
                                      "the reading has no table name: its asset code is empty "
                                      "and it has no usable hint"});
        writeRejects(std::string(), report, batch);
        batch.markWritten(unroutable);
    }

    // The columns of every table the cache lacks, in one query per batch
    // rather than one per table.
    std::vector<std::string> tables;
    tables.reserve(groups.size());
    for (const auto& group : groups)
        tables.push_back(group.first);
    schemaManager->learnTables(tables);

    // One table, or one writer: the tables are written one after another on
    // the primary connection.
    if (config.writers > 1 && groups.size() > 1)
        return writeTablesInParallel(groups, batch);
    bool everyTableWritten = true;
    for (auto& [name, records] : groups) {
        if (records.empty())
            continue;
        const std::string table = name;
        switch (writeTable(table, records, batch)) {
            case TableWrite::Written:
                break;
            case TableWrite::SchemaMissing:
                // A table without a cached schema could not be written: the
                // batch must not be reported as sent, or its readings would be
                // lost.
                everyTableWritten = false;
                break;
            case TableWrite::Failed:
                return false;
        }
    }
    return everyTableWritten;
}

bool ODBCConnector::writeTablesInParallel(TableGroups& groups, Batch& batch) {
    writerPool.configure(static_cast<size_t>(config.writers), config.getConnectionString());
    std::vector<SubmittedTable> submitted;
    submitted.reserve(groups.size());
    bool everyTableWritten = true;
    bool failed = false;
    // The schema step of each table runs here, on the primary connection,
    // while the INSERTs of the tables before it run on the writers.
    try {
        failed = !submitTables(groups, submitted, everyTableWritten, batch);
    } catch (...) {
        // What the writers wrote stays booked, so a resend does not repeat it.
        try {
            settleSubmitted(submitted, writerPool.finish(), batch);
        } catch (...) {
        }
        throw;
    }
    const std::vector<WriterPool::Outcome> done = writerPool.finish();
    if (!settleSubmitted(submitted, done, batch))
        failed = true;
    return !failed && everyTableWritten;
}

bool ODBCConnector::submitTables(TableGroups& groups, std::vector<SubmittedTable>& submitted,
                                 bool& everyTableWritten, Batch& batch) {
    Logger* logger = Logger::getLogger();
    for (auto& [name, records] : groups) {
        if (records.empty())
            continue;
        SubmittedTable entry{name, {}, {}};
        entry.indices.reserve(records.size());
        for (const DatabaseRecord& record : records)
            entry.indices.push_back(record.readingIndex());
        try {
            if (!prepareInsert(entry.table, records, entry.report)) {
                logger->error("Failed to get cached schema for table '%s'", entry.table.c_str());
                everyTableWritten = false;
                continue;
            }
            std::string sql = buildInsert(entry.table, records, entry.report);
            entry.report.inserting = true;
            writerPool.submit(std::move(sql));
            submitted.push_back(std::move(entry));
        } catch (const StatementError& refused) {
            // A refused schema step: the INSERTs already handed out finish
            // first, then the table is recovered as it would be alone.
            std::vector<SubmittedTable> before = std::move(submitted);
            submitted.clear();
            if (!settleSubmitted(before, writerPool.finish(), batch))
                return false;
            if (recoverTable(entry.table, entry.indices, refused, batch, entry.report) !=
                TableWrite::Written)
                return false;
            finishTable(entry.table, entry.indices, entry.report, batch);
        }
    }
    return true;
}

bool ODBCConnector::settleSubmitted(std::vector<SubmittedTable>& tables,
                                    const std::vector<WriterPool::Outcome>& outcomes,
                                    Batch& batch) {
    bool allWritten = true;
    for (size_t i = 0; i < tables.size() && i < outcomes.size(); ++i) {
        SubmittedTable& entry = tables[i];
        const WriterPool::Outcome& outcome = outcomes[i];
        switch (outcome.kind) {
            case WriterPool::Outcome::Kind::Written:
                finishTable(entry.table, entry.indices, entry.report, batch);
                break;
            case WriterPool::Outcome::Kind::Refused:
                // Healing and isolating run here, one table at a time, on the
                // primary connection.
                if (recoverTable(entry.table, entry.indices, *outcome.refusal, batch,
                                 entry.report) == TableWrite::Written)
                    finishTable(entry.table, entry.indices, entry.report, batch);
                else
                    allWritten = false;
                break;
            case WriterPool::Outcome::Kind::ConnectFailed:
                // A rejected login or configuration is final for every
                // connection, as it is for the primary one.
                if (outcome.connectStatus == CORVANE_ODBC_FAILED)
                    status = CORVANE_ODBC_FAILED;
                Logger::getLogger()->error(
                    "A writer connection could not be opened for table '%s': %s",
                    entry.table.c_str(), odbcStatusName(outcome.connectStatus));
                allWritten = false;
                break;
            case WriterPool::Outcome::Kind::Failed:
                Logger::getLogger()->error("Database operation failed: %s",
                                           outcome.failure.c_str());
                allWritten = false;
                break;
        }
    }
    return allWritten;
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

TableWrite ODBCConnector::writeTable(const std::string& table, std::vector<DatabaseRecord>& records,
                                     Batch& batch) {
    Logger* logger = Logger::getLogger();
    std::vector<size_t> indices;
    indices.reserve(records.size());
    for (const DatabaseRecord& record : records)
        indices.push_back(record.readingIndex());
    TableReport report;
    TableWrite outcome = TableWrite::Failed;
    try {
        outcome = insertRecords(table, records, report);
    } catch (const StatementError& refused) {
        outcome = recoverTable(table, indices, refused, batch, report);
    }
    if (outcome == TableWrite::SchemaMissing)
        logger->error("Failed to get cached schema for table '%s'", table.c_str());
    if (outcome != TableWrite::Written)
        return outcome;
    finishTable(table, indices, report, batch);
    return TableWrite::Written;
}

void ODBCConnector::finishTable(const std::string& table, const std::vector<size_t>& indices,
                                TableReport& report, Batch& batch) {
    Logger* logger = Logger::getLogger();
    writeRejects(table, report, batch);
    batch.markWritten(indices);
    if (report.rescued > 0 || !report.rejects.empty()) {
        logger->warn(
            "Table '%s': %zu values did not fit their columns and were kept in %s, %zu readings "
            "were refused and kept in %s; first reason: %s",
            table.c_str(), report.rescued, RESCUED_DATA_COLUMN, report.rejects.size(),
            REJECTS_TABLE, report.firstReason.c_str());
    }
    logger->debug("Sent %zu records to table '%s'", indices.size(), table.c_str());
}

TableWrite ODBCConnector::recoverTable(const std::string& table, const std::vector<size_t>& indices,
                                       const StatementError& refused, Batch& batch,
                                       TableReport& report) {
    Logger* logger = Logger::getLogger();
    const StatementError* cause = &refused;
    std::unique_ptr<StatementError> again;
    if (refused.isMissingObject()) {
        // The table, or one of its columns, was dropped behind the plugin's
        // back: learn the table anew (creating or adding what is missing)
        // and send the rows once more.
        logger->warn("Table '%s' is not as this connector knew it; its columns are read again",
                     table.c_str());
        logWarehouseReason(refused);
        schemaManager->forgetTable(table);
        try {
            std::vector<DatabaseRecord> records = remap(table, indices, batch);
            return insertRecords(table, records, report);
        } catch (const StatementError& error) {
            again = std::make_unique<StatementError>(error);
            cause = again.get();
        }
    }
    if (cause->isDataRefusal()) {
        logger->warn(
            "The warehouse refused rows of table '%s'; they are sent in parts to find them",
            table.c_str());
        logWarehouseReason(*cause);
        return isolateRows(table, indices, *cause, batch, report) ? TableWrite::Written
                                                                  : TableWrite::Failed;
    }
    // A refused schema step fails the batch as any other database error does.
    if (!report.inserting)
        throw StatementError(*cause);
    failTable(table, *cause);
    return TableWrite::Failed;
}

void ODBCConnector::failTable(const std::string& table, const StatementError& refused) {
    Logger::getLogger()->error("Failed to execute database query for table '%s'", table.c_str());
    logWarehouseReason(refused);
    // The statement may have failed because the link died; without a
    // reconnect every later batch would fail the same way.
    dropDeadConnection();
}

bool ODBCConnector::isolateRows(const std::string& table, const std::vector<size_t>& indices,
                                const StatementError& refused, Batch& batch, TableReport& report) {
    if (indices.size() == 1) {
        report.rejects.push_back({indices[0], refused.sqlState(), refused.message()});
        if (report.firstReason.empty())
            report.firstReason = refused.message();
        return true;
    }
    const size_t middle = indices.size() / 2;
    const std::vector<size_t> halves[2] = {
        std::vector<size_t>(indices.begin(), indices.begin() + static_cast<std::ptrdiff_t>(middle)),
        std::vector<size_t>(indices.begin() + static_cast<std::ptrdiff_t>(middle), indices.end())};
    for (const std::vector<size_t>& half : halves) {
        try {
            std::vector<DatabaseRecord> records = remap(table, half, batch);
            if (insertRecords(table, records, report) != TableWrite::Written)
                return false;
            batch.markWritten(half);
        } catch (const StatementError& error) {
            if (!error.isDataRefusal()) {
                failTable(table, error);
                return false;
            }
            if (!isolateRows(table, half, error, batch, report))
                return false;
        }
    }
    return true;
}

std::vector<DatabaseRecord> ODBCConnector::remap(const std::string& table,
                                                 const std::vector<size_t>& indices,
                                                 const Batch& batch) {
    std::vector<Reading*> readings;
    readings.reserve(indices.size());
    for (size_t index : indices)
        readings.push_back(batch.pending[index]);
    std::vector<DatabaseRecord> records = readingMapper->mapReadingsToRecords(readings);
    for (DatabaseRecord& record : records) {
        record.setTableName(table);
        record.setReadingIndex(indices[record.readingIndex()]);
    }
    return records;
}

void ODBCConnector::writeRejects(const std::string& table, TableReport& report, Batch& batch) {
    if (report.rejects.empty())
        return;
    std::vector<DatabaseRecord> rows;
    rows.reserve(report.rejects.size());
    for (const Reject& reject : report.rejects) {
        rows.push_back(makeRejectRecord(table, *batch.pending[reject.index], config.corvaneInstance,
                                        reject.sqlState, reject.reason));
    }
    TableReport rejectsReport;
    // A refusal here fails the batch: the readings stay with the host.
    if (insertRecords(REJECTS_TABLE, rows, rejectsReport) != TableWrite::Written)
        throw std::runtime_error("the rejects table cannot be written");
    if (table.empty()) {
        Logger::getLogger()->warn(
            "%zu readings had no table to go to and were kept in %s; first reason: %s",
            report.rejects.size(), REJECTS_TABLE, report.rejects.front().reason.c_str());
    }
}

TableWrite ODBCConnector::insertRecords(const std::string& table,
                                        std::vector<DatabaseRecord>& records, TableReport& report) {
    if (!prepareInsert(table, records, report))
        return TableWrite::SchemaMissing;
    const std::string sql = buildInsert(table, records, report);
    report.inserting = true;
    client->executeQuery(sql);
    return TableWrite::Written;
}

bool ODBCConnector::prepareInsert(const std::string& table, std::vector<DatabaseRecord>& records,
                                  TableReport& report) {
    report.inserting = false;
    if (schemaManager->fitTable(table, records) == SchemaFit::Missing)
        return false;
    const ValueCheck check = checkValues(table, records);
    if (check == ValueCheck::SomeRescued)
        addRescueColumn(table);
    report.valuesFit = check == ValueCheck::AllFit;
    return true;
}

ODBCConnector::ValueCheck ODBCConnector::checkValues(const std::string& table,
                                                     const std::vector<DatabaseRecord>& records) {
    RowWriter rows(*schemaManager->findCachedSchema(table),
                   *schemaManager->findCachedColumnTypes(table),
                   *schemaManager->findCachedColumnPositions(table), *sqlBuilder);
    if (rows.hasRescueColumn())
        return ValueCheck::Unchecked;
    for (const DatabaseRecord& record : records) {
        if (rows.needsRescue(record))
            return ValueCheck::SomeRescued;
    }
    return ValueCheck::AllFit;
}

void ODBCConnector::addRescueColumn(const std::string& table) {
    std::vector<DatabaseRecord> column(1);
    column[0].addColumn(RESCUED_DATA_COLUMN, std::string(), RESCUED_DATA_TYPE, CONSTRAINT_NULLABLE);
    schemaManager->fitTable(table, column);
}

std::string ODBCConnector::buildInsert(const std::string& table,
                                       std::vector<DatabaseRecord>& records, TableReport& report) {
    RowWriter rows(*schemaManager->findCachedSchema(table),
                   *schemaManager->findCachedColumnTypes(table),
                   *schemaManager->findCachedColumnPositions(table), *sqlBuilder);
    Logger::getLogger()->debug("Using cached schema for table %s: %zu columns", table.c_str(),
                               rows.columnNames().size());
    if (report.valuesFit)
        rows.trustValues();
    sqlBuilder->setTableName(table);
    sqlBuilder->setColumns(rows.columnNames());
    sqlBuilder->clearValues();
    for (DatabaseRecord& record : records) {
        report.rescued += rows.append(record);
        // The record is written into the row text: its memory goes now.
        record = DatabaseRecord();
    }
    if (report.firstReason.empty())
        report.firstReason = rows.firstRescueReason();
    // So do the emptied records, before the statement is made.
    std::vector<DatabaseRecord>().swap(records);
    std::string sql = sqlBuilder->buildBulkInsert();
    // The rows are in the statement; release them before it runs.
    sqlBuilder->clearValues();
    return sql;
}

std::unique_ptr<ODBCClient> ODBCConnector::createWriterClient() const {
    return std::make_unique<ODBCClient>();
}
