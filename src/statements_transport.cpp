#include "statements_transport.h"

#include <cctype>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

#include "query_result.h"

namespace {
const std::string kSqlNull = "NULL";

// The rows a MERGE (or an INSERT of the rows missing) inserted, from the one row of counts the
// warehouse answers with (the last count); nothing when there is no count that can be believed.
std::optional<size_t> insertedByMerge(const QueryRows& answer, size_t rows) {
    if (answer.empty() || answer.front().empty())
        return std::nullopt;
    const std::string& text = answer.front().back();
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' ||
        value > rows)
        return std::nullopt;
    return static_cast<size_t>(value);
}
}  // namespace

StatementsTransport::StatementsTransport(WriterPool& pool, const Dialect& dialect,
                                         StatementLimit& limit)
    : pool(pool), dialect(dialect), limit(limit) {}

void StatementsTransport::overlap(bool enable) {
    pool.setParallel(enable);
}

size_t StatementsTransport::lanes() const {
    return pool.size();
}

size_t StatementsTransport::sizeLimit() const {
    return limit.bytes();
}

bool StatementsTransport::mayCatchUp(const TableRows& rows) {
    for (size_t c = 0; c < rows.columns.size(); ++c) {
        if (rows.columns[c].type.kind == ColumnType::Kind::Variant)
            return false;
        if (c < rows.skipMatching.size() && rows.skipMatching[c] != ColumnMatch::Equal)
            return false;
    }
    return true;
}

StatementShape StatementsTransport::shapeFor(const TableRows& rows, bool& typed) const {
    std::vector<std::string> names;
    names.reserve(rows.columns.size());
    for (const TableColumn& column : rows.columns)
        names.push_back(column.name);
    typed = false;
    if (rows.skipMatching.empty())
        return dialect.insertShape(rows.table, names);
    StatementShape merge = dialect.mergeShape(rows.table, names, rows.skipMatching, rows.within);
    // A MERGE names each column three times: on a wide table its own text
    // takes most of each statement, and may leave no room for a row at all.
    // Past half the limit, the rows go in a statement that names none.
    const size_t bytes = limit.bytes();
    if (bytes == 0 || (merge.head.size() + merge.tail.size()) * 2 <= bytes || !mayCatchUp(rows))
        return merge;
    typed = true;
    return dialect.catchUpShape(rows.table, rows.within);
}

StatementsTransport::Statements StatementsTransport::buildStatements(const TableRows& rows) const {
    bool typed = false;
    StatementBuffer buffer(shapeFor(rows, typed), limit.bytes());
    Statements built;
    built.readings.reserve(rows.rows.size());
    std::string text;
    const size_t columns = rows.columns.size();
    while (const RowView* row = rows.rows.next()) {
        text.assign(1, '(');
        for (size_t c = 0; c < columns; ++c) {
            if (c > 0) {
                text.push_back(',');
                text.push_back(' ');
            }
            const Cell& cell = row->cells[c];
            if (cell.value == nullptr)
                text.append(kSqlNull);
            else if (typed)
                dialect.appendTypedValue(text, *cell.value, cell.kind, rows.columns[c].type,
                                         cell.fit);
            else
                dialect.appendFittedValue(text, *cell.value, cell.kind, rows.columns[c].type,
                                          cell.fit);
        }
        text.push_back(')');
        buffer.appendRowText(text);
        built.readings.push_back(row->reading);
    }
    built.statements = buffer.take();
    return built;
}

Transport::Ticket StatementsTransport::send(const TableRows& rows) {
    // The statement texts are made only once a writer can take them.
    pool.awaitFree();
    Statements built = buildStatements(rows);
    // The statements of one table append to it side by side as well.
    if (built.statements.size() > 1)
        pool.setParallel(true);
    std::vector<Piece> pieces;
    size_t from = 0;
    for (StatementBuffer::Statement& statement : built.statements) {
        Piece piece;
        if (built.statements.size() == 1)
            piece.readings = std::move(built.readings);
        else
            piece.readings.assign(
                built.readings.begin() + static_cast<std::ptrdiff_t>(from),
                built.readings.begin() + static_cast<std::ptrdiff_t>(from + statement.rows));
        from += statement.rows;
        piece.compared = !rows.skipMatching.empty();
        piece.bytes = statement.sql.size();
        piece.ticket = pool.submit(std::move(statement.sql));
        pieces.push_back(std::move(piece));
    }
    const Ticket ticket = nextTicket++;
    sent.emplace(ticket, std::move(pieces));
    return ticket;
}

bool StatementsTransport::isDone(Ticket ticket) {
    const auto found = sent.find(ticket);
    if (found == sent.end())
        return true;
    for (const Piece& piece : found->second) {
        if (!pool.isDone(piece.ticket))
            return false;
    }
    return true;
}

Delivery StatementsTransport::take(Ticket ticket) {
    const auto found = sent.find(ticket);
    if (found == sent.end())
        throw std::logic_error("a send's delivery is taken once");
    std::vector<Piece> pieces = std::move(found->second);
    sent.erase(found);
    Delivery delivery;
    delivery.reserve(pieces.size());
    // Every piece is waited for, so that none outlives its send.
    for (Piece& piece : pieces) {
        WriterPool::Outcome outcome = pool.take(piece.ticket);
        PartResult result = resultOf(outcome, piece);
        delivery.push_back(DeliveredPart{std::move(piece.readings), std::move(result)});
    }
    return delivery;
}

PartResult StatementsTransport::resultOf(WriterPool::Outcome& outcome, const Piece& piece) {
    using Kind = WriterPool::Outcome::Kind;
    switch (outcome.kind) {
        case Kind::Written: {
            const size_t rows = piece.readings.size();
            if (!piece.compared)
                return Written{false, 0, false};
            const std::optional<size_t> inserted = insertedByMerge(outcome.rows, rows);
            return inserted ? Written{true, rows - *inserted, false} : Written{true, 0, true};
        }
        case Kind::Refused:
            // The same rows fit in shorter statements.
            if (outcome.refusal->isTooLarge())
                limit.lower(piece.bytes);
            if (!outcome.refusal->retriable())
                return Refused{outcome.refusal};
            return Retry{outcome.refusal->describe(), outcome.refusal, true, false, false};
        case Kind::ConnectFailed:
            // A rejected login or configuration is final for every
            // connection, as it is for the primary one.
            return Retry{outcome.failure.empty()
                             ? std::string(odbcStatusName(outcome.connectStatus))
                             : outcome.failure,
                         nullptr, false, true, outcome.connectStatus == CORVANE_ODBC_FAILED};
        case Kind::Failed:
            break;
    }
    // A statement whose answer was lost may still have run.
    return Retry{outcome.failure, nullptr, true, false, false};
}
