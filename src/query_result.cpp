#include "query_result.h"

#include <utility>

#include "error_classifier.h"

namespace {
const char kExecuteFailed[] = "Failed to execute query.";
}  // namespace

const char* odbcStatusName(int status) {
    switch (status) {
        case CORVANE_ODBC_SUCCESS:
            return "CORVANE_ODBC_SUCCESS";
        case CORVANE_ODBC_EAGAIN:
            return "CORVANE_ODBC_EAGAIN";
        case CORVANE_ODBC_FAILED:
            return "CORVANE_ODBC_FAILED";
        case CORVANE_ODBC_NOTCONNECTED:
            return "CORVANE_ODBC_NOTCONNECTED";
        default:
            return "CORVANE_ODBC_UNKNOWN";
    }
}

StatementError::StatementError(std::string sqlState, int nativeError, std::string message,
                               bool retriable)
    : std::runtime_error(kExecuteFailed),
      state(std::move(sqlState)),
      native(nativeError),
      text(std::move(message)),
      canRetry(retriable) {}

std::string StatementError::describe() const {
    return "SQLSTATE=" + state + ", NativeError=" + std::to_string(native) + ", Message=" + text;
}

bool StatementError::isDataRefusal() const {
    return ::isDataRefusal(state, text);
}

bool StatementError::isTooLarge() const {
    return isStatementTooLarge(state, text);
}

bool StatementError::isLinkFailure() const {
    return ::isLinkFailure(state, text);
}

bool StatementError::isMissingObject() const {
    return isMissingTable(state, text) || isMissingColumn(state, text) ||
           isColumnCountMismatch(state, text);
}
