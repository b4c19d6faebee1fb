#pragma once
// What every ODBC entry point of the driver shares: finding the driver's own
// handle behind an ODBC handle, running an entry point's work with its
// diagnostics cleared and every exception turned into a diagnostic record and
// SQL_ERROR, usage errors, and copying texts into application buffers. The
// handles stay owned by the driver manager; nothing here keeps state.

#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <new>
#include <string>

#include "diagnostics.h"
#include "handles.h"

namespace whemu {

template <typename T>
inline T* handleOf(SQLHANDLE handle, SQLSMALLINT type) {
    Handle* h = static_cast<Handle*>(handle);
    if (!h || h->magic != kHandleMagic || h->type != type)
        return nullptr;
    return static_cast<T*>(h);
}

inline Handle* anyHandle(SQLSMALLINT type, SQLHANDLE handle) {
    switch (type) {
        case SQL_HANDLE_ENV:
            return handleOf<Environment>(handle, type);
        case SQL_HANDLE_DBC:
            return handleOf<Connection>(handle, type);
        case SQL_HANDLE_STMT:
            return handleOf<StatementHandle>(handle, type);
        default:
            return nullptr;
    }
}

// Runs `body` for `handle`: diagnostics cleared first, exceptions posted.
template <typename F>
inline SQLRETURN guarded(Handle* handle, F&& body) {
    if (!handle)
        return SQL_INVALID_HANDLE;
    handle->clearDiagnostics();
    SQLRETURN rc;
    try {
        rc = body();
    } catch (const WarehouseError& e) {
        handle->post(e.diag());
        rc = SQL_ERROR;
    } catch (const std::bad_alloc&) {
        handle->post("HY001", kNativeDriver, "Memory allocation error.");
        rc = SQL_ERROR;
    } catch (const std::exception& e) {
        handle->post("HY000", kNativeDriver, std::string("Internal error: ") + e.what());
        rc = SQL_ERROR;
    } catch (...) {
        handle->post("HY000", kNativeDriver, "Internal error.");
        rc = SQL_ERROR;
    }
    handle->lastReturn = rc;
    return rc;
}

[[noreturn]] inline void usage(const char* state, const std::string& message) {
    fail(state, kNativeDriver, message);
}

// Copies a text into an application buffer of `capacity` bytes (terminating
// zero included) and reports the full length. Returns true when it was cut.
template <typename Length>
inline bool copyText(const std::string& text, void* buffer, SQLLEN capacity, Length* length) {
    if (length)
        *length = static_cast<Length>(text.size());
    if (!buffer || capacity <= 0)
        return !text.empty();
    const size_t room = static_cast<size_t>(capacity) - 1;
    const size_t n = text.size() < room ? text.size() : room;
    std::memcpy(buffer, text.data(), n);
    static_cast<char*>(buffer)[n] = '\0';
    return n < text.size();
}

inline SQLRETURN textResult(Handle* handle, const std::string& text, void* buffer, SQLLEN capacity,
                            SQLSMALLINT* length) {
    if (capacity < 0)
        usage("HY090", "Invalid string or buffer length.");
    if (copyText(text, buffer, capacity, length)) {
        handle->post("01004", kNativeDriver, "String data, right truncated.");
        return SQL_SUCCESS_WITH_INFO;
    }
    return SQL_SUCCESS;
}

inline StatementHandle* statementOf(SQLHSTMT handle) {
    return handleOf<StatementHandle>(handle, SQL_HANDLE_STMT);
}

inline const ResultSet& resultOf(StatementHandle* stmt) {
    if (!stmt->executed || !stmt->outcome.hasResultSet)
        usage("24000", "Invalid cursor state: no result set.");
    return stmt->outcome.result;
}

}  // namespace whemu
