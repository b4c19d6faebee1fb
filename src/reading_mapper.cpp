#include "reading_mapper.h"

#include <rapidjson/document.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "datapoint.h"
#include "logger.h"
#include "reading.h"
#include "sql_builder.h"
#include "text_util.h"

// ---------------------------------------------------------------------------
// ReadingMapper

namespace {

const char kNoBuilderMessage[] = "No SQL builder set - cannot map readings";
const char kNullMarker[] = "null";
const char kTimezoneSuffix[] = "+00:00";
const std::string kAssetCodeColumn = "asset_code";
const std::string kUserTimestampColumn = "user_ts";
const std::string kTimestampColumn = "ts";
const std::string kInstanceColumn = "corvane";
const std::string kUnnamedColumn = "_";
const char kTableNameMember[] = "tablename";
constexpr size_t kTableNameMemberLength = sizeof(kTableNameMember) - 1;

// Writes the "%f" text of a finite double whose magnitude is below 2^40:
// the exact binary value rounded to six decimals, ties to even, as printf and
// to_chars round it. Returns the end of the text.
char* fixedSixDigitsExact(double number, char* out) {
    uint64_t bits;
    std::memcpy(&bits, &number, sizeof bits);
    const unsigned exponentBits = static_cast<unsigned>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (exponentBits != 0) {
        mantissa |= uint64_t{1} << 52;
        exponent = static_cast<int>(exponentBits) - 1075;
    }
    // |number| = mantissa * 2^exponent with exponent below -12 here, so the
    // millionths are mantissa * 10^6 / 2^shift, rounded.
    const unsigned shift = static_cast<unsigned>(-exponent);
    const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * 1000000u;
    uint64_t millionths = 0;
    if (shift < 128) {
        millionths = static_cast<uint64_t>(scaled >> shift);
        const unsigned __int128 one = 1;
        const unsigned __int128 rest = scaled & ((one << shift) - 1);
        const unsigned __int128 half = one << (shift - 1);
        if (rest > half || (rest == half && (millionths & 1) != 0))
            ++millionths;
    }
    if (bits >> 63)
        *out++ = '-';
    out = std::to_chars(out, out + 24, millionths / 1000000).ptr;
    *out++ = '.';
    uint64_t fraction = millionths % 1000000;
    for (int i = 5; i >= 0; --i) {
        out[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return out + 6;
}

// The "%f" form of a double: fixed point, six digits after the point.
std::string fixedSixDigits(double number) {
    // A NaN has no meaningful sign; "-nan" is not a text the warehouse reads
    // as a number, "nan" is.
    if (std::isnan(number))
        return "nan";
    char buffer[64];
    if (std::fabs(number) < 1099511627776.0)  // 2^40
        return std::string(buffer, fixedSixDigitsExact(number, buffer));
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed, 6);
    if (result.ec == std::errc())
        return std::string(buffer, result.ptr);
#endif
    int length = std::snprintf(buffer, sizeof buffer, "%f", number);
    if (length < 0)
        return kNullMarker;
    if (static_cast<size_t>(length) < sizeof buffer) {
        return std::string(buffer, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", number);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string integerText(long number) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    return std::string(buffer, result.ptr);
}

// A reading's timestamp text as the warehouse reads a UTC timestamp.
std::string utcTimestamp(std::string text) {
    text.append(kTimezoneSuffix, sizeof(kTimezoneSuffix) - 1);
    return text;
}

// Finds, for each new column name of one record, an earlier column whose name
// differs only in ASCII letter case. Two names can only differ so when one of
// them has a capital letter; until the first one does (the fixed columns have
// none), nothing is indexed and a name costs one scan of its bytes.
class CaseFolding {
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

}  // namespace

// A shape is the sequence of (name, kind) of a reading's datapoints, the hint
// datapoint and null entries left out. Mapping depends on nothing else but the
// builder's and the mapper's fixed texts, so two readings of one shape in one
// batch get the same column list: the second reuses the first one's and only
// its values are made. For each datapoint the shape notes the kind, the
// position its value goes to, and the name when the column's name differs
// from it (renamed for the warehouse, or taking an earlier spelling).
struct ReadingMapper::BatchContext {
    struct Entry {
        int tag;
        uint32_t position;
        bool renamed;
        std::string name;  // the datapoint's name, kept only when renamed
    };
    struct Shape {
        std::vector<Entry> entries;
        DatabaseRecord columns;  // holds the column list, no values
    };
    // More shapes than this in one batch are mapped column by column.
    static constexpr size_t kMaxShapes = 32;

    std::string hintName;
    std::string stringType;
    std::string timestampType;
    std::vector<Shape> shapes;
    size_t lastShape = 0;
    size_t nextReplaced = 0;
    // The table of the last asset routed without a hint.
    std::string lastAsset;
    std::string lastTable;
    bool haveLastTable = false;

    explicit BatchContext(const SQLBuilder& builder)
        : hintName(builder.getHintName()),
          stringType(builder.getStringType()),
          timestampType(builder.getTimestampType()) {}

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
            return fixedSixDigits(value.toDouble());
        case DatapointValue::T_FLOAT_ARRAY:
        case DatapointValue::T_DP_DICT:
        case DatapointValue::T_DP_LIST:
            // Structured values travel as their JSON text.
            return value.toString();
        case DatapointValue::T_IMAGE:
        case DatapointValue::T_DATABUFFER:
            Logger::getLogger()->info(
                "Image and databuffer datapoint types not supported - using null value");
            return kNullMarker;
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
    BatchContext batch(*sqlBuilder);
    return mapWithBuilder(*reading, batch);
}

DatabaseRecord ReadingMapper::mapWithBuilder(const Reading& reading, BatchContext& batch) const {
    const auto& datapoints = reading.getReadingData();
    const BatchContext::Shape* shape = batch.find(datapoints);
    if (shape == nullptr)
        return mapNewShape(reading, batch);

    // The same steps as mapNewShape, in the same order, with the column list
    // already made: only the values are new.
    DatabaseRecord record(std::string(), shape->columns);
    const std::string& assetCode = reading.getAssetName();
    record.setValueAt(0, std::string(assetCode));
    record.setValueAt(1, utcTimestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)));
    record.setValueAt(2, utcTimestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)));
    record.setValueAt(3, std::string(instanceName));

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

    if (hint) {
        record.setTableName(
            sqlBuilder->tableNameFor(routeByHint(assetCode, *hint, batch.hintName)));
    } else {
        if (!batch.haveLastTable || batch.lastAsset != assetCode) {
            batch.lastTable = sqlBuilder->tableNameFor(assetCode);
            batch.lastAsset = assetCode;
            batch.haveLastTable = true;
        }
        record.setTableName(batch.lastTable);
    }
    return record;
}

DatabaseRecord ReadingMapper::mapNewShape(const Reading& reading, BatchContext& batch) const {
    DatabaseRecord record;
    const auto& datapoints = reading.getReadingData();
    record.reserve(4 + datapoints.size());

    const std::string& assetCode = reading.getAssetName();
    record.addColumn(kAssetCodeColumn, assetCode, batch.stringType, CONSTRAINT_NOT_NULL);
    record.addColumn(kUserTimestampColumn,
                     utcTimestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)),
                     batch.timestampType, CONSTRAINT_NONE);
    record.addColumn(kTimestampColumn,
                     utcTimestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)),
                     batch.timestampType, CONSTRAINT_NONE);
    record.addColumn(kInstanceColumn, instanceName, batch.stringType, CONSTRAINT_NONE);

    BatchContext::Shape shape;
    shape.entries.reserve(datapoints.size());
    // The hint datapoint is the first one of the hint name, as the reading's
    // own lookup finds it; it is noted on the way instead of searched again.
    const Datapoint* hint = nullptr;
    CaseFolding folding;
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint == nullptr)
            continue;
        const std::string& name = datapoint->getName();
        if (name == batch.hintName) {
            if (hint == nullptr)
                hint = datapoint;
            continue;
        }
        const DatapointValue& value = datapoint->getData();
        std::string column = sqlBuilder->columnNameFor(name);
        // No warehouse has a column without a name: an unnamed datapoint would
        // fail its batch on every resend. It is written to the column "_".
        if (column.empty())
            column = kUnnamedColumn;
        // The warehouse matches column names ignoring letter case: a name equal
        // to an earlier column's but for case is that column, as a repeated
        // name is (the later value overwrites in place).
        folding.adopt(record, column);
        const bool renamed = column != name;
        if (renamed) {
            Logger::getLogger()->debug("Datapoint '%s' is written to column '%s'", name.c_str(),
                                       column.c_str());
        }
        const int tag = static_cast<int>(value.getType());
        record.addColumn(column, datapointValueToString(value), sqlBuilder->toSQLTypeString(tag),
                         CONSTRAINT_NULLABLE);
        shape.entries.push_back(
            BatchContext::Entry{tag, static_cast<uint32_t>(record.findColumn(column)), renamed,
                                renamed ? name : std::string()});
    }

    record.setTableName(
        sqlBuilder->tableNameFor(hint ? routeByHint(assetCode, *hint, batch.hintName) : assetCode));
    shape.columns = DatabaseRecord(std::string(), record);
    batch.remember(std::move(shape));
    return record;
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
    BatchContext batch(*sqlBuilder);
    for (size_t index = 0; index < readings.size(); ++index) {
        const Reading* reading = readings[index];
        if (reading == nullptr)
            continue;
        DatabaseRecord record = mapWithBuilder(*reading, batch);
        record.setReadingIndex(index);
        if (!record.getTableName().empty()) {
            records.push_back(std::move(record));
        } else {
            // The host counts the reading as sent: its loss must not be silent.
            Logger::getLogger()->warn(
                "A reading of asset '%s' has no table name and is not written",
                reading->getAssetName().c_str());
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
    if (hint == nullptr)
        return reading.getAssetName();
    return routeByHint(reading.getAssetName(), *hint, hintName);
}

std::string ReadingMapper::routeByHint(const std::string& assetCode, const Datapoint& hint,
                                       const std::string& hintName) const {
    Logger::getLogger()->debug("Processing %s hint datapoint", hintName.c_str());
    std::string text = hint.getData().toString();

    // The text form of a string hint is JSON-quoted with backslash-escaped
    // inner quotes: drop every backslash, then the enclosing quotes.
    size_t kept = 0;
    for (char c : text) {
        if (c != '\\')
            text[kept++] = c;
    }
    text.resize(kept);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text.pop_back();
        text.erase(0, 1);
    }

    // Iterative parsing: a hint nested a million levels deep must not exhaust
    // the stack. The grammar is the same strict one.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (document.HasParseError()) {
        Logger::getLogger()->debug("Invalid hint JSON format: %s", text.c_str());
        return assetCode;
    }
    if (!document.IsObject()) {
        Logger::getLogger()->debug("Hint JSON is not an object - using asset code: %s",
                                   text.c_str());
        return assetCode;
    }
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
        if (member->name.GetStringLength() == kTableNameMemberLength &&
            std::memcmp(member->name.GetString(), kTableNameMember, kTableNameMemberLength) == 0) {
            if (!member->value.IsString())
                return assetCode;
            return std::string(member->value.GetString(), member->value.GetStringLength());
        }
    }
    return assetCode;
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

TableGroups ReadingMapper::groupRecordsByTable(std::vector<DatabaseRecord>&& records) const {
    TableGroups groups;
    // A batch for one table, the common case, moves over as a whole.
    const std::string* only = nullptr;
    bool oneTable = true;
    for (const DatabaseRecord& record : records) {
        if (record.getTableName().empty()) {
            oneTable = false;
            break;
        }
        if (only == nullptr) {
            only = &record.getTableName();
        } else if (*only != record.getTableName()) {
            oneTable = false;
            break;
        }
    }
    if (oneTable) {
        if (only != nullptr) {
            std::string table = *only;
            groups[table] = std::move(records);
        }
        records.clear();
        return groups;
    }

    // One lookup per record finds its table's list (the same table as the
    // record before costs none); each list is sized before it is filled.
    constexpr uint32_t kNoTable = UINT32_MAX;
    std::map<std::string, uint32_t> slotByTable;
    std::vector<uint32_t> slotOf(records.size(), kNoTable);
    std::vector<size_t> counts;
    const std::string* previous = nullptr;
    uint32_t previousSlot = kNoTable;
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string& table = records[i].getTableName();
        if (table.empty())
            continue;
        if (previous == nullptr || *previous != table) {
            auto entry = slotByTable.try_emplace(table, static_cast<uint32_t>(counts.size())).first;
            if (entry->second == counts.size())
                counts.push_back(0);
            previousSlot = entry->second;
            previous = &table;
        }
        slotOf[i] = previousSlot;
        ++counts[previousSlot];
    }
    std::vector<std::vector<DatabaseRecord>> lists(counts.size());
    for (size_t slot = 0; slot < lists.size(); ++slot)
        lists[slot].reserve(counts[slot]);
    for (size_t i = 0; i < records.size(); ++i) {
        if (slotOf[i] != kNoTable)
            lists[slotOf[i]].push_back(std::move(records[i]));
    }
    for (auto& [table, slot] : slotByTable)
        groups.emplace(table, std::move(lists[slot]));
    records.clear();
    return groups;
}
