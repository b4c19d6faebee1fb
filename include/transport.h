#pragma once
// Transport: how the rows of a table reach the warehouse.
//
// The table writer decides what is written: which readings go into which
// table, as rows of which columns, which values are rescued, which readings
// are rejected, and what the delivery ledger is told. A transport decides
// how: it is handed one table's rows (TableRows) and answers, part by part,
// which readings were written, which may be tried again and which the
// warehouse refused, and why (Delivery). It never maps readings, routes
// them, rescues values, writes rejects or touches the ledger.
//
// Rows come as records: per column, the value's text as the reading mapper
// made it, its kind, and how it fits the column (value_format.h), or no value
// (NULL). That is what a SQL VALUES list needs (through the dialect) and
// what a JSON record encoder needs alike.
//
// A send may still run when send() returns; its delivery is taken once by
// its ticket. The rows of a send are read before send() returns (a
// transport keeps nothing that points into them).
// Thread-safety: one thread (the connector's) calls every member; what runs
// behind a transport is its own affair.

#include <cstddef>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "column_type.h"
#include "dialect.h"
#include "value_format.h"
#include "value_kind.h"

class StatementError;

// One column of a table being written.
struct TableColumn {
    std::string name;
    ColumnType type;  // the warehouse's type, parsed
};

// One value of a row: no value is NULL.
struct Cell {
    const std::string* value = nullptr;  // the text as the reading mapper made it
    ValueKind kind = ValueKind::Text;
    ValueFit fit = ValueFit::Exact;  // how the value is written into its column
};

// One row: a cell per column of the table (`cells` points at as many cells
// as the table has columns), and the position of the reading it comes from
// in the batch's pending list.
struct RowView {
    size_t reading = 0;
    const Cell* cells = nullptr;
};

// The rows of one table, one at a time.
class RowSource {
  public:
    virtual ~RowSource() = default;
    // The number of rows next() gives in all.
    virtual size_t size() const = 0;
    // The next row, or nullptr after the last one. The row, and the texts its
    // cells point at, stay valid until the next call.
    virtual const RowView* next() = 0;
};

// What a transport is handed for one table of one batch.
struct TableRows {
    const std::string& table;
    const std::vector<TableColumn>& columns;
    // Empty: the rows are appended. Otherwise the table may hold some of
    // them already (a batch that failed may have written them): a row is
    // skipped when the table holds one equal to it in every column, compared
    // as this says (one entry per column).
    const std::vector<ColumnMatch>& skipMatching;
    RowSource& rows;
    // With skipMatching: only the table's rows within it can match (the
    // rows' lowest and highest times), so the warehouse need not read the
    // rest of the table. No column: no bound.
    TimeRange within = TimeRange();
};

// A part was written: every row is in the table.
struct Written {
    bool compared = false;   // the rows were compared with the table's (skipMatching)
    size_t skipped = 0;      // rows skipped because the table held them already
    bool uncounted = false;  // compared, but how many were skipped is not known
};
// A part was not written, or not known to be, for a reason that may pass:
// the table's batch goes back to the host.
struct Retry {
    std::string cause;                              // for the log
    std::shared_ptr<const StatementError> refusal;  // the warehouse's answer, if any
    bool mayHaveWritten = true;                     // the rows may be in the table
    bool unreachable = false;                       // no connection could be opened
    bool refusedForGood = false;                    // ... and none ever will be
};
// The warehouse refused a part, and will refuse it again as it is. A part
// refused for its length (StatementError::isTooLarge) fits in smaller parts:
// the transport makes its later parts smaller (sizeLimit).
struct Refused {
    std::shared_ptr<const StatementError> cause;
};
using PartResult = std::variant<Written, Retry, Refused>;

// What became of one part of a send: the readings of its rows, and how it
// went.
struct DeliveredPart {
    std::vector<size_t> readings;
    PartResult result;
};
// The parts of one send, in row order; together they hold every row.
using Delivery = std::vector<DeliveredPart>;

class Transport {
  public:
    using Ticket = size_t;

    virtual ~Transport() = default;
    // Whether the next sends may overlap (several tables, or the parts of a
    // table being searched for refused rows) rather than run one by one.
    virtual void overlap(bool enable) = 0;
    // How many sends can be under way at once.
    virtual size_t lanes() const = 0;
    // The most bytes one part may take now, its rows and what surrounds them
    // (a statement's length); 0 when nothing bounds it.
    virtual size_t sizeLimit() const { return 0; }
    // Hands the table's rows over, reading every row before it returns.
    virtual Ticket send(const TableRows& rows) = 0;
    // Returns true iff the send's delivery is there.
    virtual bool isDone(Ticket ticket) = 0;
    // The send's delivery, waiting for it; each ticket is taken once.
    virtual Delivery take(Ticket ticket) = 0;
};
