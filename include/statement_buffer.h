#pragma once
// StatementBuffer: the rows of one table on their way into INSERT (or MERGE)
// statements, and their cut at a statement limit.
//
// A buffer is a plain value: it knows nothing about a dialect. It is given the
// text of a statement around its rows (a StatementShape: "INSERT INTO `t`
// (`a`, `b`) VALUES " before the rows, nothing or a MERGE's trailer after
// them) and keeps each row as the text it becomes, "(1, 'x')", in pieces of
// at most 64 KiB so that memory freed while rows are made can be used again.
// With a limit, the rows appended are cut into statements of at most that
// many bytes, on whole rows; a row that alone makes a longer statement goes
// alone. take() hands over the statements, in row order, and empties the
// buffer.
// Whoever writes one table's rows owns one buffer for that table and batch;
// nothing is shared. Not thread-safe; copy or move it freely.
//
// StatementLimit: the longest statement to build for one warehouse, the
// configured length lowered once the warehouse refused a statement for its
// length. The connection owns it for as long as its settings hold; whoever
// builds statements borrows it. Not thread-safe.

#include <cstddef>
#include <string>
#include <vector>

class StatementLimit {
  public:
    // `configured` bytes; 0 for no limit.
    explicit StatementLimit(size_t configured = 0) : configured(configured) {}
    // Cuts at `bytes` (0 for no limit), or less as the warehouse refused.
    void configure(size_t bytes) { configured = bytes; }
    // Forgets what the warehouse refused (new settings, another warehouse).
    void reset() { lowered = 0; }
    // The longest statement to build now; 0 for no limit.
    size_t bytes() const;
    // The warehouse refused a statement of `refusedBytes` for its length:
    // later statements are cut at half of it, never below a kilobyte, and
    // the new limit is logged once at WARNING; a length of 0 (unknown)
    // changes nothing. Returns the limit now in force (0 for none).
    size_t lower(size_t refusedBytes);

  private:
    size_t configured;
    size_t lowered = 0;  // 0 until a statement was refused for its length
};

// The text of a statement before and after its rows.
struct StatementShape {
    std::string head;
    std::string tail;
};

class StatementBuffer {
  public:
    // One finished statement and the number of rows it holds.
    struct Statement {
        std::string sql;
        size_t rows = 0;
    };

    // A buffer with no shape and no limit: rows only (see appendRowsTo).
    StatementBuffer() = default;
    // Rows for statements of `shape`, cut at `limit` bytes; 0 never cuts.
    StatementBuffer(StatementShape shape, size_t limit);

    // Adds one row: its texts as they are, separated by ", ", in parentheses.
    void appendRow(const std::vector<std::string>& row);
    // Adds one row already written as "(a, b)".
    void appendRowText(const std::string& row);
    // The rows not yet handed over.
    size_t rowCount() const { return rows + finishedRows; }
    // Drops every row and every finished statement, releasing their memory.
    void clear();
    // The statements of every row appended since the last take() or clear(),
    // in row order. The buffer is left empty (its shape and limit stay).
    std::vector<Statement> take();

    // Appends the text of all rows not yet cut into a statement, "(..), (..)".
    void appendRowsTo(std::string& out) const;
    // Appends the text of the first such row, "(..)".
    void appendFirstRowTo(std::string& out) const;
    // The length of appendRowsTo's text.
    size_t rowsTextLength() const { return textLength; }

  private:
    // Moves the rows so far into a finished statement.
    void finishStatement();
    // The piece a row of `length` bytes is written into.
    std::string& pieceFor(size_t length);

    StatementShape shape;
    size_t limit = 0;
    // The rows as written after "VALUES ", "(a, b), (c, d)"; a row never
    // spans two pieces.
    std::vector<std::string> pieces;
    size_t textLength = 0;
    size_t firstRowLength = 0;
    size_t rows = 0;
    std::vector<Statement> finished;
    size_t finishedRows = 0;
};
