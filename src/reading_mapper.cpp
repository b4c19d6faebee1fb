#include "reading_mapper.h"

#include <rapidjson/document.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "datapoint.h"
#include "logger.h"
#include "reading.h"
#include "sql_builder.h"

// ---------------------------------------------------------------------------
// DatabaseRecord

DatabaseRecord::DatabaseRecord(DatabaseRecord&& other) noexcept
    : tableName(std::move(other.tableName)),
      columnNames(std::move(other.columnNames)),
      values(std::move(other.values)),
      sqlTypes(std::move(other.sqlTypes)),
      constraints(std::move(other.constraints)),
      columnIndex(std::move(other.columnIndex)) {
    other.clear();
}

DatabaseRecord& DatabaseRecord::operator=(DatabaseRecord&& other) noexcept {
    if (this != &other) {
        tableName = std::move(other.tableName);
        columnNames = std::move(other.columnNames);
        values = std::move(other.values);
        sqlTypes = std::move(other.sqlTypes);
        constraints = std::move(other.constraints);
        columnIndex = std::move(other.columnIndex);
        other.clear();
    }
    return *this;
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType, ColumnConstraint constraint) {
    addColumn(name, std::string(value), sqlType, constraint);
}

void DatabaseRecord::addColumn(const std::string& name, std::string&& value,
                               const std::string& sqlType, ColumnConstraint constraint) {
    auto hint = columnIndex.lower_bound(name);
    if (hint != columnIndex.end() && hint->first == name) {
        const uint64_t position = hint->second;
        values[position] = std::move(value);
        sqlTypes[position] = sqlType;
        constraints[position] = constraint;
        return;
    }
    columnNames.push_back(name);
    values.push_back(std::move(value));
    sqlTypes.push_back(sqlType);
    constraints.push_back(constraint);
    columnIndex.emplace_hint(hint, name, columnNames.size() - 1);
}

void DatabaseRecord::addColumn(const std::string& name, const std::string& value,
                               const std::string& sqlType) {
    auto found = columnIndex.find(name);
    if (found != columnIndex.end()) {
        values[found->second] = value;
        sqlTypes[found->second] = sqlType;
        return;
    }
    addColumn(name, std::string(value), sqlType, CONSTRAINT_NONE);
}

int64_t DatabaseRecord::findColumn(const std::string& name) const {
    auto found = columnIndex.find(name);
    if (found == columnIndex.end() || found->second >= columnNames.size())
        return -1;
    return static_cast<int64_t>(found->second);
}

bool DatabaseRecord::renameColumn(size_t position, const std::string& name) {
    if (position >= columnNames.size())
        return false;
    if (columnNames[position] == name)
        return true;
    if (columnIndex.count(name))
        return false;
    columnIndex.erase(columnNames[position]);
    columnIndex.emplace(name, position);
    columnNames[position] = name;
    return true;
}

std::string DatabaseRecord::getValue(const std::string& name) const {
    auto found = columnIndex.find(name);
    if (found == columnIndex.end() || found->second >= values.size())
        return std::string();
    return values[found->second];
}

std::string DatabaseRecord::getSQLType(const std::string& name) const {
    auto found = columnIndex.find(name);
    if (found == columnIndex.end() || found->second >= sqlTypes.size())
        return std::string();
    return sqlTypes[found->second];
}

ColumnConstraint DatabaseRecord::getConstraints(const std::string& name) const {
    auto found = columnIndex.find(name);
    if (found == columnIndex.end() || found->second >= constraints.size())
        return CONSTRAINT_NONE;
    return constraints[found->second];
}

bool DatabaseRecord::hasColumn(const std::string& name) const {
    return columnIndex.find(name) != columnIndex.end();
}

void DatabaseRecord::reserve(size_t columns) {
    columnNames.reserve(columns);
    values.reserve(columns);
    sqlTypes.reserve(columns);
    constraints.reserve(columns);
}

void DatabaseRecord::clear() {
    tableName.clear();
    columnNames.clear();
    values.clear();
    sqlTypes.clear();
    constraints.clear();
    columnIndex.clear();
}

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

// The "%f" form of a double: fixed point, six digits after the point.
std::string fixedSixDigits(double number) {
    // A NaN has no meaningful sign; "-nan" is not a text the warehouse reads
    // as a number, "nan" is.
    if (std::isnan(number))
        return "nan";
    char buffer[64];
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

bool hasUpperAscii(const std::string& text) {
    for (char c : text) {
        if (c >= 'A' && c <= 'Z')
            return true;
    }
    return false;
}

std::string lowerAscii(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
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
                spelling.emplace(lowerAscii(name), name);
        }
        auto [entry, added] = spelling.emplace(lowerAscii(column), column);
        if (!added)
            column = entry->second;
    }

  private:
    bool active = false;
    std::unordered_map<std::string, std::string> spelling;  // lower case -> first spelling
};

}  // namespace

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
    return mapWithBuilder(*reading, sqlBuilder->getHintName(), sqlBuilder->getStringType(),
                          sqlBuilder->getTimestampType());
}

DatabaseRecord ReadingMapper::mapWithBuilder(const Reading& reading, const std::string& hintName,
                                             const std::string& stringType,
                                             const std::string& timestampType) const {
    DatabaseRecord record;
    const auto& datapoints = reading.getReadingData();
    record.reserve(4 + datapoints.size());

    const std::string& assetCode = reading.getAssetName();
    record.addColumn(kAssetCodeColumn, assetCode, stringType, CONSTRAINT_NOT_NULL);
    record.addColumn(kUserTimestampColumn,
                     utcTimestamp(reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true)),
                     timestampType, CONSTRAINT_NONE);
    record.addColumn(kTimestampColumn,
                     utcTimestamp(reading.getAssetDateTime(Reading::FMT_DEFAULT, true)),
                     timestampType, CONSTRAINT_NONE);
    record.addColumn(kInstanceColumn, instanceName, stringType, CONSTRAINT_NONE);

    // The hint datapoint is the first one of the hint name, as the reading's
    // own lookup finds it; it is noted on the way instead of searched again.
    const Datapoint* hint = nullptr;
    CaseFolding folding;
    for (const Datapoint* datapoint : datapoints) {
        if (datapoint == nullptr)
            continue;
        const std::string& name = datapoint->getName();
        if (name == hintName) {
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
        if (column != name) {
            Logger::getLogger()->debug("Datapoint '%s' is written to column '%s'", name.c_str(),
                                       column.c_str());
        }
        record.addColumn(column, datapointValueToString(value),
                         sqlBuilder->toSQLTypeString(static_cast<int>(value.getType())),
                         CONSTRAINT_NULLABLE);
    }

    record.setTableName(
        sqlBuilder->tableNameFor(hint ? routeByHint(assetCode, *hint, hintName) : assetCode));
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
    const std::string hintName = sqlBuilder->getHintName();
    const std::string stringType = sqlBuilder->getStringType();
    const std::string timestampType = sqlBuilder->getTimestampType();
    for (const Reading* reading : readings) {
        if (reading == nullptr)
            continue;
        DatabaseRecord record = mapWithBuilder(*reading, hintName, stringType, timestampType);
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
    TableGroups groups;
    for (DatabaseRecord& record : records) {
        if (record.getTableName().empty())
            continue;
        auto entry = groups.find(record.getTableName());
        if (entry == groups.end()) {
            entry = groups.emplace(record.getTableName(), std::vector<DatabaseRecord>()).first;
        }
        entry->second.push_back(std::move(record));
    }
    return groups;
}
