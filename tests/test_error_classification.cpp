// Execution-time error classification: every rule of the classification
// table, in its order, with the exact line each verdict logs.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "error_classifier.h"
#include "log_capture.h"
#include "odbc_client.h"

namespace {

const std::string kNetwork = "Error classified as retriable (network/connection): ";
const std::string kResource = "Error classified as retriable (temporary resource): ";
const std::string kSyntax = "Error classified as non-retriable (syntax/configuration): ";
const std::string kColumn = "Error classified as non-retriable (column issue): ";
const std::string kTable = "Error classified as non-retriable (table issue): ";
const std::string kUnknown = "Error classified as retriable (unknown): ";

struct Case {
    std::string state;
    std::string message;
    bool retriable;
    std::string logLine;
};

std::ostream& operator<<(std::ostream& out, const Case& c) {
    return out << "[" << c.state << "] [" << c.message << "]";
}

const SQLCHAR* sqlText(const std::string& s) {
    return reinterpret_cast<const SQLCHAR*>(s.c_str());
}

class ErrorClassification : public ::testing::TestWithParam<Case> {
  protected:
    ODBCClient client;
};

TEST_P(ErrorClassification, VerdictAndExactlyOneLogLine) {
    const Case& c = GetParam();
    LogCapture log;
    EXPECT_EQ(client.isRetriableError(sqlText(c.state), 0, sqlText(c.message)), c.retriable);
    const std::vector<LogCapture::Entry> expected = {{Logger::Level::DEBUG, c.logLine}};
    EXPECT_EQ(log.entries(), expected);
}

TEST_P(ErrorClassification, NativeErrorNeverChangesTheVerdict) {
    const Case& c = GetParam();
    for (SQLINTEGER native : {0, 1, -1, 42000, INT_MAX, INT_MIN}) {
        EXPECT_EQ(client.isRetriableError(sqlText(c.state), native, sqlText(c.message)),
                  c.retriable)
            << native;
    }
}

const std::string kMissingColumn = "column \"speed\" does not exist";

INSTANTIATE_TEST_SUITE_P(SqlStateTable, ErrorClassification,
                         ::testing::Values(
                             // Step 1: network or connection.
                             Case{"08S01", "communication link failure", true, kNetwork + "08S01"},
                             Case{"08001", "", true, kNetwork + "08001"},
                             Case{"08004", "server rejected the connection", true,
                                  kNetwork + "08004"},
                             Case{"HYT00", "timeout expired", true, kNetwork + "HYT00"},
                             Case{"HYT01", "connection timeout expired", true, kNetwork + "HYT01"},
                             Case{"08S02", "anything", true, kNetwork + "08S02"},
                             // Step 2: temporary resource problems.
                             Case{"57014", "query cancelled", true, kResource + "57014"},
                             Case{"40001", "serialization failure", true, kResource + "40001"},
                             Case{"40P01", "deadlock detected", true, kResource + "40P01"},
                             // Step 3: syntax and configuration.
                             Case{"42000", "syntax error", false, kSyntax + "42000"},
                             Case{"42S02", "no such table", false, kSyntax + "42S02"},
                             Case{"42S22", "no such column", false, kSyntax + "42S22"},
                             Case{"42703", "undefined column", false, kSyntax + "42703"},
                             Case{"28000", "invalid authorization", false, kSyntax + "28000"},
                             Case{"42501", "permission denied", false, kSyntax + "42501"}));

// What the warehouse returns for statements that will fail the same way again:
// names, syntax, types, and every data (22) or constraint (23) refusal.
INSTANTIATE_TEST_SUITE_P(
    WarehouseSqlStates, ErrorClassification,
    ::testing::Values(
        Case{"42601", "[PARSE_SYNTAX_ERROR] Syntax error", false, kSyntax + "42601"},
        Case{"42P01", "[TABLE_OR_VIEW_NOT_FOUND] pump", false, kSyntax + "42P01"},
        Case{"42P07", "[TABLE_OR_VIEW_ALREADY_EXISTS] pump", false, kSyntax + "42P07"},
        Case{"42703", "[UNRESOLVED_COLUMN] speed", false, kSyntax + "42703"},
        Case{"42711", "[FIELDS_ALREADY_EXISTS] speed", false, kSyntax + "42711"},
        Case{"42702", "[AMBIGUOUS_REFERENCE] id", false, kSyntax + "42702"},
        Case{"42804", "[INVALID_DEFAULT_VALUE] x", false, kSyntax + "42804"},
        Case{"42000", "[INVALID_INLINE_TABLE.INCOMPATIBLE_TYPES_IN_INLINE_TABLE]", false,
             kSyntax + "42000"},
        Case{"22000", "data exception", false, kSyntax + "22000"},
        Case{"22001", "[DELTA_EXCEED_CHAR_VARCHAR_LIMIT]", false, kSyntax + "22001"},
        Case{"22003", "[NUMERIC_VALUE_OUT_OF_RANGE]", false, kSyntax + "22003"},
        Case{"22007", "[CAST_INVALID_INPUT] timestamp", false, kSyntax + "22007"},
        Case{"22018", "[CAST_INVALID_INPUT] 'abc'", false, kSyntax + "22018"},
        Case{"22023", "[MALFORMED_RECORD_IN_PARSING]", false, kSyntax + "22023"},
        Case{"22P02", "invalid text representation", false, kSyntax + "22P02"},
        Case{"23000", "integrity constraint violation", false, kSyntax + "23000"},
        Case{"23502", "[DELTA_NOT_NULL_CONSTRAINT_VIOLATED]", false, kSyntax + "23502"},
        Case{"23505", "unique violation", false, kSyntax + "23505"},
        // Rows of another number of values than the table has columns.
        Case{"21S01", "[INSERT_COLUMN_ARITY_MISMATCH] t", false, kSyntax + "21S01"},
        Case{"42826", "[NUM_COLUMNS_MISMATCH] EXCEPT ALL", false, kSyntax + "42826"},
        // Codes next to those classes keep the default verdict.
        Case{"21000", "cardinality violation", true, kUnknown + "21000"},
        Case{"24000", "invalid cursor state", true, kUnknown + "24000"},
        Case{"2D521", "[DELTA_METADATA_CHANGED]", true, kUnknown + "2D521"},
        Case{"42P02", "undefined parameter", true, kUnknown + "42P02"},
        // The class comes from the SQLSTATE only, never from a shorter text.
        Case{"2201", "value out of range", true, kUnknown + "2201"},
        Case{"22", "", true, kUnknown + "22"}));

INSTANTIATE_TEST_SUITE_P(RuleOrder, ErrorClassification,
                         ::testing::Values(
                             // The SQLSTATE table comes before the message tests.
                             Case{"42S22", kMissingColumn, false, kSyntax + "42S22"},
                             Case{"HYT00", kMissingColumn, true, kNetwork + "HYT00"},
                             Case{"40P01", "table t does not exist", true, kResource + "40P01"},
                             // A column message wins over a table message.
                             Case{"HY000", "column c of table t does not exist", false,
                                  kColumn + "column c of table t does not exist"}));

INSTANTIATE_TEST_SUITE_P(
    MessageRules, ErrorClassification,
    ::testing::Values(Case{"HY000", kMissingColumn, false, kColumn + kMissingColumn},
                      Case{"HY000", "column reference \"id\" is ambiguous", false,
                           kColumn + "column reference \"id\" is ambiguous"},
                      Case{"HY000", "table sensors does not exist", false,
                           kTable + "table sensors does not exist"},
                      // "table" with "ambiguous" but without "column" is no rule's business.
                      Case{"HY000", "table name is ambiguous", true, kUnknown + "HY000"},
                      // Case-sensitive: a capital C is not "column".
                      Case{"HY000", "Column speed does not exist", true, kUnknown + "HY000"},
                      Case{"HY000", "Table speed does not exist", true, kUnknown + "HY000"},
                      // Substrings count.
                      Case{"HY000", "columns x, y do not exist; does not exist", false,
                           kColumn + "columns x, y do not exist; does not exist"},
                      Case{"HY000", "tables does not exist", false,
                           kTable + "tables does not exist"},
                      // Half a rule is no rule.
                      Case{"HY000", "column speed is fine", true, kUnknown + "HY000"},
                      Case{"HY000", "does not exist", true, kUnknown + "HY000"},
                      Case{"HY000", "table is locked", true, kUnknown + "HY000"},
                      Case{"HY000", "", true, kUnknown + "HY000"},
                      Case{"01000", "general warning", true, kUnknown + "01000"}));

INSTANTIATE_TEST_SUITE_P(
    SqlStateShape, ErrorClassification,
    ::testing::Values(
        // Only a five-character SQLSTATE is looked up; others go to the message.
        Case{"", kMissingColumn, false, kColumn + kMissingColumn},
        Case{"", "timeout", true, kUnknown}, Case{"HYT0", "timeout", true, kUnknown + "HYT0"},
        Case{"HYT000", "timeout", true, kUnknown + "HYT000"},
        Case{"42000 ", "syntax error", true, kUnknown + "42000 "},
        Case{"4200", "table x does not exist", false, kTable + "table x does not exist"},
        // Exact comparison: lower case is another code.
        Case{"hyt00", "timeout", true, kUnknown + "hyt00"},
        Case{"08s01", "link failure", true, kUnknown + "08s01"}));

TEST(ErrorClassificationText, LongMessageIsSearchedAndLoggedWhole) {
    ODBCClient client;
    const std::string message =
        std::string(3000, 'x') + " column speed " + std::string(3000, 'y') + " does not exist";
    LogCapture log;
    EXPECT_FALSE(client.isRetriableError(sqlText("HY000"), 7, sqlText(message)));
    EXPECT_TRUE(log.has(Logger::Level::DEBUG, kColumn + message));
}

TEST(ErrorClassificationText, NullTextsCountAsEmpty) {
    ODBCClient client;
    EXPECT_TRUE(client.isRetriableError(nullptr, 0, nullptr));
    EXPECT_FALSE(client.isRetriableError(nullptr, 0, sqlText("table t does not exist")));
    EXPECT_TRUE(client.isRetriableError(sqlText("08S01"), 0, nullptr));
}

TEST(ErrorClassificationText, ReadsAndChangesNoMember) {
    ODBCClient client;
    EXPECT_FALSE(client.isRetriableError(sqlText("42000"), 0, sqlText("syntax")));
    EXPECT_FALSE(client.isLastErrorRetriable());
    EXPECT_TRUE(client.isRetriableError(sqlText("HYT00"), 0, sqlText("timeout")));
    EXPECT_FALSE(client.isLastErrorRetriable());
}

// Failures that tell the link is gone, whatever the driver says of it.
TEST(StatementErrorKind, LinkFailures) {
    const struct {
        const char* state;
        const char* message;
        bool link;
    } cases[] = {
        {"08S01", "Communication link failure", true},
        {"08001", "", true},
        {"08003", "connection does not exist", true},
        {"HYT01", "connection timeout expired", true},
        {"HY000",
         "[lakesink][Warehouse] Unexpected response from server during a HTTP connection: the "
         "connection was reset by the peer.",
         true},
        {"HY000", "Warehouse storage failure: disk full.", false},
        {"HYT00", "query timeout expired", false},
        {"40001", "serialization failure", false},
        {"22003", "out of range", false},
        {"54000", "[STATEMENT_TOO_LARGE]", false},
        {"", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StatementError(c.state, 0, c.message, true).isLinkFailure(), c.link) << c.state;
}

}  // namespace

// The verdicts recovery and connecting read from one refusal: one row per
// SQLSTATE and message, every rule's answer.
struct Verdicts {
    std::string state;
    std::string message;
    bool connectionLost, missingTable, missingColumn, dataRefused, nameTaken, tooLarge, linkFailure;
    ConnectFailure connect;
};

TEST(ErrorClassifier, EveryRuleOfOneRefusal) {
    using CF = ConnectFailure;
    const std::vector<Verdicts> table = {
        {"08S01", "link failure", true, false, false, false, false, false, true, CF::Transient},
        {"08001", "", false, false, false, false, false, false, true, CF::Transient},
        {"08003", "connection does not exist", true, false, false, false, false, false, true,
         CF::Unknown},
        {"28000", "invalid authorization", false, false, false, false, false, false, false,
         CF::RefusedForGood},
        {"28P01", "password", false, false, false, false, false, false, false, CF::RefusedForGood},
        {"3F000", "no such schema", false, false, false, false, false, false, false,
         CF::RefusedForGood},
        {"3D000", "no such catalog", false, false, false, false, false, false, false,
         CF::RefusedForGood},
        {"42000", "refused", false, false, false, false, false, false, false, CF::RefusedForGood},
        {"HY000", "host unreachable", false, false, false, false, false, false, false, CF::Unknown},
        {"IM002", "data source name not found", false, false, false, false, false, false, false,
         CF::Unknown},
        {"IM012", "DRIVER keyword syntax error", false, false, false, false, false, false, false,
         CF::RefusedForGood},
        {"42P01", "[TABLE_OR_VIEW_NOT_FOUND] t", false, true, false, false, false, false, false,
         CF::Unknown},
        {"42S02", "no such table", false, true, false, false, false, false, false, CF::Unknown},
        {"HY000", "[TABLE_OR_VIEW_NOT_FOUND] t", false, true, false, false, false, false, false,
         CF::Unknown},
        {"42703", "[UNRESOLVED_COLUMN] c", false, false, true, false, false, false, false,
         CF::Unknown},
        {"42S22", "no such column", false, false, true, false, false, false, false, CF::Unknown},
        {"HY000", "Unknown column 'c'", false, false, true, false, false, false, false,
         CF::Unknown},
        {"22003", "out of range", false, false, false, true, false, false, false, CF::Unknown},
        {"23502", "not null", false, false, false, true, false, false, false, CF::Unknown},
        {"42804", "datatype mismatch", false, false, false, true, false, false, false, CF::Unknown},
        {"42000", "[INCOMPATIBLE_TYPES_IN_INLINE_TABLE]", false, false, false, true, false, false,
         false, CF::RefusedForGood},
        {"42P07", "exists", false, false, false, false, true, false, false, CF::Unknown},
        {"42711", "exists", false, false, false, false, true, false, false, CF::Unknown},
        {"54000", "[STATEMENT_TOO_LARGE]", false, false, false, false, false, true, false,
         CF::Unknown},
        {"HY000", "[STATEMENT_TOO_LARGE] too long", false, false, false, false, false, true, false,
         CF::Unknown},
        {"HYT01", "connection timeout", true, false, false, false, false, false, true, CF::Unknown},
        {"08007", "failure during transaction", true, false, false, false, false, false, true,
         CF::Unknown},
        {"HY000", "Unexpected response from server during a HTTP connection: reset", false, false,
         false, false, false, false, true, CF::Unknown},
    };
    for (const Verdicts& v : table) {
        SCOPED_TRACE(v.state + " " + v.message);
        EXPECT_EQ(isConnectionLost(v.state), v.connectionLost);
        EXPECT_EQ(isMissingTable(v.state, v.message), v.missingTable);
        EXPECT_EQ(isMissingColumn(v.state, v.message), v.missingColumn);
        EXPECT_EQ(isDataRefusal(v.state, v.message), v.dataRefused);
        EXPECT_EQ(isNameTaken(v.state), v.nameTaken);
        EXPECT_EQ(isStatementTooLarge(v.state, v.message), v.tooLarge);
        EXPECT_EQ(isLinkFailure(v.state, v.message), v.linkFailure);
        EXPECT_EQ(classifyConnectError(v.state), v.connect);
        const RetryVerdict verdict = classifyExecutionError(v.state, v.message);
        // A schema step is refused for good when it is not worth retrying,
        // unless another writer just took the name.
        EXPECT_EQ(isRefusedForGood(v.state, verdict.retriable), !verdict.retriable && !v.nameTaken);
    }
    for (const char* state : {"21S01", "42826"})
        EXPECT_TRUE(isColumnCountMismatch(state, "")) << state;
    EXPECT_TRUE(isColumnCountMismatch("HY000", "[NUM_COLUMNS_MISMATCH] EXCEPT ALL"));
    EXPECT_FALSE(isColumnCountMismatch("42703", "[UNRESOLVED_COLUMN] c"));
    EXPECT_TRUE(isDataTruncated("01004"));
    EXPECT_FALSE(isDataTruncated("01000"));
}
