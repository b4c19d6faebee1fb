// The pieces that keep names equal but for letter case from stopping the
// pipeline, one by one: renaming a record's column in place, the schema
// cache's case-insensitive lookup, learning a table's columns again after
// another writer changed it, and the mapper folding such datapoint names into
// one column (also for a batch that reuses a reading's column list).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "mock_odbc_client.h"
#include "reading.h"
#include "reading_mapper.h"
#include "readings.h"
#include "schema_fixture.h"
#include "schema_manager.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::NiceMock;
using Names = std::vector<std::string>;

namespace {

DatabaseRecord record(const Names& names) {
    DatabaseRecord r("pump");
    for (size_t i = 0; i < names.size(); ++i)
        r.addColumn(names[i], "v" + std::to_string(i), "BIGINT", CONSTRAINT_NULLABLE);
    return r;
}

}  // namespace

TEST(RecordRename, KeepsPlaceValueTypeAndConstraint) {
    DatabaseRecord r = record({"a", "Temp", "c"});
    ASSERT_TRUE(r.renameColumn(1, "temp"));
    EXPECT_EQ(r.getColumnNames(), (Names{"a", "temp", "c"}));
    EXPECT_EQ(r.getValue("temp"), "v1");
    EXPECT_EQ(r.getSQLType("temp"), "BIGINT");
    EXPECT_EQ(r.getConstraints("temp"), CONSTRAINT_NULLABLE);
    EXPECT_FALSE(r.hasColumn("Temp"));
    EXPECT_EQ(r.findColumn("temp"), 1);
    // The same name again changes nothing; a name another column has, or a
    // position beyond the record, is refused.
    EXPECT_TRUE(r.renameColumn(1, "temp"));
    EXPECT_FALSE(r.renameColumn(1, "a"));
    EXPECT_FALSE(r.renameColumn(3, "z"));
    EXPECT_EQ(r.getColumnNames(), (Names{"a", "temp", "c"}));
}

TEST(RecordRename, ARecordSharingItsColumnsRenamesOnlyItsOwn) {
    DatabaseRecord first = record({"a", "Temp"});
    DatabaseRecord second("pump", first);
    ASSERT_TRUE(second.renameColumn(1, "temp"));
    EXPECT_EQ(first.getColumnNames(), (Names{"a", "Temp"}));
    EXPECT_EQ(second.getColumnNames(), (Names{"a", "temp"}));
}

TEST(SchemaCaseLookup, FindsTheCachedSpellingIgnoringCase) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("pump", record({"asset_code", "Temperature"})));
    const std::string* found = m.manager.findCachedColumnIgnoringCase("pump", "TEMPERATURE");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, "Temperature");
    EXPECT_EQ(m.manager.findCachedColumnIgnoringCase("pump", "pressure"), nullptr);
    EXPECT_EQ(m.manager.findCachedColumnIgnoringCase("valve", "temperature"), nullptr);
    // Only ASCII letters fold, as in the warehouse.
    ASSERT_TRUE(m.manager.createTable("dial", record({"\xC3\x84pfel"})));
    EXPECT_EQ(m.manager.findCachedColumnIgnoringCase("dial", "\xC3\xA4pfel"), nullptr);
}

TEST(SchemaLearnColumns, AppendsOnlyWhatTheCacheLacks) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("pump", record({"asset_code", "temp"})));
    m.statements.clear();
    m.infoRows = {
        {"asset_code", "STRING"}, {"TEMP", "DOUBLE"}, {"pressure", "DOUBLE"}, {"note", "STRING"}};
    EXPECT_TRUE(m.manager.learnColumns("pump"));
    ASSERT_EQ(m.statements.size(), 1u);
    EXPECT_THAT(m.statements[0], ::testing::HasSubstr("table_name = 'pump'"));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{"asset_code", "BIGINT"},
                                                              {"temp", "BIGINT"},
                                                              {"pressure", "DOUBLE"},
                                                              {"note", "VARCHAR(256)"}}));
    // Nothing new: false, and the cache is as it was.
    EXPECT_FALSE(m.manager.learnColumns("pump"));
    EXPECT_EQ(m.manager.getCachedSchema("pump").size(), 4u);
}

TEST(SchemaLearnColumns, CreatesTheEntryOfATableNotCachedYet) {
    MockedSchemaManager m;
    EXPECT_FALSE(m.manager.learnColumns("pump"));  // the warehouse has no such table
    EXPECT_EQ(m.manager.findCachedTable("pump"), nullptr);
    m.infoRows = {{"asset_code", "STRING"}};
    EXPECT_TRUE(m.manager.learnColumns("pump"));
    EXPECT_EQ(m.manager.getCachedSchema("pump"), (TableSchema{{"asset_code", "VARCHAR(256)"}}));
}

TEST(SchemaLearnColumns, StatementFailuresPassThroughWithTheCacheUnchanged) {
    MockedSchemaManager m;
    ASSERT_TRUE(m.manager.createTable("pump", record({"asset_code"})));
    m.failOn = "information_schema";
    EXPECT_THROW(m.manager.learnColumns("pump"), std::runtime_error);
    EXPECT_EQ(m.manager.getCachedSchema("pump").size(), 1u);
}

TEST(MapperCaseFolding, NamesEqualButForCaseAreOneColumnInEveryRecordOfABatch) {
    DatabricksSQLBuilder builder;
    ReadingMapper mapper("edge", &builder);
    Batch batch;
    for (int i = 0; i < 3; ++i) {
        Reading& r = batch.add("pump", 1767225600000000ULL + static_cast<uint64_t>(i));
        r.addDatapoint(intPoint("Temp", i));
        r.addDatapoint(intPoint("pressure", 10 + i));
        r.addDatapoint(intPoint("TEMP", 100 + i));
        r.addDatapoint(intPoint("", 1000 + i));
        r.addDatapoint(textPoint("Corvane", "elsewhere"));
        r.addDatapoint(textPoint("dp_CORVANE", "later"));
    }
    const std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    ASSERT_EQ(records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const DatabaseRecord& r = records[static_cast<size_t>(i)];
        EXPECT_EQ(r.getColumnNames(), (Names{"asset_code", "user_ts", "ts", "corvane", "Temp",
                                             "pressure", "_", "dp_Corvane"}));
        EXPECT_EQ(r.getValue("Temp"), std::to_string(100 + i));
        EXPECT_EQ(r.getValue("_"), std::to_string(1000 + i));
        // A fixed column's name is reserved: the datapoint gets a column of
        // its own, which a later spelling of that column's name folds into.
        EXPECT_EQ(r.getValue("corvane"), "edge");
        EXPECT_EQ(r.getValue("dp_Corvane"), "later");
        EXPECT_EQ(r.readingIndex(), static_cast<size_t>(i));
    }
    // Names without capitals never fold into each other unless equal.
    auto plain = std::make_unique<Reading>("pump", std::vector<Datapoint*>{});
    plain->addDatapoint(intPoint("temp", 1));
    plain->addDatapoint(intPoint("temp_2", 2));
    EXPECT_EQ(mapper.mapReadingToRecord(plain.get()).getColumnNames().size(), 6u);
}

TEST(MapperCaseFolding, LongColumnNamesAreCutAndStillFoldIntoOne) {
    DatabricksSQLBuilder builder;
    ReadingMapper mapper("edge", &builder);
    // Two-byte characters behind two ASCII letters: byte 255 is the second
    // byte of a character, so the cut steps back before that character.
    std::string umlauts;
    while (umlauts.size() < 299)
        umlauts += "\xC3\xA4";
    Batch batch;
    Reading& r = batch.add("pump", 1767225600000000ULL);
    r.addDatapoint(intPoint("ab" + umlauts, 1));
    r.addDatapoint(intPoint("AB" + umlauts + "tail", 2));
    const std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords(batch.pointers());
    ASSERT_EQ(records.size(), 1u);
    const std::string cut = "ab" + umlauts.substr(0, 252);
    ASSERT_EQ(records[0].columnCount(), 5u);
    EXPECT_EQ(records[0].getColumnNames()[4], cut);
    EXPECT_EQ(cut.size(), 254u);
    EXPECT_EQ(records[0].getValue(cut), "2");
}
