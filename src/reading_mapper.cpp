#include "reading_mapper.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "datapoint.h"
#include "json_text.h"
#include "logger.h"
#include "number_text.h"
#include "reading.h"
#include "row_layout.h"
#include "sql_builder.h"
#include "text_util.h"

// ---------------------------------------------------------------------------
// ReadingMapper

namespace {

const char kNoBuilderMessage[] = "No SQL builder set - cannot map readings";
const char kNullMarker[] = "null";
const char kTimezoneSuffix[] = "+00:00";
const std::string kAssetCodeColumn = ASSET_CODE_COLUMN;
const std::string kUserTimestampColumn = USER_TS_COLUMN;
const std::string kTimestampColumn = TS_COLUMN;
const std::string kInstanceColumn = INSTANCE_COLUMN;
const std::string kUnnamedColumn = "_";
// Datapoints named like a fixed column get this prefix.
const char kReservedPrefix[] = "dp_";
const char kTableNameMember[] = "tablename";
constexpr size_t kTableNameMemberLength = sizeof(kTableNameMember) - 1;

// The text of a structured value holding NaN or an infinity, which JSON has
// no number for: its JSON with those written as NaN, Infinity and -Infinity.
// Not being JSON, it is never stored as a structured value (which would alter
// it) but kept whole as text.
std::string nonFiniteStructuredText(const DatapointValue& value) {
    std::string text;
    appendDatapointJson(text, value, NonFiniteAs::Words);
    return text;
}

// A reading's timestamp text as the warehouse reads a UTC timestamp.
std::string utcTimestamp(std::string text) {
    text.append(kTimezoneSuffix, sizeof(kTimezoneSuffix) - 1);
    return text;
}

// Returns true iff `column` equals, ignoring ASCII case, the name of a column
// that every row has: the fixed columns and the column of rescued values.
bool isReservedColumn(const std::string& column) {
    for (const char* reserved : FIXED_COLUMNS) {
        if (equalsIgnoringAsciiCase(column, reserved))
            return true;
    }
    return equalsIgnoringAsciiCase(column, RESCUED_DATA_COLUMN);
}

// Returns true iff the hint value names a table, and then stores the name as
// the hint spells it (possibly empty) in *name. A text hint holds JSON,
// decoded as such (escapes included); a dict hint is read directly. In both,
// the first member "tablename" counts, and only when its value is a text.
bool hintedName(const DatapointValue& value, std::string* name) {
    if (value.getType() == DatapointValue::T_DP_DICT) {
        for (const Datapoint* member : *value.getDpVec()) {
            if (member == nullptr || member->getName() != kTableNameMember)
                continue;
            const DatapointValue& memberValue = member->getData();
            if (memberValue.getType() != DatapointValue::T_STRING)
                return false;
            *name = memberValue.toStringValue();
            return true;
        }
        return false;
    }
    if (value.getType() != DatapointValue::T_STRING) {
        Logger::getLogger()->debug("Hint JSON is not an object - using asset code: %s",
                                   value.toString().c_str());
        return false;
    }
    const std::string& text = value.toStringValue();
    // Iterative parsing: a hint nested a million levels deep must not exhaust
    // the stack. The grammar is the same strict one.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (document.HasParseError()) {
        Logger::getLogger()->debug("Invalid hint JSON format: %s", text.c_str());
        return false;
    }
    if (!document.IsObject()) {
        Logger::getLogger()->debug("Hint JSON is not an object - using asset code: %s",
                                   text.c_str());
        return false;
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        if (member->name.GetStringLength() == kTableNameMemberLength &&
            std::memcmp(member->name.GetString(), kTableNameMember, kTableNameMemberLength) == 0) {
            if (!member->value.IsString())
                return false;
            name->assign(member->value.GetString(), member->value.GetStringLength());
            return true;
        }
    }
    return false;
}

// Returns true iff two of the datapoints (the hint and null entries left out)
// have the same name.
bool repeatsName(const std::vector<Datapoint*>& datapoints, const std::string& hintName) {
    constexpr size_t kPairwise = 16;
    if (datapoints.size() <= kPairwise) {
        for (size_t i = 0; i < datapoints.size(); ++i) {
            if (datapoints[i] == nullptr || datapoints[i]->getName() == hintName)
                continue;
            for (size_t j = i + 1; j < datapoints.size(); ++j) {
                if (datapoints[j] != nullptr &&
                    datapoints[j]->getName() == datapoints[i]->getName())
                    return true;
            }
        }
        return false;
    }
    std::vector<const std::string*> names;
    names.reserve(datapoints.size());
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint != nullptr && datapoint->getName() != hintName)
            names.push_back(&datapoint->getName());
    }
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    return std::adjacent_find(
               names.begin(), names.end(),
               [](const std::string* a, const std::string* b) { return *a == *b; }) != names.end();
}

// Writes readings' datapoints as one strict JSON object each, the hint left
// out. A key repeated, at the top or inside a dictionary, keeps its last
// value at its first position. The readings of a batch mostly have the same
// datapoint names: the keys of the last names are kept written out, with
// whether a name repeats, so that a reading of those names costs one compare
// per name besides its values.
class DatapointsObject {
  public:
    explicit DatapointsObject(const std::string& hintName) : hintName(hintName) {}

    // The object of `datapoints`; stores the first datapoint of the hint name
    // in *hint.
    std::string write(const std::vector<Datapoint*>& datapoints, const Datapoint** hint) {
        if (!sameNames(datapoints))
            learnNames(datapoints);
        std::string json;
        json.reserve(lastSize + 16);
        json.push_back('{');
        bool nested = false;
        size_t k = 0;
        for (const Datapoint* datapoint : datapoints) {
            if (datapoint == nullptr)
                continue;
            if (datapoint->getName() == hintName) {
                if (*hint == nullptr)
                    *hint = datapoint;
                continue;
            }
            json.append(keys[k++]);
            const DatapointValue& value = datapoint->getData();
            const auto type = value.getType();
            nested =
                nested || type == DatapointValue::T_DP_DICT || type == DatapointValue::T_DP_LIST;
            appendDatapointJson(json, value, NonFiniteAs::Strings);
        }
        json.push_back('}');
        lastSize = json.size();
        // Only a repeated name or a dictionary can repeat a key: the rest,
        // the usual case, is unique already.
        std::string unique;
        if ((nested || repeats) && uniqueKeyJson(json, &unique))
            return unique;
        return json;
    }

  private:
    // Returns true iff the datapoints, the hint and null entries left out,
    // have the names of the kept keys, in order.
    bool sameNames(const std::vector<Datapoint*>& datapoints) const {
        size_t k = 0;
        for (const Datapoint* datapoint : datapoints) {
            if (datapoint == nullptr || datapoint->getName() == hintName)
                continue;
            if (k == names.size() || datapoint->getName() != names[k])
                return false;
            ++k;
        }
        return k == names.size();
    }

    void learnNames(const std::vector<Datapoint*>& datapoints) {
        names.clear();
        keys.clear();
        for (const Datapoint* datapoint : datapoints) {
            if (datapoint == nullptr || datapoint->getName() == hintName)
                continue;
            names.push_back(datapoint->getName());
            std::string key(names.size() > 1 ? "," : "");
            appendJsonString(key, datapoint->getName());
            key.push_back(':');
            keys.push_back(std::move(key));
        }
        repeats = repeatsName(datapoints, hintName);
    }

    const std::string& hintName;
    std::vector<std::string> names;
    std::vector<std::string> keys;  // per name: a comma but for the first, the name, a colon
    bool repeats = false;
    size_t lastSize = 64;
};

}  // namespace

// Finds, for each new column name of one record, an earlier column whose name
// differs only in ASCII letter case. Two names can only differ so when one of
// them has a capital letter; until the first one does (the fixed columns have
// none), nothing is indexed and a name costs one scan of its bytes.
class ReadingMapper::CaseFolding {
  public:
    // Replaces `column` with the spelling of an earlier column of `record`
    // that equals it ignoring case, if there is one.
    void adopt(const DatabaseRecord& record, std::string& column) {
        if (!active) {
            if (!hasUpperAscii(column))
                return;
            active = true;
            const std::vector<std::string>& names = record.getColumnNames();
            for (const std::string& name : names)
                spelling.emplace(foldAsciiCase(name), name);
        }
        auto [entry, added] = spelling.emplace(foldAsciiCase(column), column);
        if (!added)
            column = entry->second;
    }

  private:
    bool active = false;
    std::unordered_map<std::string, std::string> spelling;  // lower case -> first spelling
};

// A shape is the sequence of (name, kind) of a reading's datapoints, the hint
// datapoint and null entries left out. Mapping depends on nothing else but the
// builder's and the mapper's fixed texts, so two readings of one shape in one
// batch get the same column list: the second reuses the first one's and only
// its values are made. For each datapoint the shape notes the kind, the
// position its value goes to, and the name when the column's name differs
// from it (renamed for the warehouse, or taking an earlier spelling).
struct ReadingMapper::ShapeEntry {
    int tag;
    uint32_t position;
    bool renamed;
    std::string name;  // the datapoint's name, kept only when renamed
};

struct ReadingMapper::BatchContext {
    using Entry = ShapeEntry;
    struct Shape {
        std::vector<Entry> entries;
        DatabaseRecord columns;  // holds the column list, no values
    };
    // More shapes than this in one batch are mapped column by column.
    static constexpr size_t kMaxShapes = 32;

    std::string hintName;
    std::vector<Shape> shapes;
    size_t lastShape = 0;
    size_t nextReplaced = 0;
    // The table of the last asset routed without a hint.
    std::string lastAsset;
    std::string lastTable;
    bool haveLastTable = false;
    // The table every reading without a hint goes to; empty for a table per
    // asset code.
    std::string sharedTable;
    // The column list of every record of the Variant layout, made on first use.
    DatabaseRecord variantColumns;
    DatapointsObject variantObject{hintName};

    BatchContext(const SQLBuilder& builder, std::string sharedTable)
        : hintName(builder.getHintName()), sharedTable(std::move(sharedTable)) {}

    bool matches(const Shape& shape, const std::vector<Datapoint*>& datapoints) const {
        const std::vector<std::string>& columnNames = shape.columns.getColumnNames();
        size_t k = 0;
        for (const Datapoint* datapoint : datapoints) {
            if (datapoint == nullptr)
                continue;
            const std::string& name = datapoint->getName();
            if (name == hintName)
                continue;
            if (k == shape.entries.size())
                return false;
            const Entry& entry = shape.entries[k++];
            if (static_cast<int>(datapoint->getData().getType()) != entry.tag)
                return false;
            if (name != (entry.renamed ? entry.name : columnNames[entry.position]))
                return false;
        }
        return k == shape.entries.size();
    }

    const Shape* find(const std::vector<Datapoint*>& datapoints) {
        if (lastShape < shapes.size() && matches(shapes[lastShape], datapoints))
            return &shapes[lastShape];
        for (size_t i = 0; i < shapes.size(); ++i) {
            if (i != lastShape && matches(shapes[i], datapoints)) {
                lastShape = i;
                return &shapes[i];
            }
        }
        return nullptr;
    }

    void remember(Shape&& shape) {
        if (shapes.size() < kMaxShapes) {
            shapes.push_back(std::move(shape));
            lastShape = shapes.size() - 1;
        } else {
            lastShape = nextReplaced;
            shapes[nextReplaced] = std::move(shape);
            nextReplaced = (nextReplaced + 1) % kMaxShapes;
        }
    }
};

std::string ReadingMapper::getHintName() const {
    return sqlBuilder ? sqlBuilder->getHintName() : std::string();
}

bool ReadingMapper::shouldSkipDatapoint(const std::string& name) const {
    return sqlBuilder != nullptr && name == sqlBuilder->getHintName();
}

std::string ReadingMapper::datapointValueToString(const DatapointValue& value) const {
    switch (static_cast<int>(value.getType())) {
        case DatapointValue::T_STRING:
            return value.toStringValue();
        case DatapointValue::T_INTEGER:
            return integerText(value.toInt());
        case DatapointValue::T_FLOAT:
            // The shortest text that reads back as the same double.
            return shortestDoubleText(value.toDouble());
        case DatapointValue::T_FLOAT_ARRAY:
            if (holdsNonFinite(value))
                return nonFiniteStructuredText(value);
            // An array of numbers: JSON without keys.
            return value.toString();
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST: {
            if (holdsNonFinite(value))
                return nonFiniteStructuredText(value);
            // Structured values travel as their JSON text, in which no object
            // repeats a key (the warehouse refuses that): the last value wins.
            std::string json = value.toString();
            std::string unique;
            if (uniqueKeyJson(json, &unique))
                return unique;
            return json;
        }
        case DatapointValue::T_IMAGE:
        case DatapointValue::T_DATABUFFER: {
            // Their content as JSON: no column holds it, the row's rescued
            // data keeps it.
            std::string json;
            appendDatapointJson(json, value, NonFiniteAs::Strings);
            return json;
        }
        default:
            return kNullMarker;
    }
}

DatabaseRecord ReadingMapper::mapReadingToRecord(const Reading* reading) const {
    if (reading == nullptr) {
        Logger::getLogger()->error("Cannot process null reading - skipping");
        return DatabaseRecord();
    }
    if (sqlBuilder == nullptr) {
        Logger::getLogger()->error(kNoBuilderMessage);
        return DatabaseRecord();
    }
    BatchContext batch(*sqlBuilder, sharedTableName());
    return mapWithBuilder(*reading, batch);
}

DatabaseRecord ReadingMapper::mapWithBuilder(const Reading& reading, BatchContext& batch) const {
    if (layout == ODBCConfig::DatapointLayout::Variant)
        return mapVariant(reading, batch);
    const auto& datapoints = reading.getReadingData();
    const BatchContext::Shape* shape = batch.find(datapoints);
    if (shape == nullptr)
        return mapNewShape(reading, batch);

    // The same steps as mapNewShape, in the same order, with the column list
    // already made: only the values are new.
    DatabaseRecord record(std::string(), shape->columns);
    const std::string& assetCode = reading.getAssetName();
    setFixedValues(record, reading);

    const std::vector<std::string>& columnNames = record.getColumnNames();
    const Datapoint* hint = nullptr;
    size_t k = 0;
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint == nullptr)
            continue;
        const std::string& name = datapoint->getName();
        if (name == batch.hintName) {
            if (hint == nullptr)
                hint = datapoint;
            continue;
        }
        const BatchContext::Entry& entry = shape->entries[k++];
        if (entry.renamed) {
            Logger::getLogger()->debug("Datapoint '%s' is written to column '%s'", name.c_str(),
                                       columnNames[entry.position].c_str());
        }
        record.setValueAt(entry.position, datapointValueToString(datapoint->getData()));
    }

    routeRecord(record, assetCode, hint, batch);
    return record;
}

void ReadingMapper::setFixedValues(DatabaseRecord& record, const Reading& reading) const {
    record.setValueAt(0, std::string(reading.getAssetName()));
    record.setValueAt(1, utcTimestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)));
    record.setValueAt(2, utcTimestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)));
    record.setValueAt(3, std::string(instanceName));
}

DatabaseRecord ReadingMapper::mapVariant(const Reading& reading, BatchContext& batch) const {
    if (batch.variantColumns.columnCount() == 0) {
        addFixedColumns(batch.variantColumns, reading);
        batch.variantColumns.addColumn(DATAPOINTS_COLUMN, std::string(), ValueKind::Json,
                                       CONSTRAINT_NULLABLE);
    }
    // Every record of the batch shares the one column list.
    DatabaseRecord record(std::string(), batch.variantColumns);
    setFixedValues(record, reading);
    const Datapoint* hint = nullptr;
    record.setValueAt(FIXED_COLUMN_COUNT,
                      batch.variantObject.write(reading.getReadingData(), &hint));
    routeRecord(record, reading.getAssetName(), hint, batch);
    return record;
}

std::string ReadingMapper::warehouseTableName(const std::string& name) const {
    std::string table = sqlBuilder->tableNameFor(name);
    // The rejects table holds refused readings only: an ordinary reading
    // written there would add its datapoints as columns of that table.
    if (equalsIgnoringAsciiCase(table, REJECTS_TABLE)) {
        table.append(REJECTS_TABLE_ESCAPE);
        Logger::getLogger()->debug("Readings for table '%s' are written to table '%s'",
                                   name.c_str(), table.c_str());
    }
    return table;
}

std::string ReadingMapper::sharedTableName() const {
    return allReadingsTable.empty() ? std::string() : warehouseTableName(allReadingsTable);
}

void ReadingMapper::routeRecord(DatabaseRecord& record, const std::string& assetCode,
                                const Datapoint* hint, BatchContext& batch) const {
    std::string table;
    if (hint != nullptr && tableFromHint(*hint, batch.hintName, nullptr, &table)) {
        record.setTableName(std::move(table));
        return;
    }
    if (!batch.sharedTable.empty()) {
        record.setTableName(batch.sharedTable);
        return;
    }
    if (!batch.haveLastTable || batch.lastAsset != assetCode) {
        batch.lastTable = warehouseTableName(assetCode);
        batch.lastAsset = assetCode;
        batch.haveLastTable = true;
    }
    record.setTableName(batch.lastTable);
}

DatabaseRecord ReadingMapper::mapNewShape(const Reading& reading, BatchContext& batch) const {
    DatabaseRecord record;
    const auto& datapoints = reading.getReadingData();
    record.reserve(4 + datapoints.size());
    addFixedColumns(record, reading);

    BatchContext::Shape shape;
    shape.entries.reserve(datapoints.size());
    // The hint datapoint is the first one of the hint name, as the reading's
    // own lookup finds it; it is noted on the way instead of searched again.
    const Datapoint* hint = nullptr;
    CaseFolding folding;
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint == nullptr)
            continue;
        if (datapoint->getName() == batch.hintName) {
            if (hint == nullptr)
                hint = datapoint;
            continue;
        }
        shape.entries.push_back(addDatapointColumn(record, *datapoint, reading, folding));
    }

    routeRecord(record, reading.getAssetName(), hint, batch);
    shape.columns = DatabaseRecord(std::string(), record);
    batch.remember(std::move(shape));
    return record;
}

void ReadingMapper::addFixedColumns(DatabaseRecord& record, const Reading& reading) const {
    record.addColumn(kAssetCodeColumn, std::string(reading.getAssetName()), ValueKind::Label,
                     CONSTRAINT_NOT_NULL);
    record.addColumn(kUserTimestampColumn,
                     utcTimestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)),
                     ValueKind::Timestamp, CONSTRAINT_NONE);
    record.addColumn(kTimestampColumn,
                     utcTimestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)),
                     ValueKind::Timestamp, CONSTRAINT_NONE);
    record.addColumn(kInstanceColumn, std::string(instanceName), ValueKind::Label, CONSTRAINT_NONE);
}

std::string ReadingMapper::columnNameOf(const std::string& datapoint, const DatabaseRecord& record,
                                        CaseFolding& folding) const {
    std::string column = sqlBuilder->columnNameFor(datapoint);
    // No warehouse has a column without a name: an unnamed datapoint would
    // fail its batch on every resend. It is written to the column "_".
    if (column.empty())
        column = kUnnamedColumn;
    // Every row has the fixed columns: a datapoint named like one of them
    // (in any letter case) must neither overwrite its value nor retype it.
    if (isReservedColumn(column))
        column.insert(0, kReservedPrefix);
    // The warehouse matches column names ignoring letter case: a name equal
    // to an earlier column's but for case is that column, as a repeated
    // name is (the later value overwrites in place).
    folding.adopt(record, column);
    return column;
}

ReadingMapper::ShapeEntry ReadingMapper::addDatapointColumn(DatabaseRecord& record,
                                                            const Datapoint& datapoint,
                                                            const Reading& reading,
                                                            CaseFolding& folding) const {
    const std::string& name = datapoint.getName();
    const std::string column = columnNameOf(name, record, folding);
    const bool renamed = column != name;
    if (renamed) {
        Logger::getLogger()->debug("Datapoint '%s' is written to column '%s'", name.c_str(),
                                   column.c_str());
    }
    int64_t position = record.findColumn(column);
    if (position >= 0) {
        // Two datapoints of the reading share a column (the same name, or
        // names that become the same): only the later value is written.
        // Said once per kind of reading and batch, as later readings of
        // this shape reuse its column list.
        Logger::getLogger()->warn(
            "Datapoint '%s' of asset '%s' is written to column '%s' like an earlier "
            "datapoint of the same reading: the later value is kept",
            name.c_str(), reading.getAssetName().c_str(), column.c_str());
    } else {
        position = static_cast<int64_t>(record.columnCount());
    }
    const DatapointValue& value = datapoint.getData();
    const int tag = static_cast<int>(value.getType());
    record.addColumn(column, datapointValueToString(value), valueKindOfTag(tag),
                     CONSTRAINT_NULLABLE);
    return ShapeEntry{tag, static_cast<uint32_t>(position), renamed,
                      renamed ? name : std::string()};
}

std::vector<DatabaseRecord> ReadingMapper::mapReadingsToRecords(
    const std::vector<Reading*>& readings) const {
    std::vector<DatabaseRecord> records;
    if (sqlBuilder == nullptr) {
        Logger::getLogger()->error(kNoBuilderMessage);
        return records;
    }
    records.reserve(readings.size());
    // The builder's fixed texts are the same for every reading of the batch.
    BatchContext batch(*sqlBuilder, sharedTableName());
    for (size_t index = 0; index < readings.size(); ++index) {
        const Reading* reading = readings[index];
        if (reading == nullptr)
            continue;
        DatabaseRecord record = mapWithBuilder(*reading, batch);
        if (!record.getTableName().empty()) {
            record.setReadingIndex(index);
            records.push_back(std::move(record));
        } else {
            // The host counts the reading as sent: its loss must not be silent.
            Logger::getLogger()->warn("A reading of asset '%s' has no table name: it is kept in %s",
                                      reading->getAssetName().c_str(), REJECTS_TABLE);
        }
    }
    return records;
}

std::string ReadingMapper::extractTableName(const Reading* reading) const {
    if (reading == nullptr)
        return std::string();
    if (sqlBuilder == nullptr) {
        Logger::getLogger()->error(kNoBuilderMessage);
        return std::string();
    }
    return routeReading(*reading, sqlBuilder->getHintName());
}

std::string ReadingMapper::routeReading(const Reading& reading, const std::string& hintName) const {
    const Datapoint* hint = reading.getDatapoint(hintName);
    std::string spelled;
    if (hint != nullptr && tableFromHint(*hint, hintName, &spelled, nullptr))
        return spelled;
    if (!allReadingsTable.empty())
        return allReadingsTable;
    return reading.getAssetName();
}

bool ReadingMapper::tableFromHint(const Datapoint& hint, const std::string& hintName,
                                  std::string* spelled, std::string* table) const {
    Logger::getLogger()->debug("Processing %s hint datapoint", hintName.c_str());
    std::string name;
    if (!hintedName(hint.getData(), &name))
        return false;
    std::string renamed = name.empty() ? std::string() : warehouseTableName(name);
    if (renamed.empty()) {
        // Routing by an empty name would lose the reading: the asset code
        // routes it instead.
        Logger::getLogger()->debug("Hint names no table ('%s') - using asset code", name.c_str());
        return false;
    }
    if (spelled != nullptr)
        *spelled = std::move(name);
    if (table != nullptr)
        *table = std::move(renamed);
    return true;
}

TableGroups ReadingMapper::groupRecordsByTable(std::vector<DatabaseRecord>& records) const {
    const size_t count = records.size();
    TableGroups groups = groupRecordsByTable(std::move(records));
    // The input keeps its length, every record empty, as moving each record
    // out would leave it.
    records.clear();
    records.resize(count);
    return groups;
}

namespace {

// The name of the one table every record goes to, or null when the records
// go to several tables (names differing in case count as several here), or
// one of them has no table, or there are none.
const std::string* onlyTable(const std::vector<DatabaseRecord>& records) {
    if (records.empty() || records.front().getTableName().empty())
        return nullptr;
    const std::string& only = records.front().getTableName();
    for (size_t i = 1; i < records.size(); ++i) {
        if (records[i].getTableName() != only)
            return nullptr;
    }
    return &only;
}

// The tables of a batch, numbered in the order the batch first names them.
// The warehouse knows a table by its name with A to Z folded: names that
// differ only in letter case are one table, named as the batch first spells
// it. One lookup per record finds its table (the same table as the record
// before costs none).
struct TableSlots {
    static constexpr uint32_t kNoTable = UINT32_MAX;

    std::vector<std::string> spellings;  // per slot, the first spelling
    std::vector<size_t> counts;          // per slot, its number of records
    std::vector<uint32_t> slotOf;        // per record, its slot or kNoTable

    explicit TableSlots(const std::vector<DatabaseRecord>& records)
        : slotOf(records.size(), kNoTable) {
        std::unordered_map<std::string, uint32_t> slotByFoldedName;
        const std::string* previous = nullptr;
        uint32_t previousSlot = kNoTable;
        for (size_t i = 0; i < records.size(); ++i) {
            const std::string& table = records[i].getTableName();
            if (table.empty())
                continue;
            if (previous == nullptr || !equalsIgnoringAsciiCase(*previous, table)) {
                const auto slot = static_cast<uint32_t>(counts.size());
                auto entry = slotByFoldedName.try_emplace(foldAsciiCase(table), slot).first;
                if (entry->second == slot) {
                    counts.push_back(0);
                    spellings.push_back(table);
                }
                previousSlot = entry->second;
                previous = &table;
            }
            slotOf[i] = previousSlot;
            ++counts[previousSlot];
        }
    }
};

}  // namespace

TableGroups ReadingMapper::groupRecordsByTable(std::vector<DatabaseRecord>&& records) const {
    TableGroups groups;
    // A batch for one table, spelled one way, the common case, moves over as
    // a whole.
    if (const std::string* only = onlyTable(records)) {
        std::string table = *only;
        groups[table] = std::move(records);
        records.clear();
        return groups;
    }
    TableSlots slots(records);
    // Each list is sized before it is filled.
    std::vector<std::vector<DatabaseRecord>> lists(slots.counts.size());
    for (size_t slot = 0; slot < lists.size(); ++slot)
        lists[slot].reserve(slots.counts[slot]);
    for (size_t i = 0; i < records.size(); ++i) {
        const uint32_t slot = slots.slotOf[i];
        if (slot == TableSlots::kNoTable)
            continue;
        if (records[i].getTableName() != slots.spellings[slot])
            records[i].setTableName(slots.spellings[slot]);
        lists[slot].push_back(std::move(records[i]));
    }
    // Distinct groups have names that differ beyond letter case, so each
    // first spelling is a key of its own, in ascending byte order.
    for (size_t slot = 0; slot < lists.size(); ++slot)
        groups.emplace(std::move(slots.spellings[slot]), std::move(lists[slot]));
    records.clear();
    return groups;
}
