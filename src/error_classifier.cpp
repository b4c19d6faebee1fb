#include "error_classifier.h"

#include <initializer_list>
#include <optional>

#include "text_util.h"

namespace {

bool isOneOf(const std::string& value, std::initializer_list<const char*> candidates) {
    for (const char* candidate : candidates) {
        if (value == candidate)
            return true;
    }
    return false;
}

bool hasClass(const std::string& state, const char* prefix) {
    return state.size() == 5 && state.compare(0, 2, prefix) == 0;
}

bool contains(const std::string& text, const char* fragment) {
    return text.find(fragment) != std::string::npos;
}

// The SQLSTATE rules of a failed statement; nothing when none matches.
std::optional<RetryVerdict> classifyState(const std::string& state) {
    if (state.size() != 5)
        return std::nullopt;
    if (isOneOf(state, {"08S01", "08001", "08004", "HYT00", "HYT01", "08S02"}))
        return RetryVerdict{true, RetryClass::NetworkOrConnection};
    if (isOneOf(state, {"57014", "40001", "40P01"}))
        return RetryVerdict{true, RetryClass::TemporaryResource};
    // Syntax, name and value errors, as the warehouse reports them too: the
    // same statement fails the same way again. Class 22 (data exception), 23
    // (constraint violation) and 54 (a limit exceeded: too many columns, a
    // statement too large) as a whole.
    if (hasClass(state, "22") || hasClass(state, "23") || hasClass(state, "54") ||
        isOneOf(state, {"0A000", "42000", "42S02", "42S22", "42703", "28000", "42501", "42601",
                        "42P01", "42P07", "42711", "42702", "42804"}))
        return RetryVerdict{false, RetryClass::SyntaxOrConfiguration};
    // Rows of another number of values than the table has columns: the
    // table is read anew (isColumnCountMismatch).
    if (isOneOf(state, {"21S01", "42826"}))
        return RetryVerdict{false, RetryClass::SyntaxOrConfiguration};
    return std::nullopt;
}

}  // namespace

RetryVerdict classifyExecutionError(const std::string& state, const std::string& message) {
    if (const std::optional<RetryVerdict> verdict = classifyState(state))
        return *verdict;
    if (contains(message, "column") &&
        (contains(message, "does not exist") || contains(message, "ambiguous")))
        return {false, RetryClass::ColumnIssue};
    if (contains(message, "table") && contains(message, "does not exist"))
        return {false, RetryClass::TableIssue};
    return {true, RetryClass::Unknown};
}

const char* retryClassFormat(RetryClass why) {
    switch (why) {
        case RetryClass::NetworkOrConnection:
            return "Error classified as retriable (network/connection): %s";
        case RetryClass::TemporaryResource:
            return "Error classified as retriable (temporary resource): %s";
        case RetryClass::SyntaxOrConfiguration:
            return "Error classified as non-retriable (syntax/configuration): %s";
        case RetryClass::ColumnIssue:
            return "Error classified as non-retriable (column issue): %s";
        case RetryClass::TableIssue:
            return "Error classified as non-retriable (table issue): %s";
        case RetryClass::Unknown:
            break;
    }
    return "Error classified as retriable (unknown): %s";
}

bool retryClassNamesMessage(RetryClass why) {
    return why == RetryClass::ColumnIssue || why == RetryClass::TableIssue;
}

ConnectFailure classifyConnectError(const std::string& state) {
    if (isOneOf(state, {"08S01", "08001", "08004"}))
        return ConnectFailure::Transient;
    // Invalid authorization (class 28), an unknown catalog or schema, a
    // refused configuration, a connection string the driver manager cannot
    // read (no driver named, a name too long, a DRIVER keyword it cannot
    // parse): the same settings are refused again. A driver or data source
    // not found (IM002) is retried: installing it needs no new settings.
    if (hasClass(state, "28") ||
        isOneOf(state, {"3D000", "3F000", "42000", "IM007", "IM010", "IM011", "IM012"}))
        return ConnectFailure::RefusedForGood;
    return ConnectFailure::Unknown;
}

const char* connectRemedy(const std::string& state) {
    if (hasClass(state, "28"))
        return "check the user and password (or access token) settings";
    if (state == "3F000")
        return "set schema to a schema name the warehouse accepts";
    if (state == "3D000")
        return "set the catalog in additionalParams to one the warehouse has";
    if (state.size() == 5 && state.compare(0, 2, "IM") == 0)
        return "check the driver and the other keys of additionalParams";
    return "check the server, port and additionalParams settings";
}

bool isDataTruncated(const std::string& state) {
    return state == "01004";
}

bool isConnectionLost(const std::string& state) {
    return isOneOf(state, {"08S01", "08S02", "08003", "08007", "HYT01"});
}

bool isMissingTable(const std::string& state, const std::string& message) {
    return state == "42P01" || state == "42S02" || contains(message, "TABLE_OR_VIEW_NOT_FOUND");
}

bool isMissingColumn(const std::string& state, const std::string& message) {
    if (state == "42703" || state == "42S22")
        return true;
    const std::string folded = foldAsciiCase(message);
    return contains(folded, "unresolved_column") || contains(folded, "unknown column") ||
           contains(folded, "no such column");
}

bool isColumnCountMismatch(const std::string& state, const std::string& message) {
    return state == "21S01" || state == "42826" || contains(message, "NUM_COLUMNS_MISMATCH") ||
           contains(message, "INSERT_COLUMN_ARITY_MISMATCH");
}

bool isDataRefusal(const std::string& state, const std::string& message) {
    if (hasClass(state, "22") || hasClass(state, "23") || state == "42804")
        return true;
    return state == "42000" && contains(message, "INCOMPATIBLE_TYPES");
}

bool isStatementTooLarge(const std::string& state, const std::string& message) {
    return state == "54000" || contains(message, "STATEMENT_TOO_LARGE");
}

bool isLinkFailure(const std::string& state, const std::string& message) {
    if (hasClass(state, "08") || state == "HYT01")
        return true;
    // How the warehouse's driver reports a link lost under HTTP.
    return state == "HY000" &&
           contains(message, "Unexpected response from server during a HTTP connection");
}

bool isNameTaken(const std::string& state) {
    return state == "42P07" || state == "42711";
}

bool isRefusedForGood(const std::string& state, bool retriable) {
    return !retriable && !isNameTaken(state);
}
