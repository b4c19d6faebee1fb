#include "table_writer.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>

#include "connection.h"
#include "logger.h"
#include "reading.h"
#include "reading_mapper.h"
#include "rejects.h"
#include "row_writer.h"
#include "schema_manager.h"
#include "utf8.h"

namespace {
std::vector<size_t> readingIndices(const std::vector<DatabaseRecord>& records) {
    std::vector<size_t> indices;
    indices.reserve(records.size());
    for (const DatabaseRecord& record : records)
        indices.push_back(record.readingIndex());
    return indices;
}

// The indices cut into `ways` pieces of nearly equal size (fewer when there
// are fewer indices), in order.
std::vector<std::vector<size_t>> split(const std::vector<size_t>& indices, size_t ways) {
    ways = std::min(ways, indices.size());
    std::vector<std::vector<size_t>> pieces;
    size_t from = 0;
    for (size_t i = 0; i < ways; ++i) {
        const size_t to = from + (indices.size() - from) / (ways - i);
        pieces.emplace_back(indices.begin() + static_cast<std::ptrdiff_t>(from),
                            indices.begin() + static_cast<std::ptrdiff_t>(to));
        from = to;
    }
    return pieces;
}

// Returns true iff a refused schema step will be refused again whatever is
// retried: a non-retriable refusal, but for a name that exists already, which
// is another writer's CREATE or ALTER at the same moment.
bool refusedForGood(const StatementError& refused) {
    return !refused.retriable() && refused.sqlState() != "42P07" && refused.sqlState() != "42711";
}

// A reading whose row alone is longer than the warehouse takes cannot go whole
// into the rejects table either: its JSON is cut to a quarter of the statement
// limit (room for its escapes and the other fields), on a character boundary,
// and the reason says so.
void cutRejectedReading(DatabaseRecord& row, size_t limit) {
    const std::string& json = row.valueAt(REJECT_READING);
    const size_t room = limit / 4;
    if (limit == 0 || json.size() <= room)
        return;
    const size_t kept = utf8CompleteLength(json.data(), room);
    Logger::getLogger()->error(
        "A reading of asset '%s' is longer than any statement the warehouse takes: %s keeps its "
        "first %zu of %zu bytes",
        row.valueAt(REJECT_ASSET_CODE).c_str(), REJECTS_TABLE, kept, json.size());
    std::string reason = row.valueAt(REJECT_REASON) + " (the reading's JSON is cut to its first " +
                         std::to_string(kept) + " of " + std::to_string(json.size()) + " bytes)";
    row.setValueAt(REJECT_READING, json.substr(0, kept));
    row.setValueAt(REJECT_REASON, std::move(reason));
}

// The reason of rows that the isolation budget left undecided.
const char kRefusedTogether[] =
    "refused together with other rows (not isolated further); the warehouse said: ";
}  // namespace

void logWarehouseReason(const StatementError& error) {
    Logger::getLogger()->error("The warehouse refused the statement: %s", error.describe().c_str());
}

bool BatchOutcome::sent() const {
    if (!failure.empty())
        return false;
    for (const TableOutcome& table : tables) {
        if (table.state != TableOutcome::State::Written)
            return false;
    }
    return true;
}

bool BatchOutcome::anyFailed() const {
    for (const TableOutcome& table : tables) {
        if (table.state == TableOutcome::State::Failed)
            return true;
    }
    return false;
}

template <typename Step>
void TableWriter::guarded(TableOutcome& out, Step step) {
    try {
        step();
    } catch (const StatementError& refused) {
        Logger::getLogger()->error("Database operation failed: %s", refused.what());
        logWarehouseReason(refused);
        fail(out, refused.describe());
    } catch (const std::exception& e) {
        Logger::getLogger()->error("Database operation failed: %s", e.what());
        fail(out, e.what());
    }
}

void TableWriter::fail(TableOutcome& out, const std::string& why) {
    out.state = TableOutcome::State::Failed;
    out.failure = why;
    // The statement may have failed because the link died; without a
    // reconnect every later batch would fail the same way.
    parts.connection.dropIfDead();
}

void TableWriter::failStatement(TableOutcome& out, const StatementError& refused) {
    Logger::getLogger()->error("Failed to execute database query for table '%s'",
                               out.table.c_str());
    logWarehouseReason(refused);
    fail(out, refused.describe());
}

void TableWriter::rejectUnroutable(const std::vector<size_t>& indices) {
    if (indices.empty())
        return;
    outcome.tables.emplace_back();
    TableOutcome& out = outcome.tables.back();
    out.readings = indices.size();
    Report report;
    for (size_t index : indices)
        report.rejects.push_back({index, std::string(),
                                  "the reading has no table name: its asset code is empty "
                                  "and it has no usable hint",
                                  false});
    guarded(out, [&] {
        writeRejects(out, report);
        out.state = TableOutcome::State::Written;
        Logger::getLogger()->warn(
            "%zu readings had no table to go to and were kept in %s; first reason: %s",
            indices.size(), REJECTS_TABLE, report.rejects.front().reason.c_str());
    });
    // Named after it is written: the rejects of a table carry its name.
    out.table = REJECTS_TABLE;
}

void TableWriter::start(const std::string& table, std::vector<DatabaseRecord>& records) {
    const size_t slot = outcome.tables.size();
    outcome.tables.emplace_back();
    outcome.tables[slot].table = table;
    InFlight entry{slot, Report{}, {}, {}};
    outcome.tables[slot].readings = records.size();
    try {
        if (!submitRows(table, records, entry.report, entry.pieces)) {
            Logger::getLogger()->error("Failed to get cached schema for table '%s'", table.c_str());
            outcome.tables[slot].state = TableOutcome::State::NoSchema;
            return;
        }
        inFlight.push_back(std::move(entry));
    } catch (const StatementError& refused) {
        // A refused schema step: nothing of the table was handed out, and
        // the records are still whole.
        TableOutcome& out = outcome.tables[slot];
        guarded(out, [&] {
            if (recover(out, readingIndices(records), refused, entry.report, true))
                complete(out, entry.report);
        });
    } catch (const std::exception& e) {
        Logger::getLogger()->error("Database operation failed: %s", e.what());
        fail(outcome.tables[slot], e.what());
    }
    settle(false);
}

void TableWriter::settle(bool wait) {
    WriterPool& pool = parts.connection.writers();
    // In start order, so that with one writer the tables settle in the order
    // they were written.
    size_t kept = 0;
    for (size_t i = 0; i < inFlight.size(); ++i) {
        InFlight& entry = inFlight[i];
        const bool done =
            wait || std::all_of(entry.pieces.begin(), entry.pieces.end(),
                                [&](const Piece& p) { return pool.isDone(p.ticket); });
        if (done) {
            settleTable(entry, true);
            continue;
        }
        if (kept != i)
            inFlight[kept] = std::move(entry);
        ++kept;
    }
    inFlight.erase(inFlight.begin() + static_cast<std::ptrdiff_t>(kept), inFlight.end());
}

void TableWriter::settleTable(InFlight& entry, bool mayDefer) {
    TableOutcome& out = outcome.tables[entry.slot];
    if (!awaitPieces(out, entry.pieces, entry.refused))
        return;
    // Healing and isolating cost statements of their own: they wait until
    // every table of the batch has been started, so that one bad table does
    // not hold the others back. A refusal that fails the table is booked at
    // once, so that no further table is started.
    const bool recoverable =
        std::all_of(entry.refused.begin(), entry.refused.end(), [](const RefusedPart& part) {
            return part.refusal->isDataRefusal() || part.refusal->isMissingObject();
        });
    if (mayDefer && !entry.refused.empty() && recoverable) {
        deferred.push_back(std::move(entry));
        return;
    }
    guarded(out, [&] {
        for (RefusedPart& part : entry.refused) {
            if (!recover(out, std::move(part.indices), *part.refusal, entry.report, false,
                         part.bytes))
                return;
        }
        complete(out, entry.report);
    });
}

bool TableWriter::awaitPieces(TableOutcome& out, std::vector<Piece>& pieces,
                              std::vector<RefusedPart>& refused) {
    WriterPool& pool = parts.connection.writers();
    bool ok = true;
    // Every piece is waited for, so that none outlives its table.
    for (Piece& piece : pieces) {
        WriterPool::Outcome done = pool.take(piece.ticket);
        using Kind = WriterPool::Outcome::Kind;
        if (done.kind == Kind::Written) {
            parts.batch.markWritten(piece.indices);
            countWritten(out, piece, done.rows);
            continue;
        }
        // A statement whose answer was lost, or that failed for a reason
        // that may pass, may still have run: the next rows of the table
        // skip what is there.
        if (done.kind == Kind::Failed || (done.kind == Kind::Refused && done.refusal->retriable()))
            parts.ledger.markDoubtful(piece.rejects ? std::string(REJECTS_TABLE) : out.table);
        if (done.kind == Kind::Refused) {
            refused.push_back({std::move(piece.indices), done.refusal, piece.bytes});
        } else if (done.kind == Kind::ConnectFailed) {
            // A rejected login or configuration is final for every
            // connection, as it is for the primary one.
            if (done.connectStatus == CORVANE_ODBC_FAILED)
                parts.connection.setStatus(CORVANE_ODBC_FAILED);
            Logger::getLogger()->error("A writer connection could not be opened for table '%s': %s",
                                       out.table.c_str(), odbcStatusName(done.connectStatus));
            fail(out, odbcStatusName(done.connectStatus));
            ok = false;
        } else {
            Logger::getLogger()->error("Database operation failed: %s", done.failure.c_str());
            fail(out, done.failure);
            ok = false;
        }
    }
    pieces.clear();
    return ok;
}

BatchOutcome TableWriter::finish() {
    settle(true);
    for (InFlight& entry : deferred)
        settleTable(entry, false);
    deferred.clear();
    return std::move(outcome);
}

void TableWriter::complete(TableOutcome& out, Report& report) {
    // The table's own rows were booked as their statements ran, so a refused
    // rejects table does not make a resend write them again.
    writeRejects(out, report);
    out.state = TableOutcome::State::Written;
    // Rows of a MERGE whose count is unknown may have met rows already
    // there: the next rows of the table skip what is there too.
    if (out.uncounted == 0)
        parts.ledger.clearDoubt(out.table);
    if (report.rescued > 0 || !report.rejects.empty()) {
        Logger::getLogger()->warn(
            "Table '%s': %zu values did not fit their columns and were kept in %s, %zu readings "
            "were refused and kept in %s; first reason: %s",
            out.table.c_str(), report.rescued, RESCUED_DATA_COLUMN, report.rejects.size(),
            REJECTS_TABLE, report.firstReason.c_str());
    }
    Logger::getLogger()->debug("Sent %zu records to table '%s'", out.readings, out.table.c_str());
}

bool TableWriter::recover(TableOutcome& out, std::vector<size_t> indices,
                          const StatementError& refused, Report& report, bool schemaStep,
                          size_t bytes) {
    Logger* logger = Logger::getLogger();
    auto cause = std::make_shared<StatementError>(refused);
    if (refused.isMissingObject() && heal(out, indices, cause, report, schemaStep))
        return true;
    if (out.state != TableOutcome::State::Pending)
        return false;
    if (cause->isTooLarge() && !schemaStep) {
        // The same rows fit in shorter statements: they are sent in parts,
        // and a row too long even alone goes to the rejects.
        parts.connection.lowerStatementLimit(bytes);
        return isolateRows(out, indices, *cause, report);
    }
    if (cause->isDataRefusal()) {
        logger->warn(
            "The warehouse refused rows of table '%s'; they are sent in parts to find them",
            out.table.c_str());
        logWarehouseReason(*cause);
        return isolateRows(out, indices, *cause, report);
    }
    if (schemaStep && refusedForGood(*cause))
        return keepUnfitting(out, indices, *cause, report);
    if (schemaStep) {
        // A refused schema step that may pass later fails the batch.
        logger->error("Database operation failed: %s", cause->what());
        logWarehouseReason(*cause);
        fail(out, cause->describe());
        return false;
    }
    failStatement(out, *cause);
    return false;
}

bool TableWriter::keepUnfitting(TableOutcome& out, const std::vector<size_t>& indices,
                                const StatementError& refused, Report& report) {
    // The warehouse will never create or extend this table as some readings
    // need (a column limit, no permission, a name it refuses): those are kept
    // in the rejects table, the others are written, and the batch goes on.
    std::vector<size_t> fitting;
    for (const DatabaseRecord& record : remap(out.table, indices)) {
        if (parts.schema.checkTableSchema(out.table, record))
            reject(report, record.readingIndex(), refused, "");
        else
            fitting.push_back(record.readingIndex());
    }
    Logger::getLogger()->error(
        "Table '%s' cannot be created or extended; its %zu readings are kept in %s",
        out.table.c_str(), indices.size() - fitting.size(), REJECTS_TABLE);
    logWarehouseReason(refused);
    if (fitting.empty())
        return true;
    std::vector<DatabaseRecord> records = remap(out.table, fitting);
    std::vector<Piece> pieces;
    if (!submitRows(out.table, records, report, pieces)) {
        out.state = TableOutcome::State::NoSchema;
        return false;
    }
    std::vector<RefusedPart> refusedParts;
    if (!awaitPieces(out, pieces, refusedParts))
        return false;
    for (RefusedPart& part : refusedParts) {
        if (!recover(out, std::move(part.indices), *part.refusal, report, false, part.bytes))
            return false;
    }
    return true;
}

bool TableWriter::heal(TableOutcome& out, std::vector<size_t>& indices,
                       std::shared_ptr<StatementError>& cause, Report& report, bool& schemaStep) {
    // The table, or one of its columns, was dropped behind the plugin's
    // back: learn the table anew (creating or adding what is missing) and
    // send the rows once more.
    Logger::getLogger()->warn(
        "Table '%s' is not as this connector knew it; its columns are read again",
        out.table.c_str());
    logWarehouseReason(*cause);
    parts.schema.forgetTable(out.table);
    std::vector<Piece> pieces;
    try {
        std::vector<DatabaseRecord> records = remap(out.table, indices);
        if (!submitRows(out.table, records, report, pieces)) {
            out.state = TableOutcome::State::NoSchema;
            return false;
        }
    } catch (const StatementError& error) {
        cause = std::make_shared<StatementError>(error);
        schemaStep = true;
        return false;
    }
    std::vector<RefusedPart> refused;
    if (!awaitPieces(out, pieces, refused) || refused.empty())
        return out.state == TableOutcome::State::Pending;
    // What is refused again is recovered for that refusal; the rest is in.
    indices.clear();
    for (const RefusedPart& part : refused)
        indices.insert(indices.end(), part.indices.begin(), part.indices.end());
    std::sort(indices.begin(), indices.end());
    cause = refused.front().refusal;
    schemaStep = false;
    return false;
}

bool TableWriter::isolateRows(TableOutcome& out, const std::vector<size_t>& indices,
                              const StatementError& refused, Report& report) {
    // Each round cuts every refused part into as many pieces as there are
    // writers (at least two) and sends the pieces side by side; a refused
    // piece of one row is a refused reading. The rounds stop when the budget
    // of statements is spent: the readings of the parts still refused then
    // go to the rejects together, so one bad table costs a bounded time.
    WriterPool& pool = parts.connection.writers();
    pool.setParallel(true);
    const size_t ways = std::max<size_t>(2, pool.size());
    std::vector<RefusedPart> refusedParts{{indices, std::make_shared<StatementError>(refused)}};
    size_t budget = kIsolationBudget;
    while (!refusedParts.empty()) {
        std::vector<RefusedPart> tries;
        for (const RefusedPart& part : refusedParts) {
            if (part.indices.size() == 1) {
                reject(report, part.indices[0], *part.refusal, "");
                continue;
            }
            for (std::vector<size_t>& piece : split(part.indices, ways))
                tries.push_back({std::move(piece), part.refusal});
        }
        while (tries.size() > budget) {
            for (size_t index : tries.back().indices)
                reject(report, index, *tries.back().refusal, kRefusedTogether);
            tries.pop_back();
        }
        budget -= tries.size();
        refusedParts.clear();
        if (!tryParts(out, tries, report, refusedParts))
            return false;
    }
    return true;
}

bool TableWriter::tryParts(TableOutcome& out, const std::vector<RefusedPart>& tries, Report& report,
                           std::vector<RefusedPart>& stillRefused) {
    std::vector<Piece> pieces;
    for (const RefusedPart& part : tries) {
        std::vector<DatabaseRecord> records = remap(out.table, part.indices);
        if (!submitRows(out.table, records, report, pieces)) {
            out.state = TableOutcome::State::NoSchema;
            break;
        }
    }
    std::vector<RefusedPart> refused;
    const bool ok = awaitPieces(out, pieces, refused) && out.state == TableOutcome::State::Pending;
    for (RefusedPart& part : refused) {
        if (!ok)
            break;
        if (part.refusal->isTooLarge()) {
            parts.connection.lowerStatementLimit(part.bytes);
        } else if (!part.refusal->isDataRefusal()) {
            failStatement(out, *part.refusal);
            return false;
        }
        stillRefused.push_back(std::move(part));
    }
    return ok;
}

void TableWriter::reject(Report& report, size_t index, const StatementError& refused,
                         const char* prefix) {
    std::string reason = std::string(prefix) + refused.message();
    if (report.firstReason.empty())
        report.firstReason = reason;
    report.rejects.push_back({index, refused.sqlState(), std::move(reason), refused.isTooLarge()});
}

std::vector<DatabaseRecord> TableWriter::remap(const std::string& table,
                                               const std::vector<size_t>& indices) {
    std::vector<Reading*> readings;
    readings.reserve(indices.size());
    for (size_t index : indices)
        readings.push_back(parts.batch.pending()[index]);
    std::vector<DatabaseRecord> records = parts.mapper.mapReadingsToRecords(readings);
    for (DatabaseRecord& record : records) {
        record.setTableName(table);
        record.setReadingIndex(indices[record.readingIndex()]);
    }
    return records;
}

void TableWriter::writeRejects(TableOutcome& out, Report& report) {
    if (report.rejects.empty())
        return;
    std::vector<DatabaseRecord> rows;
    rows.reserve(report.rejects.size());
    for (const Reject& reject : report.rejects) {
        rows.push_back(makeRejectRecord(out.table, *parts.batch.pending()[reject.index],
                                        parts.instance, reject.sqlState, reject.reason));
        rows.back().setReadingIndex(reject.index);
        if (reject.tooLong)
            cutRejectedReading(rows.back(), statementLimit());
    }
    Report rejectsReport;
    std::vector<Piece> pieces;
    std::vector<RefusedPart> refused;
    // Marked as they are written; a refusal fails the table, and the readings
    // not yet kept stay with the host.
    if (!submitRows(REJECTS_TABLE, rows, rejectsReport, pieces) ||
        !awaitPieces(out, pieces, refused) || !refused.empty())
        throw std::runtime_error("the rejects table cannot be written");
}

bool TableWriter::submitRows(const std::string& table, std::vector<DatabaseRecord>& records,
                             Report& report, std::vector<Piece>& pieces) {
    if (!prepare(table, records, report))
        return false;
    std::vector<size_t> indices = readingIndices(records);
    WriterPool& pool = parts.connection.writers();
    // The statement texts are made only once a writer can take them.
    pool.awaitFree();
    // A table in doubt skips the rows it holds already.
    const bool merge = isInDoubt(table);
    std::vector<size_t> rescued;
    std::vector<StatementBuffer::Statement> inserts =
        buildInserts(table, records, report, merge, rescued);
    // The INSERTs of one table append to it side by side as well.
    if (inserts.size() > 1)
        pool.setParallel(true);
    size_t from = 0;
    for (size_t i = 0; i < inserts.size(); ++i) {
        StatementBuffer::Statement& insert = inserts[i];
        Piece piece;
        piece.rescued = rescued[i];
        if (inserts.size() == 1)
            piece.indices = std::move(indices);
        else
            piece.indices.assign(indices.begin() + static_cast<std::ptrdiff_t>(from),
                                 indices.begin() + static_cast<std::ptrdiff_t>(from + insert.rows));
        from += insert.rows;
        piece.merge = merge;
        piece.bytes = insert.sql.size();
        piece.rejects = table == REJECTS_TABLE;
        piece.ticket = pool.submit(std::move(insert.sql));
        pieces.push_back(std::move(piece));
    }
    return true;
}

bool TableWriter::prepare(const std::string& table, std::vector<DatabaseRecord>& records,
                          Report& report) {
    if (parts.schema.fitTable(table, records) == SchemaFit::Missing)
        return false;
    const ValueCheck check = checkValues(table, records);
    if (check == ValueCheck::SomeRescued)
        addRescueColumn(table);
    report.valuesFit = check == ValueCheck::AllFit;
    return true;
}

TableWriter::ValueCheck TableWriter::checkValues(const std::string& table,
                                                 const std::vector<DatabaseRecord>& records) {
    RowWriter rows(*parts.schema.findCachedTable(table), parts.dialect);
    if (rows.hasRescueColumn())
        return ValueCheck::Unchecked;
    for (const DatabaseRecord& record : records) {
        if (rows.needsRescue(record))
            return ValueCheck::SomeRescued;
    }
    return ValueCheck::AllFit;
}

void TableWriter::addRescueColumn(const std::string& table) {
    std::vector<DatabaseRecord> column(1);
    column[0].addColumn(RESCUED_DATA_COLUMN, std::string(), RESCUED_DATA_TYPE, CONSTRAINT_NULLABLE);
    parts.schema.fitTable(table, column);
}

std::vector<StatementBuffer::Statement> TableWriter::buildInserts(
    const std::string& table, std::vector<DatabaseRecord>& records, Report& report, bool merge,
    std::vector<size_t>& rescued) {
    RowWriter rows(*parts.schema.findCachedTable(table), parts.dialect);
    Logger::getLogger()->debug("Using cached schema for table %s: %zu columns", table.c_str(),
                               rows.columnNames().size());
    if (report.valuesFit)
        rows.trustValues();
    StatementShape shape = merge ? parts.dialect.mergeShape(table, rows.columnNames(),
                                                            matchFor(table, rows.columnNames()),
                                                            timeRangeOf(table, records))
                                 : parts.dialect.insertShape(table, rows.columnNames());
    StatementBuffer buffer(std::move(shape), statementLimit());
    std::vector<std::pair<size_t, size_t>> rescuedRows;  // (row, values) of rows with rescues
    for (DatabaseRecord& record : records) {
        const size_t row = buffer.rowCount();
        const size_t values = rows.append(record, buffer);
        report.rescued += values;
        if (values > 0)
            rescuedRows.emplace_back(row, values);
        // The record is written into the row text: its memory goes now.
        record = DatabaseRecord();
    }
    if (report.firstReason.empty())
        report.firstReason = rows.firstRescueReason();
    // So do the emptied records, before the statements are made.
    std::vector<DatabaseRecord>().swap(records);
    std::vector<StatementBuffer::Statement> statements = buffer.take();
    // The statements hold the rows in order.
    rescued.assign(statements.size(), 0);
    size_t statement = 0;
    size_t end = statements.empty() ? 0 : statements[0].rows;
    for (const auto& [row, values] : rescuedRows) {
        while (row >= end && statement + 1 < statements.size())
            end += statements[++statement].rows;
        rescued[statement] += values;
    }
    return statements;
}

TimeRange TableWriter::timeRangeOf(const std::string& table,
                                   const std::vector<DatabaseRecord>& records) const {
    TimeRange range;
    const CachedTable& cached = *parts.schema.findCachedTable(table);
    const auto found = cached.positions.find(TS_COLUMN);
    if (found == cached.positions.end() ||
        cached.columns[found->second].type.kind != ColumnType::Kind::Timestamp)
        return range;
    range.column = TS_COLUMN;
    for (const DatabaseRecord& record : records) {
        const int64_t at = record.findColumn(TS_COLUMN);
        // A time the column cannot hold is written as NULL (and rescued).
        if (at < 0 || !isTimestampInRange(record.valueAt(static_cast<size_t>(at)))) {
            range.anyNull = true;
            continue;
        }
        // The reading's times all have one form, so their texts sort as they do.
        const std::string& value = record.valueAt(static_cast<size_t>(at));
        if (range.lowest.empty() || value < range.lowest)
            range.lowest = value;
        if (range.highest.empty() || value > range.highest)
            range.highest = value;
    }
    return range;
}

std::vector<ColumnMatch> TableWriter::matchFor(const std::string& table,
                                               const std::vector<std::string>& columns) const {
    const CachedTable& cached = *parts.schema.findCachedTable(table);
    const bool rejects = table == REJECTS_TABLE;
    std::vector<ColumnMatch> match;
    match.reserve(columns.size());
    for (const std::string& name : columns) {
        const auto found = cached.positions.find(name);
        const bool variant = found != cached.positions.end() &&
                             cached.columns[found->second].type.kind == ColumnType::Kind::Variant;
        // A rejected reading is the same reading whenever it was rejected.
        if (rejects && name == REJECTS_COLUMNS[REJECT_FIELD_COUNT - 1].name)
            match.push_back(ColumnMatch::Ignore);
        else
            match.push_back(variant ? ColumnMatch::AsJson : ColumnMatch::Equal);
    }
    return match;
}

void TableWriter::countWritten(TableOutcome& out, const Piece& piece, const QueryRows& answer) {
    const size_t inserted = piece.merge ? countMerged(out, piece, answer) : piece.indices.size();
    (piece.rejects ? out.rejected : out.written) += inserted;
    // Which rows a MERGE skipped is not known: their rescued values were
    // counted when they were stored.
    if (inserted == piece.indices.size())
        out.rescued += piece.rescued;
}

size_t TableWriter::countMerged(TableOutcome& out, const Piece& piece, const QueryRows& answer) {
    // The warehouse answers a MERGE with one row of counts, the rows it
    // inserted last. Without a count that can be believed, nothing is known
    // of how many rows were there already.
    out.checked += piece.indices.size();
    if (!answer.empty() && !answer.front().empty()) {
        const std::string& count = answer.front().back();
        char* end = nullptr;
        const unsigned long long value = std::strtoull(count.c_str(), &end, 10);
        if (!count.empty() && std::isdigit(static_cast<unsigned char>(count[0])) && *end == '\0' &&
            value <= piece.indices.size()) {
            out.skipped += piece.indices.size() - static_cast<size_t>(value);
            return static_cast<size_t>(value);
        }
    }
    Logger::getLogger()->warn(
        "Table '%s': the warehouse's answer to a MERGE has no count of inserted rows; the "
        "table's next rows skip those already there too",
        out.table.c_str());
    out.uncounted += piece.indices.size();
    parts.ledger.markDoubtful(piece.rejects ? std::string(REJECTS_TABLE) : out.table);
    return piece.indices.size();
}

size_t TableWriter::statementLimit() const {
    return parts.connection.statementLimit(parts.statementLimit);
}

bool TableWriter::isInDoubt(const std::string& table) const {
    const CachedTable* cached = parts.schema.findCachedTable(table);
    // Columns read from the information schema were there before this process.
    const bool existedBefore =
        cached != nullptr && std::any_of(cached->columns.begin(), cached->columns.end(),
                                         [](const CachedColumn& column) { return column.learned; });
    return parts.ledger.isInDoubt(table, existedBefore);
}
