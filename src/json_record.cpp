#include "json_record.h"

#include <cmath>
#include <cstdlib>

#include "json_text.h"
#include "number_text.h"
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

JsonRecordEncoder::JsonRecordEncoder(const std::vector<TableColumn>& columns) : columns(columns) {
    keys.reserve(columns.size());
    for (const TableColumn& column : columns) {
        std::string key;
        appendJsonText(key, column.name);
        key.push_back(':');
        keys.push_back(std::move(key));
    }
}

void JsonRecordEncoder::appendValue(std::string& out, const Cell& cell,
                                    const ColumnType& type) const {
    using Kind = ColumnType::Kind;
    const std::string& value = *cell.value;
    const ValueKind kind = cell.kind;
    if (cell.fit == ValueFit::Integral ||
        (kind == ValueKind::Integer &&
         (type.kind == Kind::BigInt || type.kind == Kind::Int || type.kind == Kind::SmallInt ||
          type.kind == Kind::TinyInt))) {
        double number = 0;
        if (cell.fit == ValueFit::Integral && parseDoubleText(value, &number))
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

void JsonRecordEncoder::encode(const RowView& row, std::string& out) const {
    out.push_back('{');
    bool any = false;
    for (size_t c = 0; c < columns.size(); ++c) {
        const Cell& cell = row.cells[c];
        if (!cell.value)
            continue;
        out.append(any ? "," : "").append(keys[c]);
        any = true;
        appendValue(out, cell, columns[c].type);
    }
    out.push_back('}');
}
