#pragma once
// The kinds of database product an ODBC connection can lead to, and the
// vocabulary around them: product name to kind, kind to display name, kind to
// the keyword that limits the number of rows. Pure functions; thread-safe.

#include <cstdint>
#include <string>

enum class DatabaseType : int32_t {
    UNKNOWN = 0,
    SQLSERVER = 1,
    MYSQL = 2,
    POSTGRESQL = 3,
    ORACLE = 4,
    DB2 = 5,
    SQLITE = 6,
    MARIADB = 7,
    SYBASE = 8,
    INFORMIX = 9
};

// Display name ("SQLServer", "MySQL", ...); "Unknown" for any other value.
std::string databaseTypeToString(DatabaseType type);
// Whole-text, case-insensitive match of a product name; UNKNOWN (with a
// warning) for anything else.
DatabaseType stringToDatabaseType(const std::string& name);
// Row-limit keyword ("LIMIT", "TOP", ...); "LIMIT" for any other value.
std::string getPaginationSyntax(DatabaseType type);
