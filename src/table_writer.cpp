#include "table_writer.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <variant>

#include "error_classifier.h"
#include "logger.h"
#include "reading.h"
#include "reading_mapper.h"
#include "rejects.h"
#include "row_writer.h"
#include "schema_manager.h"
#include "text_util.h"
#include "transport.h"
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
// retried (error_classifier.h).
bool refusedForGood(const StatementError& refused) {
    return isRefusedForGood(refused.sqlState(), refused.retriable());
}

// The records of one table as the rows a transport reads: each record is
// turned into its row when asked for, and freed once the next is asked for,
// so the records' memory goes as the rows are written.
class RecordRows : public RowSource {
  public:
    RecordRows(RowWriter& writer, std::vector<DatabaseRecord>& records)
        : writer(writer), records(records) {}
    size_t size() const override { return records.size(); }
    const RowView* next() override {
        if (position > 0 && position <= records.size())
            records[position - 1] = DatabaseRecord();
        if (position >= records.size()) {
            // The emptied records go too, before the statements are made.
            std::vector<DatabaseRecord>().swap(records);
            position = 1;
            return nullptr;
        }
        const DatabaseRecord& record = records[position++];
        row.reading = record.readingIndex();
        const size_t values = writer.fill(record);
        rescuedValues += values;
        if (values > 0)
            rescuedByReading[row.reading] = values;
        row.cells = writer.cells();
        return &row;
    }
    // The values rescued in the rows read so far.
    size_t rescued() const { return rescuedValues; }
    // Those values by the reading of their row (rows with none left out).
    std::unordered_map<size_t, size_t>& rescuedPerReading() { return rescuedByReading; }

  private:
    RowWriter& writer;
    std::vector<DatabaseRecord>& records;
    size_t position = 0;
    size_t rescuedValues = 0;
    std::unordered_map<size_t, size_t> rescuedByReading;
    RowView row;
};

// A reading whose row alone is longer than the warehouse takes cannot go whole
// into the rejects table either: its JSON is cut to a quarter of the size
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

template <typename Work>
void TableWriter::guarded(TableOutcome& out, Work work) {
    try {
        work();
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
}

TableWriter::Fail TableWriter::statementFailure(const TableOutcome& out,
                                                const StatementError& refused) {
    Logger::getLogger()->error("Failed to execute database query for table '%s'",
                               out.table.c_str());
    logWarehouseReason(refused);
    return Fail{refused.describe()};
}

TableWriter::Fail TableWriter::retryFailure(const TableOutcome& out, const std::string& table,
                                            const Retry& retry) {
    // A part that may have been written: the next rows of the table skip
    // what is there.
    if (retry.mayHaveWritten)
        parts.ledger.markDoubtful(table);
    if (retry.refusedForGood) {
        outcome.neverConnects = true;
        outcome.refusal = retry.cause;
    }
    if (retry.refusal)
        return statementFailure(out, *retry.refusal);
    if (retry.unreachable) {
        Logger::getLogger()->error("A writer connection could not be opened for table '%s': %s",
                                   out.table.c_str(), retry.cause.c_str());
    } else {
        Logger::getLogger()->error("Database operation failed: %s", retry.cause.c_str());
    }
    return Fail{retry.cause};
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
                                  "and it has no usable hint"});
    guarded(out, [&] {
        writeRejects(out, report);
        out.state = TableOutcome::State::Written;
        Logger::getLogger()->warn("%s had no table to go to and were kept in %s; first reason: %s",
                                  countOf(indices.size(), "reading", "readings").c_str(),
                                  REJECTS_TABLE, report.rejects.front().reason.c_str());
    });
    // Named after it is written: the rejects of a table carry its name.
    out.table = REJECTS_TABLE;
}

size_t TableWriter::openSlot(const std::string& table, size_t readings) {
    const size_t slot = outcome.tables.size();
    outcome.tables.emplace_back();
    outcome.tables[slot].table = table;
    outcome.tables[slot].readings = readings;
    return slot;
}

void TableWriter::startRefused(const std::string& table, std::vector<DatabaseRecord>& records,
                               const StatementError& refused) {
    const size_t slot = openSlot(table, records.size());
    Report report;
    Refusal refusal{readingIndices(records), std::make_shared<StatementError>(refused), true,
                    false};
    settleRefusals(outcome.tables[slot], {std::move(refusal)}, report);
    settle(false);
}

void TableWriter::start(const std::string& table, std::vector<DatabaseRecord>& records) {
    const size_t slot = openSlot(table, records.size());
    InFlight entry{slot, Report{}, {}, {}};
    try {
        const std::optional<Transport::Ticket> sent = submitRows(table, records, entry.report);
        if (!sent) {
            Logger::getLogger()->error("Failed to get cached schema for table '%s'", table.c_str());
            outcome.tables[slot].state = TableOutcome::State::NoSchema;
            return;
        }
        entry.sends.push_back(*sent);
        inFlight.push_back(std::move(entry));
    } catch (const StatementError& refused) {
        // A refused schema step: nothing of the table was handed out, and
        // the records are still whole.
        Refusal refusal{readingIndices(records), std::make_shared<StatementError>(refused), true,
                        false};
        settleRefusals(outcome.tables[slot], {std::move(refusal)}, entry.report);
    } catch (const std::exception& e) {
        Logger::getLogger()->error("Database operation failed: %s", e.what());
        fail(outcome.tables[slot], e.what());
    }
    settle(false);
}

void TableWriter::settle(bool wait) {
    // In start order, so that with one writer the tables settle in the order
    // they were written.
    size_t kept = 0;
    for (size_t i = 0; i < inFlight.size(); ++i) {
        InFlight& entry = inFlight[i];
        const bool done =
            wait || std::all_of(entry.sends.begin(), entry.sends.end(),
                                [&](Transport::Ticket t) { return parts.transport.isDone(t); });
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
    if (!entry.sends.empty()) {
        Collected collected = collect(out, out.table, std::move(entry.sends));
        entry.sends.clear();
        if (collected.failure) {
            fail(out, collected.failure->why);
            return;
        }
        entry.refused = std::move(collected.refused);
    }
    // Healing and isolating cost statements of their own: they wait until
    // every table of the batch has been started, so that one bad table does
    // not hold the others back. A refusal that fails the table is booked at
    // once, so that no further table is started.
    const bool recoverable =
        std::all_of(entry.refused.begin(), entry.refused.end(), [](const Refusal& refusal) {
            return refusal.cause->isDataRefusal() || refusal.cause->isMissingObject();
        });
    if (mayDefer && !entry.refused.empty() && recoverable) {
        deferred.push_back(std::move(entry));
        return;
    }
    settleRefusals(out, std::move(entry.refused), entry.report);
}

TableWriter::Collected TableWriter::collect(TableOutcome& out, const std::string& table,
                                            std::vector<Transport::Ticket> sends) {
    Collected collected;
    // Every send is waited for, so that none outlives its table.
    for (Transport::Ticket ticket : sends) {
        std::unordered_map<size_t, size_t> rescued;
        if (auto node = rescuedBySend.extract(ticket))
            rescued = std::move(node.mapped());
        for (DeliveredPart& part : parts.transport.take(ticket)) {
            if (const auto* written = std::get_if<Written>(&part.result)) {
                parts.batch.markWritten(part.readings);
                countWritten(out, table, part.readings, *written, rescued);
            } else if (auto* refused = std::get_if<Refused>(&part.result)) {
                collected.refused.push_back(
                    {std::move(part.readings), refused->cause, false, false});
            } else {
                Fail failure = retryFailure(out, table, std::get<Retry>(part.result));
                if (!collected.failure)
                    collected.failure = std::move(failure);
            }
        }
    }
    return collected;
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
            "Table '%s': %s did not fit their columns and were kept in %s, %s were refused and "
            "kept in %s; first reason: %s",
            out.table.c_str(), countOf(report.rescued, "value", "values").c_str(),
            RESCUED_DATA_COLUMN, countOf(report.rejects.size(), "reading", "readings").c_str(),
            REJECTS_TABLE, report.firstReason.c_str());
    }
    Logger::getLogger()->debug("Sent %zu records to table '%s'", out.readings, out.table.c_str());
}

void TableWriter::settleRefusals(TableOutcome& out, std::vector<Refusal> refusals, Report& report) {
    guarded(out, [&] {
        // Each step takes one refusal and says what came of it; rows it
        // finds refused anew go back into the queue for the next step.
        while (!refusals.empty()) {
            Refusal refusal = std::move(refusals.back());
            refusals.pop_back();
            Step result = recover(out, refusal, report);
            if (auto* again = std::get_if<Again>(&result)) {
                for (Refusal& next : again->refusals)
                    refusals.push_back(std::move(next));
            } else if (auto* failure = std::get_if<Fail>(&result)) {
                fail(out, failure->why);
                return;
            } else if (std::holds_alternative<NoSchema>(result)) {
                out.state = TableOutcome::State::NoSchema;
                return;
            }
        }
        complete(out, report);
    });
}

TableWriter::Step TableWriter::recover(TableOutcome& out, const Refusal& refusal, Report& report) {
    const StatementError& cause = *refusal.cause;
    // A table learned anew once is not learned again for the same rows.
    if (cause.isMissingObject() && !refusal.healed)
        return heal(out, refusal, report);
    // The same rows fit in shorter statements (the transport cuts them
    // shorter now): they are sent in parts, and a row too long even alone
    // goes to the rejects.
    if (cause.isTooLarge() && !refusal.schemaStep)
        return isolateRows(out, refusal, report);
    if (cause.isDataRefusal()) {
        Logger::getLogger()->warn(
            "The warehouse refused rows of table '%s'; they are sent in parts to find them",
            out.table.c_str());
        logWarehouseReason(cause);
        return isolateRows(out, refusal, report);
    }
    if (refusal.schemaStep && refusedForGood(cause))
        return keepUnfitting(out, refusal, report);
    if (refusal.schemaStep) {
        // A refused schema step that may pass later fails the batch.
        Logger::getLogger()->error("Database operation failed: %s", cause.what());
        logWarehouseReason(cause);
        return Fail{cause.describe()};
    }
    return statementFailure(out, cause);
}

TableWriter::Step TableWriter::heal(TableOutcome& out, const Refusal& refusal, Report& report) {
    // The table, or one of its columns, was dropped behind the plugin's
    // back: learn the table anew (creating or adding what is missing) and
    // send the rows once more. What is refused again is recovered for that
    // refusal, without healing again.
    Logger::getLogger()->warn(
        "Table '%s' is not as this connector knew it; its columns are read again",
        out.table.c_str());
    logWarehouseReason(*refusal.cause);
    parts.schema.forgetTable(out.table);
    Step result = sendAgain(out, refusal.indices, report, false);
    if (auto* again = std::get_if<Again>(&result)) {
        for (Refusal& next : again->refusals)
            next.healed = true;
    }
    return result;
}

TableWriter::Step TableWriter::keepUnfitting(TableOutcome& out, const Refusal& refusal,
                                             Report& report) {
    // The warehouse will never create or extend this table as some readings
    // need (a column limit, no permission, a name it refuses): those are kept
    // in the rejects table, the others are written, and the batch goes on.
    std::vector<size_t> fitting;
    for (const DatabaseRecord& record : remap(out.table, refusal.indices)) {
        if (parts.schema.checkTableSchema(out.table, record))
            reject(report, record.readingIndex(), *refusal.cause, "");
        else
            fitting.push_back(record.readingIndex());
    }
    Logger::getLogger()->error(
        "Table '%s' cannot be created or extended; its %s kept in %s", out.table.c_str(),
        countOf(refusal.indices.size() - fitting.size(), "reading is", "readings are").c_str(),
        REJECTS_TABLE);
    logWarehouseReason(*refusal.cause);
    if (fitting.empty())
        return Done{};
    Step result = sendAgain(out, fitting, report, true);
    if (auto* again = std::get_if<Again>(&result)) {
        for (Refusal& next : again->refusals)
            next.healed = refusal.healed;
    }
    return result;
}

TableWriter::Step TableWriter::sendAgain(TableOutcome& out, const std::vector<size_t>& indices,
                                         Report& report, bool schemaRefusalFails) {
    std::optional<Transport::Ticket> sent;
    try {
        std::vector<DatabaseRecord> records = remap(out.table, indices);
        sent = submitRows(out.table, records, report);
    } catch (const StatementError& error) {
        if (schemaRefusalFails)
            throw;
        return Again{{Refusal{indices, std::make_shared<StatementError>(error), true, false}}};
    }
    if (!sent)
        return NoSchema{};
    Collected collected = collect(out, out.table, {*sent});
    if (collected.failure)
        return std::move(*collected.failure);
    if (collected.refused.empty())
        return Done{};
    return Again{std::move(collected.refused)};
}

TableWriter::Step TableWriter::isolateRows(TableOutcome& out, const Refusal& refusal,
                                           Report& report) {
    // Each round cuts every refused part into as many pieces as there are
    // writers (at least two) and sends the pieces side by side; a refused
    // piece of one row is a refused reading. The rounds stop when the budget
    // of statements is spent: the readings of the parts still refused then
    // go to the rejects together, so one bad table costs a bounded time.
    parts.transport.overlap(true);
    const size_t ways = std::max<size_t>(2, parts.transport.lanes());
    std::vector<Refusal> refused{refusal};
    size_t budget = kIsolationBudget;
    while (!refused.empty()) {
        std::vector<Refusal> tries;
        for (const Refusal& part : refused) {
            if (part.indices.size() == 1) {
                reject(report, part.indices[0], *part.cause, "");
                continue;
            }
            for (std::vector<size_t>& piece : split(part.indices, ways))
                tries.push_back({std::move(piece), part.cause, false, refusal.healed});
        }
        while (tries.size() > budget) {
            for (size_t index : tries.back().indices)
                reject(report, index, *tries.back().cause, kRefusedTogether);
            tries.pop_back();
        }
        budget -= tries.size();
        Step round = tryParts(out, tries, report);
        if (!std::holds_alternative<Again>(round))
            return round;
        refused = std::move(std::get<Again>(round).refusals);
    }
    return Done{};
}

TableWriter::Step TableWriter::tryParts(TableOutcome& out, const std::vector<Refusal>& tries,
                                        Report& report) {
    std::vector<Transport::Ticket> sends;
    for (const Refusal& part : tries) {
        std::vector<DatabaseRecord> records = remap(out.table, part.indices);
        const std::optional<Transport::Ticket> sent = submitRows(out.table, records, report);
        if (!sent) {
            collect(out, out.table, std::move(sends));
            return NoSchema{};
        }
        sends.push_back(*sent);
    }
    Collected collected = collect(out, out.table, std::move(sends));
    if (collected.failure)
        return std::move(*collected.failure);
    for (const Refusal& part : collected.refused) {
        // Only the data, or a statement's length, is refused part by part;
        // anything else fails the table.
        if (!part.cause->isDataRefusal() && !part.cause->isTooLarge())
            return statementFailure(out, *part.cause);
    }
    return Again{std::move(collected.refused)};
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
            cutRejectedReading(rows.back(), parts.transport.sizeLimit());
    }
    Report rejectsReport;
    // Marked as they are written; a refusal fails the table, and the readings
    // not yet kept stay with the host.
    const std::optional<Transport::Ticket> sent = submitRows(REJECTS_TABLE, rows, rejectsReport);
    if (!sent)
        throw std::runtime_error("the rejects table cannot be written");
    Collected collected = collect(out, REJECTS_TABLE, {*sent});
    if (collected.failure || !collected.refused.empty())
        throw std::runtime_error("the rejects table cannot be written");
}

std::optional<Transport::Ticket> TableWriter::submitRows(const std::string& table,
                                                         std::vector<DatabaseRecord>& records,
                                                         Report& report) {
    if (!prepare(table, records, report))
        return std::nullopt;
    RowWriter writer(*parts.schema.findCachedTable(table), parts.dialect);
    if (report.valuesFit)
        writer.trustValues();
    const std::vector<TableColumn> columns = writer.columns();
    // A table in doubt skips the rows it holds already, among those of the
    // records' times.
    const bool doubt = isInDoubt(table);
    const std::vector<ColumnMatch> skipMatching =
        doubt ? matchFor(table, writer.columnNames()) : std::vector<ColumnMatch>();
    const TimeRange within = doubt ? timeRangeOf(table, records) : TimeRange();
    RecordRows rows(writer, records);
    const Transport::Ticket ticket =
        parts.transport.send(TableRows{table, columns, skipMatching, rows, within});
    report.rescued += rows.rescued();
    if (!rows.rescuedPerReading().empty())
        rescuedBySend[ticket] = std::move(rows.rescuedPerReading());
    if (report.firstReason.empty())
        report.firstReason = writer.firstRescueReason();
    return ticket;
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

void TableWriter::countWritten(TableOutcome& out, const std::string& table,
                               const std::vector<size_t>& readings, const Written& written,
                               const std::unordered_map<size_t, size_t>& rescued) {
    size_t stored = readings.size();
    if (written.compared) {
        out.checked += readings.size();
        if (written.uncounted) {
            // Nothing is known of how many rows were there already.
            Logger::getLogger()->warn(
                "Table '%s': the warehouse's answer to a MERGE has no count of inserted rows; the "
                "table's next rows skip those already there too",
                table.c_str());
            out.uncounted += readings.size();
            parts.ledger.markDoubtful(table);
        } else {
            out.skipped += written.skipped;
            stored -= written.skipped;
        }
    }
    (table == REJECTS_TABLE ? out.rejected : out.written) += stored;
    // Which rows a MERGE skipped is not known: their rescued values were
    // counted when they were stored.
    if (stored != readings.size() || rescued.empty())
        return;
    for (size_t reading : readings) {
        const auto found = rescued.find(reading);
        if (found != rescued.end())
            out.rescued += found->second;
    }
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

bool TableWriter::isInDoubt(const std::string& table) const {
    const CachedTable* cached = parts.schema.findCachedTable(table);
    // Columns read from the information schema were there before this process.
    const bool existedBefore =
        cached != nullptr && std::any_of(cached->columns.begin(), cached->columns.end(),
                                         [](const CachedColumn& column) { return column.learned; });
    return parts.ledger.isInDoubt(table, existedBefore);
}
