#include "json_record.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "json_text.h"
#include "number_text.h"
#include "row_layout.h"
#include "utf8.h"

namespace {

// Two to four digits at `p` as a number; -1 when one is not a digit.
int digitsAt(const std::string& text, size_t p, size_t count) {
    if (p + count > text.size())
        return -1;
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!isDigit(text[p + i]))
            return -1;
        value = value * 10 + (text[p + i] - '0');
    }
    return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void appendJsonText(std::string& out, const std::string& text) {
    if (isUtf8(text))
        appendJsonString(out, text);
    else
        appendJsonString(out, utf8Repaired(text));
}

}  // namespace

bool timestampMicros(const std::string& text, int64_t* micros) {
    const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2);
    const int second = digitsAt(text, 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60 || text[4] != '-' ||
        text[7] != '-' || (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        text[16] != ':')
        return false;
    size_t p = 19;
    int64_t fraction = 0;
    if (p < text.size() && text[p] == '.') {
        int scale = 100000;
        for (++p; p < text.size() && isDigit(text[p]); ++p, scale /= 10) {
            if (scale > 0)
                fraction += (text[p] - '0') * scale;
        }
    }
    const std::string rest = text.substr(p);
    if (!rest.empty() && rest != "+00:00" && rest != "Z")
        return false;
    const int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    *micros = ((days * 24 + hour) * 60 + minute) * 60000000LL + second * 1000000LL + fraction;
    return true;
}

JsonRecordEncoder::JsonRecordEncoder(const CachedTable& table)
    : table(table),
      source(table.columns.size(), -1),
      kindOf(table.columns.size(), ValueKind::Text) {
    keys.reserve(table.columns.size());
    for (size_t c = 0; c < table.columns.size(); ++c) {
        if (rescueColumn < 0 && table.columns[c].name == RESCUED_DATA_COLUMN)
            rescueColumn = static_cast<int64_t>(c);
        std::string key;
        appendJsonText(key, table.columns[c].name);
        key.push_back(':');
        keys.push_back(std::move(key));
    }
}

void JsonRecordEncoder::mapColumns(const DatabaseRecord& record) {
    for (size_t c = 0; c < table.columns.size(); ++c) {
        // The first column of a name takes the value; the rescued data column
        // is written from what is rescued only.
        const bool first = table.positions.at(table.columns[c].name) == c;
        source[c] = first && static_cast<int64_t>(c) != rescueColumn
                        ? record.findColumn(table.columns[c].name)
                        : -1;
        if (source[c] >= 0)
            kindOf[c] = record.kindAt(static_cast<size_t>(source[c]));
    }
    mapped = DatabaseRecord(std::string(), record);
}

bool JsonRecordEncoder::needsRescueColumn(const DatabaseRecord& record) {
    if (rescueColumn >= 0)
        return false;
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    for (size_t c = 0; c < source.size(); ++c) {
        if (source[c] >= 0 && fitValue(record.valueAt(static_cast<size_t>(source[c])), kindOf[c],
                                       table.columns[c].type) == ValueFit::Rescue)
            return true;
    }
    return false;
}

void JsonRecordEncoder::appendValue(std::string& out, const std::string& value, ValueKind kind,
                                    const ColumnType& type, ValueFit fit) const {
    using Kind = ColumnType::Kind;
    if (fit == ValueFit::Integral ||
        (kind == ValueKind::Integer &&
         (type.kind == Kind::BigInt || type.kind == Kind::Int || type.kind == Kind::SmallInt ||
          type.kind == Kind::TinyInt))) {
        double number = 0;
        if (fit == ValueFit::Integral && parseDoubleText(value, &number))
            appendIntegerText(out, static_cast<int64_t>(number));
        else
            out.append(value);
        return;
    }
    switch (type.kind) {
        case Kind::Double:
        case Kind::Float:
        case Kind::Decimal:
            if (isPlainNumber(value))
                out.append(value);
            else
                appendJsonText(out, value);
            return;
        case Kind::Variant: {
            std::string json;
            if (kind == ValueKind::Structured || kind == ValueKind::Json ||
                ((kind == ValueKind::Integer || kind == ValueKind::Double) && isPlainNumber(value)))
                json = value;
            else
                appendJsonText(json, value);
            appendJsonText(out, json);
            return;
        }
        case Kind::Timestamp: {
            int64_t micros = 0;
            if (kind == ValueKind::Timestamp && timestampMicros(value, &micros)) {
                appendIntegerText(out, micros);
                return;
            }
            break;
        }
        default:
            break;
    }
    appendJsonText(out, value);
}

size_t JsonRecordEncoder::encode(const DatabaseRecord& record, std::string& out) {
    if (!record.sharesColumnsWith(mapped))
        mapColumns(record);
    rescued.clear();
    size_t rescuedCount = 0;
    bool any = false;
    out.push_back('{');
    for (size_t c = 0; c < source.size(); ++c) {
        if (source[c] < 0)
            continue;
        const std::string& value = record.valueAt(static_cast<size_t>(source[c]));
        const ColumnType& type = table.columns[c].type;
        const ValueFit fit = fitValue(value, kindOf[c], type);
        if (fit == ValueFit::Rescue) {
            rescued.append(rescued.empty() ? "{" : ",");
            appendJsonText(rescued, table.columns[c].name);
            rescued.push_back(':');
            appendRescuedJson(rescued, value, kindOf[c]);
            if (firstReason.empty())
                firstReason = "column '" + table.columns[c].name + "' of type " +
                              table.columns[c].typeText + " cannot hold the value";
            ++rescuedCount;
            // A NOT NULL text column (the asset code) still takes what fits,
            // as the statements write it.
            if (type.notNull && type.kind == ColumnType::Kind::Varchar && type.length > 0 &&
                isTextKind(kindOf[c])) {
                out.append(any ? "," : "").append(keys[c]);
                any = true;
                appendJsonText(out, value.substr(0, utf8PrefixBytes(value, type.length)));
            }
            continue;
        }
        out.append(any ? "," : "").append(keys[c]);
        any = true;
        appendValue(out, value, kindOf[c], type, fit);
    }
    if (rescuedCount > 0) {
        if (rescueColumn < 0)
            throw std::logic_error(
                "a value must be rescued but the table has no rescued data column");
        rescued.push_back('}');
        out.append(any ? "," : "").append(keys[static_cast<size_t>(rescueColumn)]);
        appendJsonText(out, rescued);
    }
    out.push_back('}');
    return rescuedCount;
}
