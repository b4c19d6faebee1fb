#pragma once
// StatementsTransport: a table's rows as SQL statements on the writer pool.
//
// Each send writes the rows into a StatementBuffer as one multi-row INSERT
// (or, when the table may hold some of them already, an insert-only MERGE),
// cut at the statement limit, and hands every statement to the writer pool;
// the statements of one table run side by side when there are several. The
// statement texts are made only once a writer can take them, so at most
// `writers` texts are alive. The pool's outcome of each statement becomes
// its part of the delivery: written (with the rows a MERGE skipped),
// refused (a refusal the warehouse will repeat), or retry (a refusal that
// may pass, a lost answer, no connection).
// Borrows the pool and the dialect for its life; one serves one send of the
// connector. Not thread-safe (see Transport).

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "dialect.h"
#include "transport.h"
#include "writer_pool.h"

class StatementsTransport : public Transport {
  public:
    // `statementLimit` is the largest statement in bytes; 0 for no limit.
    StatementsTransport(WriterPool& pool, const Dialect& dialect, size_t statementLimit);

    void overlap(bool enable) override;
    size_t lanes() const override;
    Ticket send(const TableRows& rows) override;
    bool isDone(Ticket ticket) override;
    Delivery take(Ticket ticket) override;

  private:
    // One statement handed to the pool and the readings whose rows it holds.
    struct Piece {
        WriterPool::Ticket ticket = 0;
        std::vector<size_t> readings;
        bool merge = false;  // it skips rows the table holds already
    };
    // The statements of a send's rows, and the reading of each row in order.
    struct Statements {
        std::vector<StatementBuffer::Statement> statements;
        std::vector<size_t> readings;
    };
    Statements buildStatements(const TableRows& rows) const;
    // What the pool's outcome of a piece comes to.
    static PartResult resultOf(WriterPool::Outcome& outcome, const Piece& piece);

    WriterPool& pool;
    const Dialect& dialect;
    size_t statementLimit;
    Ticket nextTicket = 0;
    std::map<Ticket, std::vector<Piece>> sent;
};
