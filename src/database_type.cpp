#include "database_type.h"

#include "logger.h"
#include "text_util.h"

namespace {

struct ProductName {
    const char* name;
    DatabaseType type;
};

// Every product name recognised, lower case, whole text.
const ProductName kProductNames[] = {
    {"sqlserver", DatabaseType::SQLSERVER},
    {"sql server", DatabaseType::SQLSERVER},
    {"microsoft sql server", DatabaseType::SQLSERVER},
    {"mysql", DatabaseType::MYSQL},
    {"postgresql", DatabaseType::POSTGRESQL},
    {"postgres", DatabaseType::POSTGRESQL},
    {"oracle", DatabaseType::ORACLE},
    {"db2", DatabaseType::DB2},
    {"sqlite", DatabaseType::SQLITE},
    {"mariadb", DatabaseType::MARIADB},
    {"sybase", DatabaseType::SYBASE},
    {"adaptive server", DatabaseType::SYBASE},
    {"informix", DatabaseType::INFORMIX},
};

}  // namespace

std::string databaseTypeToString(DatabaseType type) {
    switch (type) {
        case DatabaseType::UNKNOWN:
            return "Unknown";
        case DatabaseType::SQLSERVER:
            return "SQLServer";
        case DatabaseType::MYSQL:
            return "MySQL";
        case DatabaseType::POSTGRESQL:
            return "PostgreSQL";
        case DatabaseType::ORACLE:
            return "Oracle";
        case DatabaseType::DB2:
            return "DB2";
        case DatabaseType::SQLITE:
            return "SQLite";
        case DatabaseType::MARIADB:
            return "MariaDB";
        case DatabaseType::SYBASE:
            return "Sybase";
        case DatabaseType::INFORMIX:
            return "Informix";
    }
    return "Unknown";
}

DatabaseType stringToDatabaseType(const std::string& name) {
    const std::string lower = foldAsciiCase(name);
    for (const ProductName& product : kProductNames) {
        if (lower == product.name)
            return product.type;
    }
    Logger::getLogger()->warn("Unknown database type string: %s", name.c_str());
    return DatabaseType::UNKNOWN;
}

std::string getPaginationSyntax(DatabaseType type) {
    switch (type) {
        case DatabaseType::SQLSERVER:
        case DatabaseType::SYBASE:
            return "TOP";
        case DatabaseType::ORACLE:
            return "ROWNUM";
        case DatabaseType::DB2:
            return "FETCH FIRST";
        case DatabaseType::INFORMIX:
            return "FIRST";
        case DatabaseType::UNKNOWN:
        case DatabaseType::MYSQL:
        case DatabaseType::POSTGRESQL:
        case DatabaseType::SQLITE:
        case DatabaseType::MARIADB:
            return "LIMIT";
    }
    return "LIMIT";
}
