#include "statement_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {
constexpr const char kListSeparator[] = ", ";
constexpr size_t kListSeparatorLength = sizeof(kListSeparator) - 1;
// Row text is kept in pieces that double from 4 KiB up to 64 KiB: small
// enough to be carved from memory that freed records leave behind, large
// enough to be few, and a small batch does not hold a large piece.
constexpr size_t kRowPieceBytes = 64 * 1024;
constexpr size_t kFirstRowPieceBytes = 4 * 1024;
}  // namespace

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
    size_t length = 2;
    for (const auto& value : row)
        length += value.size() + kListSeparatorLength;
    if (!row.empty())
        length -= kListSeparatorLength;
    const size_t fixed = shape.head.size() + shape.tail.size();
    if (limit > 0 && rows > 0 && fixed + textLength + kListSeparatorLength + length > limit)
        finishStatement();
    if (rows > 0)
        length += kListSeparatorLength;
    std::string& piece = pieceFor(length);
    const size_t start = piece.size();
    piece.resize(start + length);
    char* out = &piece[start];
    if (rows > 0) {
        std::memcpy(out, kListSeparator, kListSeparatorLength);
        out += kListSeparatorLength;
    }
    *out++ = '(';
    for (size_t v = 0; v < row.size(); ++v) {
        if (v > 0) {
            std::memcpy(out, kListSeparator, kListSeparatorLength);
            out += kListSeparatorLength;
        }
        std::memcpy(out, row[v].data(), row[v].size());
        out += row[v].size();
    }
    *out = ')';
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
