#pragma once
// StatementsTransport: a table's rows as SQL statements on the writer pool.
//
// Each send writes the rows into a StatementBuffer as one multi-row INSERT
// (or, when the table may hold some of them already, an insert-only MERGE;
// on a table so wide that the MERGE's own text would take more than half of
// each statement, an INSERT of only the rows missing), cut at the statement
// limit, and hands every statement to the writer pool;
// the statements of one table run side by side when there are several. The
// statement texts are made only once a writer can take them, so at most
// `writers` texts are alive. The pool's outcome of each statement becomes
// its part of the delivery: written (with the rows a MERGE skipped),
// refused (a refusal the warehouse will repeat), or retry (a refusal that
// may pass, a lost answer, no connection). A statement refused for its
// length lowers the statement limit, so that later statements fit.
// Borrows the pool, the dialect and the limit for its life; one serves one
// send of the connector. Not thread-safe (see Transport).

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "dialect.h"
#include "statement_buffer.h"
#include "transport.h"
#include "writer_pool.h"

class StatementsTransport : public Transport {
  public:
    // Statements are cut at `limit`, which is lowered as the warehouse
    // refuses statements for their length.
    StatementsTransport(WriterPool& pool, const Dialect& dialect, StatementLimit& limit);

    void overlap(bool enable) override;
    size_t lanes() const override;
    size_t sizeLimit() const override;
    Ticket send(const TableRows& rows) override;
    bool isDone(Ticket ticket) override;
    Delivery take(Ticket ticket) override;

  private:
    // One statement handed to the pool and the readings whose rows it holds.
    struct Piece {
        WriterPool::Ticket ticket = 0;
        std::vector<size_t> readings;
        bool compared = false;  // it skips rows the table holds already
        size_t bytes = 0;       // the length of its statement
    };
    // The statements of a send's rows, and the reading of each row in order.
    struct Statements {
        std::vector<StatementBuffer::Statement> statements;
        std::vector<size_t> readings;
    };
    Statements buildStatements(const TableRows& rows) const;
    // The statement around the rows; `typed` is set when the rows' values
    // must be written typed (Dialect::appendTypedValue).
    StatementShape shapeFor(const TableRows& rows, bool& typed) const;
    // Returns true iff the rows can be compared by a set operation: every
    // column compared as it is, none a VARIANT.
    static bool mayCatchUp(const TableRows& rows);
    // What the pool's outcome of a piece comes to.
    PartResult resultOf(WriterPool::Outcome& outcome, const Piece& piece);

    WriterPool& pool;
    const Dialect& dialect;
    StatementLimit& limit;
    Ticket nextTicket = 0;
    std::map<Ticket, std::vector<Piece>> sent;
};
