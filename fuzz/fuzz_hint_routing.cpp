// Fuzz target: hint parsing and table routing, and the record a reading
// becomes.
//
// Input: an asset code, a few datapoint names and a hint text (sent as a text
// datapoint, or as the "tablename" member of a dictionary hint). Oracle:
//   - the routed table is the asset code, unless the hint names a table whose
//     name stays non-empty under the warehouse's table rules: a dictionary
//     hint names its "tablename" text as it is; a text hint names the first
//     "tablename" member of the JSON object it holds, escapes decoded, when
//     that member is a string. This reference reads the JSON with a SAX
//     handler, not the plugin's document;
//   - the record's table is that name under the warehouse's table rules, and
//     holds no refused byte, at most 255 bytes, and stays valid UTF-8;
//   - its columns start with the four fixed ones, which keep the reading's
//     asset code; the others hold no refused byte, are never empty, never
//     longer than 255 bytes, never a fixed column's name and never equal each
//     other ignoring letter case;
//   - grouping keeps every record with a table, in ascending name order.

#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "databricks_sql_builder.h"
#include "datapoint.h"
#include "fuzz_support.h"
#include "reading.h"
#include "reading_mapper.h"

using fuzzsupport::lowerAscii;

namespace {

// Finds the first member named "tablename" of a root object, with its kind.
struct FirstTableName : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FirstTableName> {
    int depth = 0;
    bool rootIsObject = false;
    bool started = false;
    bool nextIsTableName = false;
    bool found = false;
    bool isString = false;
    std::string name;

    bool value(bool string, const char* text, size_t length) {
        if (!started) {
            started = true;
            return true;
        }
        if (nextIsTableName && depth == 1) {
            nextIsTableName = false;
            found = true;
            isString = string;
            if (string)
                name.assign(text, length);
        }
        return true;
    }
    bool Default() { return value(false, nullptr, 0); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        return value(true, text, length);
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (depth == 1 && !found && length == 9 && std::memcmp(text, "tablename", 9) == 0)
            nextIsTableName = true;
        return true;
    }
    bool StartObject() {
        if (!started)
            rootIsObject = true;
        value(false, nullptr, 0);
        ++depth;
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth;
        return true;
    }
    bool StartArray() {
        value(false, nullptr, 0);
        ++depth;
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth;
        return true;
    }
};

std::string expectedRoute(const std::string& asset, const std::string& hint, bool dictHint) {
    std::string name;
    if (dictHint) {
        name = hint;
    } else {
        rapidjson::MemoryStream stream(hint.data(), hint.size());
        FirstTableName handler;
        rapidjson::Reader reader;
        if (reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler).IsError())
            return asset;
        if (!handler.rootIsObject || !handler.found || !handler.isString)
            return asset;
        name = handler.name;
    }
    return fuzzsupport::tableFor(name).empty() ? asset : name;
}

bool reservedName(const std::string& column) {
    const std::string folded = lowerAscii(column);
    return folded == "asset_code" || folded == "user_ts" || folded == "ts" || folded == "corvane" ||
           folded == "_rescued_data";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::quietLogger();
    static DatabricksSQLBuilder builder;
    static ReadingMapper mapper("fuzz-instance", &builder);

    FuzzedDataProvider in(data, size);
    const std::string asset = in.ConsumeRandomLengthString(400);
    const bool dictHint = in.ConsumeBool();
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 6);
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i)
        names.push_back(in.ConsumeRandomLengthString(40));
    const std::string hint = in.ConsumeRemainingBytesAsString();

    Reading reading(asset, std::vector<Datapoint*>{});
    if (dictHint) {
        DatapointValue tableName(hint);
        std::vector<Datapoint*> members{new Datapoint("tablename", tableName)};
        DatapointValue object(std::move(members), true);
        reading.addDatapoint(new Datapoint("databricksHint", object));
    } else {
        DatapointValue text(hint);
        reading.addDatapoint(new Datapoint("databricksHint", text));
    }
    for (size_t i = 0; i < names.size(); ++i) {
        DatapointValue value(static_cast<long>(i));
        reading.addDatapoint(new Datapoint(names[i], value));
    }

    const std::string routed = mapper.extractTableName(&reading);
    FUZZ_CHECK(routed == expectedRoute(asset, hint, dictHint),
               "routing differs from the reference");

    DatabaseRecord record = mapper.mapReadingToRecord(&reading);
    const std::string table = record.getTableName();
    if (routed.empty()) {
        FUZZ_CHECK(table.empty(), "a record for an empty table name");
        return 0;
    }
    FUZZ_CHECK(table == fuzzsupport::tableFor(routed), "table name differs from the rules");
    FUZZ_CHECK(!table.empty() && table.size() <= 255, "table name length");
    for (char c : table)
        FUZZ_CHECK(!fuzzsupport::refusedInTable(static_cast<unsigned char>(c)), "refused byte");
    if (fuzzsupport::validUtf8(routed))
        FUZZ_CHECK(fuzzsupport::validUtf8(table), "the cut split a UTF-8 character");

    const std::vector<std::string>& columns = record.getColumnNames();
    FUZZ_CHECK(columns.size() >= 4, "fixed columns missing");
    FUZZ_CHECK(columns[0] == "asset_code" && columns[1] == "user_ts" && columns[2] == "ts" &&
                   columns[3] == "corvane",
               "fixed columns out of place");
    std::set<std::string> folded;
    for (size_t i = 0; i < columns.size(); ++i) {
        const std::string& column = columns[i];
        FUZZ_CHECK(!column.empty() && column.size() <= 255, "column name length");
        FUZZ_CHECK(i < 4 || !reservedName(column), "a datapoint took a fixed column's name");
        for (char c : column)
            FUZZ_CHECK(!fuzzsupport::refusedInColumn(static_cast<unsigned char>(c)),
                       "refused byte in a column name");
        FUZZ_CHECK(folded.insert(lowerAscii(column)).second, "columns equal ignoring case");
    }
    FUZZ_CHECK(record.getValue("asset_code") == asset, "asset_code not kept as sent");
    FUZZ_CHECK(record.getValue("corvane") == "fuzz-instance", "corvane overwritten");

    // A batch maps each reading as mapping it alone does, also when a reading
    // of the same shape comes before it.
    std::vector<DatabaseRecord> records = mapper.mapReadingsToRecords({&reading, &reading});
    FUZZ_CHECK(records.size() == 2, "batch lost a record");
    for (size_t index = 0; index < records.size(); ++index) {
        const DatabaseRecord& mapped = records[index];
        FUZZ_CHECK(mapped.readingIndex() == index, "record lost its reading's index");
        FUZZ_CHECK(mapped.getTableName() == table, "batch routes differently");
        FUZZ_CHECK(mapped.getColumnNames() == columns, "batch names columns differently");
        FUZZ_CHECK(mapped.getValues() == record.getValues(), "batch gives other values");
        for (size_t i = 0; i < columns.size(); ++i) {
            FUZZ_CHECK(mapped.sqlTypeAt(i) == record.sqlTypeAt(i) &&
                           mapped.constraintAt(i) == record.constraintAt(i),
                       "batch gives other types");
        }
    }
    TableGroups groups = mapper.groupRecordsByTable(records);
    FUZZ_CHECK(
        groups.size() == 1 && groups.begin()->first == table && groups.begin()->second.size() == 2,
        "grouping lost a record");
    return 0;
}
