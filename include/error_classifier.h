#pragma once
// Error classification: every rule the plugin applies to a SQLSTATE or a
// diagnostic message, in one place. Nothing else compares SQLSTATE texts.
//
// - classifyExecutionError: whether a failed statement is worth running
//   again, and the class that decided it (ODBCClient::isRetriableError logs
//   it);
// - classifyConnectError: whether a failed connect may pass later, or can
//   never pass until the settings change (a refused login, an unknown schema
//   or catalog, a refused configuration);
// - the verdicts recovery needs about a refused statement: the connection was
//   lost, a table or column is missing, the data was refused, the name is
//   taken (another writer's CREATE or ALTER at the same moment), or a schema
//   step is refused for good.
// SQLSTATE rules apply only to five-character states; message rules are
// substring searches as each rule says. Stateless free functions: safe from
// any thread.

#include <string>

// Why a failed statement is, or is not, worth running again.
enum class RetryClass {
    NetworkOrConnection,    // retriable
    TemporaryResource,      // retriable
    SyntaxOrConfiguration,  // not retriable: the same statement fails the same way
    ColumnIssue,            // not retriable: a missing or ambiguous column, by message
    TableIssue,             // not retriable: a missing table, by message
    Unknown,                // retriable: nothing recognised it
};

struct RetryVerdict {
    bool retriable;
    RetryClass why;
};

// The verdict on a statement that failed with `state` and `message`.
RetryVerdict classifyExecutionError(const std::string& state, const std::string& message);
// The debug line of a verdict's class, a format with one %s (the SQLSTATE,
// or the message for the two message classes).
const char* retryClassFormat(RetryClass why);
// Returns true iff the class's line names the message rather than the SQLSTATE.
bool retryClassNamesMessage(RetryClass why);

// What a failed connect with `state` means.
enum class ConnectFailure {
    Transient,       // a network problem that may clear
    RefusedForGood,  // credentials, schema, catalog or configuration: never passes as it is
    Unknown,         // anything else: tried again, it may clear by itself
};
ConnectFailure classifyConnectError(const std::string& state);
// What an operator changes for a connect refused for good with `state`:
// which settings to check, as a phrase that completes "... ; <remedy>".
const char* connectRemedy(const std::string& state);

// Returns true iff a value was handed out cut, the rest still to be read
// (01004).
bool isDataTruncated(const std::string& state);
// Returns true iff the link to the warehouse is gone: a later statement on
// it fails too.
bool isConnectionLost(const std::string& state);
// Returns true iff the statement names a table the warehouse does not have.
bool isMissingTable(const std::string& state, const std::string& message);
// Returns true iff the statement names a column the table does not have.
bool isMissingColumn(const std::string& state, const std::string& message);
// Returns true iff rows written by position had another number of values
// than the table has columns (21S01, 42826): the table has columns this
// connector did not know of.
bool isColumnCountMismatch(const std::string& state, const std::string& message);
// Returns true iff the warehouse refused the data rather than the statement
// or the link: a value or constraint error (class 22 or 23), a datatype
// mismatch (42804), or rows of mixed types (42000 with INCOMPATIBLE_TYPES).
// The same rows are refused again.
bool isDataRefusal(const std::string& state, const std::string& message);
// Returns true iff the warehouse refused the statement for its length
// (54000, or STATEMENT_TOO_LARGE in the message): the same rows fit in
// shorter statements.
bool isStatementTooLarge(const std::string& state, const std::string& message);
// Returns true iff the link to the warehouse failed under the statement: a
// connection error (class 08), a connection timeout (HYT01), or the driver's
// general error (HY000) for a dropped HTTP link. Unlike isConnectionLost,
// the driver may still call the connection alive.
bool isLinkFailure(const std::string& state, const std::string& message);
// Returns true iff a CREATE or ALTER was refused because the name exists
// already: another writer made it at the same moment.
bool isNameTaken(const std::string& state);
// Returns true iff a refused schema step will be refused again whatever is
// retried: not retriable, and not a name that another writer just took.
bool isRefusedForGood(const std::string& state, bool retriable);
