#include "statement_buffer.h"

#include <algorithm>
#include <utility>

#include "logger.h"

namespace {
constexpr const char kListSeparator[] = ", ";
constexpr size_t kListSeparatorLength = sizeof(kListSeparator) - 1;
// Row text is kept in pieces that double from 4 KiB up to 64 KiB: small
// enough to be carved from memory that freed records leave behind, large
// enough to be few, and a small batch does not hold a large piece.
constexpr size_t kRowPieceBytes = 64 * 1024;
constexpr size_t kFirstRowPieceBytes = 4 * 1024;
}  // namespace

size_t StatementLimit::bytes() const {
    if (lowered == 0)
        return configured;
    return configured == 0 ? lowered : std::min(configured, lowered);
}

size_t StatementLimit::lower(size_t refusedBytes) {
    if (refusedBytes == 0)  // the statement's length is not known
        return bytes();
    // Never below a kilobyte: a statement's text around its rows is longer.
    const size_t halved = std::max<size_t>(refusedBytes / 2, 1024);
    if (lowered != 0 && lowered <= halved)
        return bytes();
    lowered = halved;
    Logger::getLogger()->warn(
        "The warehouse refused a statement of %zu bytes for its length; statements are cut at "
        "%zu bytes from now on",
        refusedBytes, lowered);
    return bytes();
}

StatementBuffer::StatementBuffer(StatementShape shape, size_t limit)
    : shape(std::move(shape)), limit(limit) {}

std::string& StatementBuffer::pieceFor(size_t length) {
    if (pieces.empty() || pieces.back().size() + length > pieces.back().capacity()) {
        const size_t previous = pieces.empty() ? 0 : pieces.back().capacity();
        const size_t target = std::min(kRowPieceBytes, std::max(kFirstRowPieceBytes, 2 * previous));
        std::string piece;
        piece.reserve(std::max(target, length));
        pieces.push_back(std::move(piece));
    }
    return pieces.back();
}

void StatementBuffer::appendRow(const std::vector<std::string>& row) {
    std::string text;
    size_t length = 2;
    for (const auto& value : row)
        length += value.size() + kListSeparatorLength;
    text.reserve(length);
    text.push_back('(');
    for (size_t v = 0; v < row.size(); ++v) {
        if (v > 0)
            text.append(kListSeparator, kListSeparatorLength);
        text.append(row[v]);
    }
    text.push_back(')');
    appendRowText(text);
}

void StatementBuffer::appendRowText(const std::string& row) {
    const size_t fixed = shape.head.size() + shape.tail.size();
    if (limit > 0 && rows > 0 && fixed + textLength + kListSeparatorLength + row.size() > limit)
        finishStatement();
    const size_t length = row.size() + (rows > 0 ? kListSeparatorLength : 0);
    std::string& piece = pieceFor(length);
    if (rows > 0)
        piece.append(kListSeparator, kListSeparatorLength);
    piece.append(row);
    textLength += length;
    if (rows == 0)
        firstRowLength = textLength;
    ++rows;
}

void StatementBuffer::finishStatement() {
    Statement statement;
    statement.sql.reserve(shape.head.size() + textLength + shape.tail.size());
    statement.sql.append(shape.head);
    appendRowsTo(statement.sql);
    statement.sql.append(shape.tail);
    statement.rows = rows;
    finished.push_back(std::move(statement));
    finishedRows += rows;
    std::vector<std::string>().swap(pieces);
    textLength = 0;
    firstRowLength = 0;
    rows = 0;
}

void StatementBuffer::clear() {
    std::vector<std::string>().swap(pieces);
    textLength = 0;
    firstRowLength = 0;
    rows = 0;
    std::vector<Statement>().swap(finished);
    finishedRows = 0;
}

std::vector<StatementBuffer::Statement> StatementBuffer::take() {
    if (rows > 0)
        finishStatement();
    std::vector<Statement> statements = std::move(finished);
    clear();
    return statements;
}

void StatementBuffer::appendRowsTo(std::string& out) const {
    for (const std::string& piece : pieces)
        out.append(piece);
}

void StatementBuffer::appendFirstRowTo(std::string& out) const {
    if (!pieces.empty())
        out.append(pieces.front(), 0, firstRowLength);
}
