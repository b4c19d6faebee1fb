#include "odbc_connector.h"

#include <exception>
#include <memory>

#include "config_category.h"
#include "dialect.h"
#include "error_classifier.h"
#include "logger.h"
#include "odbc_client.h"
#include "reading.h"
#include "reading_mapper.h"
#include "row_layout.h"
#include "schema_manager.h"
#include "sql_builder.h"
#include "statements_transport.h"
#include "stream_transport.h"

namespace {
std::unique_ptr<ODBCClient> clientOrNew(ODBCClient* client) {
    if (client)
        return std::unique_ptr<ODBCClient>(client);
    Logger::getLogger()->debug("Creating new ODBC client instance");
    return std::make_unique<ODBCClient>();
}
}  // namespace

ODBCConnector::ODBCConnector(ODBCClient* client) : ODBCConnector(clientOrNew(client)) {}

ODBCConnector::ODBCConnector(std::unique_ptr<ODBCClient> client)
    : connection(client ? std::move(client) : clientOrNew(nullptr),
                 [this] { return createWriterClient(); }) {
    Logger* logger = Logger::getLogger();
    try {
        readingMapper = std::make_unique<ReadingMapper>();
    } catch (const std::exception& e) {
        logger->error("Failed to create ReadingMapper: %s", e.what());
        connection.setStatus(CORVANE_ODBC_FAILED);
        return;
    }
    try {
        schemaManager = std::make_unique<SchemaManager>(connection.clientPointer(), "");
    } catch (const std::exception& e) {
        logger->error("Failed to create SchemaManager: %s", e.what());
        connection.setStatus(CORVANE_ODBC_FAILED);
        return;
    }
}

ODBCConnector::~ODBCConnector() {
    try {
        statusLine.logFinal(connection.now());
        disconnect();
    } catch (...) {
        try {
            Logger::getLogger()->error("Exception during disconnect in destructor");
        } catch (...) {
        }
    }
    // The schema manager points at the client: it goes first.
    schemaManager.reset();
}

void ODBCConnector::connect() {
    if (!isValid()) {
        Logger::getLogger()->error("ODBC connector is not in a valid state - cannot connect");
        connection.setStatus(CORVANE_ODBC_FAILED);
        return;
    }
    connection.connect(config.getConnectionString());
}

void ODBCConnector::disconnect() {
    connection.disconnect();
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
    const ODBCConfig previous = adoptSettings(category);
    // Every configure hands these on, changed or not: the first configure
    // with the default settings must reach them too, or the schema manager
    // would look for the existing tables in no schema at all.
    readingMapper->setCorvaneInstance(config.corvaneInstance);
    readingMapper->setTable(config.table);
    readingMapper->setDatapointLayout(config.datapoints);
    schemaManager->setDatabaseName(config.schema);
    ledger.setExactlyOnce(config.delivery == ODBCConfig::Delivery::ExactlyOnce);
    connection.writers().configure(static_cast<size_t>(config.writers),
                                   config.getConnectionString());
    if (config.transport != ODBCConfig::Transport::Stream)
        streamClient.reset();
    else if (!streamClient || previous.transport != config.transport ||
             previous.stream != config.stream)
        streamClient = std::make_unique<StreamClient>(config.stream);
    if (!config.hasChanged(previous))
        return true;
    logger->info("Database configuration updated: Server=%s, Port=%d, Database=%s",
                 config.server.c_str(), config.port, config.schema.c_str());
    connection.applySettings(config.getConnectionString(), static_cast<size_t>(config.writers));
    return true;
}

ODBCConfig ODBCConnector::adoptSettings(const ConfigCategory* category) {
    ODBCConfig previous = config;
    const std::unique_ptr<ODBCConfig> fresh(createConfig());
    fresh->configure(category);
    // Every setting, read by the concrete configuration class; the
    // connection string as that class builds it.
    config = static_cast<const ODBCConfig&>(*fresh);
    config.connectionString = fresh->getConnectionString();
    return previous;
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
        return connection.client().executeQuery(sql);
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
    std::lock_guard<std::mutex> lock(configMutex);
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
    std::lock_guard<std::mutex> lock(configMutex);
    lastOutcome = BatchOutcome{};
    const bool sent = sendBatch(readings);
    if (!sent && lastOutcome.failure.empty() && lastOutcome.tables.empty())
        lastOutcome.failure = "not connected";
    statusLine.record(lastOutcome, std::chrono::system_clock::now());
    const auto statements = connection.writers().takeStatementCounts();
    statusLine.addStatements(statements.first, statements.second);
    const uint64_t attempts = connection.connectAttempts();
    if (attempts > attemptsSeen) {
        statusLine.addReconnects(attempts - attemptsSeen);
        attemptsSeen = attempts;
    }
    statusLine.logIfDue(connection.now());
    return sent;
}

bool ODBCConnector::sendBatch(const std::vector<Reading*>& readings) {
    Logger* logger = Logger::getLogger();
    if (!isValid()) {
        logger->debug("ODBC connector is not in a valid state - cannot send readings");
        return false;
    }
    if (getStatus() == CORVANE_ODBC_FAILED) {
        connection.reportRefusal();
        return false;
    }
    if (!sqlBuilder) {
        logger->error("No SQL builder configured - cannot send readings");
        return false;
    }
    if (getStatus() != CORVANE_ODBC_SUCCESS) {
        logger->debug("Attempting database connection");
        connect();
    }
    if (getStatus() == CORVANE_ODBC_FAILED) {
        connection.reportRefusal();
        return false;
    }
    if (getStatus() != CORVANE_ODBC_SUCCESS) {
        logger->error("Database connection not available - cannot send readings");
        return false;
    }
    DeliveryLedger::Batch batch = ledger.begin(readings);
    try {
        lastOutcome = writeBatch(batch);
    } catch (const std::exception& e) {
        logger->error("Database operation failed: %s", e.what());
        if (const auto* refused = dynamic_cast<const StatementError*>(&e))
            logWarehouseReason(*refused);
        lastOutcome = BatchOutcome{};
        lastOutcome.failure = e.what();
        connection.dropIfDead();
    }
    const bool sent = lastOutcome.sent();
    // The host sends a failed batch again: what was written stays written.
    ledger.end(batch, sent);
    size_t checked = 0;
    size_t skipped = 0;
    for (const TableOutcome& table : lastOutcome.tables) {
        checked += table.checked;
        // A MERGE whose count is unknown may have skipped rows.
        skipped += table.skipped + table.uncounted;
    }
    ledger.noteCaughtUp(sent, checked, skipped);
    return sent;
}

BatchOutcome ODBCConnector::writeBatch(DeliveryLedger::Batch& batch) {
    TableGroups groups = transformReadingsToRecords(batch.pending());
    // Rows go as INSERTs through the writer pool, or over the record stream
    // when the transport is "stream"; tables are made by statements either way.
    connection.statementLimit().configure(static_cast<size_t>(config.maxStatementBytes));
    StatementsTransport statements(connection.writers(), Dialect::databricks(),
                                   connection.statementLimit());
    std::unique_ptr<StreamTransport> stream;
    if (streamClient)
        stream = std::make_unique<StreamTransport>(*streamClient);
    Transport& transport = stream ? static_cast<Transport&>(*stream) : statements;
    TableWriter writer(TableWriter::Parts{*schemaManager, *readingMapper, Dialect::databricks(),
                                          transport, ledger, batch, config.corvaneInstance});
    writer.rejectUnroutable(unroutedReadings(groups, batch));
    // The columns of every table the cache lacks, in one query per batch
    // rather than one per table.
    std::vector<std::string> tables;
    tables.reserve(groups.size());
    for (const auto& group : groups)
        tables.push_back(group.first);
    schemaManager->learnTables(tables);
    reportDatapointsColumns(tables);
    noteManyTables(groups.size());
    const RefusedSteps refusedSteps = prepareSchemas(groups);
    // Statements overlap only when there is more than one to run.
    transport.overlap(groups.size() > 1);
    for (auto& [name, records] : groups) {
        // A schema step the warehouse refused is settled whatever came
        // before it: the refusal is spent, as the warehouse's answer.
        const auto refused = refusedSteps.find(name);
        if (refused != refusedSteps.end()) {
            writer.startRefused(name, records, *refused->second);
            continue;
        }
        // After a failed table the batch goes back to the host: no new table
        // is started, while those already started finish and are booked.
        if (!writer.anyFailed() && !records.empty())
            writer.start(name, records);
    }
    BatchOutcome outcome = writer.finish();
    // A rejected login or configuration is final for every connection, as
    // it is for the primary one.
    if (outcome.neverConnects) {
        connection.refuseForGood(outcome.refusal);
        connection.reportRefusal();
    }
    // A statement may have failed because the link died; without a
    // reconnect every later batch would fail the same way.
    if (outcome.anyFailed())
        connection.dropIfDead();
    return outcome;
}

void ODBCConnector::noteManyTables(size_t tables) {
    if (tables <= kManyTables || manyTablesNoted)
        return;
    manyTablesNoted = true;
    Logger::getLogger()->info(
        "This batch writes %zu tables: each table costs a statement per block; the table "
        "setting writes the readings of every asset code to one table, in one statement",
        tables);
}

ODBCConnector::RefusedSteps ODBCConnector::prepareSchemas(const TableGroups& groups) {
    struct Plan {
        const std::string* table;
        std::vector<SchemaStep> steps;
        bool stopped = false;
    };
    std::vector<Plan> plans;
    for (const auto& [name, records] : groups) {
        std::vector<SchemaStep> steps = schemaManager->planSchemaSteps(name, records);
        if (!steps.empty())
            plans.push_back(Plan{&name, std::move(steps)});
    }
    RefusedSteps refused;
    WriterPool& pool = connection.writers();
    if (plans.size() < 2 || pool.size() < 2)
        return refused;
    pool.setParallel(true);
    // Round by round: the n-th step of every table side by side, so that
    // one table's steps still run in order. A step that does not succeed
    // ends its table's steps here: a refusal is settled by the table writer
    // as its own schema step's would be; a name another writer just took, or
    // a step without an answer, is left to the table's own schema step,
    // which runs it again.
    for (size_t round = 0;; ++round) {
        std::vector<std::pair<Plan*, WriterPool::Ticket>> running;
        for (Plan& plan : plans) {
            if (!plan.stopped && round < plan.steps.size())
                running.emplace_back(&plan, pool.submit(plan.steps[round].sql));
        }
        if (running.empty())
            return refused;
        for (auto& [plan, ticket] : running) {
            WriterPool::Outcome done = pool.take(ticket);
            if (done.kind == WriterPool::Outcome::Kind::Written) {
                schemaManager->noteSchemaStep(*plan->table, plan->steps[round]);
                continue;
            }
            plan->stopped = true;
            if (done.refusal && !isNameTaken(done.refusal->sqlState()))
                refused[*plan->table] = std::move(done.refusal);
        }
    }
}

void ODBCConnector::reportDatapointsColumns(const std::vector<std::string>& tables) {
    if (config.datapoints != ODBCConfig::DatapointLayout::Variant)
        return;
    for (const std::string& table : tables) {
        const CachedTable* cached = schemaManager->findCachedTable(table);
        if (cached == nullptr || reportedDatapointsColumns.count(table) != 0)
            continue;
        // The warehouse matches column names ignoring case.
        const std::string* name =
            schemaManager->findCachedColumnIgnoringCase(table, DATAPOINTS_COLUMN);
        if (name == nullptr)
            continue;
        const CachedColumn& column = cached->columns[cached->positions.at(*name)];
        if (column.type.kind == ColumnType::Kind::Variant)
            continue;
        reportedDatapointsColumns.insert(table);
        Logger::getLogger()->error(
            "Table '%s' has a column '%s' of type %s, not VARIANT: each reading's datapoints go "
            "there only as that type holds them, else to %s. Rename that column, or set 'table' "
            "to write to another table",
            table.c_str(), name->c_str(), column.typeText.c_str(), RESCUED_DATA_COLUMN);
    }
}

std::vector<size_t> ODBCConnector::unroutedReadings(const TableGroups& groups,
                                                    const DeliveryLedger::Batch& batch) {
    std::vector<char> routed(batch.pending().size(), 0);
    for (const auto& [name, records] : groups) {
        for (const DatabaseRecord& record : records) {
            if (record.readingIndex() < routed.size())
                routed[record.readingIndex()] = 1;
        }
    }
    std::vector<size_t> unrouted;
    for (size_t i = 0; i < routed.size(); ++i) {
        if (!routed[i] && batch.pending()[i] != nullptr)
            unrouted.push_back(i);
    }
    return unrouted;
}

std::unique_ptr<ODBCClient> ODBCConnector::createWriterClient() const {
    return std::make_unique<ODBCClient>();
}
