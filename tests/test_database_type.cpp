// The database-type vocabulary: product name to kind, kind to display name and
// row-limit keyword, and the client's cache as seen before any connection.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "database_type.h"
#include "log_capture.h"
#include "odbc_client.h"

namespace {

struct NameCase {
    std::string name;
    DatabaseType expected;
};

class StringToDatabaseType : public ::testing::TestWithParam<NameCase> {};

TEST_P(StringToDatabaseType, MapsWholeNamesCaseInsensitively) {
    const NameCase& c = GetParam();
    LogCapture log;
    EXPECT_EQ(stringToDatabaseType(c.name), c.expected) << "name: [" << c.name << "]";
    // An unknown name is warned about as given, not lower-cased.
    std::vector<std::string> warnings;
    if (c.expected == DatabaseType::UNKNOWN)
        warnings.push_back("Unknown database type string: " + c.name);
    EXPECT_EQ(log.at(Logger::Level::WARNING), warnings);
}

INSTANTIATE_TEST_SUITE_P(
    RecognisedNames, StringToDatabaseType,
    ::testing::Values(
        NameCase{"sqlserver", DatabaseType::SQLSERVER},
        NameCase{"SQL Server", DatabaseType::SQLSERVER},
        NameCase{"Microsoft SQL Server", DatabaseType::SQLSERVER},
        NameCase{"MySQL", DatabaseType::MYSQL}, NameCase{"PostgreSQL", DatabaseType::POSTGRESQL},
        NameCase{"POSTGRES", DatabaseType::POSTGRESQL}, NameCase{"Oracle", DatabaseType::ORACLE},
        NameCase{"DB2", DatabaseType::DB2}, NameCase{"SQLite", DatabaseType::SQLITE},
        NameCase{"mariadb", DatabaseType::MARIADB}, NameCase{"MariaDB", DatabaseType::MARIADB},
        NameCase{"Sybase", DatabaseType::SYBASE}, NameCase{"Adaptive Server", DatabaseType::SYBASE},
        NameCase{"INFORMIX", DatabaseType::INFORMIX}));

INSTANTIATE_TEST_SUITE_P(
    UnrecognisedNames, StringToDatabaseType,
    ::testing::Values(
        NameCase{"", DatabaseType::UNKNOWN}, NameCase{"MySQL 8.0", DatabaseType::UNKNOWN},
        NameCase{"Microsoft SQL Server 2019", DatabaseType::UNKNOWN},
        NameCase{" mysql", DatabaseType::UNKNOWN}, NameCase{"mysql ", DatabaseType::UNKNOWN},
        NameCase{"my", DatabaseType::UNKNOWN}, NameCase{"postgre", DatabaseType::UNKNOWN},
        NameCase{"Spark SQL", DatabaseType::UNKNOWN}, NameCase{"Unknown", DatabaseType::UNKNOWN},
        // Bytes above 127 must not upset the lower-casing.
        NameCase{"MYSQL\xC9", DatabaseType::UNKNOWN},
        NameCase{"\xFF\x80sqlite", DatabaseType::UNKNOWN}));

struct TypeCase {
    int value;
    const char* displayName;
    const char* rowLimit;
};

class DatabaseTypeTable : public ::testing::TestWithParam<TypeCase> {};

TEST_P(DatabaseTypeTable, DisplayNameAndRowLimitKeyword) {
    const TypeCase& c = GetParam();
    const DatabaseType type = static_cast<DatabaseType>(c.value);
    EXPECT_EQ(databaseTypeToString(type), c.displayName);
    EXPECT_EQ(getPaginationSyntax(type), c.rowLimit);
}

INSTANTIATE_TEST_SUITE_P(
    EveryValue, DatabaseTypeTable,
    ::testing::Values(TypeCase{0, "Unknown", "LIMIT"}, TypeCase{1, "SQLServer", "TOP"},
                      TypeCase{2, "MySQL", "LIMIT"}, TypeCase{3, "PostgreSQL", "LIMIT"},
                      TypeCase{4, "Oracle", "ROWNUM"}, TypeCase{5, "DB2", "FETCH FIRST"},
                      TypeCase{6, "SQLite", "LIMIT"}, TypeCase{7, "MariaDB", "LIMIT"},
                      TypeCase{8, "Sybase", "TOP"}, TypeCase{9, "Informix", "FIRST"},
                      TypeCase{10, "Unknown", "LIMIT"}, TypeCase{42, "Unknown", "LIMIT"},
                      TypeCase{-1, "Unknown", "LIMIT"}));

TEST(DatabaseTypeVocabulary, EveryDisplayNameMapsBackToItsType) {
    for (int value = 1; value <= 9; ++value) {
        const DatabaseType type = static_cast<DatabaseType>(value);
        EXPECT_EQ(stringToDatabaseType(databaseTypeToString(type)), type) << value;
    }
}

// The cache as seen on a client that has never connected: no ODBC call is
// made because the client holds no connection handle.
TEST(DatabaseTypeCache, UncachedClientAnswersUnknown) {
    ODBCClient client;
    EXPECT_FALSE(client.isDatabaseTypeCached());
    EXPECT_EQ(client.getDatabaseType(), "Unknown");
    EXPECT_EQ(client.getDatabaseTypeEnum(), DatabaseType::UNKNOWN);
}

TEST(DatabaseTypeCache, CachingWithoutConnectionChangesNothing) {
    ODBCClient client;
    client.cacheDatabaseType();
    EXPECT_FALSE(client.isDatabaseTypeCached());
    EXPECT_EQ(client.getDatabaseType(), "Unknown");
}

TEST(DatabaseTypeCache, ProductNameWithoutConnectionIsUnknown) {
    ODBCClient client;
    EXPECT_EQ(client.getDatabaseProductName(), "Unknown");
    EXPECT_FALSE(client.isDatabaseTypeCached());
}

}  // namespace
